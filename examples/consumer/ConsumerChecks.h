#pragma once

// More checks of the consumer, each in a file of its own that registers itself:
//
//   static ConsumerCheck check("image decoding", [](const char* homeFile) { ... return ok; });
//
// main runs them in turn while the library's main loop thread runs, after its own checks;
// homeFile is the home's file when the consumer was given one, else null. A check prints its
// own lines ("consumer: ...") and returns whether it passed.
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ConsumerCheck {
    using Run = std::function<bool(const char* homeFile)>;
    ConsumerCheck(std::string name, Run run) { all().push_back({std::move(name), std::move(run)}); }

    struct Entry {
        std::string name;
        Run run;
    };
    static std::vector<Entry>& all() {
        static std::vector<Entry> checks;
        return checks;
    }
};

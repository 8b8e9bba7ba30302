#pragma once

// The lines behind the log files in tests/logging/data/: the same calls wrote those files with
// an earlier build, and write them again in the tests.

#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKSDKLog.h"

namespace telvo::test::golden {

inline const Bytes kKey = hex("8f1c2d3e4a5b6c7d8e9fa0b1c2d3e4f5");
inline const Bytes kIv = hex("0f1e2d3c4b5a69788796a5b4c3d2e1f0");

// One record per entry: every JSON escape, multi-byte UTF-8, empty and missing fields, the
// extremes of the numbers.
struct Entry {
    int type;
    const char* module;
    const char* file;
    const char* function;
    int line;
    std::string text;
};

inline std::vector<Entry> entries() {
    std::vector<Entry> out = {
        {0, "", "src/a.cpp", "run", 12, "plain ascii line"},
        {1, "BLE", "/abs/path/QKBLE.cpp", "-[QKBLE send:]", 345,
         "quote \" backslash \\ slash / tab \t newline \n cr \r"},
        {2, "cloud", nullptr, nullptr, 0, ""},
        {3, "温度", "f.cpp", "f", -1, "UTF-8: 温度 25℃ 😀 ü"},
        {4, "ctl", "c.cpp", "c", 2147483647, std::string("controls \x01\x1f\x7f \b \f end")},
        {-7, "neg", "n.cpp", "n", -2147483647, "percent %d %s %% stays"},
        {9, "nul", "z.cpp", "z", 5, std::string("before\0after", 12)},
    };
    // Enough lines of little redundancy for more than one section.
    for (int i = 0; i < 350; ++i) {
        std::string text = "line " + std::to_string(i) + " ";
        uint32_t x = static_cast<uint32_t>(i) * 2654435761u + 1;
        for (int k = 0; k < 12; ++k, x = x * 1103515245u + 12345u)
            text += std::to_string(x % 10007) + ",";
        out.push_back({i % 5, "bulk", "bulk.cpp", "fill", i, text});
    }
    return out;
}

// Logs every entry through QKSDKLog, the clock going on 1.25 ms (whole milliseconds in the
// records) between two; QKSDKLog's folder, key and IV are set by the caller.
inline void logAll(ManualClock& clock) {
    clock.setWallNanos(1772600767089000000LL);  // 2026-03-04 05:06:07.089 UTC
    for (const Entry& e : entries()) {
        QKSDKLog::log(e.type, e.module, e.file, e.function, e.line, "%s", e.text.c_str());
        clock.advance(0.00125);
    }
}

// The lines of the open section in the cache file (fewer than make a section close).
inline std::vector<std::string> cacheLines() {
    std::vector<std::string> out;
    for (int i = 0; i < 40; ++i)
        out.push_back("cached " + std::to_string(i) + " " + std::string(size_t(i % 7) * 9, 'q') +
                      " \xE6\xB8\xA9 " + std::to_string(i * 7919));
    return out;
}

}  // namespace telvo::test::golden

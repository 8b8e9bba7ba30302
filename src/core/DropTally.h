#pragma once

// What a session drops from a peer (pieces that are no frame, frames it cannot use), counted
// per kind for one summary line per burst instead of a line each. The owner writes the line
// when take() hands it a burst: at its own moments (the next input it takes, the link's end)
// or once note() says the burst has lasted a second. Not locked: the owner's queue alone.
// Kind is an enumeration whose last member is `count`, the number of kinds.

#include <array>
#include <cstddef>
#include <utility>

#include "platform/dispatch/Clock.h"

namespace telvo {

template <class Kind>
class DropTally {
    static constexpr size_t Kinds = static_cast<size_t>(Kind::count);

  public:
    struct Burst {
        std::array<size_t, Kinds> count{};  // by Kind
        size_t bytes = 0;
        size_t of(Kind kind) const { return count[static_cast<size_t>(kind)]; }
    };

    // Counts one drop; true when the burst has lasted a second and its line is due.
    bool note(Kind kind, size_t bytes) {
        const double now = Clock::now();
        if (empty()) since_ = now;
        ++burst_.count[static_cast<size_t>(kind)];
        burst_.bytes += bytes;
        return now - since_ >= 1.0;
    }
    bool empty() const {
        for (size_t n : burst_.count)
            if (n) return false;
        return true;
    }
    // The burst so far; the next one starts afresh.
    Burst take() { return std::exchange(burst_, Burst{}); }

  private:
    Burst burst_;
    double since_ = 0;
};

}  // namespace telvo

#pragma once

// The security and protocol tests' random source (header-only, so that any test folder can use
// it).

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "platform/crypto/Random.h"

namespace telvo::test {

// secureBytes hands out the pushed blocks first (one per request, each the requested size), then
// fails or falls back to the system source; uniform32 cycles through the given draws, safely from
// several threads.
class ScriptedRandom : public Random {
  public:
    explicit ScriptedRandom(bool failWhenEmpty, std::vector<uint32_t> draws = {4})
        : failWhenEmpty_(failWhenEmpty), draws_(std::move(draws)) {}
    void push(Bytes block) { blocks_.push_back(std::move(block)); }
    bool secureBytes(uint8_t* out, size_t count) override {
        ++requests;
        if (blocks_.empty()) return !failWhenEmpty_ && system_.secureBytes(out, count);
        Bytes block = std::move(blocks_.front());
        blocks_.pop_front();
        if (block.size() != count) return false;
        std::memcpy(out, block.data(), count);
        return true;
    }
    uint32_t uniform32() override { return draws_[next_.fetch_add(1) % draws_.size()]; }
    using Random::secureBytes;
    int requests = 0;

  private:
    bool failWhenEmpty_;
    std::vector<uint32_t> draws_;
    std::atomic<size_t> next_{0};
    std::deque<Bytes> blocks_;
    SystemRandom system_;
};

// count bytes of a seeded generator: reproducible inputs.
inline Bytes randomBytes(std::mt19937_64& rng, size_t count) {
    Bytes out(count);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// Installs a random source for the scope of a test.
class RandomScope {
  public:
    explicit RandomScope(std::shared_ptr<Random> random) { Random::setShared(std::move(random)); }
    ~RandomScope() { Random::setShared(nullptr); }
};

}  // namespace telvo::test

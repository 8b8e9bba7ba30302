#include "platform/crypto/Random.h"

#include <openssl/rand.h>

#include <climits>
#include <mutex>

#include "platform/foundation/Singleton.h"

namespace telvo {

namespace {
SharedInstance<Random>& sharedRandom() {
    return processWide([] { return new SharedInstance<Random>(); });
}
}  // namespace

uint32_t Random::uniform(uint32_t bound) {
    if (bound < 2) return 0;
    // Rejection sampling: draws below (2^32 mod bound) would bias the result.
    uint32_t floor = static_cast<uint32_t>(-bound) % bound;
    for (;;) {
        uint32_t r = uniform32();
        if (r >= floor) return r % bound;
    }
}

std::optional<Bytes> Random::secureBytes(size_t count) {
    Bytes out(count);
    if (count && !secureBytes(out.data(), count)) return std::nullopt;
    return out;
}

std::shared_ptr<Random> Random::shared() {
    return sharedRandom().get(
        []() -> std::shared_ptr<Random> { return std::make_shared<SystemRandom>(); });
}

void Random::setShared(std::shared_ptr<Random> random) {
    sharedRandom().exchange(std::move(random));
}

bool SystemRandom::secureBytes(uint8_t* out, size_t count) {
    while (count > 0) {
        int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
        if (RAND_bytes(out, chunk) != 1) return false;
        out += chunk;
        count -= static_cast<size_t>(chunk);
    }
    return true;
}

uint32_t SystemRandom::uniform32() {
    uint32_t v = 0;
    if (!secureBytes(reinterpret_cast<uint8_t*>(&v), sizeof v)) {
        // arc4random never fails; neither may this. OpenSSL's DRBG failing is unrecoverable.
        abort();
    }
    return v;
}

}  // namespace telvo

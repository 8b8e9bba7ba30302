#include "platform/crypto/Random.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/base/Singleton.h"
#include "platform/crypto/OpenSSLLibrary.h"  // OpenSSL set up as the library loads

namespace telvo {

namespace {
SharedInstance<Random>& sharedRandom() {
    return processWide([] { return new SharedInstance<Random>(); });
}
// The calling thread's reserve of DRBG output for small draws.
class DrawBuffer {
  public:
    static constexpr size_t kSize = 512;
    // Draws larger than this go to the DRBG directly.
    static constexpr size_t kLargestServed = 64;

    ~DrawBuffer() { discard(); }

    bool take(uint8_t* out, size_t count) {
        if (count > left_) {
            // What is left first, then a fresh buffer for the rest.
            std::memcpy(out, bytes_ + kSize - left_, left_);
            out += left_;
            count -= left_;
            discard();
            if (RAND_bytes(bytes_, int(kSize)) != 1) return false;
            left_ = kSize;
        }
        uint8_t* from = bytes_ + kSize - left_;
        std::memcpy(out, from, count);
        OPENSSL_cleanse(from, count);
        left_ -= count;
        return true;
    }
    void discard() {
        OPENSSL_cleanse(bytes_, sizeof bytes_);
        left_ = 0;
    }

  private:
    uint8_t bytes_[kSize];
    size_t left_ = 0;
};

thread_local DrawBuffer tDrawBuffer;

// The child of fork() must not hand out what its parent may hand out too.
void registerForkReset() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, [] { tDrawBuffer.discard(); }); });
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

bool Random::nonzeroBytes(uint8_t* out, size_t count) {
    // A working source gives a zero once in 256 bytes; 64 more in one call means it is broken.
    constexpr size_t kMaxRedraws = 64;
    if (count == 0) return true;
    if (!secureBytes(out, count)) return false;
    size_t redraws = 0;
    for (size_t i = 0; i < count; ++i) {
        while (out[i] == 0) {
            if (++redraws > kMaxRedraws || !secureBytes(out + i, 1)) return false;
        }
    }
    return true;
}

std::shared_ptr<Random> Random::shared() {
    return sharedRandom().get(
        []() -> std::shared_ptr<Random> { return std::make_shared<SystemRandom>(); });
}

void Random::setShared(std::shared_ptr<Random> random) {
    sharedRandom().exchange(std::move(random));
}

bool SystemRandom::secureBytes(uint8_t* out, size_t count) {
    if (count <= DrawBuffer::kLargestServed) {
        registerForkReset();
        return tDrawBuffer.take(out, count);
    }
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

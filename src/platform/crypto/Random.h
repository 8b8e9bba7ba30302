#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "telvosdk/Bytes.h"

namespace telvo {

// The one source of every random draw of the library. Replaceable for tests.
class Random {
  public:
    virtual ~Random() = default;
    // Fills out with cryptographically secure bytes; false (and out unspecified) on failure.
    virtual bool secureBytes(uint8_t* out, size_t count) = 0;
    // A uniform 32-bit value (arc4random).
    virtual uint32_t uniform32() = 0;
    // A uniform value below bound (arc4random_uniform); 0 for a bound of 0.
    uint32_t uniform(uint32_t bound);
    // count secure bytes, or nullopt on failure.
    std::optional<Bytes> secureBytes(size_t count);
    // Fills out with secure bytes from 1 to 255, each uniform on that range: a zero drawn is
    // drawn again (through secureBytes). False (and out unspecified) on failure, or when the
    // source keeps giving zeros.
    bool nonzeroBytes(uint8_t* out, size_t count);

    static std::shared_ptr<Random> shared();
    // Installs a replacement (tests); nullptr restores the system source.
    static void setShared(std::shared_ptr<Random> random);
};

// The system source: OpenSSL's DRBG. Small draws come from a per-thread buffer that one
// RAND_bytes call refills; bytes handed out are wiped from it, and the buffer is wiped when its
// thread ends and dropped in the child after fork().
class SystemRandom : public Random {
  public:
    bool secureBytes(uint8_t* out, size_t count) override;
    uint32_t uniform32() override;
    using Random::secureBytes;
};

}  // namespace telvo

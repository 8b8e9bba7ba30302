#pragma once

// OpenSSL's side of the elliptic-curve tests, and a scripted random source.

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/Random.h"
#include "security/EccCore.h"
#include "telvosdk/Bytes.h"

namespace telvo::test {

struct TestCurve {
    const EccCurve* ours;
    int nid;
    int bits;
    const char* name;  // ours
    size_t bytes() const { return static_cast<size_t>(bits / 8); }
};

const std::vector<TestCurve>& testCurves();

// Big-endian helpers on OpenSSL bignums.
Bytes bnAdd(ByteView a, ByteView b, size_t width);      // (a + b) mod 2^(8 width)
Bytes bnSubWrap(ByteView a, ByteView b, size_t width);  // (a - b) mod 2^(8 width)
Bytes bnSubMod(ByteView a, ByteView b, ByteView m, size_t width);
Bytes bnMulMod(ByteView a, ByteView b, ByteView m, size_t width);
std::optional<Bytes> bnInvMod(ByteView a, ByteView m, size_t width);
Bytes wordsToBytes(const uint64_t* words, int numDigits);

// OpenSSL's curve, keys and operations (uncompressed points 04 X Y).
struct OsslCurveParams {
    Bytes p, a, b, gx, gy, n, cofactor;
};
OsslCurveParams osslCurveParams(int nid, size_t width);
std::optional<Bytes> osslPublicFromPrivate(int nid, ByteView d);         // nullopt for d = 0
std::optional<Bytes> osslMultiply(int nid, ByteView point, ByteView d);  // uncompressed
std::optional<Bytes> osslDerive(int nid, ByteView privateKey, ByteView peerPoint);
std::optional<Bytes> osslSignDer(int nid, ByteView privateKey, ByteView hash);
bool osslVerifyDer(int nid, ByteView publicPoint, ByteView hash, ByteView der);
Bytes osslDerFromRaw(ByteView raw);                               // i2d_ECDSA_SIG
std::optional<Bytes> osslRawFromDer(ByteView der, size_t width);  // d2i_ECDSA_SIG
bool osslPointOnCurve(int nid, ByteView point);

// The compressed form (02/03 X) of an uncompressed point.
Bytes compressPoint(ByteView uncompressed);

// Hands out scripted blocks first (one per request, each the requested size), then either
// fails or falls back to the system source.
class ScriptedRandom : public Random {
  public:
    explicit ScriptedRandom(bool failWhenEmpty) : failWhenEmpty_(failWhenEmpty) {}
    void push(Bytes block) { blocks_.push_back(std::move(block)); }
    bool secureBytes(uint8_t* out, size_t count) override;
    uint32_t uniform32() override { return 4; }
    using Random::secureBytes;
    int requests = 0;

  private:
    std::deque<Bytes> blocks_;
    bool failWhenEmpty_;
    SystemRandom system_;
};

// Installs a random source for the scope of a test.
class RandomScope {
  public:
    explicit RandomScope(std::shared_ptr<Random> random) { Random::setShared(std::move(random)); }
    ~RandomScope() { Random::setShared(nullptr); }
};

}  // namespace telvo::test

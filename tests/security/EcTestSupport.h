#pragma once

// OpenSSL's side of the elliptic-curve tests.

#include <optional>
#include <string>
#include <vector>

#include "security/EccCore.h"
#include "security/ScriptedRandom.h"
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
Bytes bnAdd(ByteView a, ByteView b, size_t width);  // (a + b) mod 2^(8 width)
Bytes bnSubMod(ByteView a, ByteView b, ByteView m, size_t width);
Bytes bnMulMod(ByteView a, ByteView b, ByteView m, size_t width);
std::optional<Bytes> bnInvMod(ByteView a, ByteView m, size_t width);
Bytes wordsToBytes(const uint64_t* words, int numDigits);

// OpenSSL's curve, keys and operations (uncompressed points 04 X Y).
std::optional<Bytes> osslPublicFromPrivate(int nid, ByteView d);  // nullopt for d = 0
std::optional<Bytes> osslDerive(int nid, ByteView privateKey, ByteView peerPoint);
std::optional<Bytes> osslSignDer(int nid, ByteView privateKey, ByteView hash);
bool osslVerifyDer(int nid, ByteView publicPoint, ByteView hash, ByteView der);
Bytes osslDerFromRaw(ByteView raw);                               // i2d_ECDSA_SIG
std::optional<Bytes> osslRawFromDer(ByteView der, size_t width);  // d2i_ECDSA_SIG
bool osslPointOnCurve(int nid, ByteView point);

// The compressed form (02/03 X) of an uncompressed point.
Bytes compressPoint(ByteView uncompressed);

}  // namespace telvo::test

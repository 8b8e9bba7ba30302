// The elliptic-curve operations must neither branch on secret values nor index memory with
// them: the P-256 building blocks, and the whole operations on every curve (key generation,
// signature with its nonce and blinding draws, ECDH, and the key object above them). Run under
// valgrind's memcheck with the secrets marked undefined, memcheck reports any jump or address
// that depends on them. The library declares public what may be branched on (the range checks
// of draws and keys, the point at infinity, public keys and signatures); nothing else.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/crypto/Random.h"
#include "security/EccCore.h"
#include "security/EccP256.h"
#include "security/EccP256Field.h"
#include "security/ScriptedRandom.h"
#include "telvosdk/QKEllipticCurveCrypto.h"

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define TELVO_TEST_MEMCHECK 1
#else
#define TELVO_TEST_MEMCHECK 0
#define RUNNING_ON_VALGRIND 0
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TELVO_TEST_CLANG_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || \
    defined(TELVO_TEST_CLANG_SANITIZED)
#define TELVO_TEST_SANITIZED 1
#else
#define TELVO_TEST_SANITIZED 0
#endif

namespace telvo::test {
namespace {

using ecc::u64;
namespace p256 = ecc::p256;
using Words = std::array<u64, 4>;

void secret(void* data, size_t size) {
#if TELVO_TEST_MEMCHECK
    VALGRIND_MAKE_MEM_UNDEFINED(data, size);
#else
    (void)data;
    (void)size;
#endif
}

void declassify(void* data, size_t size) {
#if TELVO_TEST_MEMCHECK
    VALGRIND_MAKE_MEM_DEFINED(data, size);
#else
    (void)data;
    (void)size;
#endif
}

// A scalar below n with all four words drawn.
Words scalar(std::mt19937_64& rng) {
    Words k = {rng(), rng(), rng(), rng() >> 1};
    return k;
}

// Each operation runs once on plain values and once with its secret inputs marked undefined;
// the results must agree (memcheck, if running, reports any use of the secrets on the way).
struct Operation {
    const char* name;
    Words (*run)(const Words& secretValue, bool markSecret);
};

Words affineX(const p256::Jacobian& point) {
    p256::Affine a;
    p256::toAffine(a, point);
    Words x = {a.x[0], a.x[1], a.x[2], a.x[3]};
    declassify(x.data(), sizeof x);
    return x;
}

const Operation kOperations[] = {
    {"k * G",
     [](const Words& value, bool mark) {
         Words k = value;
         if (mark) secret(k.data(), sizeof k);
         p256::Jacobian out;
         p256::baseMult(out, k.data());
         return affineX(out);
     }},
    {"k * P with a secret blinding Z",
     [](const Words& value, bool mark) {
         Words k = value, z = {value[3], value[2], 7, 1};
         p256::Affine g;
         p256::fe_toMont(g.x, p256::kGx);
         p256::fe_toMont(g.y, p256::kGy);
         p256::fe_toMont(z.data(), z.data());
         if (mark) {
             secret(k.data(), sizeof k);
             secret(z.data(), sizeof z);
         }
         p256::Jacobian out;
         p256::varMult(out, g, k.data(), z.data());
         return affineX(out);
     }},
    {"nonce inverse and s modulo n",
     [](const Words& value, bool mark) {
         Words k = value, d = {value[1], value[0], value[3], 3}, r = {5, 6, 7, 8}, s;
         if (mark) {
             secret(k.data(), sizeof k);
             secret(d.data(), sizeof d);
         }
         p256::sc_toMont(k.data(), k.data());
         p256::sc_toMont(d.data(), d.data());
         p256::sc_inv(k.data(), k.data());
         p256::sc_mul(s.data(), r.data(), d.data());
         p256::sc_add(s.data(), s.data(), r.data());
         p256::sc_mul(s.data(), s.data(), k.data());
         declassify(s.data(), sizeof s);
         return s;
     }},
    {"inverse and root modulo p",
     [](const Words& value, bool mark) {
         Words a = value, b;
         if (mark) secret(a.data(), sizeof a);
         p256::fe_toMont(a.data(), a.data());
         p256::fe_inv(b.data(), a.data());
         p256::fe_sqrt(a.data(), a.data());
         p256::fe_add(a.data(), a.data(), b.data());
         p256::fe_fromMont(a.data(), a.data());
         declassify(a.data(), sizeof a);
         return a;
     }},
};

// Every byte it hands out is secret: drawn from a seeded generator (a run with the marks and
// one without draw the same bytes), then marked undefined when asked to.
class SecretRandom : public Random {
  public:
    SecretRandom(uint64_t seed, bool mark) : rng_(seed), mark_(mark) {}
    bool secureBytes(uint8_t* out, size_t count) override {
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(rng_());
        if (mark_) secret(out, count);
        return true;
    }
    uint32_t uniform32() override { return static_cast<uint32_t>(rng_()); }
    using Random::secureBytes;

  private:
    std::mt19937_64 rng_;
    bool mark_;
};

// What the whole operations on one curve gave, secrets declassified for the comparison.
std::vector<Bytes> wholeOperations(int bits, bool mark) {
    const EccCurve& curve = bits == 128   ? kEccSecp128r1
                            : bits == 192 ? kEccSecp192r1
                            : bits == 256 ? kEccSecp256r1
                                          : kEccSecp384r1;
    const size_t size = static_cast<size_t>(bits / 8);
    RandomScope scope(std::make_shared<SecretRandom>(uint64_t(bits), mark));
    std::vector<Bytes> out;
    auto keep = [&](Bytes value) {
        declassify(value.data(), value.size());
        out.push_back(std::move(value));
    };
    // The core: a key pair, the public key again from the private key, a signature, ECDH with
    // a peer's key.
    Bytes publicKey(size + 1), privateKey(size), again(size + 1), signature(2 * size);
    Bytes peerPublic(size + 1), peerPrivate(size), shared(size);
    Bytes hash(size, 0x5A);
    EXPECT_EQ(ecc_make_key(publicKey.data(), privateKey.data(), curve), 1);
    EXPECT_EQ(ecc_make_key(peerPublic.data(), peerPrivate.data(), curve), 1);
    EXPECT_EQ(ecc_compute_public_key(privateKey.data(), again.data(), curve), 1);
    EXPECT_EQ(again, publicKey);  // public: compared as it is
    EXPECT_EQ(ecdsa_sign(privateKey.data(), hash.data(), signature.data(), curve), 1);
    EXPECT_EQ(ecdsa_verify(publicKey.data(), hash.data(), signature.data(), curve), 1);
    EXPECT_EQ(ecdh_shared_secret(peerPublic.data(), privateKey.data(), shared.data(), curve), 1);
    keep(publicKey);
    keep(privateKey);
    keep(signature);
    keep(shared);

    // The key object: a fresh pair, signatures (raw, and hashed then DER), ECDH; a second
    // object given the private key (marked, where the first one's came from marked draws).
    auto object = QKEllipticCurveCrypto::generateKeyPairForCurve(bits);
    auto raw = object->signatureForHash(hash);
    EXPECT_TRUE(raw && object->verifySignature(*raw, hash));
    const Bytes data = {'d', 'a', 't', 'a'};
    auto encoded = bits == 384 ? object->hashSHA384AndSignDataEncoded(data)
                               : object->hashSHA256AndSignDataEncoded(data);
    EXPECT_TRUE(encoded);
    auto objectShared = object->sharedSecretForPublicKey(peerPublic);
    EXPECT_TRUE(objectShared);
    auto given = QKEllipticCurveCrypto::cryptoForCurve(bits);
    if (mark) secret(peerPrivate.data(), peerPrivate.size());
    given->setPrivateKey(peerPrivate);
    EXPECT_EQ(given->publicKey(), peerPublic);
    auto givenShared = given->sharedSecretForPublicKey(*object->publicKey());
    keep(raw.value_or(Bytes{}));
    keep(encoded.value_or(Bytes{}));
    keep(objectShared.value_or(Bytes{}));
    keep(givenShared.value_or(Bytes{}));
    EXPECT_EQ(out.back(), out[out.size() - 2]);  // both sides agree
    keep(object->privateKey().value_or(Bytes{}));
    return out;
}

// Runs every operation on a few scalars, the last ones with secrets marked. Skips unless it
// runs under valgrind: NoBranchOrIndexOnSecrets starts it there.
TEST(EccConstantTime, ProbeUnderMemcheck) {
    if (!RUNNING_ON_VALGRIND) GTEST_SKIP() << "runs under valgrind only";
    std::mt19937_64 rng(4242);
    for (const auto& op : kOperations) {
        SCOPED_TRACE(op.name);
        for (int i = 0; i < 3; ++i) {
            Words k = scalar(rng);
            if (i == 0) k = {1, 0, 0, 0};
            EXPECT_EQ(op.run(k, true), op.run(k, false));
        }
    }
}

// The whole operations on every curve, once with every draw and every private key marked
// secret and once without; the same results.
TEST(EccConstantTime, ProbeWholeOperationsUnderMemcheck) {
    if (!RUNNING_ON_VALGRIND) GTEST_SKIP() << "runs under valgrind only";
    for (int bits : {128, 192, 256, 384}) {
        SCOPED_TRACE(bits);
        EXPECT_EQ(wholeOperations(bits, true), wholeOperations(bits, false));
    }
}

TEST(EccConstantTime, NoBranchOrIndexOnSecrets) {
    if (!TELVO_TEST_MEMCHECK || TELVO_TEST_SANITIZED)
        GTEST_SKIP() << "needs valgrind's memcheck.h and a build without sanitizers";
    if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "already under valgrind";
    if (std::system("command -v valgrind >/dev/null 2>&1") != 0) GTEST_SKIP() << "no valgrind";
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = 0;
    std::string command = std::string("valgrind --tool=memcheck --error-exitcode=3 -q ") + self +
                          " --gtest_filter='EccConstantTime.Probe*' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    for (const char* probe : {"ProbeUnderMemcheck", "ProbeWholeOperationsUnderMemcheck"})
        EXPECT_NE(output.find(std::string("[       OK ] EccConstantTime.") + probe),
                  std::string::npos)
            << output;
}

}  // namespace
}  // namespace telvo::test

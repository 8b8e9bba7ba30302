// The P-256 multiplications, the inversions and the signing arithmetic must neither branch
// on secret values nor index memory with them. Run under valgrind's memcheck with the secrets
// marked undefined, memcheck reports any jump or address that depends on them.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "security/EccP256.h"
#include "security/EccP256Field.h"

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
                          " --gtest_filter=EccConstantTime.ProbeUnderMemcheck 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("[       OK ] EccConstantTime.ProbeUnderMemcheck"), std::string::npos)
        << output;
}

}  // namespace
}  // namespace telvo::test

#pragma once

// P-256 Montgomery multiplication, squaring, addition and subtraction modulo p, and Montgomery
// multiplication modulo n, for x86-64 (baseline instructions: mul, adc, cmov), as inline
// assembly: compilers keep the carries of these chains poorly. Same contracts as the portable
// functions in EccP256Field.h, which they match. Defines TELVO_ECC_P256_AMD64 to 1 where they
// exist.

#include "security/EccWords.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define TELVO_ECC_P256_AMD64 1

namespace telvo::ecc::p256 {

// clang-format off

// The macros take register names so that the unrolled rounds can rotate them.

// The steps of a row: T += rax * rcx (+ rbx); the carry word goes to rbx.
#define TELVO_P256_MAC0(T) \
    "mulq %%rcx\n\t" \
    "addq %%rax, %%" T "\n\t" \
    "adcq $0, %%rdx\n\t" \
    "movq %%rdx, %%rbx\n\t"

#define TELVO_P256_MAC(T) \
    "mulq %%rcx\n\t" \
    "addq %%rbx, %%rax\n\t" \
    "adcq $0, %%rdx\n\t" \
    "addq %%rax, %%" T "\n\t" \
    "adcq $0, %%rdx\n\t" \
    "movq %%rdx, %%rbx\n\t"

// Accumulator T0..T4 += a * b[off / 8]; T5 receives the carry out of T4.
#define TELVO_P256_ROW(off, T0, T1, T2, T3, T4, T5) \
    "movq " off "(%[b]), %%rcx\n\t" \
    "movq 0(%[a]), %%rax\n\t" \
    TELVO_P256_MAC0(T0) \
    "movq 8(%[a]), %%rax\n\t" \
    TELVO_P256_MAC(T1) \
    "movq 16(%[a]), %%rax\n\t" \
    TELVO_P256_MAC(T2) \
    "movq 24(%[a]), %%rax\n\t" \
    TELVO_P256_MAC(T3) \
    "xorq %%" T5 ", %%" T5 "\n\t" \
    "addq %%rbx, %%" T4 "\n\t" \
    "adcq $0, %%" T5 "\n\t"

// One Montgomery round with m = T0 (-p^-1 = 1 mod 2^64): T0..T5 += m * p, after which T0 is
// zero and T1..T5 hold the value shifted down a word. m * p adds m << 32 at word 1 and
// m * (2^64 - 2^32 + 1) at word 3.
#define TELVO_P256_ROUND(T0, T1, T2, T3, T4, T5) \
    "movabsq $0xffffffff00000001, %%rcx\n\t" \
    "movq %%" T0 ", %%rax\n\t" \
    "mulq %%rcx\n\t" \
    "movq %%" T0 ", %%rbx\n\t" \
    "shlq $32, %%rbx\n\t" \
    "shrq $32, %%" T0 "\n\t" \
    "addq %%rbx, %%" T1 "\n\t" \
    "adcq %%" T0 ", %%" T2 "\n\t" \
    "adcq %%rax, %%" T3 "\n\t" \
    "adcq %%rdx, %%" T4 "\n\t" \
    "adcq $0, %%" T5 "\n\t"

// The same round on a four-word value without the words above it, m * (2^64 - 2^32 + 1)
// made with shifts: (m - (m >> 32) - borrow, m - (m << 32)). Afterwards T1, T2, T3, T0 hold
// the value.
#define TELVO_P256_ROUND4(T0, T1, T2, T3) \
    "movq %%" T0 ", %%rax\n\t" \
    "shlq $32, %%rax\n\t" \
    "movq %%" T0 ", %%rdx\n\t" \
    "shrq $32, %%rdx\n\t" \
    "movq %%" T0 ", %%rbx\n\t" \
    "subq %%rax, %%rbx\n\t" \
    "movq %%" T0 ", %%rcx\n\t" \
    "sbbq %%rdx, %%rcx\n\t" \
    "addq %%rax, %%" T1 "\n\t" \
    "adcq %%rdx, %%" T2 "\n\t" \
    "adcq %%rbx, %%" T3 "\n\t" \
    "adcq $0, %%rcx\n\t" \
    "movq %%rcx, %%" T0 "\n\t"

// (top, A, B, C, D) - m into (top, X, Y, Z, W): the subtraction of p and of n (S is scratch).
#define TELVO_P256_SUB_P(top, A, B, C, D, X, Y, Z, W, S) \
    "movq %%" A ", %%" X "\n\t" \
    "movq %%" B ", %%" Y "\n\t" \
    "movq %%" C ", %%" Z "\n\t" \
    "movq %%" D ", %%" W "\n\t" \
    "subq $-1, %%" X "\n\t" \
    "movl $0xffffffff, %%" S "d\n\t" \
    "sbbq %%" S ", %%" Y "\n\t" \
    "sbbq $0, %%" Z "\n\t" \
    "movabsq $0xffffffff00000001, %%" S "\n\t" \
    "sbbq %%" S ", %%" W "\n\t" \
    "sbbq $0, %%" top "\n\t"

#define TELVO_P256_SUB_N(top, A, B, C, D, X, Y, Z, W, S) \
    "movq %%" A ", %%" X "\n\t" \
    "movq %%" B ", %%" Y "\n\t" \
    "movq %%" C ", %%" Z "\n\t" \
    "movq %%" D ", %%" W "\n\t" \
    "movabsq $0xf3b9cac2fc632551, %%" S "\n\t" \
    "subq %%" S ", %%" X "\n\t" \
    "movabsq $0xbce6faada7179e84, %%" S "\n\t" \
    "sbbq %%" S ", %%" Y "\n\t" \
    "sbbq $-1, %%" Z "\n\t" \
    "movabsq $0xffffffff00000000, %%" S "\n\t" \
    "sbbq %%" S ", %%" W "\n\t" \
    "sbbq $0, %%" top "\n\t"

// Stores (top, A, B, C, D) - m to r[0..3] when that does not borrow, else (A, B, C, D); X, Y,
// Z, W and S are scratch. SUB is TELVO_P256_SUB_P or TELVO_P256_SUB_N.
#define TELVO_P256_FINAL(SUB, top, A, B, C, D, X, Y, Z, W, S) \
    SUB(top, A, B, C, D, X, Y, Z, W, S) \
    "cmovcq %%" A ", %%" X "\n\t" \
    "cmovcq %%" B ", %%" Y "\n\t" \
    "cmovcq %%" C ", %%" Z "\n\t" \
    "cmovcq %%" D ", %%" W "\n\t" \
    "movq %%" X ", 0(%[r])\n\t" \
    "movq %%" Y ", 8(%[r])\n\t" \
    "movq %%" Z ", 16(%[r])\n\t" \
    "movq %%" W ", 24(%[r])\n\t"

// A Montgomery round modulo n with m = T0 * (-n^-1 mod 2^64): T0..T5 += m * n, after which T0
// is zero and T1..T5 hold the value shifted down a word.
#define TELVO_P256_NROUND(T0, T1, T2, T3, T4, T5) \
    "movabsq $0xccd1c8aaee00bc4f, %%rcx\n\t" \
    "imulq %%" T0 ", %%rcx\n\t" \
    "movabsq $0xf3b9cac2fc632551, %%rax\n\t" \
    TELVO_P256_MAC0(T0) \
    "movabsq $0xbce6faada7179e84, %%rax\n\t" \
    TELVO_P256_MAC(T1) \
    "movq $-1, %%rax\n\t" \
    TELVO_P256_MAC(T2) \
    "movabsq $0xffffffff00000000, %%rax\n\t" \
    TELVO_P256_MAC(T3) \
    "addq %%rbx, %%" T4 "\n\t" \
    "adcq $0, %%" T5 "\n\t"

// Montgomery multiplication a * b / 2^256 with rows and rounds interleaved: ROUND and SUB are
// those of the modulus. The accumulator stays below twice the modulus, plus a.
#define TELVO_P256_MONT_MUL(ROUND, SUB) \
    "movq 0(%[b]), %%rcx\n\t" \
    "movq 0(%[a]), %%rax\n\t" \
    "mulq %%rcx\n\t" \
    "movq %%rax, %%r8\n\t" \
    "movq %%rdx, %%r9\n\t" \
    "movq 8(%[a]), %%rax\n\t" \
    "mulq %%rcx\n\t" \
    "addq %%rax, %%r9\n\t" \
    "adcq $0, %%rdx\n\t" \
    "movq %%rdx, %%r10\n\t" \
    "movq 16(%[a]), %%rax\n\t" \
    "mulq %%rcx\n\t" \
    "addq %%rax, %%r10\n\t" \
    "adcq $0, %%rdx\n\t" \
    "movq %%rdx, %%r11\n\t" \
    "movq 24(%[a]), %%rax\n\t" \
    "mulq %%rcx\n\t" \
    "addq %%rax, %%r11\n\t" \
    "adcq $0, %%rdx\n\t" \
    "movq %%rdx, %%r12\n\t" \
    "xorq %%r13, %%r13\n\t" \
    ROUND("r8", "r9", "r10", "r11", "r12", "r13") \
    TELVO_P256_ROW("8", "r9", "r10", "r11", "r12", "r13", "r8") \
    ROUND("r9", "r10", "r11", "r12", "r13", "r8") \
    TELVO_P256_ROW("16", "r10", "r11", "r12", "r13", "r8", "r9") \
    ROUND("r10", "r11", "r12", "r13", "r8", "r9") \
    TELVO_P256_ROW("24", "r11", "r12", "r13", "r8", "r9", "r10") \
    ROUND("r11", "r12", "r13", "r8", "r9", "r10") \
    TELVO_P256_FINAL(SUB, "r10", "r12", "r13", "r8", "r9", "rax", "rdx", "rbx", "rcx", "r11")

ECC_INLINE void fe_mulAmd64(u64* r, const u64* a, const u64* b) {
    __asm__ volatile(TELVO_P256_MONT_MUL(TELVO_P256_ROUND, TELVO_P256_SUB_P)
                     :
                     : [r] "r"(r), [a] "r"(a), [b] "r"(b)
                     : "rax", "rbx", "rcx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "cc",
                       "memory");
}

// The cross products once, doubled, plus the squares: eight words in r8..r15; then four
// rounds on the low half and the high half added.
ECC_INLINE void fe_sqrAmd64(u64* r, const u64* a) {
    __asm__ volatile(
        // a0 a1, a0 a2, a0 a3 into r9..r12
        "movq 0(%[a]), %%rcx\n\t"
        "movq 8(%[a]), %%rax\n\t"
        "mulq %%rcx\n\t"
        "movq %%rax, %%r9\n\t"
        "movq %%rdx, %%r10\n\t"
        "movq 16(%[a]), %%rax\n\t"
        "mulq %%rcx\n\t"
        "addq %%rax, %%r10\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %%r11\n\t"
        "movq 24(%[a]), %%rax\n\t"
        "mulq %%rcx\n\t"
        "addq %%rax, %%r11\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %%r12\n\t"
        // a1 a2, a1 a3
        "movq 8(%[a]), %%rcx\n\t"
        "movq 16(%[a]), %%rax\n\t"
        "mulq %%rcx\n\t"
        "addq %%rax, %%r11\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %%rbx\n\t"
        "movq 24(%[a]), %%rax\n\t"
        "mulq %%rcx\n\t"
        "addq %%rbx, %%rax\n\t"
        "adcq $0, %%rdx\n\t"
        "addq %%rax, %%r12\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %%r13\n\t"
        // a2 a3
        "movq 16(%[a]), %%rcx\n\t"
        "movq 24(%[a]), %%rax\n\t"
        "mulq %%rcx\n\t"
        "addq %%rax, %%r13\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %%r14\n\t"
        // doubled
        "xorq %%r15, %%r15\n\t"
        "addq %%r9, %%r9\n\t"
        "adcq %%r10, %%r10\n\t"
        "adcq %%r11, %%r11\n\t"
        "adcq %%r12, %%r12\n\t"
        "adcq %%r13, %%r13\n\t"
        "adcq %%r14, %%r14\n\t"
        "adcq $0, %%r15\n\t"
        // plus the squares, the carry kept in rbx across each mul
        "movq 0(%[a]), %%rax\n\t"
        "mulq %%rax\n\t"
        "movq %%rax, %%r8\n\t"
        "movq %%rdx, %%rbx\n\t"
        "movq 8(%[a]), %%rax\n\t"
        "mulq %%rax\n\t"
        "addq %%rbx, %%r9\n\t"
        "adcq %%rax, %%r10\n\t"
        "adcq %%rdx, %%r11\n\t"
        "movl $0, %%ebx\n\t"
        "adcq $0, %%rbx\n\t"
        "movq 16(%[a]), %%rax\n\t"
        "mulq %%rax\n\t"
        "addq %%rbx, %%rax\n\t"
        "adcq $0, %%rdx\n\t"
        "addq %%rax, %%r12\n\t"
        "adcq %%rdx, %%r13\n\t"
        "movl $0, %%ebx\n\t"
        "adcq $0, %%rbx\n\t"
        "movq 24(%[a]), %%rax\n\t"
        "mulq %%rax\n\t"
        "addq %%rbx, %%rax\n\t"
        "adcq $0, %%rdx\n\t"
        "addq %%rax, %%r14\n\t"
        "adcq %%rdx, %%r15\n\t"
        TELVO_P256_ROUND4("r8", "r9", "r10", "r11")
        TELVO_P256_ROUND4("r9", "r10", "r11", "r8")
        TELVO_P256_ROUND4("r10", "r11", "r8", "r9")
        TELVO_P256_ROUND4("r11", "r8", "r9", "r10")
        // low half (at most p) plus high half (below p)
        "xorq %%rbx, %%rbx\n\t"
        "addq %%r8, %%r12\n\t"
        "adcq %%r9, %%r13\n\t"
        "adcq %%r10, %%r14\n\t"
        "adcq %%r11, %%r15\n\t"
        "adcq $0, %%rbx\n\t"
        TELVO_P256_FINAL(TELVO_P256_SUB_P, "rbx", "r12", "r13", "r14", "r15",
                         "rax", "rdx", "rcx", "r8", "r9")
        :
        : [r] "r"(r), [a] "r"(a)
        : "rax", "rbx", "rcx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "cc",
          "memory");
}

// r = a + b mod p.
ECC_INLINE void fe_addAmd64(u64* r, const u64* a, const u64* b) {
    __asm__ volatile(
        "movq 0(%[a]), %%r8\n\t"
        "movq 8(%[a]), %%r9\n\t"
        "movq 16(%[a]), %%r10\n\t"
        "movq 24(%[a]), %%r11\n\t"
        "xorq %%rax, %%rax\n\t"
        "addq 0(%[b]), %%r8\n\t"
        "adcq 8(%[b]), %%r9\n\t"
        "adcq 16(%[b]), %%r10\n\t"
        "adcq 24(%[b]), %%r11\n\t"
        "adcq $0, %%rax\n\t"
        TELVO_P256_FINAL(TELVO_P256_SUB_P, "rax", "r8", "r9", "r10", "r11",
                         "rdx", "rcx", "rbx", "r12", "r13")
        :
        : [r] "r"(r), [a] "r"(a), [b] "r"(b)
        : "rax", "rbx", "rcx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "cc", "memory");
}

// r = a - b mod p: p masked by the borrow is added back.
ECC_INLINE void fe_subAmd64(u64* r, const u64* a, const u64* b) {
    __asm__ volatile(
        "movq 0(%[a]), %%r8\n\t"
        "movq 8(%[a]), %%r9\n\t"
        "movq 16(%[a]), %%r10\n\t"
        "movq 24(%[a]), %%r11\n\t"
        "subq 0(%[b]), %%r8\n\t"
        "sbbq 8(%[b]), %%r9\n\t"
        "sbbq 16(%[b]), %%r10\n\t"
        "sbbq 24(%[b]), %%r11\n\t"
        "sbbq %%rax, %%rax\n\t"
        "movl %%eax, %%ecx\n\t"
        "movabsq $0xffffffff00000001, %%rdx\n\t"
        "andq %%rax, %%rdx\n\t"
        "addq %%rax, %%r8\n\t"
        "adcq %%rcx, %%r9\n\t"
        "adcq $0, %%r10\n\t"
        "adcq %%rdx, %%r11\n\t"
        "movq %%r8, 0(%[r])\n\t"
        "movq %%r9, 8(%[r])\n\t"
        "movq %%r10, 16(%[r])\n\t"
        "movq %%r11, 24(%[r])\n\t"
        :
        : [r] "r"(r), [a] "r"(a), [b] "r"(b)
        : "rax", "rcx", "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
}

// a * b / 2^256 mod n.
ECC_INLINE void sc_mulAmd64(u64* r, const u64* a, const u64* b) {
    __asm__ volatile(TELVO_P256_MONT_MUL(TELVO_P256_NROUND, TELVO_P256_SUB_N)
                     :
                     : [r] "r"(r), [a] "r"(a), [b] "r"(b)
                     : "rax", "rbx", "rcx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "cc",
                       "memory");
}

#undef TELVO_P256_MAC0
#undef TELVO_P256_MAC
#undef TELVO_P256_ROW
#undef TELVO_P256_ROUND
#undef TELVO_P256_ROUND4
#undef TELVO_P256_FINAL
#undef TELVO_P256_NROUND
#undef TELVO_P256_SUB_P
#undef TELVO_P256_SUB_N
#undef TELVO_P256_MONT_MUL

// clang-format on

}  // namespace telvo::ecc::p256

#else
#define TELVO_ECC_P256_AMD64 0
#endif

#pragma once

// The random draws of an ECDSA signature, the same for every curve of the core: a nonce k
// (0 < k < n) until r is not 0, a non-zero blinding value b, and again from a new k when s is
// 0; at most 16 draws in all. Internal to the core's source files.

#include <cstdint>

#include "platform/crypto/Crypto.h"
#include "platform/crypto/Random.h"
#include "security/EccCore.h"
#include "security/EccWords.h"

namespace telvo::ecc {

// rFromNonce(k, r) makes r and returns false when it is 0; sFrom(k, b, r, s) makes s (with
// k^-1 = b (k b)^-1) and returns false when it is 0; both declare r and s public (they are the
// signature) before they look at them. Writes r then s on success.
template <int N, class RFromNonce, class SFrom>
int signWithDraws(const u64* n, uint8_t* signature, RFromNonce&& rFromNonce, SFrom&& sFrom) {
    auto random = Random::shared();
    u64 k[N], b[N], r[N], s[N];
    uint8_t drawn[N * 8];
    int result = 0;
    int tries = 0;
    while (tries < 16 && !result) {
        ++tries;
        if (!random->secureBytes(drawn, sizeof drawn)) break;
        ecc_bytes2native(k, drawn, N);
        if (!declassified(vli_lessThan<N>(k, n) & (vli_isZero<N>(k) ^ 1))) continue;
        if (!rFromNonce(k, r)) continue;
        bool drew = false;
        while (tries < 16) {
            ++tries;
            if (!random->secureBytes(drawn, sizeof drawn)) break;
            ecc_bytes2native(b, drawn, N);
            if (!declassified(vli_isZero<N>(b))) {
                drew = true;
                break;
            }
        }
        if (!drew) break;
        if (!sFrom(k, b, r, s)) continue;
        ecc_native2bytes(signature, r, N);
        ecc_native2bytes(signature + N * 8, s, N);
        result = 1;
    }
    crypto::cleanse(k, sizeof k);
    crypto::cleanse(b, sizeof b);
    crypto::cleanse(drawn, sizeof drawn);
    return result;
}

}  // namespace telvo::ecc

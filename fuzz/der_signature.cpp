// DER signature decoding. Byte 0 picks the key size; the rest is the DER input. A decoded
// signature re-encodes and decodes to itself; canonical DER that OpenSSL reads decodes to the
// same r and s; verification of the input never fails other than by answering NO.
#include <openssl/bn.h>
#include <openssl/ecdsa.h>

#include <cstdlib>

#include "platform/crypto/OpenSSLPtr.h"
#include "telvosdk/QKEllipticCurveCrypto.h"

using telvo::Bytes;
using telvo::QKEllipticCurveCrypto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const size_t kSizes[] = {16, 24, 32, 48};
    const size_t width = kSizes[data[0] & 3];
    telvo::ByteView der(data + 1, size - 1);

    auto raw = QKEllipticCurveCrypto::derDecodeSignature(der, width);
    if (raw) {
        if (raw->size() != 2 * width) abort();
        auto again = QKEllipticCurveCrypto::derEncodeSignature(*raw);
        if (!again) abort();
        if (QKEllipticCurveCrypto::derDecodeSignature(*again, width) != raw) abort();
    }

    // What OpenSSL reads, in its canonical form, decodes to the same numbers.
    const uint8_t* cursor = der.data();
    telvo::EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
    if (sig) {
        const BIGNUM* r = ECDSA_SIG_get0_r(sig.get());
        const BIGNUM* s = ECDSA_SIG_get0_s(sig.get());
        if (!BN_is_negative(r) && !BN_is_negative(s) &&
            static_cast<size_t>(BN_num_bytes(r)) <= width &&
            static_cast<size_t>(BN_num_bytes(s)) <= width) {
            int len = i2d_ECDSA_SIG(sig.get(), nullptr);
            Bytes canonical(static_cast<size_t>(len));
            uint8_t* out = canonical.data();
            i2d_ECDSA_SIG(sig.get(), &out);
            Bytes expected(2 * width);
            BN_bn2binpad(r, expected.data(), static_cast<int>(width));
            BN_bn2binpad(s, expected.data() + width, static_cast<int>(width));
            auto decoded = QKEllipticCurveCrypto::derDecodeSignature(canonical, width);
            if (!decoded || *decoded != expected) abort();
            if (QKEllipticCurveCrypto::derEncodeSignature(expected) != canonical) abort();
        }
    }

    if (width == 32) {
        static auto verifier = QKEllipticCurveCrypto::generateKeyPairForCurve(256);
        if (verifier->verifyEncodedSignature(der, Bytes(32, 0x5a))) abort();
        verifier->hashSHA256AndVerifyEncodedSignature(der, der);
    }
    return 0;
}

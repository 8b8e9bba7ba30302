#pragma once

// OpenSSL's own AES-CCM: the reference that tests, benchmarks and fuzz targets compare the
// library's engine with. Header-only so that fuzz targets and benchmarks can use it without
// the simulator library.

#include <openssl/evp.h>

#include <memory>
#include <optional>

#include "platform/crypto/OpenSSLPtr.h"
#include "telvosdk/Bytes.h"

namespace telvo::test {

// seal: input is the payload, the result payload-length ciphertext || tag.
// open: input is ciphertext || tag, the result the plaintext, nothing when the tag is wrong.
inline std::optional<Bytes> referenceCcm(bool seal, ByteView key, ByteView nonce, ByteView ad,
                                         ByteView input, size_t tagLength) {
    const char* name = key.size() == 16   ? "AES-128-CCM"
                       : key.size() == 24 ? "AES-192-CCM"
                                          : "AES-256-CCM";
    EvpCipherPtr cipher(EVP_CIPHER_fetch(nullptr, name, nullptr));
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx || (!seal && input.size() < tagLength)) return std::nullopt;
    size_t length = seal ? input.size() : input.size() - tagLength;
    uint8_t* tag = seal ? nullptr : const_cast<uint8_t*>(input.data() + length);
    static const uint8_t none = 0;
    int n = 0;
    if (!EVP_CipherInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, seal, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(nonce.size()),
                             nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tagLength), tag) ||
        !EVP_CipherInit_ex2(ctx.get(), nullptr, key.data(), nonce.data(), seal, nullptr) ||
        !EVP_CipherUpdate(ctx.get(), nullptr, &n, nullptr, static_cast<int>(length)))
        return std::nullopt;
    if (!ad.empty() &&
        !EVP_CipherUpdate(ctx.get(), nullptr, &n, ad.data(), static_cast<int>(ad.size())))
        return std::nullopt;
    Bytes out(length + (seal ? tagLength : 0));
    // Without an output pointer the payload step would count as associated data, and the tag
    // of an empty message would go unchecked.
    uint8_t nowhere = 0;
    if (!EVP_CipherUpdate(ctx.get(), out.empty() ? &nowhere : out.data(), &n,
                          length ? input.data() : &none, static_cast<int>(length)))
        return std::nullopt;
    if (seal && (!EVP_CipherFinal_ex(ctx.get(), out.data() + length, &n) ||
                 !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tagLength),
                                      out.data() + length)))
        return std::nullopt;
    return out;
}

}  // namespace telvo::test

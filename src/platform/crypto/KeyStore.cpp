#include "platform/crypto/KeyStore.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <atomic>

#include "platform/crypto/OpenSSLLibrary.h"

namespace telvo {

namespace {

constexpr size_t kP256FieldBytes = 32;
constexpr size_t kP256PublicSize = 1 + 2 * kP256FieldBytes;
constexpr size_t kP256PrivateSize = kP256PublicSize + kP256FieldBytes;

std::atomic<uint64_t> gGeneratePairCalls{0};

void setError(ErrorPtr* error, OSStatus status, std::string text) {
    ERR_clear_error();
    if (error) *error = makeError(kOSStatusErrorDomain, status, std::move(text));
}

bool isEcType(SecKeyType type) {
    return type == SecKeyType::EC || type == SecKeyType::ECSECPrimeRandom;
}

// The public half only, through its SubjectPublicKeyInfo.
EvpPkeyPtr publicHalf(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(key, &der);
    if (length <= 0) return nullptr;
    const unsigned char* cursor = der;
    EvpPkeyPtr result(d2i_PUBKEY(nullptr, &cursor, length));
    OPENSSL_free(der);
    return result;
}

bool hasPrivateHalf(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "EC")) {
        BIGNUM* d = nullptr;
        if (!EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d)) return false;
        BN_clear_free(d);
        return true;
    }
    if (EVP_PKEY_is_a(key, "RSA")) {
        BIGNUM* d = nullptr;
        if (!EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &d)) return false;
        BN_clear_free(d);
        return true;
    }
    return false;
}

EvpPkeyPtr p256FromData(ByteView point, const BIGNUM* d) {
    ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1",
                                         0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                          point.size()) ||
        (d && !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d))) {
        return nullptr;
    }
    ParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, d ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) != 1) {
        return nullptr;
    }
    EvpPkeyPtr key(raw);
    // fromdata does not validate: the point must be on the curve, D in [1, n-1] and D*G the point.
    EvpPkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
    if (d &&
        (EVP_PKEY_private_check(check.get()) != 1 || EVP_PKEY_pairwise_check(check.get()) != 1)) {
        return nullptr;
    }
    return key;
}

bool appendBignum(Bytes& out, EVP_PKEY* key, const char* name, size_t width) {
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &raw)) return false;
    BignumSecretPtr value(raw);
    size_t offset = out.size();
    out.resize(offset + width);
    return BN_bn2binpad(value.get(), out.data() + offset, static_cast<int>(width)) ==
           static_cast<int>(width);
}

struct AlgorithmInfo {
    bool ec;
    const EVP_MD* digest;
};

AlgorithmInfo algorithmInfo(SecKeyAlgorithm algorithm) {
    switch (algorithm) {
        case SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA1:
            return {false, EVP_sha1()};
        case SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA256:
            return {false, EVP_sha256()};
        case SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA512:
            return {false, EVP_sha512()};
        case SecKeyAlgorithm::ECDSASignatureMessageX962SHA1:
            return {true, EVP_sha1()};
        case SecKeyAlgorithm::ECDSASignatureMessageX962SHA256:
            return {true, EVP_sha256()};
        case SecKeyAlgorithm::ECDSASignatureMessageX962SHA512:
            return {true, EVP_sha512()};
    }
    return {false, nullptr};
}

bool algorithmFits(EVP_PKEY* key, SecKeyAlgorithm algorithm) {
    AlgorithmInfo info = algorithmInfo(algorithm);
    return info.digest && EVP_PKEY_is_a(key, info.ec ? "EC" : "RSA");
}

}  // namespace

OSStatus SecKey::generatePair(const SecKeyGenerationParameters& parameters, SecKeyRef* publicKey,
                              SecKeyRef* privateKey) {
    ++gGeneratePairCalls;
    if (!isEcType(parameters.keyType) || parameters.keySizeInBits != 256) return errSecParam;
    EvpPkeyPtr pair(EVP_EC_gen("P-256"));
    if (!pair) {
        ERR_clear_error();
        return errSecParam;
    }
    EvpPkeyPtr publicOnly = publicHalf(pair.get());
    if (!publicOnly) {
        ERR_clear_error();
        return errSecParam;
    }
    auto pub = std::make_shared<const SecKey>(std::move(publicOnly), SecKeyClass::publicKey,
                                              parameters.publicKeyAttrs);
    auto priv = std::make_shared<const SecKey>(std::move(pair), SecKeyClass::privateKey,
                                               parameters.privateKeyAttrs);
    if (publicKey) *publicKey = std::move(pub);
    if (privateKey) *privateKey = std::move(priv);
    return errSecSuccess;
}

SecKeyRef SecKey::createWithData(ByteView data, SecKeyType type, SecKeyClass keyClass,
                                 ErrorPtr* error) {
    if (type == SecKeyType::RSA) {
        const unsigned char* cursor = data.data();
        const long length = static_cast<long>(data.size());
        EvpPkeyPtr key(keyClass == SecKeyClass::publicKey
                           ? d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, length)
                           : d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, length));
        if (data.empty() || !key || cursor != data.data() + data.size()) {
            setError(error, errSecParam, "RSA key data is not a PKCS#1 key");
            return nullptr;
        }
        return std::make_shared<const SecKey>(std::move(key), keyClass, SecKeyAttributes{});
    }
    size_t expected = keyClass == SecKeyClass::publicKey ? kP256PublicSize : kP256PrivateSize;
    if (data.size() != expected || data[0] != 0x04) {
        setError(error, errSecParam, "EC key data is not an uncompressed P-256 key");
        return nullptr;
    }
    ByteView point = data.first(kP256PublicSize);
    BignumSecretPtr d;
    if (keyClass == SecKeyClass::privateKey) {
        d.reset(BN_bin2bn(data.data() + kP256PublicSize, kP256FieldBytes, nullptr));
        if (!d) {
            setError(error, errSecParam, "EC private key could not be read");
            return nullptr;
        }
    }
    EvpPkeyPtr key = p256FromData(point, d.get());
    if (!key) {
        setError(error, errSecParam, "EC key data does not describe a valid P-256 key");
        return nullptr;
    }
    return std::make_shared<const SecKey>(std::move(key), keyClass, SecKeyAttributes{});
}

SecKeyRef SecKey::adopt(EvpPkeyPtr key, SecKeyClass keyClass, SecKeyAttributes attributes) {
    if (!key) return nullptr;
    if (keyClass == SecKeyClass::publicKey) {
        key = publicHalf(key.get());
        if (!key) {
            ERR_clear_error();
            return nullptr;
        }
    } else if (!hasPrivateHalf(key.get())) {
        ERR_clear_error();
        return nullptr;
    }
    return std::make_shared<const SecKey>(std::move(key), keyClass, std::move(attributes));
}

bool SecKey::isEC() const {
    return EVP_PKEY_is_a(key_.get(), "EC");
}

int SecKey::keySizeInBits() const {
    return EVP_PKEY_get_bits(key_.get());
}

std::optional<Bytes> SecKey::copyExternalRepresentation(ErrorPtr* error) const {
    if (isEC()) {
        size_t width = static_cast<size_t>((keySizeInBits() + 7) / 8);
        Bytes out{0x04};
        bool ok = appendBignum(out, key_.get(), OSSL_PKEY_PARAM_EC_PUB_X, width) &&
                  appendBignum(out, key_.get(), OSSL_PKEY_PARAM_EC_PUB_Y, width) &&
                  (keyClass_ == SecKeyClass::publicKey ||
                   appendBignum(out, key_.get(), OSSL_PKEY_PARAM_PRIV_KEY, width));
        if (!ok) {
            OPENSSL_cleanse(out.data(), out.size());
            setError(error, errSecParam, "EC key could not be exported");
            return std::nullopt;
        }
        return out;
    }
    if (EVP_PKEY_is_a(key_.get(), "RSA")) {
        unsigned char* der = nullptr;
        int length = keyClass_ == SecKeyClass::publicKey ? i2d_PublicKey(key_.get(), &der)
                                                         : i2d_PrivateKey(key_.get(), &der);
        if (length <= 0) {
            setError(error, errSecParam, "RSA key could not be exported");
            return std::nullopt;
        }
        Bytes out(der, der + length);
        OPENSSL_clear_free(der, static_cast<size_t>(length));
        return out;
    }
    setError(error, errSecUnimplemented, "key type cannot be exported");
    return std::nullopt;
}

SecKeyRef SecKey::copyPublicKey() const {
    EvpPkeyPtr key = publicHalf(key_.get());
    if (!key) {
        ERR_clear_error();
        return nullptr;
    }
    return std::make_shared<const SecKey>(std::move(key), SecKeyClass::publicKey,
                                          SecKeyAttributes{});
}

std::optional<Bytes> SecKey::createSignature(SecKeyAlgorithm algorithm, ByteView data,
                                             ErrorPtr* error) const {
    if (keyClass_ != SecKeyClass::privateKey || !algorithmFits(key_.get(), algorithm)) {
        setError(error, errSecParam, "algorithm not supported by the key");
        return std::nullopt;
    }
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    size_t length = 0;
    if (!ctx ||
        EVP_DigestSignInit(ctx.get(), &pctx, algorithmInfo(algorithm).digest, nullptr,
                           key_.get()) != 1 ||
        (!algorithmInfo(algorithm).ec &&
         EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1) {
        setError(error, errSecParam, "signing failed");
        return std::nullopt;
    }
    Bytes signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        setError(error, errSecParam, "signing failed");
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

bool SecKey::verifySignature(SecKeyAlgorithm algorithm, ByteView data, ByteView signature,
                             ErrorPtr* error) const {
    if (!algorithmFits(key_.get(), algorithm)) {
        setError(error, errSecParam, "algorithm not supported by the key");
        return false;
    }
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx ||
        EVP_DigestVerifyInit(ctx.get(), &pctx, algorithmInfo(algorithm).digest, nullptr,
                             key_.get()) != 1 ||
        (!algorithmInfo(algorithm).ec &&
         EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) ||
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size()) !=
            1) {
        setError(error, errSecVerifyFailed, "signature verification failed");
        return false;
    }
    return true;
}

uint64_t SecKey::generatePairCallCount() {
    return gGeneratePairCalls.load();
}

std::optional<Bytes> SecKey::copyKeyExchangeResult(const SecKeyRef& publicKey, size_t,
                                                   ErrorPtr* error) const {
    if (keyClass_ != SecKeyClass::privateKey || !isEC() || !publicKey || !publicKey->isEC()) {
        setError(error, errSecParam, "key exchange needs an EC private key and an EC public key");
        return std::nullopt;
    }
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), publicKey->handle()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1) {
        setError(error, errSecParam, "key exchange failed");
        return std::nullopt;
    }
    Bytes secret(length);
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1) {
        OPENSSL_cleanse(secret.data(), secret.size());
        setError(error, errSecParam, "key exchange failed");
        return std::nullopt;
    }
    secret.resize(length);
    return secret;
}

}  // namespace telvo

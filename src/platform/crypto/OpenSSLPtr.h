#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

#include "platform/crypto/OpenSSLLibrary.h"

namespace telvo {

// Owned OpenSSL handles: every handle the library creates lives in one of these.
template <auto FreeFunction>
struct OpenSSLDeleter {
    template <class T>
    void operator()(T* handle) const {
        FreeFunction(handle);
    }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSSLDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSSLDeleter<EVP_PKEY_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, OpenSSLDeleter<EVP_MD_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSSLDeleter<EVP_MD_CTX_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, OpenSSLDeleter<EVP_CIPHER_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OpenSSLDeleter<EVP_CIPHER_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSSLDeleter<BIO_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSSLDeleter<BN_free>>;
// For private scalars: cleared before they are freed.
using BignumSecretPtr = std::unique_ptr<BIGNUM, OpenSSLDeleter<BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, OpenSSLDeleter<BN_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, OpenSSLDeleter<EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, OpenSSLDeleter<EC_POINT_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, OpenSSLDeleter<ECDSA_SIG_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, OpenSSLDeleter<OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, OpenSSLDeleter<OSSL_PARAM_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSSLDeleter<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OpenSSLDeleter<X509_NAME_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSSLDeleter<X509_EXTENSION_free>>;
using X509ReqPtr = std::unique_ptr<X509_REQ, OpenSSLDeleter<X509_REQ_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSSLDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OpenSSLDeleter<X509_STORE_CTX_free>>;

}  // namespace telvo

#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

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
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSSLDeleter<EVP_MD_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSSLDeleter<BN_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSSLDeleter<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSSLDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OpenSSLDeleter<X509_STORE_CTX_free>>;

}  // namespace telvo

#include "platform/crypto/OpenSSLLibrary.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

namespace telvo {

bool initializeOpenSSL() {
    static const bool initialized =
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_CONFIG |
                             OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) == 1;
    return initialized;
}

}  // namespace telvo

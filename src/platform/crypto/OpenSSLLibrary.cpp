#include "platform/crypto/OpenSSLLibrary.h"

#include <openssl/crypto.h>

namespace telvo {

bool initializeOpenSSL() {
    static const bool initialized = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    return initialized;
}

}  // namespace telvo

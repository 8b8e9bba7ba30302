// A program of its own (OpenSSL set up by nothing else): reaches OpenSSL first through the part
// of the library named by its argument, then exits. An exit handler registered before anything
// else of the process runs (before the library's own set-up as it loads) runs after any handler
// OpenSSL arms, and hashes through OpenSSL: the process exits 0 and says "OpenSSL still serves at
// exit" when OpenSSL was not cleaned up under it. With "config FILE", the app first sets OpenSSL
// up with a configuration file of its own (asking nothing about the clean-up), then uses the
// library and says the TLS security level that OpenSSL went on with.

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/crypto/Crypto.h"
#include "platform/crypto/KeyStore.h"
#include "platform/crypto/Random.h"
#include "platform/crypto/Trust.h"
#include "platform/http/URLLoader.h"
#include "telvosdk/TelvoSDK.h"

namespace {

void digestAtExit() {
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool works = md && EVP_Digest("x", 1, out, &length, md, nullptr) == 1 && length == 32;
    EVP_MD_free(md);
    std::puts(works ? "OpenSSL still serves at exit" : "OpenSSL was cleaned up");
    std::fflush(stdout);
    if (!works) _exit(3);
}

// Before the static initialisers of the library's files, which set OpenSSL up as they load.
__attribute__((constructor(101))) void digestLast() {
    std::atexit(digestAtExit);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace telvo;
    if (argc < 2) return 2;
    const std::string use = argv[1];
    if (use == "config" && argc == 3) {
        OPENSSL_INIT_SETTINGS* settings = OPENSSL_INIT_new();
        OPENSSL_INIT_set_config_filename(settings, argv[2]);
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, settings);
        OPENSSL_INIT_free(settings);
        crypto::digest(crypto::DigestAlgorithm::SHA256, toBytes("x"));
        SSL_CTX* context = SSL_CTX_new(TLS_method());
        std::printf("security level %d\n", context ? SSL_CTX_get_security_level(context) : -1);
        SSL_CTX_free(context);
    } else if (argc != 2) {
        return 2;
    } else if (use == "pbkdf2") {
        crypto::pbkdf2(crypto::DigestAlgorithm::SHA256, toBytes("pw"), Bytes(16, 0x5A), 1000, 32);
    } else if (use == "digest") {
        crypto::digest(crypto::DigestAlgorithm::MD5, toBytes("x"));
    } else if (use == "random") {
        Random::shared()->secureBytes(16);
    } else if (use == "keypair") {
        SecKeyRef publicKey, privateKey;
        SecKey::generatePair(SecKeyGenerationParameters{}, &publicKey, &privateKey);
    } else if (use == "certificate") {
        SecCertificate::createWithData(toBytes("not a certificate"));
    } else if (use == "urlloading") {
        URLLoader::shared();
    } else if (use == "initialize") {
        TelvoSDKInitialize();
    } else {
        return 2;
    }
    return 0;
}

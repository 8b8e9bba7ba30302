// An app that reaches the library through its public headers alone, linked against the static
// library: the hooks one layer installs in another (the serial numbers' decryption, the step
// information's sink, the core's log lines) come from TelvoSDKInitialize, whatever object files
// the app's references happen to pull in. The appliance it configures is simulated
// (FacadePeer.cpp).
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>
#include <string>
#include <vector>

#include "FacadePeer.h"
#include "telvosdk/TelvoSDK.h"

namespace {

int failures = 0;

void check(bool holds, const char* what) {
    std::printf("facade: %s: %s\n", what, holds ? "ok" : "FAILED");
    if (!holds) ++failures;
}

std::string hex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// A serial number as the cloud sends it in work mode "10002": the IV in hex, then the
// AES-128-CBC ciphertext in hex, under the first 16 bytes of the access token's SHA-256.
std::string cloudSerial(const std::string& serial, const std::string& token) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest);
    const std::vector<unsigned char> iv(16, 0x5c);
    std::vector<unsigned char> cipher(serial.size() + 16);
    int length = 0, last = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr, digest, iv.data());
    EVP_EncryptUpdate(context, cipher.data(), &length,
                      reinterpret_cast<const unsigned char*>(serial.data()), int(serial.size()));
    EVP_EncryptFinal_ex(context, cipher.data() + length, &last);
    EVP_CIPHER_CTX_free(context);
    cipher.resize(size_t(length + last));
    return hex(iv) + hex(cipher);
}

}  // namespace

int main() {
    using namespace telvo;
    facade::isolateFromHost();
    const std::string token = "facade-access-token";
    QKUserDefault::standardUserDefaults()->setValue(Value("10002"), "sdkWorkMode");
    QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken(token);
    const Value reply(Dictionary{{"sn", Value(cloudSerial("SN-FACADE-1", token))}});

    // Nothing is installed before the app initialises the library.
    check(QKDevice(reply).deviceSn.empty(), "no serial number before TelvoSDKInitialize");
    TelvoSDKInitialize();
    check(QKDevice(reply).deviceSn == "SN-FACADE-1", "serial number decrypted");

    check(facade::configureSimulatedBleAppliance(), "single-BLE configuration completed");
    // The flow's status step (5) reached the manager, with the appliance's record.
    const QKStepInfo info = QKDeviceConfigManager::shareInstance()->stepInfoData();
    check(info.count(5) == 1 && info.at(5).isDictionary(), "step information kept by the manager");
    return failures == 0 ? 0 : 1;
}

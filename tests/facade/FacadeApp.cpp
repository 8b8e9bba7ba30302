// An app that reaches the library through its public headers alone, linked against the static
// library: the hooks one layer installs in another (the serial numbers' decryption, the step
// information's sink, the core's log lines) come from TelvoSDKInitialize, whatever object files
// the app's references happen to pull in; and the app's move to the background pauses the LAN
// discovery until it comes back. The appliances it configures and scans are simulated
// (FacadePeer.cpp).
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>
#include <string>
#include <thread>
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

struct ScanReport {
    long long code;
    size_t devices;
    bool operator==(const ScanReport&) const = default;
};

telvo::QKDeviceManager::DeviceListCompletion recordInto(std::vector<ScanReport>& reports) {
    return [&reports](telvo::ErrorPtr error,
                      std::optional<std::vector<std::shared_ptr<telvo::QKDevice>>> devices) {
        reports.push_back(
            {(long long)telvo::TelvoError::codeForSDKError(error), devices ? devices->size() : 0});
    };
}

// The appliance joins the LAN while the app is in the background: it hears no probe, and the
// scan that ran at the move ends with nothing new (4000), not with the appliance. Back in the
// foreground the probe goes out again and a new scan finds it. The calls come from an app
// thread and from the main thread, the second of each pair changing nothing.
void backgroundPausesDiscovery() {
    using namespace telvo;
    facade::SimulatedLan lan;
    std::vector<ScanReport> before, after;
    QKDeviceManager::sharedManager()->startScanLanDevice(6, recordInto(before));
    lan.runFor(2.5);
    const size_t heard = lan.probesHeard();
    check(heard > 0, "the scan probes the LAN");

    std::thread([] { TelvoSDKApplicationDidEnterBackground(); }).join();
    TelvoSDKApplicationDidEnterBackground();
    lan.applianceJoins();
    lan.runFor(20);
    check(lan.probesHeard() == heard, "background: the appliance heard no probe");
    check(before == std::vector<ScanReport>{{4000, 0}},
          "background: the scan running at the move reported nothing new");

    TelvoSDKApplicationWillEnterForeground();
    std::thread([] { TelvoSDKApplicationWillEnterForeground(); }).join();
    lan.runFor(0.5);
    check(lan.probesHeard() > heard, "foreground: the probe goes out again");
    QKDeviceManager::sharedManager()->startScanLanDevice(5, recordInto(after));
    lan.runFor(5);
    check(!after.empty() && after[0] == ScanReport{0, 1}, "foreground: a scan finds the appliance");
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

    backgroundPausesDiscovery();
    return failures == 0 ? 0 : 1;
}

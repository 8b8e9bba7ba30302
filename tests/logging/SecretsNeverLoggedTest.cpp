#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "SectionReader.h"
#include "core/QKUserDefault.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "records/QKMiddleInterface.h"
#include "sim/CloudRoute.h"
#include "sim/LogCapture.h"
#include "sim/SimBleFlows.h"
#include "sim/SimBleModule.h"
#include "sim/SimCloudApi.h"
#include "sim/SimSmartSniffer.h"
#include "sim/SimWifiHome.h"
#include "sim/TempFolder.h"
#include "sim/TestPki.h"
#include "sim/TestPrelude.h"
#include "sim/TestSupport.h"
#include "telvosdk/KorvoDDLog.h"
#include "telvosdk/QKDeviceManager.h"
#include "telvosdk/QKSDKLog.h"
#include "telvosdk/TelvoError.h"

namespace telvo {
namespace {

const Bytes kLogKey = test::hex("2b7e151628aed2a6abf7158809cf4f3c");
const Bytes kLogIv = test::hex("000102030405060708090a0b0c0d0e0f");

enum class Sink { delegate, plainFiles, encryptedFiles };

// Logging on into one of the three places a line can go; the text of every line afterwards.
class Capture {
  public:
    explicit Capture(Sink sink) : sink_(sink) {}
    ~Capture() {
        KorvoDDLog::setLogDirectory({});
        QKSDKLog::setLogDirectory({});
        QKSDKLog::setKeyAndIv({}, {});
        QKSDKLog::flush();
    }
    // After the simulated home is made (it resets the settings and the SDK configuration).
    void on() {
        auto settings = QKUserDefault::standardUserDefaults();
        settings->setBool(true, "logenable");
        settings->setBool(sink_ == Sink::encryptedFiles, "encryptEnable");
        if (sink_ == Sink::delegate)
            QKMiddleInterface::shareInstance()->setCustomLogDelegate(delegate_);
        KorvoDDLog::setLogDirectory(folder_.path() / "plain");
        QKSDKLog::setLogDirectory(folder_.path());
        QKSDKLog::setKeyAndIv(kLogKey, kLogIv);
    }
    std::vector<std::string> lines() const {
        if (sink_ == Sink::delegate) return delegate_->lines;
        KorvoDDLog::flush();
        QKSDKLog::flush();
        std::vector<std::string> out;
        namespace fs = std::filesystem;
        const fs::path root =
            sink_ == Sink::plainFiles ? folder_.path() / "plain" : folder_.path() / "KorvoSDKLog";
        if (!fs::exists(root)) return out;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            if (sink_ == Sink::plainFiles) {
                out.push_back(test::readFile(entry.path().string()));
            } else {
                for (auto& line : test::readLines(entry.path().string(), kLogKey, kLogIv))
                    out.push_back(std::move(line));
            }
        }
        return out;
    }

  private:
    Sink sink_;
    test::TempFolder folder_;
    std::shared_ptr<test::LogLines> delegate_ = std::make_shared<test::LogLines>();
};

// Base64 of the bytes, as OpenSSL writes it.
std::string base64(const Bytes& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                       int(bytes.size()));
    out.resize(size_t(length));
    return out;
}

// The forms a secret could take in a line: as text, its bytes in lower- and upper-case hex, and
// in base64 wherever it starts in a longer encoded text (the characters that only its bytes
// make, at each of the three alignments).
struct Secrets {
    std::vector<std::pair<std::string, std::string>> forms;  // what, form
    void add(const std::string& what, const std::string& text) {
        if (text.size() < 6) return;
        forms.push_back({what, text});
        addBytes(what, Bytes(text.begin(), text.end()));
    }
    void addBytes(const std::string& what, const Bytes& bytes) {
        if (bytes.size() < 6) return;
        std::string lower = test::toHex(bytes), upper = lower;
        for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
        forms.push_back({what + " in hex", lower});
        forms.push_back({what + " in hex", upper});
        for (size_t shift = 0; shift < 3; ++shift) {
            Bytes placed(shift, 0);
            placed.insert(placed.end(), bytes.begin(), bytes.end());
            const size_t begin = (8 * shift + 5) / 6, end = 8 * placed.size() / 6;
            forms.push_back({what + " in base64", base64(placed).substr(begin, end - begin)});
        }
    }
    // The SDK configuration's keys and token, as the app set them.
    void addConfiguration() {
        auto config = QKMiddleInterface::shareInstance()->middleConfig();
        add("access token", config->accessToken());
        add("AP default key", config->apConfigDefaultKey());
        add("BLE default key", config->bleCommonDefaultKey());
        add("app key", config->appKey());
        add("data key", config->dataKey());
        addBytes("TLS private key", config->tlsPrivateKey());
    }
};

// Every line checked against every form; returns how many lines were seen.
size_t expectNoSecret(const Capture& capture, const Secrets& secrets, const std::string& run) {
    const auto lines = capture.lines();
    for (const auto& line : lines)
        for (const auto& [what, form] : secrets.forms)
            EXPECT_EQ(line.find(form), std::string::npos) << run << ": " << what << " in " << line;
    return lines.size();
}

const Sink kSinks[] = {Sink::delegate, Sink::plainFiles, Sink::encryptedFiles};
const char* name(Sink sink) {
    return sink == Sink::delegate     ? "delegate"
           : sink == Sink::plainFiles ? "plain files"
                                      : "encrypted files";
}

// One Wi-Fi run through the facade, as an app starts it; the code of its result.
std::optional<int64_t> runWifi(const QKDeviceApConfigParams& params, int64_t type) {
    std::optional<int64_t> code;
    QKDeviceManager::sharedManager()->startConfigureDeviceWithParams(
        params, type, [](int64_t) {},
        [&](ErrorPtr error, std::shared_ptr<QKDevice>) {
            if (!code) code = TelvoError::codeForSDKError(error);
        });
    MainLoop::runUntil([&] { return code.has_value(); }, 300);
    QKDeviceManager::sharedManager()->stopBindDeviceWithCompletion(nullptr);
    MainLoop::runFor(5);
    return code;
}

// The access point and smart connect, each with its logs in each place: the router password,
// the random code, the keys and tokens never appear (the runs succeed, so every step logged).
TEST(SecretsNeverLogged, WifiFlows) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    using Home = sim::SimWifiHome;
    DeterministicDispatch mode;
    for (Sink sink : kSinks) {
        // Version 04000000 agrees a session key with the app's certificate and private key
        // first.
        for (uint8_t version : {0x02, 0x04}) {
            SCOPED_TRACE(std::string("access point ") + std::to_string(version) + ", " +
                         name(sink));
            Capture capture(sink);
            Secrets secrets;
            {
                Home home;
                capture.on();
                home.announce({.udpVersion = {version, 0, 0, 0}});
                home.homeNetwork(3, 8, 2);
                std::string random;
                auto joined = home.appliance->onCredentials;
                home.appliance->onCredentials = [&](const std::string& code) {
                    random = code;
                    joined(code);
                };
                EXPECT_EQ(runWifi(Home::apParams(), 1), 0);
                secrets.add("router password", Home::kPassword);
                secrets.add("random code", random);
                secrets.add("sign secret", Home::kSignSecret);
                secrets.addConfiguration();
                EXPECT_FALSE(random.empty());
                const Bytes& sessionKey = home.appliance->keyAgreement().sessionKey();
                EXPECT_EQ(sessionKey.empty(), version != 0x04);
                secrets.addBytes("session key", sessionKey);
            }
            EXPECT_GT(expectNoSecret(capture, secrets, "access point"), 0u);
        }
        {
            SCOPED_TRACE(std::string("smart connect, ") + name(sink));
            Capture capture(sink);
            Secrets secrets;
            {
                Home home;
                home.prepareSmartConnect();
                capture.on();
                std::string random;
                home.listenForSmartConnect({0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL,
                                           [&](const sim::SimSmartCredentials& heard) {
                                               random = sim::smartConnectRandomCode(heard);
                                           });
                EXPECT_EQ(runWifi(Home::smartParams(), 2), 0);
                secrets.add("router password", Home::kPassword);
                secrets.add("random code", random);
                secrets.add("sign secret", Home::kSignSecret);
                secrets.addConfiguration();
                EXPECT_FALSE(random.empty());
            }
            EXPECT_GT(expectNoSecret(capture, secrets, "smart connect"), 0u);
        }
    }
}

// Every BLE flow, clean, with its logs in each place: the router password, the bind code, the
// mesh key, the random code, the session key and the app's keys and token never appear.
TEST(SecretsNeverLogged, BleFlows) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    DeterministicDispatch mode;
    for (const auto& flow : sim::simBleFlowKinds()) {
        const auto clean = sim::simBleFaults(flow).front();
        ASSERT_EQ(clean.name, "clean");
        for (Sink sink : kSinks) {
            SCOPED_TRACE(flow.command + ", " + name(sink));
            Capture capture(sink);
            Secrets secrets;
            sim::SimBleModule* module = nullptr;
            std::set<std::string> keys;
            const auto keep = [&] {
                if (!module) return;
                keys.insert(test::toHex(module->currentKey()));
                secrets.add("random code", module->randomCode());
            };
            const sim::SimBleRun run = sim::runSimBleFlow(
                flow, clean, [&](int64_t) { keep(); },
                [&](const ErrorPtr&, const std::shared_ptr<QKDevice>&) { keep(); },
                [&](sim::SimBleHome& home, sim::SimBleModule& m) {
                    module = &m;
                    capture.on();
                    const std::string token = "tok-5b1e9c0d7a";
                    QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken(token);
                    home.api.setAccessToken(token);
                    secrets.addConfiguration();
                });
            EXPECT_EQ(run.code, 0);
            for (const std::string& key : keys) secrets.addBytes("session key", test::hex(key));
            secrets.add("router password", sim::SimBleHome::kPassword);
            secrets.add("bind code", "0123456789abcdef");
            secrets.add("mesh key", test::SimCloudApi::kMeshKey);
            EXPECT_GT(expectNoSecret(capture, secrets, flow.command), 0u);
        }
    }
}

}  // namespace
}  // namespace telvo

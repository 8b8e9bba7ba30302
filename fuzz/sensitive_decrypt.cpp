// Sensitive-data decryption of arbitrary input in every work mode; valid UTF-8 input also
// goes through encryption and must come back.
#include <cstdlib>
#include <string>

#include "security/QKDataSecurity.h"
#include "security/TextBytes.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"

namespace {

using telvo::QKDataSecurity;

struct Keys {
    std::string cbcDataKey, cbcDataIv, ecbDataKey;
};

Keys setUp() {
    auto config = telvo::QKMiddleInterface::shareInstance()->middleConfig();
    config->setAccessToken("fuzz-access-token");
    config->setAppKey("fuzz-app-key");
    std::string h = QKDataSecurity::getSha256String(config->appKey());
    std::string md5 = *QKDataSecurity::getMD5_128(config->appKey());
    Keys keys;
    keys.cbcDataKey = *QKDataSecurity::AES128EncryptCBC(std::string("fuzz data key"),
                                                        h.substr(0, 16), h.substr(16, 16));
    keys.cbcDataIv = *QKDataSecurity::AES128EncryptCBC(std::string("fuzz data iv"), h.substr(0, 16),
                                                       h.substr(16, 16));
    keys.ecbDataKey =
        *QKDataSecurity::AES128Encrypt(std::string("fuzz legacy key"), md5.substr(0, 16));
    config->setDataIv(keys.cbcDataIv);
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Keys keys = setUp();
    if (size < 1) return 0;
    static const char* modes[] = {"10004", "10002", "10003", "1", "10001", ""};
    const std::string mode = modes[data[0] % 6];
    telvo::QKUserDefault::standardUserDefaults()->setValue(telvo::Value(mode), "sdkWorkMode");
    telvo::QKMiddleInterface::shareInstance()->middleConfig()->setDataKey(
        mode == "10003" || mode == "1" ? keys.cbcDataKey : keys.ecbDataKey);
    std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

    auto plain = QKDataSecurity::sensitiveDataDecryption(input);
    if (plain && !telvo::textbytes::isValidUTF8(telvo::textbytes::bytesOf(*plain))) abort();

    if (telvo::textbytes::isValidUTF8(telvo::textbytes::bytesOf(input))) {
        auto sealed = QKDataSecurity::sensitiveDataEncryption(input, mode == "10004");
        if (!sealed) abort();
        auto back = QKDataSecurity::sensitiveDataDecryption(*sealed);
        if (!back || *back != input) abort();
    }
    return 0;
}

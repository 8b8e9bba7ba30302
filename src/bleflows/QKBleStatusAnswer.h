#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceBleConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

// What the BLE configuration flows share of the appliance's answers: the status answer of
// command 0x63 in its three forms, the product answer 0x40, the Wi-Fi answer 0x69, the module
// report 0x0D, the step information published after a status answer, the parameter check run
// before the Wi-Fi settings are sent, and the binding random code.
//
// Every parser takes a decrypted body of any length, reads no byte beyond its end and hands
// back only the fields whose bytes are all present. Stateless class operations, callable from
// any thread; publishStepInfo hands step information to the step-information sink.
class QKBleStatusAnswer {
  public:
    // ---- Status answer 0x63. Byte 0 names the form; the query type asks for one.
    static constexpr uint8_t kFormFull = 0;
    static constexpr uint8_t kFormShort = 1;
    static constexpr uint8_t kFormCapabilities = 3;
    // The length from which the second-generation flows read a form-0 answer at all.
    static constexpr size_t kFullStatusMinLength = 40;

    // The full status, field by field. A field is present only when the answer holds all of
    // its bytes: serial number 33 bytes, MAC 39, version length 40, version 40 + L, subtype
    // 43 + L. Byte 40 + L is never read.
    struct FullStatus {
        // Bytes 1 to 32 as they stand (zero bytes included); "" when a byte is not ASCII.
        std::optional<std::string> deviceSn;
        // Bytes 33 to 38 as sent: the last byte of the MAC first.
        std::optional<Bytes> mac;
        std::optional<uint8_t> versionLength;
        // Bytes 40 to 39 + L (empty for L = 0).
        std::optional<Bytes> version;
        // Bytes 41 + L and 42 + L, low byte first.
        std::optional<uint16_t> deviceSubType;

        // The MAC in reading order as 12 uppercase hex digits; nullopt without a MAC.
        std::optional<std::string> btMacText() const;
        // The subtype as decimal text; nullopt without a subtype.
        std::optional<std::string> deviceSubTypeText() const;
    };
    // nullopt for an empty body or one whose byte 0 is not 0.
    static std::optional<FullStatus> parseFullStatus(ByteView body);

    // The second-generation reading of a full status (retry, wired and first generation read
    // it alike): only an answer of at least 40 bytes with byte 0 = 0 counts. It then sets
    // device.deviceSn, device.moduleVersion (uppercase hex; "" for L = 0) when the version's
    // bytes are there and device.deviceSubType when the subtype's are; a field not taken keeps
    // its value. Returns whether the answer was such a full status.
    static bool takeFullStatus(ByteView body, QKDevice& device);

    // The short status: byte 0 = 1 and at least 3 bytes (flows that want exactly 3 check the
    // length themselves).
    struct ShortStatus {
        // Byte 1: 0 = the module holds no Wi-Fi configuration, anything else = it holds one.
        uint8_t configured = 0;
        // Byte 2: 0 = none; otherwise the whole body goes to the module-error handling.
        uint8_t errorCode = 0;
    };
    static std::optional<ShortStatus> parseShortStatus(ByteView body);

    // One entry of a capability list (byte 0 = 3): a 16-bit id (low byte first), a length
    // byte n and n value bytes; the next entry starts n + 3 bytes later.
    static constexpr uint16_t kCapabilitySetOfSystem = 0x0102;  // several products behind it
    static constexpr uint16_t kCapabilityAdns = 0x0103;         // byte at offset 3: ADNS supported
    static constexpr uint16_t kCapabilityBits = 0x0104;         // OTA, auth, cancel bits
    static constexpr uint16_t kCapabilityFactoryMode = 0x0105;  // factory mode supported
    struct CapabilityEntry {
        uint16_t id = 0;
        uint8_t length = 0;
        Bytes value;
        // The byte at entry offset 2 + n: the last value byte, or the length byte when n = 0.
        uint8_t lastByte() const { return value.empty() ? length : value.back(); }
        // The byte at entry offset 3: the first value byte, or when n = 0 the byte after the
        // entry; nullopt when the answer ends before it.
        std::optional<uint8_t> byteAtOffset3;
    };
    // The whole entries of a capability list: at most byte 1 of them, ending at the last entry
    // that fits the body. nullopt unless byte 0 is 3 and byte 1 is present.
    static std::optional<std::vector<CapabilityEntry>> parseCapabilityList(ByteView body);
    // The entries of a list that starts at offset, at most count of them, ending at the last
    // whole entry (the product answer uses the same layout).
    static std::vector<CapabilityEntry> parseEntries(ByteView body, size_t offset, size_t count);

    // Capability bits of entry 0x0104, read from its lastByte().
    static constexpr uint8_t kBitOta = 0x01;
    static constexpr uint8_t kBitAuth = 0x02;
    static constexpr uint8_t kBitCancelConfig = 0x04;

    // ---- Product answer 0x40: byte 0 = 1 when the list follows; byte 5 the number of
    // products; from byte 6 two entries per product (0x0006 the serial as ASCII, 0x0007 a
    // 16-bit value, low byte first). Each product is a dictionary with "sn" (text, "" when not
    // ASCII) and "a0" (decimal text), each key only when its entry was one of the two (and for
    // "a0" when its value holds two bytes). The list ends at the last whole product. nullopt
    // when byte 0 is not 1 or the count byte is missing.
    static std::optional<Value::Array> parseProductList(ByteView body);

    // ---- Step information after a status answer: {5: {"moduleVersion", "sn",
    // "deviceSubType"}} through the step-information sink, replacing the previous
    // one. This form takes the record's moduleVersion; flows that report the software version
    // there pass the three texts themselves.
    static constexpr int64_t kStatusStep = 5;
    static void publishStepInfo(const QKDevice& device);
    static void publishStepInfo(const std::string& moduleVersion, const std::string& sn,
                                const std::string& deviceSubType);

    // ---- Wi-Fi answer 0x69 (byte 0 is the module's result). 0x00: the module joins the
    // network; 0x03: it already has a connection and ignores the data. Both go on to the
    // cloud check.
    static constexpr uint8_t kWifiJoining = 0x00;
    static constexpr uint8_t kWifiAlreadyConnected = 0x03;
    // The SDK code that ends the session for a result: 0x01 4097, 0x02 4096, 0x05 4144, 0x06
    // 4145, 0x11 4123, 0x12 4124, 0x13 4140, 0x14 4125, any other 4053; nullopt for 0x00 and
    // 0x03. (The wired flow knows fewer results; it keeps its own table.)
    static std::optional<int64_t> wifiAnswerErrorCode(uint8_t result);

    // ---- Module report 0x0D, sent by the module unasked.
    static constexpr uint8_t kReportSerial = 0;  // form 0: the serial number, 33 bytes
    static constexpr uint8_t kReportStage = 1;   // form 1: stage and error, at least 3 bytes
    static constexpr uint8_t kStageLoggedIn = 4;
    struct ModuleReport {
        uint8_t form = 0;
        // Form 0: bytes 1 to 32 ("" when a byte is not ASCII).
        std::string deviceSn;
        // Form 1: byte 1 the stage (1 to 3 connection stages, 4 logged in), byte 2 the module
        // error code (0 none; otherwise the whole body goes to the module-error handling).
        uint8_t stage = 0;
        uint8_t errorCode = 0;
    };
    // nullopt for an empty body, another form, or a body shorter than its form needs.
    static std::optional<ModuleReport> parseModuleReport(ByteView body);
    // The progress step of a connection stage: 1, 2, 3 give 7, 8, 9; any other stage 0.
    static int64_t progressForStage(uint8_t stage);

    // ---- The second-generation family's start and resume (second generation, retry, wired).
    // The start's copy into the session's record: an absent SSID becomes ""; the password
    // decides securityType ("1" when present, even empty, else "0") and becomes "" when
    // absent; the regional, module-server, ADNS and ADS settings and bleType are copied as
    // they stand; then the extras fill what is still empty. Flags of each flow's own are the
    // caller's to copy.
    static void copyStartParams(const QKDeviceBleConfigParams& params,
                                QKDeviceBleConfigParams& model);
    // A resume's new router data: the password when it has a character (else absent), the
    // SSID as given, the BSSID through QKTool::safeSetBssid.
    static void takeResumedRouter(const QKDeviceBleConfigParams& params,
                                  QKDeviceBleConfigParams& model);

    // ---- Before the Wi-Fi settings. The second-generation check, in this order: when the
    // appliance advertises the function settings (device.functionSetEnable) the model's
    // functionSetEnable is set and moduleServerDomain 4140, moduleServerPort 4141,
    // functionType 4143, countryCode 4123, channelList 4125, timeZone 4124 must be present (a
    // set but empty list passes, an empty one the extras did not fill is absent); when the model's
    // regionIdEnable and functionSetEnable are both set, adsClusterId must be non-empty
    // (4164); when the appliance advertises a region id (device.regionIdEnable) the model's
    // regionIdEnable is set and regionId must be present (4142). Returns the first failing
    // code, 0 when all pass. An empty text passes (except adsClusterId).
    static int64_t checkParamIntegrity(const QKDevice& device, QKDeviceBleConfigParams& model);

    // A fresh binding random code for the model's router data: two draws A, B of
    // Random::shared()->uniform32() % 255 + 1 handed to QKRandomNumObject (32 lowercase hex
    // digits). The caller stores it (the session's randomNum, the model's randomNum).
    static std::string makeConfigRandomNum(const QKDeviceBleConfigParams& model);

    // Forced ownership confirmation: the app's target serial has exactly 28 characters and
    // the appliance's serial, both lowercased, begins with it.
    static bool matchesTargetSerial(const std::optional<std::string>& targetSerial,
                                    const std::string& deviceSn);

    // The bytes as text when each is ASCII (below 0x80, zero included), else "".
    static std::string asciiText(ByteView bytes);
};

}  // namespace telvo

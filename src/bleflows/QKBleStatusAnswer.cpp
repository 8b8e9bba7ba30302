#include "bleflows/QKBleStatusAnswer.h"

#include <algorithm>
#include <cctype>

#include "cloud/QKRandomNumObject.h"
#include "core/QKTool.h"
#include "core/TelvoTool.h"
#include "platform/base/AsciiText.h"
#include "platform/crypto/Random.h"
#include "records/QKStepInfoSink.h"

namespace telvo {

namespace {

constexpr size_t kSerialBytes = 32;
constexpr size_t kMacOffset = 33;
constexpr size_t kMacBytes = 6;
constexpr size_t kVersionLengthOffset = 39;
constexpr size_t kVersionOffset = 40;

uint16_t readLe16(ByteView body, size_t offset) {
    return static_cast<uint16_t>(body[offset] | (body[offset + 1] << 8));
}

}  // namespace

std::string QKBleStatusAnswer::asciiText(ByteView bytes) {
    for (uint8_t byte : bytes) {
        if (byte >= 0x80) return "";
    }
    return toString(bytes);
}

std::optional<std::string> QKBleStatusAnswer::FullStatus::btMacText() const {
    if (!mac) return std::nullopt;
    return QKTool::stringExchangeWithData(QKTool::turnOverData(*mac));
}

std::optional<std::string> QKBleStatusAnswer::FullStatus::deviceSubTypeText() const {
    if (!deviceSubType) return std::nullopt;
    return std::to_string(*deviceSubType);
}

std::optional<QKBleStatusAnswer::FullStatus> QKBleStatusAnswer::parseFullStatus(ByteView body) {
    if (body.empty() || body[0] != kFormFull) return std::nullopt;
    FullStatus status;
    const size_t n = body.size();
    if (n < 1 + kSerialBytes) return status;
    status.deviceSn = asciiText(body.subspan(1, kSerialBytes));
    if (n < kMacOffset + kMacBytes) return status;
    status.mac = Bytes(body.begin() + kMacOffset, body.begin() + kMacOffset + kMacBytes);
    if (n < kVersionOffset) return status;
    const size_t length = body[kVersionLengthOffset];
    status.versionLength = static_cast<uint8_t>(length);
    if (n < kVersionOffset + length) return status;
    status.version = Bytes(body.begin() + kVersionOffset, body.begin() + kVersionOffset + length);
    if (n < kVersionOffset + length + 3) return status;
    status.deviceSubType = readLe16(body, kVersionOffset + length + 1);
    return status;
}

bool QKBleStatusAnswer::takeFullStatus(ByteView body, QKDevice& device) {
    if (body.size() < kFullStatusMinLength) return false;
    auto status = parseFullStatus(body);
    if (!status) return false;
    device.deviceSn = status->deviceSn.value_or("");
    if (status->version)
        device.moduleVersion = TelvoTool::hexDataToNSString(*status->version).value_or("");
    if (auto subType = status->deviceSubTypeText()) device.deviceSubType = *subType;
    return true;
}

std::optional<QKBleStatusAnswer::ShortStatus> QKBleStatusAnswer::parseShortStatus(ByteView body) {
    if (body.size() < 3 || body[0] != kFormShort) return std::nullopt;
    return ShortStatus{body[1], body[2]};
}

std::vector<QKBleStatusAnswer::CapabilityEntry> QKBleStatusAnswer::parseEntries(ByteView body,
                                                                                size_t offset,
                                                                                size_t count) {
    std::vector<CapabilityEntry> entries;
    while (entries.size() < count && offset + 3 <= body.size()) {
        const size_t length = body[offset + 2];
        if (offset + 3 + length > body.size()) break;
        CapabilityEntry entry;
        entry.id = readLe16(body, offset);
        entry.length = static_cast<uint8_t>(length);
        entry.value.assign(body.begin() + offset + 3, body.begin() + offset + 3 + length);
        if (offset + 3 < body.size()) entry.byteAtOffset3 = body[offset + 3];
        entries.push_back(std::move(entry));
        offset += 3 + length;
    }
    return entries;
}

std::optional<std::vector<QKBleStatusAnswer::CapabilityEntry>>
QKBleStatusAnswer::parseCapabilityList(ByteView body) {
    if (body.size() < 2 || body[0] != kFormCapabilities) return std::nullopt;
    return parseEntries(body, 2, body[1]);
}

std::optional<Value::Array> QKBleStatusAnswer::parseProductList(ByteView body) {
    constexpr size_t kCountOffset = 5;
    constexpr uint16_t kProductSerial = 0x0006;
    constexpr uint16_t kProductValue = 0x0007;
    if (body.size() <= kCountOffset || body[0] != 1) return std::nullopt;
    const size_t products = body[kCountOffset];
    auto entries = parseEntries(body, kCountOffset + 1, products * 2);
    Value::Array list;
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
        Dictionary product;
        for (size_t k = i; k < i + 2; ++k) {
            const CapabilityEntry& entry = entries[k];
            if (entry.id == kProductSerial) {
                product.set("sn", asciiText(entry.value));
            } else if (entry.id == kProductValue && entry.value.size() >= 2) {
                product.set("a0", std::to_string(readLe16(entry.value, 0)));
            }
        }
        list.emplace_back(std::move(product));
    }
    return list;
}

void QKBleStatusAnswer::publishStepInfo(const QKDevice& device) {
    publishStepInfo(device.moduleVersion, device.deviceSn, device.deviceSubType);
}

void QKBleStatusAnswer::publishStepInfo(const std::string& moduleVersion, const std::string& sn,
                                        const std::string& deviceSubType) {
    Dictionary info{{"moduleVersion", moduleVersion}, {"sn", sn}, {"deviceSubType", deviceSubType}};
    telvo::publishStepInfo({{kStatusStep, Value(std::move(info))}});
}

std::optional<int64_t> QKBleStatusAnswer::wifiAnswerErrorCode(uint8_t result) {
    switch (result) {
        case kWifiJoining:
        case kWifiAlreadyConnected:
            return std::nullopt;
        case 0x01:
            return 4097;
        case 0x02:
            return 4096;
        case 0x05:
            return 4144;
        case 0x06:
            return 4145;
        case 0x11:
            return 4123;
        case 0x12:
            return 4124;
        case 0x13:
            return 4140;
        case 0x14:
            return 4125;
        default:
            return 4053;
    }
}

std::optional<QKBleStatusAnswer::ModuleReport> QKBleStatusAnswer::parseModuleReport(ByteView body) {
    if (body.empty()) return std::nullopt;
    ModuleReport report;
    report.form = body[0];
    if (report.form == kReportSerial) {
        if (body.size() < 1 + kSerialBytes) return std::nullopt;
        report.deviceSn = asciiText(body.subspan(1, kSerialBytes));
        return report;
    }
    if (report.form == kReportStage) {
        if (body.size() < 3) return std::nullopt;
        report.stage = body[1];
        report.errorCode = body[2];
        return report;
    }
    return std::nullopt;
}

int64_t QKBleStatusAnswer::progressForStage(uint8_t stage) {
    return stage >= 1 && stage <= 3 ? 6 + stage : 0;
}

int64_t QKBleStatusAnswer::checkParamIntegrity(const QKDevice& device,
                                               QKDeviceBleConfigParams& model) {
    if (device.functionSetEnable) {
        model.functionSetEnable = true;
        if (!model.moduleServerDomain) return 4140;
        if (!model.moduleServerPort) return 4141;
        if (!model.functionType) return 4143;
        if (!model.countryCode) return 4123;
        if (!model.channelList) return 4125;
        if (!model.timeZone) return 4124;
    }
    if (model.regionIdEnable && model.functionSetEnable) {
        if (!model.adsClusterId || model.adsClusterId->empty()) return 4164;
    }
    if (device.regionIdEnable) {
        model.regionIdEnable = true;
        if (!model.regionId) return 4142;
    }
    return 0;
}

void QKBleStatusAnswer::copyStartParams(const QKDeviceBleConfigParams& params,
                                        QKDeviceBleConfigParams& model) {
    model.routerSSID = params.routerSSID.value_or("");
    model.securityType = params.routerPwd ? "1" : "0";
    model.routerPwd = params.routerPwd.value_or("");
    model.countryCode = params.countryCode;
    model.timeZone = params.timeZone;
    model.channelList = params.channelList;
    model.regionId = params.regionId;
    model.moduleServerDomain = params.moduleServerDomain;
    model.moduleServerPort = params.moduleServerPort;
    model.adnsIPList = params.adnsIPList;
    model.adnsIPPort = params.adnsIPPort;
    model.functionType = params.functionType;
    model.adsClusterId = params.adsClusterId;
    model.bleType = params.bleType;
    model.updateExtraParamWithDic(Value(params.extras));
}

void QKBleStatusAnswer::takeResumedRouter(const QKDeviceBleConfigParams& params,
                                          QKDeviceBleConfigParams& model) {
    model.routerPwd =
        params.routerPwd && !params.routerPwd->empty() ? params.routerPwd : std::nullopt;
    model.routerSSID = params.routerSSID;
    model.routerBSSID = QKTool::safeSetBssid(params.routerBSSID);
}

std::string QKBleStatusAnswer::makeConfigRandomNum(const QKDeviceBleConfigParams& model) {
    auto random = Random::shared();
    int32_t a = static_cast<int32_t>(random->uniform32() % 255 + 1);
    int32_t b = static_cast<int32_t>(random->uniform32() % 255 + 1);
    return QKRandomNumObject::sharedManager()->produceRandomNumWithRandomA(
        a, b, model.routerBSSID.value_or(""), model.routerSSID.value_or(""),
        model.routerPwd.value_or(""));
}

bool QKBleStatusAnswer::matchesTargetSerial(const std::optional<std::string>& targetSerial,
                                            const std::string& deviceSn) {
    constexpr size_t kTargetSerialLength = 28;
    if (!targetSerial || targetSerial->size() != kTargetSerialLength) return false;
    return lowercased(deviceSn).starts_with(lowercased(*targetSerial));
}

}  // namespace telvo

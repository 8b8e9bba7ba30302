#include "telvosdk/BluetoothTypes.h"

#include <cstdio>
#include <stdexcept>

#include "platform/base/AsciiText.h"
#include "platform/crypto/Random.h"

namespace telvo {

namespace {

constexpr std::array<uint8_t, 16> kBaseUuid = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                               0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

// Reads pairs of hex digits into out; false when a character is not a hex digit.
bool readHex(std::string_view text, uint8_t* out) {
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        int hi = hexDigitValue(text[i]), lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return text.size() % 2 == 0;
}

std::optional<std::array<uint8_t, 16>> readCanonical(std::string_view text) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-')
        return std::nullopt;
    std::string digits;
    for (char c : text)
        if (c != '-') digits.push_back(c);
    std::array<uint8_t, 16> bytes{};
    if (digits.size() != 32 || !readHex(digits, bytes.data())) return std::nullopt;
    return bytes;
}

std::string canonicalText(const std::array<uint8_t, 16>& b) {
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

}  // namespace

std::optional<NSUUID> NSUUID::fromString(std::string_view text) {
    auto bytes = readCanonical(text);
    if (!bytes) return std::nullopt;
    return NSUUID(*bytes);
}

NSUUID NSUUID::random() {
    std::array<uint8_t, 16> b{};
    if (!Random::shared()->secureBytes(b.data(), b.size())) {
        for (size_t i = 0; i < b.size(); i += 4) {
            uint32_t v = Random::shared()->uniform32();
            for (size_t j = 0; j < 4; ++j) b[i + j] = static_cast<uint8_t>(v >> (8 * j));
        }
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    return NSUUID(b);
}

std::string NSUUID::UUIDString() const {
    return canonicalText(bytes_);
}

std::optional<CBUUID> CBUUID::fromString(std::string_view text) {
    if (text.size() == 4 || text.size() == 8) {
        std::array<uint8_t, 16> bytes = kBaseUuid;
        size_t at = 4 - text.size() / 2;
        if (!readHex(text, bytes.data() + at)) return std::nullopt;
        return CBUUID(bytes);
    }
    auto bytes = readCanonical(text);
    if (!bytes) return std::nullopt;
    return CBUUID(*bytes);
}

CBUUID CBUUID::UUIDWithString(std::string_view text) {
    auto uuid = fromString(text);
    if (!uuid) throw std::invalid_argument("not a UUID: " + std::string(text));
    return *uuid;
}

std::optional<CBUUID> CBUUID::fromData(ByteView data) {
    std::array<uint8_t, 16> bytes = kBaseUuid;
    switch (data.size()) {
        case 2:
        case 4:
            std::copy(data.begin(), data.end(), bytes.begin() + (4 - data.size()));
            return CBUUID(bytes);
        case 16:
            std::copy(data.begin(), data.end(), bytes.begin());
            return CBUUID(bytes);
        default:
            return std::nullopt;
    }
}

int CBUUID::aliasLength() const {
    if (!std::equal(bytes_.begin() + 4, bytes_.end(), kBaseUuid.begin() + 4)) return 0;
    return bytes_[0] == 0 && bytes_[1] == 0 ? 2 : 4;
}

std::string CBUUID::UUIDString() const {
    int alias = aliasLength();
    if (alias == 0) return canonicalText(bytes_);
    char text[9];
    if (alias == 2) {
        std::snprintf(text, sizeof text, "%02X%02X", bytes_[2], bytes_[3]);
    } else {
        std::snprintf(text, sizeof text, "%02X%02X%02X%02X", bytes_[0], bytes_[1], bytes_[2],
                      bytes_[3]);
    }
    return text;
}

Bytes CBUUID::data() const {
    int alias = aliasLength();
    if (alias == 0) return Bytes(bytes_.begin(), bytes_.end());
    return Bytes(bytes_.begin() + (4 - alias), bytes_.begin() + 4);
}

ErrorPtr makeCBError(CBError code) {
    const char* text = "Unknown error.";
    switch (code) {
        case CBError::Unknown:
            break;
        case CBError::InvalidParameters:
            text = "The specified parameters are invalid.";
            break;
        case CBError::InvalidHandle:
            text = "The specified attribute handle is invalid.";
            break;
        case CBError::NotConnected:
            text = "The device is not connected.";
            break;
        case CBError::OutOfSpace:
            text = "The device has run out of space.";
            break;
        case CBError::OperationCancelled:
            text = "The operation was cancelled.";
            break;
        case CBError::ConnectionTimeout:
            text = "The connection has timed out unexpectedly.";
            break;
        case CBError::PeripheralDisconnected:
            text = "The specified device has disconnected from us.";
            break;
        case CBError::UUIDNotAllowed:
            text = "The specified UUID is not allowed.";
            break;
        case CBError::AlreadyAdvertising:
            text = "The peripheral is already advertising.";
            break;
        case CBError::ConnectionFailed:
            text = "The connection has failed unexpectedly.";
            break;
        case CBError::ConnectionLimitReached:
            text = "The device has reached its maximum number of connections.";
            break;
        case CBError::UnknownDevice:
            text = "Unknown device.";
            break;
        case CBError::OperationNotSupported:
            text = "The operation is not supported.";
            break;
    }
    return makeError(CBErrorDomain, static_cast<int64_t>(code), text);
}

ErrorPtr makeCBATTError(CBATTError code) {
    const char* text = "Unknown ATT error.";
    switch (code) {
        case CBATTError::Success:
            return nullptr;
        case CBATTError::InvalidHandle:
            text = "The handle is invalid.";
            break;
        case CBATTError::ReadNotPermitted:
            text = "Reading is not permitted.";
            break;
        case CBATTError::WriteNotPermitted:
            text = "Writing is not permitted.";
            break;
        case CBATTError::InvalidPdu:
            text = "The command is invalid.";
            break;
        case CBATTError::InsufficientAuthentication:
            text = "Authentication is insufficient.";
            break;
        case CBATTError::RequestNotSupported:
            text = "The request is not supported.";
            break;
        case CBATTError::InvalidOffset:
            text = "The offset is invalid.";
            break;
        case CBATTError::InsufficientAuthorization:
            text = "Authorization is insufficient.";
            break;
        case CBATTError::PrepareQueueFull:
            text = "The prepare queue is full.";
            break;
        case CBATTError::AttributeNotFound:
            text = "The attribute could not be found.";
            break;
        case CBATTError::AttributeNotLong:
            text = "The attribute is not long.";
            break;
        case CBATTError::InsufficientEncryptionKeySize:
            text = "The encryption key size is insufficient.";
            break;
        case CBATTError::InvalidAttributeValueLength:
            text = "The value's length is invalid.";
            break;
        case CBATTError::UnlikelyError:
            text = "Unlikely error.";
            break;
        case CBATTError::InsufficientEncryption:
            text = "Encryption is insufficient.";
            break;
        case CBATTError::UnsupportedGroupType:
            text = "The group type is not supported.";
            break;
        case CBATTError::InsufficientResources:
            text = "Resources are insufficient.";
            break;
    }
    return makeError(CBATTErrorDomain, static_cast<int64_t>(code), text);
}

const char* CBManagerStateName(CBManagerState state) {
    switch (state) {
        case CBManagerState::Unknown:
            return "Unknown";
        case CBManagerState::Resetting:
            return "Resetting";
        case CBManagerState::Unsupported:
            return "Unsupported";
        case CBManagerState::Unauthorized:
            return "Unauthorized";
        case CBManagerState::PoweredOff:
            return "PoweredOff";
        case CBManagerState::PoweredOn:
            return "PoweredOn";
    }
    return "Unknown";
}

}  // namespace telvo

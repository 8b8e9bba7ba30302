#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Export.h"

namespace telvo {

// A 128-bit identifier of a peripheral (NSUUID). Text form: 36 upper-case characters with
// dashes.
class TELVO_EXPORT NSUUID {
  public:
    // Reads the 36-character form (either case); nullopt for anything else.
    static std::optional<NSUUID> fromString(std::string_view text);
    // A random version-4 UUID from Random::shared().
    static NSUUID random();
    explicit NSUUID(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

    std::string UUIDString() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }
    bool operator==(const NSUUID&) const = default;
    auto operator<=>(const NSUUID&) const = default;

  private:
    std::array<uint8_t, 16> bytes_;
};

// A Bluetooth attribute type (CBUUID). 16-bit and 32-bit forms are aliases over the Bluetooth
// base UUID 00000000-0000-1000-8000-00805F9B34FB; two UUIDs are equal when their 128-bit values
// are.
class TELVO_EXPORT CBUUID {
  public:
    // Reads 4 or 8 hex digits (a 16-bit or 32-bit alias) or the 36-character form, either
    // case; nullopt for anything else.
    static std::optional<CBUUID> fromString(std::string_view text);
    // As fromString; a text of another form is a programming error: throws
    // std::invalid_argument.
    static CBUUID UUIDWithString(std::string_view text);
    // 2, 4 or 16 bytes, most significant first; nullopt for another length.
    static std::optional<CBUUID> fromData(ByteView data);
    static CBUUID UUIDWithNSUUID(const NSUUID& uuid) { return CBUUID(uuid.bytes()); }
    // The all-zero UUID.
    CBUUID() : bytes_{} {}

    // Upper case: "FF80" for a 16-bit alias, 8 digits for a 32-bit one, else the 36-character
    // form.
    std::string UUIDString() const;
    // The same text (no assigned names).
    std::string description() const { return UUIDString(); }
    // The shortest form: 2, 4 or 16 bytes.
    Bytes data() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }

    bool operator==(const CBUUID&) const = default;
    auto operator<=>(const CBUUID&) const = default;

  private:
    explicit CBUUID(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}
    // 0: full 128-bit, 2: 16-bit alias, 4: 32-bit alias.
    int aliasLength() const;
    std::array<uint8_t, 16> bytes_;
};

// "2901" and "2902": the user description and the client configuration descriptors.
inline constexpr const char* CBUUIDCharacteristicUserDescriptionString = "2901";
inline constexpr const char* CBUUIDClientCharacteristicConfigurationString = "2902";
inline constexpr const char* CBUUIDCharacteristicExtendedPropertiesString = "2900";

// The power and permission state of a central or peripheral manager.
enum class CBManagerState : int {
    Unknown = 0,
    Resetting = 1,
    Unsupported = 2,
    Unauthorized = 3,
    PoweredOff = 4,
    PoweredOn = 5,
};

enum class CBPeripheralState : int {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
    Disconnecting = 3,
};

// Property bits of a characteristic.
namespace CBCharacteristicProperty {
inline constexpr uint32_t Broadcast = 0x01;
inline constexpr uint32_t Read = 0x02;
inline constexpr uint32_t WriteWithoutResponse = 0x04;
inline constexpr uint32_t Write = 0x08;
inline constexpr uint32_t Notify = 0x10;
inline constexpr uint32_t Indicate = 0x20;
inline constexpr uint32_t AuthenticatedSignedWrites = 0x40;
inline constexpr uint32_t ExtendedProperties = 0x80;
}  // namespace CBCharacteristicProperty

// Permission bits of a local characteristic (peripheral role).
namespace CBAttributePermission {
inline constexpr uint32_t Readable = 0x01;
inline constexpr uint32_t Writeable = 0x02;
inline constexpr uint32_t ReadEncryptionRequired = 0x04;
inline constexpr uint32_t WriteEncryptionRequired = 0x08;
}  // namespace CBAttributePermission

enum class CBCharacteristicWriteType : int {
    WithResponse = 0,
    WithoutResponse = 1,
};

// Keys of the advertisement dictionary. Values: local name text, manufacturer data bytes,
// service UUIDs as an array of UUID texts, service data as a dictionary of UUID text to bytes,
// transmit power as an integer, connectable as a bool.
inline constexpr const char* CBAdvertisementDataLocalNameKey = "kCBAdvDataLocalName";
inline constexpr const char* CBAdvertisementDataManufacturerDataKey = "kCBAdvDataManufacturerData";
inline constexpr const char* CBAdvertisementDataServiceUUIDsKey = "kCBAdvDataServiceUUIDs";
inline constexpr const char* CBAdvertisementDataServiceDataKey = "kCBAdvDataServiceData";
inline constexpr const char* CBAdvertisementDataOverflowServiceUUIDsKey =
    "kCBAdvDataOverflowServiceUUIDs";
inline constexpr const char* CBAdvertisementDataSolicitedServiceUUIDsKey =
    "kCBAdvDataSolicitedServiceUUIDs";
inline constexpr const char* CBAdvertisementDataTxPowerLevelKey = "kCBAdvDataTxPowerLevel";
inline constexpr const char* CBAdvertisementDataIsConnectable = "kCBAdvDataIsConnectable";

// Options of a central manager, of a scan and of a connection.
inline constexpr const char* CBCentralManagerOptionShowPowerAlertKey =
    "kCBInitOptionShowPowerAlert";
inline constexpr const char* CBCentralManagerOptionRestoreIdentifierKey = "kCBRestoreIdentifierKey";
inline constexpr const char* CBCentralManagerScanOptionAllowDuplicatesKey =
    "kCBScanOptionAllowDuplicates";
inline constexpr const char* CBCentralManagerScanOptionSolicitedServiceUUIDsKey =
    "kCBScanOptionSolicitedServiceUUIDs";
inline constexpr const char* CBConnectPeripheralOptionNotifyOnConnectionKey =
    "kCBConnectOptionNotifyOnConnection";
inline constexpr const char* CBConnectPeripheralOptionNotifyOnDisconnectionKey =
    "kCBConnectOptionNotifyOnDisconnection";
inline constexpr const char* CBConnectPeripheralOptionNotifyOnNotificationKey =
    "kCBConnectOptionNotifyOnNotification";
// Options of a peripheral manager.
inline constexpr const char* CBPeripheralManagerOptionShowPowerAlertKey =
    "kCBInitOptionShowPowerAlert";
inline constexpr const char* CBPeripheralManagerOptionRestoreIdentifierKey =
    "kCBRestoreIdentifierKey";

// Errors of the Bluetooth stack (domain "CBErrorDomain") and of the attribute protocol (domain
// "CBATTErrorDomain", the protocol's own error codes).
inline constexpr const char* CBErrorDomain = "CBErrorDomain";
inline constexpr const char* CBATTErrorDomain = "CBATTErrorDomain";

enum class CBError : int {
    Unknown = 0,
    InvalidParameters = 1,
    InvalidHandle = 2,
    NotConnected = 3,
    OutOfSpace = 4,
    OperationCancelled = 5,
    ConnectionTimeout = 6,
    PeripheralDisconnected = 7,
    UUIDNotAllowed = 8,
    AlreadyAdvertising = 9,
    ConnectionFailed = 10,
    ConnectionLimitReached = 11,
    UnknownDevice = 12,
    OperationNotSupported = 13,
};

enum class CBATTError : int {
    Success = 0x00,
    InvalidHandle = 0x01,
    ReadNotPermitted = 0x02,
    WriteNotPermitted = 0x03,
    InvalidPdu = 0x04,
    InsufficientAuthentication = 0x05,
    RequestNotSupported = 0x06,
    InvalidOffset = 0x07,
    InsufficientAuthorization = 0x08,
    PrepareQueueFull = 0x09,
    AttributeNotFound = 0x0A,
    AttributeNotLong = 0x0B,
    InsufficientEncryptionKeySize = 0x0C,
    InvalidAttributeValueLength = 0x0D,
    UnlikelyError = 0x0E,
    InsufficientEncryption = 0x0F,
    UnsupportedGroupType = 0x10,
    InsufficientResources = 0x11,
};

// The platform's errors with their usual texts.
TELVO_EXPORT ErrorPtr makeCBError(CBError code);
// nullptr for Success.
TELVO_EXPORT ErrorPtr makeCBATTError(CBATTError code);

// "Unknown", "Resetting", "Unsupported", "Unauthorized", "PoweredOff", "PoweredOn" (the
// wrapper's state log lines put "CBCentralManagerState" or "CBPeripheralManagerState" first).
TELVO_EXPORT const char* CBManagerStateName(CBManagerState state);

}  // namespace telvo

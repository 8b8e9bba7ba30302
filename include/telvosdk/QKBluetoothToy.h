#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/BluetoothGatt.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"

namespace telvo {

// Conversions and lookups of the Bluetooth wrapper. Stateless; callable from any thread.
class TELVO_EXPORT QKBluetoothToy {
  public:
    // The bytes of the hex pairs (each read as strtol reads two characters; a last odd
    // character is ignored) as UTF-8 text up to the first zero byte; nullopt when that text
    // is not UTF-8.
    static std::optional<std::string> ConvertHexStringToString(const std::string& hex);
    // Lower-case hex of the UTF-8 bytes.
    static std::string ConvertStringToHexString(const std::string& text);
    // Little-endian, 4 bytes.
    static Bytes ConvertIntToData(int32_t value);
    // The first 4 bytes, little-endian; missing bytes count as 0.
    static int32_t ConvertDataToInt(ByteView data);
    // The UTF-8 bytes of ConvertHexStringToString(hex), not the bytes the hex spells: nothing
    // from the first zero byte on, nullopt when they are not UTF-8 ("0011ff" gives no bytes,
    // "30820198" nullopt). No public call turns hex text into arbitrary bytes (certificates,
    // keys): decode the pairs in the app.
    static std::optional<Bytes> ConvertHexStringToData(const std::string& hex);
    // The first characteristic, services and their characteristics in order, whose
    // UUIDString equals the text exactly (case-sensitive); nullptr when none.
    static CBCharacteristicPtr findCharacteristicFormServices(
        const std::vector<CBServicePtr>& services, const std::string& UUIDString);
};

}  // namespace telvo

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo {

class CBPeripheral;

// Reads the manufacturer data of the product's BLE advertisements: company identifier 0x3D17
// (bytes 17 3D), the BLE protocol version, and the capability dictionary of the three layouts
// (version 0; versions 1 and 2; version 3). It sits with the BLE core, which scans and keys
// sessions by it; the configuration flows above reach it here. Stateless class operations,
// callable from any thread. No operation reads past the end of its data: keys whose bytes are
// missing are left out.
class TelvoBleTool {
  public:
    // Advertisement dictionary keys of the platform.
    static constexpr char kManufacturerDataKey[] = "kCBAdvDataManufacturerData";
    static constexpr char kLocalNameKey[] = "kCBAdvDataLocalName";

    // The version byte when the data is at least 14 bytes and starts 17 3D, else -1.
    static int64_t bleProtocolVersionWithData(ByteView manufacturerData);
    // Any version byte counts.
    static bool isQKBlePeripheral(ByteView manufacturerData);
    // Version 1, 2 or 3.
    static bool isBLENewVersionWithData(ByteView manufacturerData);

    // The capability dictionary of manufacturer data and the local name (absent counts as
    // ""), or nothing for data that is not recognised, a version above 3, version 1 or 2
    // data under 27 bytes or version 3 data under 28 bytes.
    static std::optional<Dictionary> bleAdvDicWithPeripheral(
        ByteView manufacturerData, const std::optional<std::string>& bleName);
    // The layouts; each reads only the bytes the data holds.
    static Dictionary parseOneBleData(ByteView data, const std::optional<std::string>& bleName);
    static Dictionary parseTwoBleData(ByteView data, const std::optional<std::string>& bleName);
    static Dictionary parseThreeBleData(ByteView data, const std::optional<std::string>& bleName);

    // The flow type (bleType) for a peripheral and the app's configuration type, 99 when none
    // fits. capabilities is the peripheral's stored capability dictionary (qkSmartDictonary);
    // when it is not a dictionary, the stored advertisement dictionary (qkAdvertiDictonary)
    // is parsed instead.
    static int64_t bleModuleTypeForAdvertisementData(const Value& capabilities,
                                                     const Value& advertisementData,
                                                     int64_t configType);
    // The same for a peripheral, from its record (main thread); a null peripheral counts as
    // one with nothing stored.
    static int64_t bleModuleTypeForAdvertisementData(
        const std::shared_ptr<CBPeripheral>& peripheral, int64_t configType);
    // The same for a capability dictionary already at hand (absent when none).
    static int64_t bleModuleTypeForCapabilities(const std::optional<Dictionary>& capabilities,
                                                int64_t configType);
};

}  // namespace telvo

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

class CBPeripheral;

// Reads the manufacturer data of the product's BLE advertisements: company identifier 0x3D17
// (bytes 17 3D), the BLE protocol version, and the capability dictionary of the three layouts
// (version 0; versions 1 and 2; version 3). An app filters a scan with isQKBlePeripheral and
// picks the bleType of QKDeviceBleConfigParams for a scanned peripheral with
// bleModuleTypeForAdvertisementData. Stateless class operations, callable from any thread except
// where noted. No operation reads past the end of its data: keys whose bytes are missing are left
// out.
class TELVO_EXPORT TelvoBleTool {
  public:
    // Advertisement dictionary keys of the platform.
    static constexpr char kManufacturerDataKey[] = "kCBAdvDataManufacturerData";
    static constexpr char kLocalNameKey[] = "kCBAdvDataLocalName";

    // The version byte when the data is at least 14 bytes and starts 17 3D, else -1.
    static int64_t bleProtocolVersionWithData(ByteView manufacturerData);
    // The product's manufacturer data: at least 14 bytes starting 17 3D; any version byte counts.
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

    // The flow type (bleType of QKDeviceBleConfigParams) for a peripheral and the app's
    // configuration type (3, 4 or 5), 99 when no BLE flow fits:
    //   3: module type 1, 2, 3 give 2 (single-BLE), 0 (first generation), 1 (second generation);
    //   4: a single module gives 4 (network bridge) when it advertises a bridge capability, else
    //      2; a double module gives 3 (combo) when it can transport, else 99;
    //   5: a double module gives 10 (second-generation retry).
    // Reads the capability dictionary a scan stored with the peripheral (qkSmartDictonary of
    // CBPeripheralQKExtensions), or parses the stored advertisement (qkAdvertiDictonary) when
    // there is none; a null peripheral counts as one with nothing stored. On the main queue,
    // where scans store those records.
    static int64_t bleModuleTypeForAdvertisementData(
        const std::shared_ptr<CBPeripheral>& peripheral, int64_t configType);
    // The same from the two records as values: capabilities when it is a dictionary, else the
    // advertisement dictionary parsed.
    static int64_t bleModuleTypeForAdvertisementData(const Value& capabilities,
                                                     const Value& advertisementData,
                                                     int64_t configType);
    // The same for a capability dictionary already at hand (absent when none).
    static int64_t bleModuleTypeForCapabilities(const std::optional<Dictionary>& capabilities,
                                                int64_t configType);
};

}  // namespace telvo

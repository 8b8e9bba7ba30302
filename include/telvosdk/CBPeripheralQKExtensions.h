#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telvosdk/CBPeripheral.h"
#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

// What the SDK keeps on each platform peripheral: the last advertisement, the capability
// dictionary, MAC and name, and the reconnect bookkeeping of the session that talks to it. One
// record per peripheral object, created on first use and living as long as the peripheral;
// fields never set read as absent, NO or 0. Read and written on the main thread only; not
// locked.
struct TELVO_EXPORT CBPeripheralQKExtensions {
    std::optional<Dictionary> qkAdvertiDictonary;  // the last advertisement data
    std::optional<int> qkAdvertisementRSSI;        // its RSSI, dBm
    std::optional<std::string> qkAdvertising;      // manufacturer data after the company id
    std::optional<Dictionary> qkSmartDictonary;    // capability dictionary
    bool qkDevice = false;
    bool configable = false;
    bool configed = false;
    bool unreachableAdv = false;
    bool isWiredStatus = false;
    bool isWiredConfigurable = false;
    std::optional<std::string> mas_mac;
    std::optional<std::string> mas_name;
    int64_t curReConnectCount = 0;
    bool manualDisconnectTag = false;

    // Stores an advertisement that holds manufacturer data (bytes under
    // "kCBAdvDataManufacturerData") with its UTF-8 text after the two-byte company identifier
    // (absent when not UTF-8 or when fewer than 2 bytes); any other advertisement leaves both
    // unchanged. The RSSI is stored in every case (absent when none is given).
    void qk_setAdvertisementData(const std::optional<Dictionary>& advertisementData,
                                 std::optional<int> rssi);
};

// The record of a peripheral; nullptr for a null peripheral.
inline std::shared_ptr<CBPeripheralQKExtensions> qkExtensions(const CBPeripheralPtr& peripheral) {
    return peripheral ? peripheral->extension<CBPeripheralQKExtensions>() : nullptr;
}

}  // namespace telvo

#pragma once

#include <optional>
#include <vector>

#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/Value.h"

namespace telvo {

// Scan and connect options and the UUID lists of one channel. A nil list means all services
// or all characteristics.
struct QKBluetoothOptions {
    QKBluetoothOptions() = default;
    // initWithscanForPeripheralsWithOptions:connectPeripheralWithOptions:(...)
    QKBluetoothOptions(std::optional<Dictionary> scanOptions,
                       std::optional<Dictionary> connectOptions,
                       std::optional<std::vector<CBUUID>> scanServices = std::nullopt,
                       std::optional<std::vector<CBUUID>> discoverServices = std::nullopt,
                       std::optional<std::vector<CBUUID>> discoverCharacteristics = std::nullopt)
        : scanForPeripheralsWithOptions(std::move(scanOptions)),
          connectPeripheralWithOptions(std::move(connectOptions)),
          scanForPeripheralsWithServices(std::move(scanServices)),
          discoverWithServices(std::move(discoverServices)),
          discoverWithCharacteristics(std::move(discoverCharacteristics)) {}

    std::optional<Dictionary> scanForPeripheralsWithOptions;
    std::optional<Dictionary> connectPeripheralWithOptions;
    std::optional<std::vector<CBUUID>> scanForPeripheralsWithServices;
    std::optional<std::vector<CBUUID>> discoverWithServices;
    std::optional<std::vector<CBUUID>> discoverWithCharacteristics;
};

}  // namespace telvo

#pragma once

// What the BLE sessions keep on a peripheral beside its public record.

#include <cstdint>
#include <memory>

#include "core/QKSafeMutableDictionary.h"
#include "telvosdk/CBPeripheralQKExtensions.h"

namespace telvo {

// The pending resends of a BLE session, by message type.
using QKWriteWithResponseDict = QKSafeMutableDictionary<int64_t, Dictionary>;

// One per peripheral object, made on first use and living as long as it. Main thread only.
struct CBPeripheralQKSessionRecord {
    // Replaced by an empty one at each session reset; absent before the first.
    std::shared_ptr<QKWriteWithResponseDict> writeWithResponseDict;
    // The BLE session that connected the peripheral last and has not released it (an
    // identity, never dereferenced); nullptr when none.
    const void* boundSession = nullptr;
};

// nullptr for a null peripheral.
inline std::shared_ptr<CBPeripheralQKSessionRecord> qkSessionRecord(
    const CBPeripheralPtr& peripheral) {
    return peripheral ? peripheral->extension<CBPeripheralQKSessionRecord>() : nullptr;
}

}  // namespace telvo

#pragma once

// The central and peripheral roles on a queue and radio of the library's choosing (the
// simulated radio, a BlueZ radio on a private bus).

#include "platform/bluetooth/BluetoothRadio.h"
#include "platform/dispatch/DispatchQueue.h"
#include "telvosdk/CBCentralManager.h"
#include "telvosdk/CBPeripheralManager.h"

namespace telvo {

// queue nullptr: the main queue; radio nullptr: BluetoothRadio::shared().
CBCentralManagerPtr createCentralManager(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                         DispatchQueuePtr queue, Dictionary options,
                                         std::shared_ptr<BluetoothRadio> radio);
CBPeripheralManagerPtr createPeripheralManager(std::weak_ptr<CBPeripheralManagerDelegate> delegate,
                                               DispatchQueuePtr queue, Dictionary options,
                                               std::shared_ptr<BluetoothRadio> radio);

}  // namespace telvo

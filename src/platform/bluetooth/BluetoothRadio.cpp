#include "platform/bluetooth/BluetoothRadio.h"

#include <mutex>

#include "platform/bluetooth/BlueZRadio.h"

namespace telvo {

namespace {

std::mutex gRadioMutex;
std::shared_ptr<BluetoothRadio> gRadio;

}  // namespace

std::shared_ptr<BluetoothRadio> BluetoothRadio::shared() {
    std::lock_guard lock(gRadioMutex);
    if (gRadio) return gRadio;
    gRadio = BlueZRadio::open();
    return gRadio;
}

void BluetoothRadio::setShared(std::shared_ptr<BluetoothRadio> radio) {
    std::lock_guard lock(gRadioMutex);
    gRadio = std::move(radio);
}

}  // namespace telvo

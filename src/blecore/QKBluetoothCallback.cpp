#include "blecore/QKBluetoothCallback.h"

namespace telvo {

QKBluetoothCallback::QKBluetoothCallback()
    : filterOnDiscoverPeripherals(acceptsNonEmptyName),
      filterOnconnectToPeripherals(acceptsNonEmptyName) {}

bool QKBluetoothCallback::acceptsNonEmptyName(const std::optional<std::string>& name,
                                              const Dictionary&, int) {
    return !name || !name->empty();
}

}  // namespace telvo

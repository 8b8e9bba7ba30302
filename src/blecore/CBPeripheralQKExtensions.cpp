#include "telvosdk/CBPeripheralQKExtensions.h"

#include "security/TextBytes.h"
#include "telvosdk/BluetoothTypes.h"

namespace telvo {

void CBPeripheralQKExtensions::qk_setAdvertisementData(
    const std::optional<Dictionary>& advertisementData, std::optional<int> rssi) {
    const Value* data = advertisementData
                            ? advertisementData->find(CBAdvertisementDataManufacturerDataKey)
                            : nullptr;
    if (data && data->isBytes()) {
        const Bytes& bytes = data->bytes();
        qkAdvertising =
            bytes.size() < 2 ? std::nullopt : textbytes::utf8Text(ByteView(bytes).subspan(2));
        qkAdvertiDictonary = advertisementData;
    }
    qkAdvertisementRSSI = rssi;
}

}  // namespace telvo

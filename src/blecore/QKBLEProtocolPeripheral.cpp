#include "blecore/QKBLEProtocol.h"
#include "blecore/TelvoBleTool.h"
#include "platform/foundation/Registry.h"
#include "telvosdk/CBPeripheralQKExtensions.h"

namespace telvo {

std::optional<Dictionary> QKBLEProtocol::bleDeviceModelForAdvertisementData(
    const CBPeripheralPtr& peripheral) {
    auto record = qkExtensions(peripheral);
    if (!record || !record->qkAdvertiDictonary) return std::nullopt;
    const Dictionary& advertisement = *record->qkAdvertiDictonary;
    const Value& name = advertisement[CBAdvertisementDataLocalNameKey];
    return bleAdvDicWithPeripheral(advertisement[CBAdvertisementDataManufacturerDataKey].bytes(),
                                   name.optionalText());
}

std::optional<Dictionary> QKBLEProtocol::bleAdvDicWithPeripheral(
    ByteView manufacturerData, const std::optional<std::string>& bleName) {
    return TelvoBleTool::bleAdvDicWithPeripheral(manufacturerData, bleName);
}

int64_t QKBLEProtocol::bleModuleTypeForAdvertisementData(const CBPeripheralPtr& peripheral,
                                                         int64_t configType) {
    return TelvoBleTool::bleModuleTypeForAdvertisementData(peripheral, configType);
}

void registerBleCore() {
    RegisteredClass protocol("QKBLEProtocol");
    protocol.classSelector(
        "bleModuleTypeForAdvertisementData:configType:", [](const RegistryArgs& args) -> std::any {
            return QKBLEProtocol::bleModuleTypeForAdvertisementData(
                registryArgRef<CBPeripheralPtr>(args, 0), registryArgRef<int64_t>(args, 1));
        });
    Registry::shared().registerClass(std::move(protocol));
}

}  // namespace telvo

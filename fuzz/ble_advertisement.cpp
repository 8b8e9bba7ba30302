// Manufacturer data and a local name as any BLE advertiser could send them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "blecore/TelvoBleTool.h"

using telvo::ByteView;
using telvo::TelvoBleTool;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t nameLength = size ? data[0] % 16 : 0;
    if (size < 1 + nameLength) return 0;
    const std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
    const ByteView manufacturer(data + 1 + nameLength, size - 1 - nameLength);
    auto dic = TelvoBleTool::bleAdvDicWithPeripheral(manufacturer, name);
    TelvoBleTool::parseOneBleData(manufacturer, name);
    TelvoBleTool::parseTwoBleData(manufacturer, std::nullopt);
    TelvoBleTool::parseThreeBleData(manufacturer, name);
    for (int64_t type = 3; type <= 6; ++type) {
        const int64_t bleType = TelvoBleTool::bleModuleTypeForCapabilities(dic, type);
        if (bleType != 99 && (bleType < 0 || bleType > 10)) __builtin_trap();
    }
    return 0;
}

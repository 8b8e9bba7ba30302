#include "telvosdk/QKBluetoothToy.h"

#include "core/HexText.h"
#include "security/TextBytes.h"

namespace telvo {

std::optional<std::string> QKBluetoothToy::ConvertHexStringToString(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(
            static_cast<char>(hextext::leadingPair(std::string_view(hex).substr(i, 2))));
    const std::string_view text = textbytes::cString(bytes);
    return textbytes::utf8Text(textbytes::bytesOf(text));
}

std::string QKBluetoothToy::ConvertStringToHexString(const std::string& text) {
    return hextext::encode(textbytes::bytesOf(text), false);
}

Bytes QKBluetoothToy::ConvertIntToData(int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
            static_cast<uint8_t>(u >> 24)};
}

int32_t QKBluetoothToy::ConvertDataToInt(ByteView data) {
    uint32_t u = 0;
    for (size_t i = 0; i < 4 && i < data.size(); ++i) u |= uint32_t{data[i]} << (8 * i);
    return static_cast<int32_t>(u);
}

std::optional<Bytes> QKBluetoothToy::ConvertHexStringToData(const std::string& hex) {
    auto text = ConvertHexStringToString(hex);
    if (!text) return std::nullopt;
    return Bytes(text->begin(), text->end());
}

CBCharacteristicPtr QKBluetoothToy::findCharacteristicFormServices(
    const std::vector<CBServicePtr>& services, const std::string& UUIDString) {
    for (const auto& service : services) {
        if (!service) continue;
        for (const auto& characteristic : service->characteristics())
            if (characteristic && characteristic->UUID().UUIDString() == UUIDString)
                return characteristic;
    }
    return nullptr;
}

}  // namespace telvo

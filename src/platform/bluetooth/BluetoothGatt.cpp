#include "telvosdk/BluetoothGatt.h"

#include "platform/bluetooth/BluetoothFields.h"

namespace telvo {

namespace {
bool isNumberDescriptor(const CBUUID& uuid) {
    return uuid == CBUUID::UUIDWithString(CBUUIDClientCharacteristicConfigurationString) ||
           uuid == CBUUID::UUIDWithString(CBUUIDCharacteristicExtendedPropertiesString);
}
}  // namespace

Value CBDescriptor::valueFromBytes(const CBUUID& uuid, ByteView bytes) {
    if (uuid == CBUUID::UUIDWithString(CBUUIDCharacteristicUserDescriptionString))
        return Value(toString(bytes));
    if (isNumberDescriptor(uuid)) {
        unsigned v = 0;
        if (bytes.size() > 0) v |= bytes[0];
        if (bytes.size() > 1) v |= unsigned{bytes[1]} << 8;
        return Value(v);
    }
    return Value(Bytes(bytes.begin(), bytes.end()));
}

Bytes CBDescriptor::bytesFromValue(const CBUUID& uuid, const Value& value) {
    if (value.isText()) return toBytes(value.text());
    if (value.isBytes()) return value.bytes();
    if (isNumberDescriptor(uuid) || value.isNumber()) {
        auto v = static_cast<uint16_t>(value.uint64Value());
        return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
    }
    return {};
}

void CBMutableCharacteristic::setDescriptors(std::vector<CBDescriptorPtr> descriptors) {
    descriptors_ = std::move(descriptors);
    auto self = std::static_pointer_cast<CBCharacteristic>(shared_from_this());
    for (auto& d : descriptors_)
        if (d) bt::Access::characteristic(*d) = self;
}

void CBMutableService::setCharacteristics(std::vector<CBCharacteristicPtr> characteristics) {
    characteristics_ = std::move(characteristics);
    auto self = std::static_pointer_cast<CBService>(shared_from_this());
    for (auto& c : characteristics_)
        if (c) bt::Access::service(*c) = self;
}

}  // namespace telvo

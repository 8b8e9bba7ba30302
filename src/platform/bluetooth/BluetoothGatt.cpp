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

namespace {
// A remote peripheral's attributes, made as discovery reports them.
struct RemoteService final : CBService {
    RemoteService(const CBUUID& uuid, bool primary) : CBService(uuid, primary) {}
};
struct RemoteCharacteristic final : CBCharacteristic {
    RemoteCharacteristic(const CBUUID& uuid, uint32_t properties)
        : CBCharacteristic(uuid, properties, std::nullopt) {}
};
struct RemoteDescriptor final : CBDescriptor {
    explicit RemoteDescriptor(const CBUUID& uuid) : CBDescriptor(uuid, Value()) {}
};
}  // namespace

CBServicePtr bt::Access::makeService(const CBUUID& uuid, bool primary) {
    return std::make_shared<RemoteService>(uuid, primary);
}

CBCharacteristicPtr bt::Access::makeCharacteristic(const CBUUID& uuid, uint32_t properties) {
    return std::make_shared<RemoteCharacteristic>(uuid, properties);
}

CBDescriptorPtr bt::Access::makeDescriptor(const CBUUID& uuid) {
    return std::make_shared<RemoteDescriptor>(uuid);
}

void CBMutableCharacteristic::setProperties(uint32_t properties) {
    bt::Access::properties(*this) = properties;
}

void CBMutableCharacteristic::setValue(std::optional<Bytes> value) {
    bt::Access::value(*this) = std::move(value);
}

void CBMutableCharacteristic::setDescriptors(std::vector<CBDescriptorPtr> descriptors) {
    auto& held = bt::Access::descriptors(*this);
    held = std::move(descriptors);
    auto self = std::static_pointer_cast<CBCharacteristic>(shared_from_this());
    for (auto& d : held)
        if (d) bt::Access::characteristic(*d) = self;
}

void CBMutableService::setCharacteristics(std::vector<CBCharacteristicPtr> characteristics) {
    auto& held = bt::Access::characteristics(*this);
    held = std::move(characteristics);
    auto self = std::static_pointer_cast<CBService>(shared_from_this());
    for (auto& c : held)
        if (c) bt::Access::service(*c) = self;
}

void CBMutableService::setIncludedServices(std::vector<CBServicePtr> services) {
    bt::Access::included(*this) = std::move(services);
}

}  // namespace telvo

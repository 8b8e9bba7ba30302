#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

class CBPeripheral;
class CBService;
class CBCharacteristic;
class CBDescriptor;
class CBMutableService;
class CBMutableDescriptor;
class CBMutableCharacteristic;
using CBServicePtr = std::shared_ptr<CBService>;
using CBCharacteristicPtr = std::shared_ptr<CBCharacteristic>;
using CBDescriptorPtr = std::shared_ptr<CBDescriptor>;

// The attributes of a peripheral's database as the central role sees them (built by
// CBPeripheral from what discovery reports), and the mutable forms an app builds for the
// peripheral role. Parents hold their children strongly; children link back weakly. The
// objects of a remote peripheral are changed and read on its central manager's queue; they
// are not locked. Their state is the library's: an app reads it, and builds the mutable forms
// through their create functions.
class TELVO_EXPORT CBAttribute : public std::enable_shared_from_this<CBAttribute> {
  public:
    virtual ~CBAttribute() = default;
    const CBUUID& UUID() const { return uuid_; }

  protected:
    explicit CBAttribute(const CBUUID& uuid) : uuid_(uuid) {}

  private:
    CBUUID uuid_;
    [[maybe_unused]] uint16_t handle_ = 0;  // the radio's handle, kept by the library
};

class TELVO_EXPORT CBService : public CBAttribute {
  public:
    // The peripheral the service was discovered on (nullptr for a local service).
    std::shared_ptr<CBPeripheral> peripheral() const { return peripheral_.lock(); }
    bool isPrimary() const { return primary_; }
    const std::vector<CBServicePtr>& includedServices() const { return included_; }
    // Empty until discovered (or set, for a mutable service).
    const std::vector<CBCharacteristicPtr>& characteristics() const { return characteristics_; }

  protected:
    CBService(const CBUUID& uuid, bool primary) : CBAttribute(uuid), primary_(primary) {}

  private:
    std::weak_ptr<CBPeripheral> peripheral_;
    bool primary_;
    std::vector<CBServicePtr> included_;
    std::vector<CBCharacteristicPtr> characteristics_;
};

class TELVO_EXPORT CBCharacteristic : public CBAttribute {
  public:
    std::shared_ptr<CBService> service() const { return service_.lock(); }
    // CBCharacteristicProperty bits.
    uint32_t properties() const { return properties_; }
    // The last value read or notified; nullopt before any.
    const std::optional<Bytes>& value() const { return value_; }
    const std::vector<CBDescriptorPtr>& descriptors() const { return descriptors_; }
    bool isNotifying() const { return notifying_; }

  protected:
    CBCharacteristic(const CBUUID& uuid, uint32_t properties, std::optional<Bytes> value)
        : CBAttribute(uuid), properties_(properties), value_(std::move(value)) {}

  private:
    std::weak_ptr<CBService> service_;
    uint32_t properties_;
    std::optional<Bytes> value_;
    std::vector<CBDescriptorPtr> descriptors_;
    bool notifying_ = false;
};

class TELVO_EXPORT CBDescriptor : public CBAttribute {
  public:
    std::shared_ptr<CBCharacteristic> characteristic() const { return characteristic_.lock(); }
    // A text for the user description (2901), a number for the client configuration (2902)
    // and extended properties (2900), bytes otherwise; null before it is read.
    const Value& value() const { return value_; }

    // The value of descriptor bytes as value() presents it.
    static Value valueFromBytes(const CBUUID& uuid, ByteView bytes);
    // The bytes of such a value.
    static Bytes bytesFromValue(const CBUUID& uuid, const Value& value);

  protected:
    CBDescriptor(const CBUUID& uuid, Value value) : CBAttribute(uuid), value_(std::move(value)) {}

  private:
    std::weak_ptr<CBCharacteristic> characteristic_;
    Value value_;
};

// Peripheral role: the services an app publishes.
class TELVO_EXPORT CBMutableDescriptor : public CBDescriptor {
  public:
    static std::shared_ptr<CBMutableDescriptor> create(const CBUUID& uuid, Value value) {
        return std::shared_ptr<CBMutableDescriptor>(
            new CBMutableDescriptor(uuid, std::move(value)));
    }

  private:
    CBMutableDescriptor(const CBUUID& uuid, Value value) : CBDescriptor(uuid, std::move(value)) {}
};

class TELVO_EXPORT CBMutableCharacteristic : public CBCharacteristic {
  public:
    // value: a fixed value (then properties must be read only) or nullopt for a value the app
    // gives on each read request.
    static std::shared_ptr<CBMutableCharacteristic> create(const CBUUID& uuid, uint32_t properties,
                                                           std::optional<Bytes> value,
                                                           uint32_t permissions) {
        return std::shared_ptr<CBMutableCharacteristic>(
            new CBMutableCharacteristic(uuid, properties, std::move(value), permissions));
    }
    void setProperties(uint32_t properties);
    void setValue(std::optional<Bytes> value);
    // CBAttributePermission bits.
    uint32_t permissions() const { return permissions_; }
    void setPermissions(uint32_t permissions) { permissions_ = permissions; }
    void setDescriptors(std::vector<CBDescriptorPtr> descriptors);
    // Identifiers of the centrals subscribed to it (maintained by the peripheral manager).
    const std::vector<std::string>& subscribedCentrals() const { return subscribed_; }

  private:
    CBMutableCharacteristic(const CBUUID& uuid, uint32_t properties, std::optional<Bytes> value,
                            uint32_t permissions)
        : CBCharacteristic(uuid, properties, std::move(value)), permissions_(permissions) {}
    uint32_t permissions_;
    std::vector<std::string> subscribed_;
};

class TELVO_EXPORT CBMutableService : public CBService {
  public:
    static std::shared_ptr<CBMutableService> create(const CBUUID& uuid, bool primary) {
        return std::shared_ptr<CBMutableService>(new CBMutableService(uuid, primary));
    }
    void setCharacteristics(std::vector<CBCharacteristicPtr> characteristics);
    void setIncludedServices(std::vector<CBServicePtr> services);

  private:
    CBMutableService(const CBUUID& uuid, bool primary) : CBService(uuid, primary) {}
};

// A remote central, as the peripheral role sees it.
class TELVO_EXPORT CBCentral {
  public:
    explicit CBCentral(std::string identifier) : identifier_(std::move(identifier)) {}
    const std::string& identifier() const { return identifier_; }

  private:
    std::string identifier_;
};

// A read or write request of a remote central (peripheral role). For a read the app sets
// value before it responds.
struct TELVO_EXPORT CBATTRequest {
    std::shared_ptr<CBCentral> central;
    CBCharacteristicPtr characteristic;
    size_t offset = 0;
    std::optional<Bytes> value;
    uint64_t id = 0;  // the radio's request number
};
using CBATTRequestPtr = std::shared_ptr<CBATTRequest>;

}  // namespace telvo

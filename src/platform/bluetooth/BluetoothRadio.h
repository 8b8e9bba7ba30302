#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

namespace telvo {

// Attributes as the radio names them: by handle, unique within one peripheral's database (or
// within one client's local database in the peripheral role).
struct RadioService {
    uint16_t handle = 0;
    CBUUID uuid;
    bool primary = true;
};
struct RadioCharacteristic {
    uint16_t handle = 0;
    CBUUID uuid;
    uint32_t properties = 0;
};
struct RadioDescriptor {
    uint16_t handle = 0;
    CBUUID uuid;
};

// A local characteristic or descriptor handed to the radio in the peripheral role.
struct RadioLocalAttribute {
    uint16_t handle = 0;
    CBUUID uuid;
    uint32_t properties = 0;     // characteristics
    uint32_t permissions = 0;    // characteristics
    std::optional<Bytes> value;  // a fixed value the radio answers reads with
    std::vector<RadioLocalAttribute> descriptors;
};
struct RadioLocalService {
    RadioService service;
    std::vector<RadioLocalAttribute> characteristics;
};

// One request of a remote central to a local characteristic (peripheral role).
struct RadioRequest {
    uint64_t id = 0;  // answer with BluetoothRadio::respond
    std::string central;
    uint16_t handle = 0;
    size_t offset = 0;
    Bytes value;  // writes
};

// One event of the radio for one client. Which fields are set depends on the kind.
struct RadioEvent {
    enum class Kind {
        StateChanged,        // state
        Discovered,          // peripheral, name, advertisement, rssi
        Connected,           // peripheral
        ConnectFailed,       // peripheral, error
        Disconnected,        // peripheral, error (nullptr: ended by the peripheral's side cleanly)
        ServicesDiscovered,  // peripheral, services, error
        IncludedServicesDiscovered,  // peripheral, handle (service), services, error
        CharacteristicsDiscovered,   // peripheral, handle (service), characteristics, error
        DescriptorsDiscovered,       // peripheral, handle (characteristic), descriptors, error
        ValueUpdated,        // peripheral, handle, value, error (a read's answer or a notification)
        ValueWritten,        // peripheral, handle, error (writes with response only)
        NotifyStateChanged,  // peripheral, handle, notifying, error
        RSSIRead,            // peripheral, rssi, error
        NameUpdated,         // peripheral, name
        ServicesInvalidated,  // peripheral, services
        Removed,              // peripheral: the system no longer knows it (it has no link)
        // Peripheral role.
        ServiceAdded,        // handle (service), error
        AdvertisingStarted,  // error
        ReadRequest,         // requests (one)
        WriteRequests,       // requests
        Subscribed,          // central, handle
        Unsubscribed,        // central, handle
        ReadyToUpdateSubscribers,
    };
    Kind kind = Kind::StateChanged;
    CBManagerState state = CBManagerState::Unknown;
    std::string peripheral;  // identifier text (NSUUID form)
    std::optional<std::string> name;
    Dictionary advertisement;
    int rssi = 127;
    uint16_t handle = 0;
    std::vector<RadioService> services;
    std::vector<RadioCharacteristic> characteristics;
    std::vector<RadioDescriptor> descriptors;
    Bytes value;
    bool notifying = false;
    std::string central;
    std::vector<RadioRequest> requests;
    ErrorPtr error;
};

// The one narrow interface between the Bluetooth classes (CBCentralManager, CBPeripheral,
// CBPeripheralManager) and a radio. Each manager attaches as a client; the radio answers its
// commands with events to the client's sink, one at a time per client, in the order the
// radio saw them happen. The sink only queues the event for its manager: it may be called from
// any thread, also from inside a command (and with the radio's locks held), and must not call
// the radio. After detach, or after cancelConnection for that peripheral, the radio reports
// nothing more about it to that client. Commands about a peripheral the client has no link to
// are ignored. All members are thread-safe.
class BluetoothRadio {
  public:
    using ClientId = uint64_t;
    using EventSink = std::function<void(const RadioEvent&)>;

    virtual ~BluetoothRadio() = default;

    // A new client; the radio reports its current state (StateChanged) first.
    virtual ClientId attach(EventSink sink) = 0;
    // Ends the client's scan, links, local services and advertising, silently.
    virtual void detach(ClientId client) = 0;
    virtual CBManagerState state() = 0;

    // Central role.
    // services: only advertisers that list one of them; nullopt: every advertiser.
    // allowDuplicates: report every advertisement, else an advertiser once per scan and again
    // when its advertisement changes.
    virtual void startScan(ClientId client, const std::optional<std::vector<CBUUID>>& services,
                           bool allowDuplicates) = 0;
    virtual void stopScan(ClientId client) = 0;
    // Known peripheral (seen or connected) by identifier: its name; nullopt when unknown.
    virtual std::optional<std::optional<std::string>> knownPeripheral(
        const std::string& peripheral) = 0;
    // Peripherals linked to any client whose database has one of the services.
    virtual std::vector<std::pair<std::string, std::optional<std::string>>> connectedPeripherals(
        const std::vector<CBUUID>& services) = 0;
    virtual void connect(ClientId client, const std::string& peripheral) = 0;
    // Ends a pending or established link; reports nothing.
    virtual void cancelConnection(ClientId client, const std::string& peripheral) = 0;
    virtual void discoverServices(ClientId client, const std::string& peripheral,
                                  const std::optional<std::vector<CBUUID>>& uuids) = 0;
    virtual void discoverIncludedServices(ClientId client, const std::string& peripheral,
                                          uint16_t service,
                                          const std::optional<std::vector<CBUUID>>& uuids) = 0;
    virtual void discoverCharacteristics(ClientId client, const std::string& peripheral,
                                         uint16_t service,
                                         const std::optional<std::vector<CBUUID>>& uuids) = 0;
    virtual void discoverDescriptors(ClientId client, const std::string& peripheral,
                                     uint16_t characteristic) = 0;
    // Characteristic or descriptor.
    virtual void read(ClientId client, const std::string& peripheral, uint16_t handle) = 0;
    // Characteristic or descriptor; a write without response reports nothing.
    virtual void write(ClientId client, const std::string& peripheral, uint16_t handle,
                       const Bytes& value, bool withResponse) = 0;
    virtual void setNotify(ClientId client, const std::string& peripheral, uint16_t characteristic,
                           bool enabled) = 0;
    virtual void readRSSI(ClientId client, const std::string& peripheral) = 0;
    // The longest value one write of that kind may carry on the link (20 without a link).
    virtual size_t maximumWriteLength(ClientId client, const std::string& peripheral,
                                      bool withResponse) = 0;

    // Peripheral role.
    virtual void addService(ClientId client, const RadioLocalService& service) = 0;
    virtual void removeService(ClientId client, uint16_t service) = 0;
    // advertisement: local name and service UUIDs (texts) under the advertisement keys, and
    // manufacturer data.
    virtual void startAdvertising(ClientId client, const Dictionary& advertisement) = 0;
    virtual void stopAdvertising(ClientId client) = 0;
    virtual void respond(ClientId client, uint64_t request, CBATTError result,
                         const Bytes& value) = 0;
    // Sends the value to the subscribed centrals (all when centrals is empty); false when the
    // radio's queue is full (a ReadyToUpdateSubscribers event follows).
    virtual bool updateValue(ClientId client, uint16_t characteristic, const Bytes& value,
                             const std::vector<std::string>& centrals) = 0;

    // The radio the Bluetooth classes use when they are given none. Until one is installed it
    // is BlueZ on the system bus (BlueZRadio: Unsupported while org.bluez or the bus itself is
    // absent, both watched for).
    static std::shared_ptr<BluetoothRadio> shared();
    // nullptr: the next shared() opens BlueZ on the system bus again.
    static void setShared(std::shared_ptr<BluetoothRadio> radio);
};

}  // namespace telvo

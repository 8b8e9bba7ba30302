#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/bluetooth/BluetoothRadio.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"

namespace telvo::sim {

class SimBleAppliance;
class SimRadio;

// The protocol behaviour of a simulated appliance (the virtual BLE appliance plugs in here).
// Called on the radio's queue with the radio locked; it may call back into the appliance
// (notify, loseLink) and read or change its GATT values.
class SimBleBehaviour {
  public:
    virtual ~SimBleBehaviour() = default;
    virtual void onConnected(SimBleAppliance&) {}
    virtual void onDisconnected(SimBleAppliance&) {}
    // A write reached the characteristic (its stored value already replaced). The answer is
    // what a write with response reports; ignored for a write without response.
    virtual CBATTError onWrite(SimBleAppliance&, const CBUUID& /*characteristic*/,
                               const Bytes& /*value*/, bool /*withResponse*/) {
        return CBATTError::Success;
    }
    // A read: the value to answer, or nullopt for the stored value.
    virtual std::optional<Bytes> onRead(SimBleAppliance&, const CBUUID& /*characteristic*/) {
        return std::nullopt;
    }
    virtual void onNotifyChanged(SimBleAppliance&, const CBUUID& /*characteristic*/,
                                 bool /*enabled*/) {}
};

struct SimGattDescriptor {
    CBUUID uuid;
    Bytes value;
};
struct SimGattCharacteristic {
    CBUUID uuid;
    uint32_t properties = 0;
    Bytes value;
    // The client configuration descriptor (2902) is added by the radio for notify and
    // indicate characteristics.
    std::vector<SimGattDescriptor> descriptors;
};
struct SimGattService {
    CBUUID uuid;
    bool primary = true;
    std::vector<SimGattCharacteristic> characteristics;
};

// One simulated appliance on the simulated radio: what it advertises, how it takes a
// connection, its GATT database and its behaviour. Set the fields up on the loop thread
// (deterministic mode) or before the radio sees it; the radio reads them under its lock.
class SimBleAppliance {
  public:
    enum class ConnectOutcome { Succeed, Fail, Hang };

    const std::string& identifier() const { return identifier_; }

    // The GAP name (the peripheral's name); the advertised local name is separate.
    std::optional<std::string> name;
    std::optional<std::string> localName;
    std::optional<Bytes> manufacturerData;
    std::vector<CBUUID> advertisedServices;
    std::optional<bool> connectable;
    bool advertising = true;
    double advertisingInterval = 0.1;
    // RSSI of each advertisement in turn; the last repeats. 127 means unavailable.
    std::vector<int> rssi{-60};

    ConnectOutcome connectOutcome = ConnectOutcome::Succeed;
    double connectDelay = 0.05;
    // Discovery, reads, notification changes, RSSI and the arrival of writes without response.
    double responseDelay = 0.01;
    // The acknowledgement of a write with response.
    double writeResponseDelay = 0.03;
    uint16_t attMtu = 185;  // writes without response carry attMtu - 3 bytes at most
    size_t maxWriteWithResponse = 512;
    // Discovery of the services, or of a service's characteristics, fails with this error
    // instead of answering with the database.
    std::optional<CBATTError> serviceDiscoveryError;
    std::optional<CBATTError> characteristicDiscoveryError;

    std::vector<SimGattService> gatt;

    // FF80 with FF81 (write, write without response) and FF82 (notify), or FD24 with FF31 and
    // FF32 alike.
    void addConfigService(const std::string& service = "FF80", const std::string& write = "FF81",
                          const std::string& notify = "FF82");
    SimGattCharacteristic* characteristic(const CBUUID& uuid);

    void setBehaviour(std::shared_ptr<SimBleBehaviour> behaviour);
    // Sends a notification (after responseDelay) on every link that has it enabled; false
    // when none has (then nothing is sent).
    bool notify(const CBUUID& characteristic, const Bytes& value);
    // Every link drops now: one Disconnected with the reason (ConnectFailed for a pending
    // connect); pending answers are lost.
    void loseLink(CBError reason = CBError::PeripheralDisconnected);
    bool isConnected() const;
    bool isNotifying(const CBUUID& characteristic) const;

  private:
    friend class SimRadio;
    SimBleAppliance(std::string identifier, std::weak_ptr<SimRadio> radio)
        : identifier_(std::move(identifier)), radio_(std::move(radio)) {}
    std::string identifier_;
    std::weak_ptr<SimRadio> radio_;
    std::shared_ptr<SimBleBehaviour> behaviour_;
};

// A Bluetooth radio in virtual time (BluetoothRadio over the dispatch runtime): power state,
// advertising appliances, links with their GATT databases, and the phone's own peripheral
// role. Every event goes out from its own queue after the delay the appliance sets. Every
// operation is logged for assertions.
class SimRadio : public BluetoothRadio, public std::enable_shared_from_this<SimRadio> {
  public:
    static std::shared_ptr<SimRadio> create(CBManagerState state = CBManagerState::PoweredOn);
    ~SimRadio() override;

    // Reports the state to every client; leaving PoweredOn ends every scan and link.
    void setState(CBManagerState state);
    std::shared_ptr<SimBleAppliance> addAppliance(std::optional<std::string> name = std::nullopt);
    void removeAppliance(const std::shared_ptr<SimBleAppliance>& appliance);

    struct Op {
        double time = 0;  // library clock
        std::string op;   // "connect", "write", "write-without-response", "write-dropped", ...
        std::string appliance;  // identifier ("" for the radio or the peripheral role)
        std::string target;     // attribute UUID text, or a detail
        Bytes data;
    };
    std::vector<Op> log() const;
    // The operations with that name, in order.
    std::vector<Op> log(const std::string& op) const;
    void clearLog();

    // Peripheral role: what the phone advertises (empty when not advertising) and a remote
    // central's requests to its local characteristics.
    Dictionary localAdvertisement() const;
    std::vector<CBUUID> localServices() const;
    void centralWrite(const CBUUID& characteristic, const Bytes& value);
    void centralRead(const CBUUID& characteristic);
    void centralSubscribe(const CBUUID& characteristic, bool subscribed);

    // BluetoothRadio.
    ClientId attach(EventSink sink) override;
    void detach(ClientId client) override;
    CBManagerState state() override;
    void startScan(ClientId client, const std::optional<std::vector<CBUUID>>& services,
                   bool allowDuplicates) override;
    void stopScan(ClientId client) override;
    std::optional<std::optional<std::string>> knownPeripheral(
        const std::string& peripheral) override;
    std::vector<std::pair<std::string, std::optional<std::string>>> connectedPeripherals(
        const std::vector<CBUUID>& services) override;
    void connect(ClientId client, const std::string& peripheral) override;
    void cancelConnection(ClientId client, const std::string& peripheral) override;
    void discoverServices(ClientId client, const std::string& peripheral,
                          const std::optional<std::vector<CBUUID>>& uuids) override;
    void discoverIncludedServices(ClientId client, const std::string& peripheral, uint16_t service,
                                  const std::optional<std::vector<CBUUID>>& uuids) override;
    void discoverCharacteristics(ClientId client, const std::string& peripheral, uint16_t service,
                                 const std::optional<std::vector<CBUUID>>& uuids) override;
    void discoverDescriptors(ClientId client, const std::string& peripheral,
                             uint16_t characteristic) override;
    void read(ClientId client, const std::string& peripheral, uint16_t handle) override;
    void write(ClientId client, const std::string& peripheral, uint16_t handle, const Bytes& value,
               bool withResponse) override;
    void setNotify(ClientId client, const std::string& peripheral, uint16_t characteristic,
                   bool enabled) override;
    void readRSSI(ClientId client, const std::string& peripheral) override;
    size_t maximumWriteLength(ClientId client, const std::string& peripheral,
                              bool withResponse) override;
    void addService(ClientId client, const RadioLocalService& service) override;
    void removeService(ClientId client, uint16_t service) override;
    void startAdvertising(ClientId client, const Dictionary& advertisement) override;
    void stopAdvertising(ClientId client) override;
    void respond(ClientId client, uint64_t request, CBATTError result, const Bytes& value) override;
    bool updateValue(ClientId client, uint16_t characteristic, const Bytes& value,
                     const std::vector<std::string>& centrals) override;

  private:
    friend class SimBleAppliance;
    SimRadio(CBManagerState state);

    struct Client {
        EventSink sink;
        bool scanning = false;
        uint64_t scanGeneration = 0;
        std::optional<std::vector<CBUUID>> scanServices;
        bool allowDuplicates = false;
        std::map<std::string, Dictionary> reported;    // advertisement last reported
        std::map<std::string, size_t> advertisements;  // advertisements seen this scan
        std::vector<std::shared_ptr<DispatchTimer>> timers;
        // Peripheral role.
        std::vector<RadioLocalService> services;
        std::optional<Dictionary> advertisement;
    };
    struct Link {
        uint64_t generation = 0;
        bool established = false;
        std::set<uint16_t> notifying;
    };
    // One attribute of an appliance's database by handle.
    struct Entry {
        enum class Kind { Service, Characteristic, Descriptor } kind;
        uint16_t handle;
        size_t service, characteristic, descriptor;
    };
    using LinkKey = std::pair<ClientId, std::string>;

    void record(std::string op, std::string appliance, std::string target, Bytes data = {});
    void emit(ClientId client, const RadioEvent& event);
    // From the radio's queue, for events that need no delay.
    void emitLater(ClientId client, RadioEvent event);
    std::shared_ptr<SimBleAppliance> applianceLocked(const std::string& identifier) const;
    static std::vector<Entry> table(const SimBleAppliance& appliance);
    static const Entry* entry(const std::vector<Entry>& table, uint16_t handle);
    // The established link of the client to the appliance, or nullptr.
    Link* linkLocked(ClientId client, const std::string& peripheral);
    // Runs action after the delay unless the link changed (cancelled, lost, reconnected).
    void onLink(ClientId client, const std::string& peripheral, double delay,
                std::function<void(SimBleAppliance&, Link&)> action);
    void startAdvertisersLocked(ClientId client, Client& c);
    void stopScanLocked(Client& c);
    void advertise(ClientId client, uint64_t generation, const std::string& appliance);
    void endLinksLocked(const std::string& appliance, CBError reason);
    Dictionary advertisementOf(const SimBleAppliance& appliance) const;
    std::vector<RadioCharacteristic> characteristicsOf(const SimBleAppliance& a, size_t service,
                                                       const std::vector<Entry>& t) const;
    bool notifyLocked(SimBleAppliance& appliance, const CBUUID& characteristic, const Bytes& value);
    void localRequest(RadioEvent::Kind kind, const CBUUID& characteristic, const Bytes& value,
                      bool subscribed);

    const DispatchQueuePtr queue_;
    mutable std::recursive_mutex mutex_;
    CBManagerState state_;
    ClientId nextClient_ = 0;
    uint64_t nextGeneration_ = 0;
    uint64_t nextRequest_ = 0;
    int nextAppliance_ = 0;
    std::map<ClientId, Client> clients_;
    std::vector<std::shared_ptr<SimBleAppliance>> appliances_;
    std::map<LinkKey, Link> links_;
    std::vector<Op> log_;
};

// Installs a radio as BluetoothRadio::shared() for its lifetime.
class SimRadioScope {
  public:
    explicit SimRadioScope(std::shared_ptr<SimRadio> radio) : radio_(std::move(radio)) {
        BluetoothRadio::setShared(radio_);
    }
    ~SimRadioScope() { BluetoothRadio::setShared(nullptr); }
    SimRadio& operator*() const { return *radio_; }
    SimRadio* operator->() const { return radio_.get(); }

  private:
    std::shared_ptr<SimRadio> radio_;
};

}  // namespace telvo::sim

#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/bluetooth/BlueZObjects.h"
#include "platform/bluetooth/BluetoothRadio.h"
#include "platform/dbus/DBusConnection.h"
#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

class DBusExportedObject;
class DBusMethodInvocation;

// How long the BlueZ radio waits on BlueZ, and how soon it tries again.
struct BlueZRadioTiming {
    double loadTimeout = 25;   // BlueZ's answer to GetManagedObjects
    double firstRetry = 1;     // the first new try after no answer, or after the bus was lost
    double longestRetry = 30;  // each further try waits twice as long as the one before, up to this
};

// The radio of a Linux machine: BlueZ (org.bluez) over D-Bus, on a connection of its own whose
// handlers run on the radio's serial queue. What it reads from the bus is untrusted: missing or
// mistyped properties and objects that vanish mid-call end the operation with an error event.
//
// State: Unknown until BlueZ's objects are read (a read that gets no answer is tried again,
// waiting longer each time); Unsupported while org.bluez has no owner or no adapter exists
// (BlueZ starting later is noticed); Unauthorized when the bus refuses us access to BlueZ; else
// PoweredOn or PoweredOff from the first adapter's Powered property. When the bus connection
// is lost (the bus restarts) the state is Resetting: scans, links (with an error) and local
// services end as they do when the power goes, and the radio connects again, waiting longer
// after each failed try, then reads BlueZ's objects anew. With no bus at all when the radio is
// opened, the state is Unsupported and the bus is tried the same way: once it comes, the radio
// reads BlueZ as above.
//
// Peripherals are named by an identifier of the form AAAAAAAA-AAAA-8000-8000-DDDDDDDDDDDD,
// the adapter's address (A) and the device's (D) in a version-8 UUID
// (bluez::peripheralIdentifier): stable across runs, and read back into both addresses.
//
// Central role: scans set a discovery filter (transport LE, the services, duplicates as
// asked) and start BlueZ's discovery; Device1 objects that appear or change are reported.
// A connect that cannot start (no powered adapter, an unknown device) fails at once.
// Links follow Device1's Connected and ServicesResolved; services, characteristics and
// descriptors come from the GATT objects under the device, with handles assigned per
// peripheral in path order on first sight and kept while the radio lives. Notifications are
// changes of a characteristic's Value while notifying. The longest write is the
// characteristic's MTU minus 3 (20 without an MTU or a link).
//
// Peripheral role: each local service is a GATT application of its own
// (GattManager1.RegisterApplication) whose reads, writes and subscriptions become requests
// to the client; advertising registers an LEAdvertisement1 object. BlueZ notifies every
// subscribed central: updateValue cannot address single centrals. A subscription names the
// one connected central when there is exactly one, else the identifier with an all-zero
// device address.
//
// Events go to each client's sink in the order the radio sees them, after the radio's lock is
// released: a sink may call the radio. While one thread delivers, events that other threads
// cause are delivered by it, in order. All members are thread-safe.
class BlueZRadio : public BluetoothRadio, public std::enable_shared_from_this<BlueZRadio> {
  public:
    // The radio over the bus at address ("unix:path=/run/x/bus.sock"), the system bus
    // (DBUS_SYSTEM_BUS_ADDRESS, else the standard socket) when empty. A bus that cannot be
    // reached yet is tried again (see State above).
    static std::shared_ptr<BlueZRadio> open(const std::string& address = {},
                                            BlueZRadioTiming timing = {});
    ~BlueZRadio() override;

    // D-Bus messages this radio has sent (calls, replies, signals, match rules).
    uint64_t messagesSent() const;
    const DispatchQueuePtr& queue() const { return queue_; }

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

    BlueZRadio(const BlueZRadio&) = delete;
    BlueZRadio& operator=(const BlueZRadio&) = delete;

  private:
    // Peripheral role: one local service as a GATT application, and the advertisement.
    struct LocalApp {
        std::string path;
        std::shared_ptr<DBusSlot> manager;
        std::vector<std::shared_ptr<DBusExportedObject>> objects;
        struct Characteristic {
            std::shared_ptr<DBusExportedObject> object;
            std::optional<Bytes> value;  // a fixed value, answered without asking the client
        };
        std::map<uint16_t, Characteristic> characteristics;  // by handle
        bool registered = false;
    };
    struct LocalAdvertisement {
        std::string path;
        std::shared_ptr<DBusExportedObject> object;
        bool registered = false;
    };
    struct Client {
        std::shared_ptr<const EventSink> sink;
        bool scanning = false;
        std::optional<std::vector<CBUUID>> services;
        bool allowDuplicates = false;
        std::map<std::string, Dictionary> reported;          // device path: advertisement reported
        std::map<uint16_t, std::shared_ptr<LocalApp>> apps;  // by service handle
        std::shared_ptr<LocalAdvertisement> advertisement;
    };
    // One client's link to one device.
    struct Link {
        std::string identifier;
        bool connected = false;
        uint64_t generation = 0;
        // Service discoveries waiting for ServicesResolved, and their time-out's round.
        std::vector<std::optional<std::vector<CBUUID>>> pendingServices;
        uint64_t round = 0;
    };
    using LinkKey = std::pair<ClientId, std::string>;  // client, device path
    // What the radio keeps per device path.
    struct DeviceState {
        std::map<std::string, uint16_t> handles;  // object path: handle
        std::map<uint16_t, std::string> paths;
        uint16_t next = 1;
        bool connecting = false;  // a Connect call in flight
        bool ours = false;        // connected by this radio: disconnected when the last link ends
    };
    // Notifications of one characteristic (by path), shared by the clients.
    struct NotifySession {
        uint64_t id = 0;
        bool on = false;
        bool calling = false;
        std::set<ClientId> clients;
        std::set<ClientId> waiting;
    };
    struct PendingRequest {
        ClientId client = 0;
        bool read = false;
        std::shared_ptr<DBusMethodInvocation> invocation;
    };
    using Reply = std::function<void(BlueZRadio&, const DBusReply&)>;
    // An event on its way to a client's sink.
    struct Outgoing {
        ClientId client = 0;
        std::shared_ptr<const EventSink> sink;
        RadioEvent event;
    };
    // Reads of one characteristic in flight, and the changes of its Value that came meanwhile.
    struct ReadsInFlight {
        size_t count = 0;
        std::vector<std::optional<Bytes>> changes;  // nullopt: a malformed value
    };
    // The radio's lock; on leaving, the events queued under it go to their sinks.
    class Locked {
      public:
        explicit Locked(BlueZRadio& radio) : radio_(radio), lock_(radio.mutex_) {}
        ~Locked() { radio_.deliverEvents(lock_); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        std::unique_lock<std::mutex>& lock() { return lock_; }

      private:
        BlueZRadio& radio_;
        std::unique_lock<std::mutex> lock_;
    };

    BlueZRadio(std::shared_ptr<DBusConnection> connection, DispatchQueuePtr queue,
               std::string address, BlueZRadioTiming timing);
    // Subscribes on the current connection, then reads BlueZ's objects.
    void start();
    // Calls a BlueZ method; done runs on the queue with the lock held, while the radio lives.
    void callBlueZ(std::string path, std::string interface, std::string member,
                   std::string signature, std::vector<DBusValue> args, Reply done,
                   double timeout = 25);
    // A handler that runs f(radio, arguments...) with the lock held, while the radio lives.
    template <class F>
    auto guarded(F f) {
        return [weak = weak_from_this(), f = std::move(f)](auto&&... args) {
            auto self = weak.lock();
            if (!self) return;
            Locked locked(*self);
            f(*self, std::forward<decltype(args)>(args)...);
        };
    }

    // Hands the queued events to their sinks, one at a time with the lock released, unless
    // another call on the stack or another thread is doing so already.
    void deliverEvents(std::unique_lock<std::mutex>& lock);

    // BlueZRadio.cpp, with the lock held.
    void load();
    void loadAgainLater(uint64_t generation);
    void onObjectManager(const DBusSignal& signal);
    void onPropertiesChanged(const DBusSignal& signal);
    void onOwnerChanged(const DBusSignal& signal);
    void vanish();
    void busLost(const std::shared_ptr<DBusConnection>& lost);
    void reconnect(uint64_t round);
    void retryConnect(uint64_t round);
    // The wait before the next try (first, then twice as long each time, up to the longest).
    double nextDelay(double& delay) const;
    void chooseAdapter();
    void updateState();
    void emit(ClientId client, const RadioEvent& event);
    std::optional<bluez::DeviceView> device(const std::string& path) const;
    std::string identifierOf(const bluez::DeviceView& device) const;
    // The Device1 object of an identifier under the adapter in use; empty when none.
    std::string devicePathOf(const std::string& identifier) const;
    // The device an object (a GATT attribute) belongs to; empty when none.
    std::string deviceOf(const std::string& object) const;
    // Discovered to the scanning clients, or to only that one (then only for a device heard
    // lately).
    void reportDevice(const std::string& path, std::optional<ClientId> only);
    // The discovery filter the scanning clients need; nullopt when none scans (or cannot).
    std::optional<DBusValue> wantedDiscovery() const;
    void updateDiscovery();

    // BlueZCentral.cpp, with the lock held.
    std::map<LinkKey, Link>::iterator findLink(ClientId client, const std::string& identifier);
    Link* connectedLink(ClientId client, const std::string& identifier, std::string* path);
    void onConnectReply(const std::string& path, const DBusReply& reply);
    void deviceChanged(const std::string& path, const std::vector<std::string>& names);
    void endLinks(const std::string& path, const ErrorPtr& error);
    // BlueZ forgot the device: its links end and the radio forgets it too.
    void deviceRemoved(const std::string& path, const std::string& identifier);
    // Ends a link silently (cancel, detach); the next link.
    std::map<LinkKey, Link>::iterator dropLink(std::map<LinkKey, Link>::iterator link);
    void serviceRemoved(const std::string& service);
    void answerServices(ClientId client, const std::string& path, const Link& link,
                        const std::optional<std::vector<CBUUID>>& uuids);
    void servicesTimedOut(ClientId client, const std::string& path, uint64_t round);
    // Calls each(path, properties) for the objects with the interface below parent, in path
    // order, until one answers false (a malformed object): then the malformed-data error.
    ErrorPtr eachBelow(
        const std::string& parent, const char* interface,
        const std::function<bool(const std::string&, const bluez::Properties*)>& each) const;
    uint16_t handleFor(const std::string& device, const std::string& object);
    std::string pathFor(const std::string& device, uint16_t handle) const;
    bool linkStillUp(ClientId client, const std::string& path, uint64_t generation) const;
    void reconcileNotify(const std::string& characteristic);
    void emitNotifyState(ClientId client, const std::string& characteristic, bool on,
                         ErrorPtr error);
    void clearNotify(const std::string& device);
    void valueChanged(const std::string& characteristic);
    // A change of the characteristic's Value to its notifying clients.
    void notifyValue(const std::string& characteristic, const std::optional<Bytes>& value);
    // A read answered: the Value change BlueZ announced for it is not a notification.
    void readAnswered(const std::string& characteristic, const std::optional<Bytes>& value);

    // BlueZPeripheral.cpp, with the lock held.
    void localRequest(ClientId client, uint16_t handle, bool read,
                      std::shared_ptr<DBusMethodInvocation> invocation);
    void localSubscription(ClientId client, uint16_t handle, bool subscribed,
                           std::shared_ptr<DBusMethodInvocation> invocation);
    std::string centralOf(const DBusValue& options) const;
    void dropLocal(ClientId client, Client& c);
    void dropAdvertisement(Client& c);

    const DispatchQueuePtr queue_;
    const std::string address_;  // empty: the system bus
    const BlueZRadioTiming timing_;

    mutable std::mutex mutex_;                    // guards everything below
    std::shared_ptr<DBusConnection> connection_;  // the current one, nullptr while lost
    uint64_t sentBefore_ = 0;                     // by the connections lost before
    uint64_t busRound_ = 0;                       // moves with every loss of the bus
    double busDelay_ = 0;
    double loadDelay_ = 0;
    std::deque<Outgoing> outbox_;
    bool delivering_ = false;
    ClientId inSink_ = 0;  // the client whose sink runs now
    std::thread::id deliverer_;
    std::condition_variable sinkReturned_;
    std::vector<std::shared_ptr<DBusSlot>> slots_;
    bluez::ObjectTree tree_;
    bool loaded_ = false;
    bool unauthorized_ = false;
    uint64_t loadGeneration_ = 0;
    std::string adapter_;  // path of the adapter in use, empty without one
    bluez::Address adapterAddress_{};
    CBManagerState state_ = CBManagerState::Unknown;
    ClientId nextClient_ = 0;
    std::map<ClientId, Client> clients_;
    std::map<LinkKey, Link> links_;
    std::map<std::string, DeviceState> devices_;
    std::map<std::string, NotifySession> notify_;
    std::map<std::string, ReadsInFlight> reads_;  // by characteristic path
    uint64_t nextGeneration_ = 0;
    // Discovery as BlueZ runs it for this radio.
    bool discovering_ = false;
    bool discoveryCalling_ = false;
    std::optional<DBusValue> discoveryFilter_;  // the filter BlueZ has
    uint64_t scanGeneration_ = 0;               // moves with every scan start and stop
    uint64_t failedGeneration_ = 0;  // a start that failed at this generation is not retried
    // Peripheral role.
    uint64_t nextObject_ = 0;
    uint64_t nextRequest_ = 0;
    std::map<uint64_t, PendingRequest> requests_;
};

}  // namespace telvo

#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dbus/DBusConnection.h"
#include "platform/dbus/DBusExportedObject.h"
#include "sim/PrivateBus.h"
#include "sim/SimRadio.h"

namespace telvo::sim {

// bluetoothd as a D-Bus client sees it, on a private bus: org.bluez with an object manager at
// "/" and one adapter, kAdapterPath (Adapter1, GattManager1, LEAdvertisingManager1), whose
// controller is a simulated radio (the air). The fake is one client of that radio:
// - discovery scans the air (the filter's UUIDs and DuplicateData passed on) and exports a
//   Device1 for each appliance heard (a random static address made from its identifier,
//   RSSI, Name, UUIDs, ManufacturerData keyed by the company identifier);
// - Connect links to the appliance and answers once the link is up; the fake then reads the
//   appliance's GATT database through the air and exports it (GattService1,
//   GattCharacteristic1 with Flags and MTU, GattDescriptor1 including the client
//   configuration), then sets ServicesResolved; a lost link clears Connected and
//   ServicesResolved and removes the GATT objects;
// - ReadValue, WriteValue ("request" waits for the appliance's acknowledgement, "command"
//   does not), StartNotify and StopNotify go to the appliance; its notifications come back as
//   PropertiesChanged of Value, one for each, repeated values included;
// - RegisterApplication reads the application's objects from the caller (GetManagedObjects)
//   and RegisterAdvertisement the advertisement's properties (GetAll), as BlueZ does.
// It answers only as BlueZ would; the faults below are faults of BlueZ or of the adapter.
// The fake works on a queue of its own. All members are thread-safe.
class FakeBlueZ : public std::enable_shared_from_this<FakeBlueZ> {
  public:
    static constexpr const char* kAdapterPath = "/org/bluez/hci0";
    static constexpr const char* kAdapterAddress = "00:1A:7D:DA:71:13";

    // Serves org.bluez on the bus; nullptr, with error set when given, when it cannot.
    static std::shared_ptr<FakeBlueZ> start(test::PrivateBus& bus, std::shared_ptr<SimRadio> air,
                                            std::string* error = nullptr);
    ~FakeBlueZ();

    // "C0:00:00:00:00:01": the appliance's address as the fake reports it.
    static std::string addressOf(const SimBleAppliance& appliance);
    static std::string devicePathOf(const SimBleAppliance& appliance);

    // The adapter's Powered property (as if set over the bus): off ends discovery and links.
    void setPowered(bool powered);
    // The adapter goes away (unplugged): Powered turns false, then its devices with their GATT
    // objects go, then the adapter itself; calls in flight answer UnknownObject.
    void removeAdapter();
    // The next `count` characteristic writes (every one when count < 0) answer the error
    // without reaching the appliance.
    void failWrites(std::string errorName, std::string message, int count = -1);
    // The appliance's notifications are not passed on (Value never changes).
    void dropNotifications(bool drop);
    // Objects of that interface exported from now on carry this value for the property,
    // whatever its type.
    void overrideProperty(std::string interface, std::string name, DBusValue value);
    // While discovering: `count` advertisers heard once each, at new random addresses (a
    // crowded place, addresses that rotate), and soon after all forgotten again, as
    // bluetoothd removes a temporary device it no longer hears. Returns their device paths.
    std::vector<std::string> passBy(size_t count);
    bool discovering() const;

    // Peripheral role of the phone, as BlueZ sees it.
    struct Application {
        std::string sender;
        std::string path;
        // Characteristic object paths by UUID text (upper-case short form), with their Flags.
        std::map<std::string, std::pair<std::string, std::vector<std::string>>> characteristics;
        std::vector<std::string> services;     // UUID texts
        std::shared_ptr<DBusSlot> valueWatch;  // the application's PropertiesChanged
    };
    std::vector<Application> applications() const;
    // The registered advertisement's properties (empty when none).
    std::map<std::string, DBusValue> advertisement() const;
    // Calls the phone's local characteristic (by UUID) as a remote central; done runs on the
    // fake's queue with the answer (an error when no application has it).
    void centralCall(const CBUUID& characteristic, std::string member, std::string signature,
                     std::vector<DBusValue> args, std::function<void(const DBusReply&)> done);

    // The values the application announced for its local characteristic (PropertiesChanged of
    // Value, each one BlueZ would notify to subscribed centrals), in the order they came.
    std::vector<Bytes> valuesAnnounced(const CBUUID& characteristic) const;

    // Method calls received, "Member path", in order.
    std::vector<std::string> calls() const;
    const std::string& uniqueName() const { return name_; }

    FakeBlueZ(const FakeBlueZ&) = delete;
    FakeBlueZ& operator=(const FakeBlueZ&) = delete;

  private:
    using Invocation = std::shared_ptr<DBusMethodInvocation>;
    struct Attribute {
        std::string path;
        std::shared_ptr<DBusExportedObject> object;
        bool characteristic = false;
        std::deque<Invocation> reads, writes, notifies;
    };
    struct Device {
        std::string id;  // the appliance's identifier on the air
        std::string path;
        std::shared_ptr<DBusExportedObject> object;
        bool connected = false;
        Invocation connecting;
        // The database as read through the air, exported once complete.
        std::vector<RadioService> services;
        std::map<uint16_t, std::vector<RadioCharacteristic>> characteristics;  // by service
        std::map<uint16_t, std::vector<RadioDescriptor>> descriptors;          // by characteristic
        int resolving = 0;
        std::map<uint16_t, Attribute> gatt;  // by the air's handle
    };

    FakeBlueZ(std::shared_ptr<DBusConnection> connection, std::shared_ptr<SimRadio> air);
    bool serve(std::string* error);
    // On the queue, locked.
    void onAir(const RadioEvent& event);
    void heard(const RadioEvent& event);
    void linked(Device& device, const RadioEvent& event);
    void resolved(Device& device);
    void unlink(Device& device, const std::string& why);
    void valueFromAir(Device& device, const RadioEvent& event);
    Device* deviceAt(const std::string& path);
    Device* deviceOf(const std::string& id);
    Attribute* attributeAt(const std::string& path, Device** owner);
    std::vector<DBusProperty> withOverrides(const std::string& interface,
                                            std::vector<DBusProperty> properties) const;
    std::shared_ptr<DBusExportedObject> exportObject(const std::string& path,
                                                     std::vector<DBusInterface> interfaces);
    void restartScan();
    void record(const DBusMethodInvocation& call);
    // Method handlers.
    void adapterCall(const Invocation& call);
    void deviceCall(const Invocation& call);
    void attributeCall(const Invocation& call);
    void registerApplication(const Invocation& call);
    void registerAdvertisement(const Invocation& call);
    void applicationChanged(const DBusSignal& signal);
    template <class F>
    DBusMethodHandler handler(F f);

    const std::shared_ptr<DBusConnection> connection_;
    const std::shared_ptr<SimRadio> air_;
    std::string name_;

    mutable std::mutex mutex_;  // guards everything below
    BluetoothRadio::ClientId client_ = 0;
    std::shared_ptr<DBusSlot> manager_;
    std::shared_ptr<DBusExportedObject> adapter_;
    bool powered_ = true;
    bool discovering_ = false;
    std::optional<std::vector<CBUUID>> filterUuids_;
    bool duplicates_ = true;
    std::map<std::string, Device> devices_;  // by path
    std::optional<std::pair<std::string, std::string>> writeFailure_;
    int writeFailures_ = 0;
    bool dropNotifications_ = false;
    std::map<std::pair<std::string, std::string>, DBusValue> overrides_;
    std::vector<Application> applications_;
    std::map<std::string, std::vector<Bytes>> announced_;  // by characteristic UUID text
    std::map<std::string, DBusValue> advertisement_;
    std::string advertisementPath_;
    std::vector<std::string> calls_;
    uint32_t passers_ = 0;
};

}  // namespace telvo::sim

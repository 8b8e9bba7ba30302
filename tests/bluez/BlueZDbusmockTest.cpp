// The BlueZ radio against python3-dbusmock's bluez5 template: a third party's model of BlueZ's
// adapter and device API, so that the fake BlueZ and the radio cannot agree on a wrong reading.
#include "bluez/BlueZFixture.h"
#include "sim/BusMock.h"

namespace telvo::test {
namespace {

using V = DBusValue;

constexpr const char* kAdapter = "/org/bluez/hci0";
constexpr const char* kAdapterAddress = "00:01:02:03:04:05";  // the template's for hci0
constexpr const char* kDeviceAddress = "11:22:33:44:55:66";
constexpr const char* kDevice = "/org/bluez/hci0/dev_11_22_33_44_55_66";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";

class BlueZDbusmock : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok()) << bus.error();
        ASSERT_TRUE(bluez.ok()) << bluez.error();
        radio = BlueZRadio::open(bus.address());
        ASSERT_TRUE(radio);
        recorder = std::make_shared<CentralRecorder>();
        recorder->discoveriesAsLines = true;
        central = createCentralManager(recorder, nullptr, {}, radio);
    }
    void TearDown() override {
        central.reset();
        MainLoop::drain();
    }

    static bool until(const std::function<bool()>& predicate, double seconds = 20) {
        return MainLoop::runUntil(predicate, seconds);
    }
    bool waitFor(const std::string& prefix) {
        return until([&] { return recorder->saw(prefix); });
    }
    bool stateIs(CBManagerState state) {
        return until([&] { return central->state() == state; });
    }
    void ok(const DBusReply& reply) { ASSERT_TRUE(reply.ok()) << reply.error.message; }

    void addAdapter() {
        ok(bluez.mock("AddAdapter", "ss", {V::ofString("hci0"), V::ofString("lab")}));
    }
    void addDevice() {
        ok(bluez.mock("AddDevice", "sss",
                      {V::ofString("hci0"), V::ofString(kDeviceAddress), V::ofString("kettle")}));
    }
    // Properties of an object of the template, announced as BlueZ does.
    void update(const std::string& path, const std::string& interface, V properties) {
        ok(bluez.call(path, kMockInterface, "UpdateProperties", "sa{sv}",
                      {V::ofString(interface), std::move(properties)}));
    }
    // An object the template does not model (GATT), added through dbusmock's own calls and
    // announced on the object manager. Methods: (name, in, out, Python code).
    void addObject(const std::string& path, const std::string& interface, V properties,
                   std::vector<V> methods = {}) {
        ok(bluez.call("/", kMockInterface, "AddObject", "ssa{sv}a(ssss)",
                      {V::ofString(path), V::ofString(interface), properties,
                       V::array("(ssss)", std::move(methods))}));
        ok(bluez.call(
            "/", kMockInterface, "EmitSignal", "sssav",
            {V::ofString("org.freedesktop.DBus.ObjectManager"), V::ofString("InterfacesAdded"),
             V::ofString("oa{sa{sv}}"),
             V::array("v", {V::variant(V::ofObjectPath(path)),
                            V::variant(V::dictionary("s", "a{sv}",
                                                     {{V::ofString(interface), properties}}))})}));
    }
    static V method(const char* name, const char* in, const char* out, const char* code) {
        return V::structure(
            {V::ofString(name), V::ofString(in), V::ofString(out), V::ofString(code)});
    }
    // The arguments of each call of a method of an object of the template.
    std::vector<V> callsOf(const std::string& path, const std::string& member) {
        auto reply = bluez.call(path, kMockInterface, "GetMethodCalls", "s", {V::ofString(member)});
        std::vector<V> out;
        for (const auto& call : reply.values.at(0).unwrapped().items()) out.push_back(call.at(1));
        return out;
    }
    std::string identifier() const {
        return bluez::peripheralIdentifier(*bluez::parseAddress(kAdapterAddress),
                                           *bluez::parseAddress(kDeviceAddress));
    }
    // The adapter and the template's device, found by a scan and connected.
    CBPeripheralPtr connected() {
        addAdapter();
        if (!stateIs(CBManagerState::PoweredOn)) return nullptr;
        addDevice();
        auto p = scanFor(central, recorder, identifier());
        if (!p) return nullptr;
        central->connectPeripheral(p);
        return waitFor("connected") ? p : nullptr;
    }

    PrivateBus bus;
    BusMock bluez{bus, "bluez5", "org.bluez", "/", "org.bluez.Mock"};
    std::shared_ptr<BlueZRadio> radio;
    std::shared_ptr<CentralRecorder> recorder;
    CBCentralManagerPtr central;
};

// BlueZ without an adapter, then the adapter's power and its going, then BlueZ itself going.
TEST_F(BlueZDbusmock, StateFollowsTheAdapter) {
    ASSERT_TRUE(stateIs(CBManagerState::Unsupported));
    const struct {
        const char* what;
        std::function<void()> act;
        CBManagerState state;
    } steps[] = {
        {"adapter added", [&] { addAdapter(); }, CBManagerState::PoweredOn},
        {"powered off",
         [&] {
             update(kAdapter, "org.bluez.Adapter1",
                    V::propertyMap({{"Powered", V::ofBool(false)}}));
         },
         CBManagerState::PoweredOff},
        {"powered on",
         [&] {
             update(kAdapter, "org.bluez.Adapter1", V::propertyMap({{"Powered", V::ofBool(true)}}));
         },
         CBManagerState::PoweredOn},
        {"Powered of the wrong type",
         [&] {
             update(kAdapter, "org.bluez.Adapter1",
                    V::propertyMap({{"Powered", V::ofString("yes")}}));
         },
         CBManagerState::Unknown},
        {"powered on again",
         [&] {
             update(kAdapter, "org.bluez.Adapter1", V::propertyMap({{"Powered", V::ofBool(true)}}));
         },
         CBManagerState::PoweredOn},
        {"adapter removed", [&] { ok(bluez.mock("RemoveAdapter", "s", {V::ofString("hci0")})); },
         CBManagerState::Unsupported},
        {"adapter back", [&] { addAdapter(); }, CBManagerState::PoweredOn},
        {"bluetoothd gone", [&] { bluez.stop(); }, CBManagerState::Unsupported},
    };
    for (const auto& step : steps) {
        step.act();
        EXPECT_TRUE(stateIs(step.state))
            << step.what << ": " << CBManagerStateName(central->state());
    }
}

TEST(BlueZDbusmockAccess, RefusedAccessIsUnauthorized) {
    PrivateBus bus("<deny send_destination=\"org.bluez\"/>");
    ASSERT_TRUE(bus.ok()) << bus.error();
    BusMock bluez(bus, "bluez5", "org.bluez", "/", "org.bluez.Mock");
    ASSERT_TRUE(bluez.ok()) << bluez.error();
    auto radio = BlueZRadio::open(bus.address());
    ASSERT_TRUE(radio);
    EXPECT_TRUE(
        MainLoop::runUntil([&] { return radio->state() == CBManagerState::Unauthorized; }, 20))
        << CBManagerStateName(radio->state());
}

// The filter as BlueZ takes it, the device as the template models it, its going, the stop.
TEST_F(BlueZDbusmock, DiscoveryWithAFilterFindsAndLosesADevice) {
    addAdapter();
    ASSERT_TRUE(stateIs(CBManagerState::PoweredOn));
    central->scanForPeripheralsWithServices(std::vector<CBUUID>{CBUUID::UUIDWithString("FF80")},
                                            {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    ASSERT_TRUE(until([&] { return !callsOf(kAdapter, "StartDiscovery").empty(); }));
    auto filters = callsOf(kAdapter, "SetDiscoveryFilter");
    ASSERT_FALSE(filters.empty());
    const V& filter = filters.back().at(size_t(0));
    EXPECT_EQ(filter.at("Transport").asString(), "le");
    EXPECT_EQ(filter.at("UUIDs").asStringArray(),
              (std::vector<std::string>{"0000ff80-0000-1000-8000-00805f9b34fb"}));
    EXPECT_EQ(filter.at("DuplicateData").asBool(), true);

    // The template's device carries no service: BlueZ would not report it to this filter, the
    // template does; either way a scan for every device sees it.
    central->stopScan();
    central->scanForPeripheralsWithServices(std::nullopt,
                                            {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    // BlueZ takes a new filter while it discovers: the radio need not stop and start again.
    ASSERT_TRUE(until([&] {
        auto calls = callsOf(kAdapter, "SetDiscoveryFilter");
        return calls.size() >= 2 && calls.back().at(size_t(0)).at("UUIDs").size() == 0;
    }));
    addDevice();
    ASSERT_TRUE(waitFor("discovered " + identifier() + " -79"));
    ASSERT_FALSE(recorder->found.empty());
    EXPECT_EQ(recorder->found.back()->name(), "kettle");
    auto known = radio->knownPeripheral(identifier());
    ASSERT_TRUE(known);
    EXPECT_EQ(*known, std::optional<std::string>("kettle"));

    // With duplicates allowed, an update of the device is a new report; its going leaves the
    // radio without it.
    update(kDevice, "org.bluez.Device1", V::propertyMap({{"RSSI", V::ofInt16(-50)}}));
    ASSERT_TRUE(waitFor("discovered " + identifier() + " -50"));
    ok(bluez.call(kAdapter, "org.bluez.Adapter1", "RemoveDevice", "o", {V::ofObjectPath(kDevice)}));
    EXPECT_TRUE(until([&] { return !radio->knownPeripheral(identifier()); }));

    central->stopScan();
    EXPECT_TRUE(until([&] { return !callsOf(kAdapter, "StopDiscovery").empty(); }));
}

// Connect and disconnect through the template's Device1, the remote end dropping the link,
// and refused or impossible attempts with their errors.
TEST_F(BlueZDbusmock, ConnectDisconnectAndTheirErrors) {
    auto p = connected();
    ASSERT_TRUE(p) << ::testing::PrintToString(recorder->events);
    EXPECT_EQ(callsOf(kDevice, "Connect").size(), 1u);
    central->cancelPeripheralConnection(p);
    ASSERT_TRUE(waitFor("disconnected nil"));
    EXPECT_TRUE(until([&] { return callsOf(kDevice, "Disconnect").size() == 1; }));

    // The appliance ends the link.
    recorder->events.clear();
    central->connectPeripheral(p);
    ASSERT_TRUE(waitFor("connected"));
    ok(bluez.mock("DisconnectDevice", "ss", {V::ofString("hci0"), V::ofString(kDeviceAddress)}));
    ASSERT_TRUE(waitFor("disconnected CBErrorDomain/7"));

    // BlueZ's refusals, as the template's Connect raises them.
    const struct {
        const char* error;
        const char* message;
        const char* event;
    } refusals[] = {
        {"org.bluez.Error.Failed", "Page Timeout", "failed CBErrorDomain/6"},
        {"org.bluez.Error.Failed", "Connection refused", "failed CBErrorDomain/10"},
        {"org.bluez.Error.NotReady", "Resource Not Ready", "failed CBErrorDomain/10"},
        {"org.freedesktop.DBus.Error.UnknownObject", "gone", "failed CBErrorDomain/12"},
    };
    for (const auto& refusal : refusals) {
        ok(bluez.call(kDevice, kMockInterface, "AddMethod", "sssss",
                      {V::ofString("org.bluez.Device1"), V::ofString("Connect"), V::ofString(""),
                       V::ofString(""),
                       V::ofString(std::string("raise dbus.exceptions.DBusException('") +
                                   refusal.message + "', name='" + refusal.error + "')")}));
        recorder->events.clear();
        central->connectPeripheral(p);
        EXPECT_TRUE(waitFor(refusal.event))
            << refusal.message << ": " << ::testing::PrintToString(recorder->events);
        EXPECT_EQ(p->state(), CBPeripheralState::Disconnected);
    }

    // The device vanishes: an attempt cannot even start.
    ok(bluez.call(kAdapter, "org.bluez.Adapter1", "RemoveDevice", "o", {V::ofObjectPath(kDevice)}));
    ASSERT_TRUE(until([&] { return !radio->knownPeripheral(identifier()); }));
    recorder->events.clear();
    central->connectPeripheral(p);
    EXPECT_TRUE(waitFor("failed CBErrorDomain/12"));
}

// GATT objects added through dbusmock under a connected device: discovery, a read and the
// wrongly typed characteristic's error.
TEST_F(BlueZDbusmock, GattObjectsAddedThroughTheMock) {
    auto p = connected();
    ASSERT_TRUE(p) << ::testing::PrintToString(recorder->events);

    const std::string service = std::string(kDevice) + "/service0010";
    addObject(service, "org.bluez.GattService1",
              V::propertyMap({{"UUID", V::ofString("0000ff80-0000-1000-8000-00805f9b34fb")},
                              {"Device", V::ofObjectPath(kDevice)},
                              {"Primary", V::ofBool(true)}}));
    addObject(service + "/char0011", "org.bluez.GattCharacteristic1",
              V::propertyMap({{"UUID", V::ofString("0000ff81-0000-1000-8000-00805f9b34fb")},
                              {"Service", V::ofObjectPath(service)},
                              {"Flags", V::stringArray({"read", "write"})},
                              {"MTU", V::ofUInt16(100)}}),
              {method("ReadValue", "a{sv}", "ay", "ret = dbus.ByteArray(b'\\x05\\x06')")});
    update(kDevice, "org.bluez.Device1", V::propertyMap({{"ServicesResolved", V::ofBool(true)}}));

    p->discoverServices(std::nullopt);
    ASSERT_TRUE(waitFor("services FF80 nil"));
    p->discoverCharacteristics(std::nullopt, p->services().at(0));
    ASSERT_TRUE(waitFor("characteristics FF80 FF81:10 nil"));
    ASSERT_EQ(p->services().at(0)->characteristics().size(), 1u);
    auto c = p->services().at(0)->characteristics().at(0);
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithResponse), 97u);
    p->readValueForCharacteristic(c);
    ASSERT_TRUE(waitFor("value FF81 nil"));
    EXPECT_EQ(c->value(), (Bytes{0x05, 0x06}));

    // A second characteristic whose Flags is no string array: the discovery fails, no crash.
    addObject(service + "/char0013", "org.bluez.GattCharacteristic1",
              V::propertyMap({{"UUID", V::ofString("0000ff82-0000-1000-8000-00805f9b34fb")},
                              {"Service", V::ofObjectPath(service)},
                              {"Flags", V::ofUInt32(0x12)}}));
    // A read answered after the object was announced: the radio has seen it by then.
    recorder->events.clear();
    p->readValueForCharacteristic(c);
    ASSERT_TRUE(waitFor("value FF81 nil"));
    recorder->events.clear();
    p->discoverCharacteristics(std::nullopt, p->services().at(0));
    ASSERT_TRUE(waitFor("characteristics FF80"));
    ASSERT_EQ(recorder->events.size(), 1u);
    const std::string& answer = recorder->events[0];
    EXPECT_EQ(answer.substr(answer.rfind(' ') + 1), "CBErrorDomain/0") << answer;
}

}  // namespace
}  // namespace telvo::test

#include <gtest/gtest.h>

#include "platform/bluetooth/BlueZObjects.h"

namespace telvo::bluez {
namespace {

using V = DBusValue;

V object(const std::string& path, std::vector<std::pair<std::string, V>> interfaces) {
    std::vector<std::pair<V, V>> entries;
    for (auto& [name, properties] : interfaces)
        entries.emplace_back(V::ofString(name), std::move(properties));
    return V::dictEntry(V::ofObjectPath(path), V::dictionary("s", "a{sv}", std::move(entries)));
}

V tree(std::vector<V> objects) {
    return V::array("{oa{sa{sv}}}", std::move(objects));
}

// The identifier carries both addresses and reads back; other texts are no identifiers.
TEST(BlueZIdentifier, CarriesBothAddressesAndReadsBack) {
    const Address adapter{0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
    const Address device{0xC0, 0x11, 0x22, 0x33, 0x44, 0x55};
    const std::string id = peripheralIdentifier(adapter, device);
    EXPECT_EQ(id, "001A7DDA-7113-8000-8000-C01122334455");
    auto back = addressesOfIdentifier(id);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->adapter, adapter);
    EXPECT_EQ(back->device, device);
    auto lower = addressesOfIdentifier("001a7dda-7113-8000-8000-c01122334455");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->device, device);
    for (const char* other : {"5E1A0000-0000-4000-8000-000000000001",  // a random UUID
                              "001A7DDA-7113-8001-8000-C01122334455",  // a bit off
                              "001A7DDA-7113-8000-8000-C0112233445", "", "not an identifier"})
        EXPECT_FALSE(addressesOfIdentifier(other)) << other;
}

TEST(BlueZIdentifier, AddressesParseInEitherCaseOnly) {
    struct Case {
        const char* text;
        bool ok;
    };
    for (const Case& c : std::initializer_list<Case>{{"C0:11:22:33:44:55", true},
                                                     {"c0:11:22:aa:bb:cc", true},
                                                     {"C0-11-22-33-44-55", false},
                                                     {"C0:11:22:33:44", false},
                                                     {"C0:11:22:33:44:5G", false},
                                                     {"C0:11:22:33:44:555", false}})
        EXPECT_EQ(parseAddress(c.text).has_value(), c.ok) << c.text;
    EXPECT_EQ(addressText(*parseAddress("c0:11:22:aa:bb:cc")), "C0:11:22:AA:BB:CC");
}

// What BlueZ answers, as the Bluetooth classes know it.
TEST(BlueZErrors, MapToTheCodesTheWrapperKnows) {
    struct Case {
        const char* name;
        const char* message;
        Operation op;
        const char* domain;
        int64_t code;
    };
    const char* cb = CBErrorDomain;
    const char* att = CBATTErrorDomain;
    for (const Case& c : std::initializer_list<Case>{
             {"org.bluez.Error.Failed", "Page Timeout", Operation::Connect, cb, 6},
             {"org.bluez.Error.Failed", "Connection timed out", Operation::Connect, cb, 6},
             {"org.bluez.Error.Failed", "le-connection-abort-by-local", Operation::Connect, cb, 10},
             {"org.bluez.Error.Failed", "Connection refused", Operation::Connect, cb, 10},
             {"org.freedesktop.DBus.Error.UnknownObject", "", Operation::Connect, cb, 12},
             {"org.freedesktop.DBus.Error.NoReply", "", Operation::Connect, cb, 6},
             {"org.bluez.Error.NotReady", "", Operation::Connect, cb, 10},
             {"org.bluez.Error.Failed", "Operation failed with ATT error: 0x0e", Operation::Write,
              att, 0x0E},
             {"org.bluez.Error.Failed", "0x80", Operation::Read, att, 0x80},
             {"org.bluez.Error.Failed", "Not connected", Operation::Write, cb, 0},
             {"org.bluez.Error.NotPermitted", "", Operation::Read, att, 2},
             {"org.bluez.Error.NotPermitted", "", Operation::Write, att, 3},
             {"org.bluez.Error.NotPermitted", "", Operation::Advertise, cb, 4},
             {"org.bluez.Error.NotAuthorized", "", Operation::Notify, att, 8},
             {"org.bluez.Error.InvalidOffset", "", Operation::Read, att, 7},
             {"org.bluez.Error.InvalidValueLength", "", Operation::Write, att, 0x0D},
             {"org.bluez.Error.NotSupported", "", Operation::Notify, att, 6},
             {"org.bluez.Error.NotSupported", "", Operation::Register, cb, 13},
             {"org.bluez.Error.NotConnected", "", Operation::Read, cb, 3},
             {"org.bluez.Error.AlreadyExists", "", Operation::Advertise, cb, 9},
             {"org.bluez.Error.InvalidArguments", "", Operation::Register, cb, 1},
             {"org.freedesktop.DBus.Error.UnknownObject", "", Operation::Read, cb, 2},
             {"org.freedesktop.DBus.Error.Disconnected", "", Operation::Write, cb, 7},
             {"org.freedesktop.DBus.Error.AccessDenied", "", Operation::Write, att, 8},
             {"com.example.Odd", "", Operation::Read, cb, 0},
         }) {
        ErrorPtr e = errorFor(DBusError{c.name, c.message}, c.op);
        ASSERT_TRUE(e) << c.name;
        EXPECT_EQ(e->domain(), c.domain) << c.name << " " << c.message;
        EXPECT_EQ(e->code(), c.code) << c.name << " " << c.message;
    }
}

TEST(BlueZErrors, AttResultsAnswerRemoteCentralsWithBlueZErrors) {
    struct Case {
        CBATTError result;
        const char* name;
    };
    for (const Case& c : std::initializer_list<Case>{
             {CBATTError::ReadNotPermitted, "org.bluez.Error.NotPermitted"},
             {CBATTError::InsufficientEncryption, "org.bluez.Error.NotAuthorized"},
             {CBATTError::InvalidOffset, "org.bluez.Error.InvalidOffset"},
             {CBATTError::InvalidAttributeValueLength, "org.bluez.Error.InvalidValueLength"},
             {CBATTError::RequestNotSupported, "org.bluez.Error.NotSupported"},
             {CBATTError::UnlikelyError, "org.bluez.Error.Failed"},
             {CBATTError(0x80), "org.bluez.Error.Failed"}})
        EXPECT_EQ(errorForATT(c.result).name, c.name) << int(c.result);
    EXPECT_EQ(errorForATT(CBATTError(0x80)).message, "0x80");
    EXPECT_FALSE(errorForATT(CBATTError::Success).isSet());
}

TEST(BlueZFlags, PropertiesBothWays) {
    namespace P = CBCharacteristicProperty;
    EXPECT_EQ(propertiesFromFlags({"read", "write", "write-without-response", "notify", "indicate",
                                   "broadcast", "authenticated-signed-writes", "reliable-write",
                                   "no-such-flag"}),
              P::Read | P::Write | P::WriteWithoutResponse | P::Notify | P::Indicate |
                  P::Broadcast | P::AuthenticatedSignedWrites | P::ExtendedProperties);
    EXPECT_EQ(propertiesFromFlags({"encrypt-read", "secure-write"}), P::Read | P::Write);
    EXPECT_EQ(flagsFromProperties(P::Read | P::Write | P::Notify,
                                  CBAttributePermission::WriteEncryptionRequired),
              (std::vector<std::string>{"read", "encrypt-write", "notify"}));
    EXPECT_EQ(uuidText(CBUUID::UUIDWithString("FF80")), "0000ff80-0000-1000-8000-00805f9b34fb");
}

// A device's advertisement as the wrapper reads it; fields of the wrong type are left out.
TEST(BlueZDevice, AdvertisementFromDeviceProperties) {
    Properties p{
        {"Address", V::variant(V::ofString("C0:00:00:00:00:01"))},
        {"Name", V::variant(V::ofString("korvo"))},
        {"RSSI", V::variant(V::ofInt16(-61))},
        {"TxPower", V::variant(V::ofInt16(4))},
        {"UUIDs", V::variant(V::stringArray({"0000ff80-0000-1000-8000-00805f9b34fb", "junk"}))},
        {"ManufacturerData",
         V::variant(V::dictionary("q", "v",
                                  {{V::ofUInt16(0x3D17), V::variant(V::ofBytes({0x01, 0x02}))},
                                   {V::ofUInt16(0x004C), V::variant(V::ofBytes({0x09}))}}))},
        {"ServiceData",
         V::variant(V::dictionary("s", "v",
                                  {{V::ofString("0000fd24-0000-1000-8000-00805f9b34fb"),
                                    V::variant(V::ofBytes({0x07}))}}))},
        {"Connected", V::variant(V::ofString("yes"))},
    };
    auto d = readDevice("/org/bluez/hci0/dev_C0_00_00_00_00_01", p);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->adapter, "/org/bluez/hci0");
    EXPECT_EQ(d->rssi, -61);
    EXPECT_TRUE(d->connected.wrong());
    EXPECT_EQ(d->servicesResolved.read, Read::Missing);
    const Dictionary& adv = d->advertisement;
    EXPECT_EQ(adv[CBAdvertisementDataLocalNameKey].text(), "korvo");
    // The first company, its identifier little-endian before its data.
    EXPECT_EQ(adv[CBAdvertisementDataManufacturerDataKey].bytes(), (Bytes{0x17, 0x3D, 0x01, 0x02}));
    ASSERT_EQ(adv[CBAdvertisementDataServiceUUIDsKey].count(), 1u);
    EXPECT_EQ(adv[CBAdvertisementDataServiceUUIDsKey].at(0).text(), "FF80");
    EXPECT_EQ(adv[CBAdvertisementDataServiceDataKey]["FD24"].bytes(), Bytes{0x07});
    EXPECT_EQ(adv[CBAdvertisementDataTxPowerLevelKey].int64Value(), 4);

    Properties wrong{{"Address", V::variant(V::ofString("C0:00:00:00:00:01"))},
                     {"RSSI", V::variant(V::ofString("-61"))},
                     {"ManufacturerData", V::variant(V::ofBytes({0x17, 0x3D}))},
                     {"UUIDs", V::variant(V::ofString("FF80"))}};
    auto w = readDevice("/org/bluez/hci0/dev_C0_00_00_00_00_01", wrong);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->rssi, 127);
    EXPECT_TRUE(w->advertisement.empty());
    // Without a readable address the device cannot be named.
    EXPECT_FALSE(readDevice("/x", {{"Address", V::variant(V::ofUInt32(1))}}));
    EXPECT_FALSE(readDevice("/x", {}));
}

// The object tree takes what it can and never more than its bounds.
TEST(BlueZTree, LoadsSignalsAndSkipsMalformedEntries) {
    ObjectTree t;
    V adapter = V::propertyMap({{"Powered", V::ofBool(true)}});
    ASSERT_TRUE(t.load({tree({object("/org/bluez/hci0", {{"org.bluez.Adapter1", adapter}}),
                              V::dictEntry(V::ofString("/not/a/path"), V::propertyMap({}))})}));
    EXPECT_EQ(t.size(), 1u);
    EXPECT_TRUE(boolField(t.find("/org/bluez/hci0", kAdapter), "Powered").value);
    EXPECT_FALSE(t.load({V::ofString("no tree")}));
    EXPECT_EQ(t.size(), 0u);
    EXPECT_FALSE(t.load({}));

    ASSERT_TRUE(t.load({tree({object("/org/bluez/hci0", {{kAdapter, adapter}})})}));
    const std::string dev = "/org/bluez/hci0/dev_C0_00_00_00_00_01";
    auto added = t.interfacesAdded(
        {V::ofObjectPath(dev),
         V::dictionary(
             "s", "a{sv}",
             {{V::ofString(kDevice), V::propertyMap({{"Address", V::ofString("C0:00:00:00:00:01")},
                                                     {"Connected", V::ofBool(false)}})}})});
    ASSERT_TRUE(added);
    EXPECT_EQ(*added, dev);
    EXPECT_FALSE(t.interfacesAdded({V::ofString(dev)}));
    EXPECT_FALSE(t.interfacesAdded({V::ofInt32(1), V::propertyMap({})}));

    auto changed = t.propertiesChanged(
        dev, {V::ofString(kDevice), V::propertyMap({{"Connected", V::ofBool(true)}}),
              V::stringArray({"Address"})});
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->names, (std::vector<std::string>{"Connected", "Address"}));
    EXPECT_TRUE(boolField(t.find(dev, kDevice), "Connected").value);
    EXPECT_EQ(stringField(t.find(dev, kDevice), "Address").read, Read::Missing);
    // Unknown objects and interfaces, and malformed signals, change nothing.
    EXPECT_FALSE(t.propertiesChanged("/nowhere", {V::ofString(kDevice), V::propertyMap({})}));
    EXPECT_FALSE(t.propertiesChanged(dev, {V::ofString(kAdapter), V::propertyMap({})}));
    EXPECT_FALSE(t.propertiesChanged(dev, {V::ofString(kDevice), V::ofInt32(3)}));

    auto removed = t.interfacesRemoved({V::ofObjectPath(dev), V::stringArray({kDevice, "x"})});
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->interfaces, std::vector<std::string>{kDevice});
    EXPECT_FALSE(t.has(dev, kDevice));
    EXPECT_FALSE(t.interfacesRemoved({V::ofObjectPath(dev), V::ofString(kDevice)}));
}

TEST(BlueZTree, StaysWithinItsBounds) {
    ObjectTree t;
    std::vector<V> many;
    for (size_t i = 0; i < ObjectTree::kMaxObjects + 10; ++i)
        many.push_back(object("/o/" + std::to_string(i), {{kDevice, V::propertyMap({})}}));
    ASSERT_TRUE(t.load({tree(std::move(many))}));
    EXPECT_EQ(t.size(), ObjectTree::kMaxObjects);
    EXPECT_FALSE(t.interfacesAdded(
        {V::ofObjectPath("/o/new"),
         V::dictionary("s", "a{sv}", {{V::ofString(kDevice), V::propertyMap({})}})}));

    std::vector<std::pair<std::string, V>> properties;
    for (size_t i = 0; i < ObjectTree::kMaxProperties + 5; ++i)
        properties.emplace_back("P" + std::to_string(i), V::ofBool(true));
    ObjectTree small;
    ASSERT_TRUE(small.load({tree({object("/a", {{kDevice, V::propertyMap(properties)}})})}));
    EXPECT_EQ(small.find("/a", kDevice)->size(), ObjectTree::kMaxProperties);
}

}  // namespace
}  // namespace telvo::bluez

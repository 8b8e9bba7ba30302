#!/usr/bin/env python3
"""Writes the seed corpora of the targets that build D-Bus values from their input (dbus_value,
network_manager, bluez_objects, wifi_daemons): the values, object trees and signals their tests put on the bus,
encoded in the bytes that DBusValueFromBytes.h reads back into them.

    python3 fuzz/dbus_seeds.py   # rewrites those four folders of fuzz/corpus
"""
import os
import struct

BASIC = "ybnqiuxtdsog"
MAX_DEPTH = 8
# The object paths the target hands the reader (which object-path values may name).
PATHS = []


# ---- Values: (signature code, payload) tuples built by these helpers.
def y(v): return ("y", v)
def b(v): return ("b", v)
def q(v): return ("q", v)
def n(v): return ("n", v)
def i(v): return ("i", v)
def u(v): return ("u", v)
def x(v): return ("x", v)
def t(v): return ("t", v)
def d(v): return ("d", v)
def s(v): return ("s", v)
def o(v): return ("o", v)
def g(v): return ("g", v)
def ay(v): return ("ay", bytes(v))
def arr(basic, items): return ("a", basic, items)  # an array of one basic type, up to 4 items
def var(v): return ("v", v)
def props(entries): return ("a{sv}", entries)  # up to 7 entries, values of any type
def struct_(fields): return ("()", fields)  # 1 to 4 fields
def dict_(key, entries): return ("a{?v}", key, entries)  # basic keys, variant values, up to 4


def text(data):
    data = data.encode() if isinstance(data, str) else bytes(data)
    assert len(data) <= 40, data
    return bytes([len(data)]) + data


def basic(value):
    code, v = value
    if code in "yb":
        return bytes([int(v)])
    if code in "nq":
        return struct.pack(">H", v & 0xFFFF)
    if code in "iu":
        return struct.pack(">I", v & 0xFFFFFFFF)
    if code in "xt":
        return struct.pack(">Q", v & 0xFFFFFFFFFFFFFFFF)
    if code == "d":
        return struct.pack(">d", v)
    if code in "sg":
        return text(v)
    if code == "o":
        if v in PATHS:
            return bytes([2, PATHS.index(v)])
        return b"\x01" + text(v[1:])  # "/" and the rest
    raise ValueError(code)


def value(v, depth=0):
    """The bytes DBusValueFromBytes::value reads as v."""
    kind = v[0]
    if kind in BASIC:
        return bytes([BASIC.index(kind)]) + basic(v)
    assert depth < MAX_DEPTH, v
    if kind == "ay":
        return bytes([12]) + text(v[1])
    if kind == "a":
        _, element, items = v
        assert len(items) <= 4 and depth + 1 < MAX_DEPTH
        out = bytes([13, BASIC.index(element), len(items)])
        for item in items:
            assert item[0] == element
            out += basic(item)
        return out
    if kind == "()":
        fields = v[1]
        assert 1 <= len(fields) <= 4
        out = bytes([14, len(fields) - 1])
        for field in fields:
            out += value(field, depth + 1)
        return out
    if kind == "v":
        return bytes([15]) + value(v[1], depth + 1)
    if kind == "a{sv}":
        return bytes([16]) + property_map(v[1], [], depth + 1)
    if kind == "a{?v}":
        _, key, entries = v
        assert len(entries) <= 4
        out = bytes([19, BASIC.index(key), len(entries)])
        for k, item in entries:
            out += basic((key, k)) + value(item, depth + 2)
        return out
    raise ValueError(kind)


def pick(choice, choices):
    if choice in choices:
        return bytes([choices.index(choice)])
    return b"\xf0" + text(choice)


def property_map(entries, keys, depth=0):
    assert len(entries) <= 7
    out = bytes([len(entries)])
    for key, item in entries:
        out += pick(key, keys) + value(item, depth + 1)
    return out


def object_tree(objects, paths, interfaces, keys):
    """objects: [(path, [(interface, [(key, value)])])], up to 5 objects of 1 to 3 interfaces."""
    assert len(objects) <= 5
    out = bytes([len(objects)])
    for path, ifaces in objects:
        assert 1 <= len(ifaces) <= 3
        out += bytes([len(ifaces) - 1])
        for interface, entries in ifaces:
            out += pick(interface, interfaces) + property_map(entries, keys)
        out += pick(path, paths)  # read after the object's interfaces
    return out


def write(target, seeds):
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


# ---- NetworkManager, as tests/sim/NetworkManagerMock sets it up.
NM = "org.freedesktop.NetworkManager"
NM_PATHS = ["/org/freedesktop/NetworkManager", "/org/freedesktop/NetworkManager/ActiveConnection/1",
            "/org/freedesktop/NetworkManager/Devices/1", "/org/freedesktop/NetworkManager/AccessPoint/1", "/"]
NM_INTERFACES = [NM, NM + ".Connection.Active", NM + ".Device", NM + ".Device.Wireless", NM + ".AccessPoint"]
NM_KEYS = ["PrimaryConnection", "ActiveConnections", "Devices", "SpecificObject", "Type", "DeviceType",
           "Interface", "ActiveAccessPoint", "Ssid", "HwAddress", "Frequency", "Flags", "WpaFlags", "RsnFlags"]


def nm_seeds():
    PATHS[:] = NM_PATHS
    root, active, device, ap = NM_PATHS[:4]

    def home(ssid, security, interface="wlan1", bssid="00:23:F8:7E:12:BA"):
        flags, wpa, rsn = security
        return [
            (root, [(NM, [("PrimaryConnection", o(active)), ("ActiveConnections", arr("o", [o(active)])),
                          ("Devices", arr("o", [o(device)]))])]),
            (active, [(NM + ".Connection.Active", [("Type", s("802-11-wireless")), ("Devices", arr("o", [o(device)])),
                                                  ("SpecificObject", o(ap))])]),
            (device, [(NM + ".Device", [("DeviceType", u(2)), ("Interface", s(interface))]),
                      (NM + ".Device.Wireless", [("ActiveAccessPoint", o(ap)), ("HwAddress", s("02:00:00:00:00:01"))])]),
            (ap, [(NM + ".AccessPoint", [("Ssid", ay(ssid)), ("HwAddress", s(bssid)),
                                         ("Frequency", u(2412)), ("Flags", u(flags)), ("WpaFlags", u(wpa)),
                                         ("RsnFlags", u(rsn))])]),
        ]

    def tree(objects):
        return object_tree(objects, NM_PATHS, NM_INTERFACES, NM_KEYS)

    changed_ssid = (bytes([0]) + pick(ap, NM_PATHS) + pick(NM + ".AccessPoint", NM_INTERFACES) +
                    property_map([("Ssid", ay(b"renamed-router"))], NM_KEYS))
    modem_primary = (bytes([0]) + pick(active, NM_PATHS) + pick(NM + ".Connection.Active", NM_INTERFACES) +
                     property_map([("Type", s("gsm"))], NM_KEYS) +
                     bytes([0]) + pick(device, NM_PATHS) + pick(NM + ".Device", NM_INTERFACES) +
                     property_map([("DeviceType", u(8)), ("Interface", s("wwan0"))], NM_KEYS))
    removed = bytes([2]) + pick(ap, NM_PATHS) + pick(NM + ".AccessPoint", NM_INTERFACES)
    return {
        "wpa2_home": tree(home(b"home-router", (1, 0, 0x188))),
        "open_network": tree(home(b"cafe", (0, 0, 0))),
        "wpa_home_then_renamed": tree(home(b"home-router", (1, 0x144, 0))) + changed_ssid,
        "modem_primary": tree(home(b"home-router", (1, 0, 0x188))) + modem_primary,
        "access_point_removed": tree(home(b"home-router", (1, 0, 0x188))) + removed,
        # What the reader refuses: a short BSSID, an interface name that is a path, an SSID
        # with a NUL byte.
        "short_bssid": tree(home(b"home-router", (1, 0, 0x188), bssid="00:23:F8:7E:12")),
        "interface_path": tree(home(b"home-router", (1, 0, 0x188), interface="../../etc")),
        "ssid_with_nul": tree(home(b"\xff\x00A", (1, 0, 0x188))),
    }


# ---- BlueZ, as tests/sim/FakeBlueZ exports it.
BLUEZ_PATHS = ["/org/bluez/hci0", "/org/bluez/hci0/dev_C0_00_00_00_00_01",
               "/org/bluez/hci0/dev_C0_00_00_00_00_01/service0010",
               "/org/bluez/hci0/dev_C0_00_00_00_00_01/service0010/char0011",
               "/org/bluez/hci0/dev_C0_00_00_00_00_01/service0010/char0011/desc0013", "/org/bluez", "/"]
B = "org.bluez."
BLUEZ_INTERFACES = [B + "Adapter1", B + "Device1", B + "GattService1", B + "GattCharacteristic1",
                    B + "GattDescriptor1"]
BLUEZ_KEYS = ["Address", "Powered", "Name", "Alias", "RSSI", "TxPower", "Adapter", "ManufacturerData", "UUIDs",
              "ServiceData", "Connected", "ServicesResolved", "UUID", "Device", "Primary", "Includes", "Service",
              "Value", "Flags", "MTU", "Notifying", "Characteristic", "Handle"]


def bluez_seeds():
    PATHS[:] = BLUEZ_PATHS
    adapter, dev, service, char, desc = BLUEZ_PATHS[:5]
    service_uuid = "0000ff80-0000-1000-8000-00805f9b34fb"
    char_uuid = "0000ff81-0000-1000-8000-00805f9b34fb"
    ccc_uuid = "00002902-0000-1000-8000-00805f9b34fb"

    def device(connected, manufacturer=b"\x06ab_c_d\x17=", name="MODEL008"):
        return (dev, [(B + "Device1", [("Address", s("C0:00:00:00:00:01")), ("Adapter", o(adapter)),
                                       ("Name", s(name)), ("RSSI", n(-52)),
                                       ("ManufacturerData", dict_("q", [(0x06A8, ay(manufacturer))])),
                                       ("UUIDs", arr("s", [s(service_uuid)])), ("Connected", b(connected))])])

    powered = (adapter, [(B + "Adapter1", [("Address", s("00:1A:7D:DA:71:13")), ("Powered", b(True))])])
    gatt = [
        (service, [(B + "GattService1", [("UUID", s(service_uuid)), ("Primary", b(True)), ("Device", o(dev))])]),
        (char, [(B + "GattCharacteristic1", [("UUID", s(char_uuid)), ("Service", o(service)),
                                             ("Flags", arr("s", [s("read"), s("write-without-response"),
                                                                 s("notify")])),
                                             ("Notifying", b(False)), ("MTU", q(185))])]),
        (desc, [(B + "GattDescriptor1", [("UUID", s(ccc_uuid)), ("Characteristic", o(char))])]),
    ]

    def tree(objects):
        return object_tree(objects, BLUEZ_PATHS, BLUEZ_INTERFACES, BLUEZ_KEYS)

    def changed(path, interface, entries, invalidated="Alias"):
        return (bytes([0]) + pick(path, BLUEZ_PATHS) + pick(interface, BLUEZ_INTERFACES) +
                property_map(entries, BLUEZ_KEYS) + pick(invalidated, BLUEZ_KEYS))

    connected = changed(dev, B + "Device1", [("Connected", b(True)), ("ServicesResolved", b(True))])
    notified = changed(char, B + "GattCharacteristic1",
                       [("Value", ay(bytes.fromhex("aa5506021001021a"))), ("Notifying", b(True))])
    added = (bytes([1]) + pick(dev, BLUEZ_PATHS) +
             tree([device(False, name="MODEL009")]))
    removed = bytes([2]) + pick(dev, BLUEZ_PATHS) + pick(B + "Device1", BLUEZ_INTERFACES)
    powered_off = changed(adapter, B + "Adapter1", [("Powered", b(False))], "Address")
    return {
        "adapter_and_device": tree([powered, device(False)]),
        "resolved_services": tree([powered, device(True)] + gatt[:3]),
        "connect_and_notify": tree([powered, device(False)] + gatt[:3]) + connected + notified,
        "device_added_then_removed": tree([powered]) + added + removed,
        "adapter_powered_off": tree([powered, device(False)]) + powered_off,
    }


# ---- iwd and wpa_supplicant, as tests/sim/FakeWifiDaemons exports them.
WIFI_PATHS = ["/net/connman/iwd/0/4", "/net/connman/iwd/0/4/486f6d654e6574_psk",
              "/net/connman/iwd/0/4/486f6d654e6574_psk/020000000001", "/fi/w1/wpa_supplicant1",
              "/fi/w1/wpa_supplicant1/Interfaces/0", "/fi/w1/wpa_supplicant1/Interfaces/0/BSSs/0", "/"]
IWD = "net.connman.iwd."
WPA = "fi.w1.wpa_supplicant1"
PROPERTIES = "org.freedesktop.DBus.Properties"
WIFI_INTERFACES = [IWD + "Device", IWD + "Station", IWD + "Network", IWD + "BasicServiceSet", WPA,
                   WPA + ".Interface", WPA + ".BSS", PROPERTIES, "org.freedesktop.DBus.ObjectManager"]
WIFI_KEYS = ["Name", "State", "ConnectedNetwork", "ConnectedAccessPoint", "Type", "Address", "ExtendedServiceSet",
             "Ifname", "CurrentBSS", "Interfaces", "SSID", "BSSID", "Privacy", "WPA", "RSN", "KeyMgmt", "Frequency"]
WIFI_MEMBERS = ["InterfacesAdded", "InterfacesRemoved", "PropertiesChanged", "InterfaceAdded", "InterfaceRemoved",
                "BSSAdded", "BSSRemoved"]


def wifi_seeds():
    PATHS[:] = WIFI_PATHS
    device, network, bss, wpa, interface, wpa_bss, none = WIFI_PATHS

    def tree(objects):
        return object_tree(objects, WIFI_PATHS, WIFI_INTERFACES, WIFI_KEYS)

    def signal(path, interface_name, member, values, path_first=None):
        """values: ("value", v) or ("props", entries), up to 3."""
        out = pick(path, WIFI_PATHS) + pick(interface_name, WIFI_INTERFACES) + pick(member, WIFI_MEMBERS)
        out += bytes([len(values)])
        for kind, v in values:
            out += b"\x01" + value(v) if kind == "value" else b"\x00" + property_map(v, WIFI_KEYS)
        return out + (b"\x01" + pick(path_first, WIFI_PATHS) if path_first else b"\x00")

    def iwd(state, connected):
        return tree([
            (device, [(IWD + "Device", [("Name", s("wlan0")), ("Address", s("02:00:00:aa:00:01"))]),
                      (IWD + "Station", [("State", s(state)), ("ConnectedNetwork", o(network if connected else none)),
                                         ("ConnectedAccessPoint", o(bss if connected else none))])]),
            (network, [(IWD + "Network", [("Name", s("HomeNet")), ("Type", s("psk")),
                                          ("ExtendedServiceSet", arr("o", [o(bss)]))])]),
            (bss, [(IWD + "BasicServiceSet", [("Address", s("02:00:00:00:00:01"))])]),
        ])

    def supplicant(state, keys):
        return tree([
            (wpa, [(WPA, [("Interfaces", arr("o", [o(interface)]))])]),
            (interface, [(WPA + ".Interface", [("State", s(state)), ("Ifname", s("wlan0")),
                                               ("CurrentBSS", o(wpa_bss))])]),
            (wpa_bss, [(WPA + ".BSS", [("BSSID", ay(bytes.fromhex("020000000001"))), ("SSID", ay(b"HomeNet")),
                                       ("Privacy", b(bool(keys))),
                                       ("RSN", props([("KeyMgmt", arr("s", [s(k) for k in keys]))])),
                                       ("WPA", props([("KeyMgmt", arr("s", []))])), ("Frequency", q(2412))])]),
        ])

    station_left = signal(device, PROPERTIES, "PropertiesChanged",
                          [("value", s(IWD + "Station")),
                           ("props", [("State", s("disconnected")), ("ConnectedNetwork", o(none))]),
                           ("value", arr("s", []))])
    roamed = signal(interface, WPA + ".Interface", "PropertiesChanged",
                    [("props", [("CurrentBSS", o(wpa_bss)), ("State", s("completed"))])])
    bss_removed = signal(interface, WPA + ".Interface", "BSSRemoved", [("value", o(wpa_bss))])
    return {
        "iwd_connected": iwd("connected", True) + bytes([0]),
        "iwd_then_disconnected": iwd("connected", True) + bytes([0]) + station_left,
        "supplicant_wpa2": bytes([0]) + supplicant("completed", ["wpa-psk"]),
        "supplicant_open_roamed": bytes([0]) + supplicant("associating", []) + roamed,
        "supplicant_bss_removed": bytes([0]) + supplicant("completed", ["sae"]) + bss_removed,
    }


# ---- Values of every shape the D-Bus tests put on the bus.
def value_seeds():
    PATHS[:] = []
    return {
        "basic_types": value(struct_([y(7), b(True), n(-2), q(0xFFFF)])),
        "integers_and_double": value(struct_([i(-5), u(42), x(-(1 << 40)), d(2.5)])),
        "texts": value(struct_([s("wlan0"), o("/org/freedesktop/NetworkManager"), g("a{sv}"), t(1 << 63)])),
        "ssid_bytes": value(ay(b"home-router")),
        "property_map": value(props([("Ssid", ay(b"home-router")), ("Frequency", u(2412)),
                                     ("Strength", y(80)), ("Interface", s("wlan0")),
                                     ("Devices", arr("o", [o("/org/freedesktop/NetworkManager/Devices/1")]))])),
        "variant_nesting": value(var(var(struct_([s("deep"), var(i(1))])))),
        "manufacturer_data": value(dict_("q", [(0x06A8, ay(b"\x06ab_c_d")), (1, var(s("x")))])),
        "string_array": value(arr("s", [s("read"), s("write"), s("notify"), s("indicate")])),
    }


if __name__ == "__main__":
    write("dbus_value", value_seeds())
    write("network_manager", nm_seeds())
    write("bluez_objects", bluez_seeds())
    write("wifi_daemons", wifi_seeds())

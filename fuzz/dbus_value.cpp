// Value trees built from the input: every typed lookup answers without crashing, and a tree
// that the writer accepts under its own signature reads back from the message unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "DBusValueFromBytes.h"
#include "platform/dbus/DBusMessage.h"
#include "sim/DBusMessageLab.h"

namespace {

void lookEverywhere(const telvo::DBusValue& v) {
    (void)v.signature();
    (void)v.asByte(), (void)v.asBool(), (void)v.asInt16(), (void)v.asUInt16();
    (void)v.asInt32(), (void)v.asUInt32(), (void)v.asInt64(), (void)v.asUInt64();
    (void)v.asDouble(), (void)v.asString(), (void)v.asObjectPath(), (void)v.asSignature();
    (void)v.asBytes(), (void)v.asStringArray(), (void)v.asObjectPathArray();
    (void)v.asInteger(), (void)v.elementSignature();
    (void)v.at("Ssid").at(0).at("x").asBytes();
    for (size_t i = 0; i < v.size() + 1; ++i) (void)v.at(i).unwrapped().size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static telvo::test::DBusMessageLab lab;
    telvo::fuzz::DBusValueFromBytes in(data, size);
    const telvo::DBusValue value = in.value();
    lookEverywhere(value);
    for (const auto& item : value.items()) lookEverywhere(item);

    const std::string signature = value.signature();
    sd_bus_message* m = lab.newMessage();
    if (!m) std::abort();
    telvo::DBusError error;
    if (telvo::appendDBusValue(m, signature, value, error)) {
        std::vector<telvo::DBusValue> out;
        if (!telvo::test::DBusMessageLab::seal(m) || !telvo::readDBusArguments(m, out, error) ||
            out.size() != 1 || !(out[0] == value))
            std::abort();
    }
    sd_bus_message_unref(m);
    return 0;
}

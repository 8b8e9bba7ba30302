// Raw bytes as a peer would send them on a D-Bus link, parsed by sd-bus's own message reader
// (sd-bus parses messages only as they arrive on a connection: this one is an in-process
// socketpair), then every message read into value trees under the reader's limits and looked
// through. Nothing may crash, and nothing read may break the limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/dbus/DBusMessage.h"
#include "sim/DBusMessageLab.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The socket's buffer holds the whole input at once.
    if (size > 64 * 1024) return 0;
    telvo::test::DBusMessageLab::parse(telvo::ByteView(data, size), [](sd_bus_message* m) {
        const telvo::DBusReadLimits limits{16, 4096, 64 * 1024};
        std::vector<telvo::DBusValue> values;
        telvo::DBusError error;
        (void)telvo::dbusErrorOfMessage(m);
        if (!telvo::readDBusArguments(m, values, error, limits)) {
            if (!values.empty() || !error.isSet()) std::abort();
            return;
        }
        for (const auto& v : values) {
            (void)v.signature();
            (void)v.at("Ssid").asBytes();
            (void)v.at(0).at("HwAddress").asString();
            (void)v.asStringArray();
            (void)v.unwrapped().size();
        }
    });
    return 0;
}

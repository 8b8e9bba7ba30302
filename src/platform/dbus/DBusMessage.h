#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/dbus/DBusError.h"
#include "platform/dbus/DBusValue.h"

namespace telvo {

// What one message may make us hold. sd-bus already refuses messages larger than the wire
// format allows (128 MiB) and containers nested deeper than the signature rules permit, but a
// message of small elements grows about twentyfold as a tree, so the reader counts for itself.
struct DBusReadLimits {
    int maxDepth = 64;                   // containers and variants inside one another
    size_t maxValues = size_t(1) << 18;  // values of every kind, containers included
    size_t maxBytes = size_t(16) << 20;  // text and byte-array content
    // What the values read take in memory: each value's place in its container (sizeof
    // DBusValue, the containers' spare room included) and its text or bytes outside it. The
    // largest answers the library reads, BlueZ's and NetworkManager's object lists, take about
    // 6 KB per device or access point: 16 MB holds some 2,500 of them.
    size_t maxBuilt = size_t(16) << 20;
};

// Reading sd-bus messages into value trees and writing trees into them. These touch the
// message, so they run where its connection's work runs.

// Reads the arguments from the message's current position to its end. On failure answers
// false with error set (kInvalidArgs: malformed; kLimitsExceeded: beyond the limits;
// kNotSupported: a unix descriptor) and leaves out empty.
bool readDBusArguments(sd_bus_message* m, std::vector<DBusValue>& out, DBusError& error,
                       const DBusReadLimits& limits = {});
// Reads the one complete value at the current position.
bool readDBusValue(sd_bus_message* m, DBusValue& out, DBusError& error,
                   const DBusReadLimits& limits = {});

// Appends one value per complete type of the signature; each value must be of exactly that
// type, except that any value may stand where a variant ("v") is expected (it is wrapped). On
// failure answers false with error set (kInvalidArgs); the message is then unusable.
bool appendDBusArguments(sd_bus_message* m, std::string_view signature,
                         const std::vector<DBusValue>& values, DBusError& error);
bool appendDBusValue(sd_bus_message* m, std::string_view completeType, const DBusValue& value,
                     DBusError& error);

// An error for a failed sd-bus call (negative errno), its message prefixed with what.
DBusError dbusErrorFromErrno(int negativeErrno, std::string_view what);
// The error a message carries (an error reply); unset for any other message.
DBusError dbusErrorOfMessage(sd_bus_message* m);

}  // namespace telvo

#pragma once

#include <string>

namespace telvo {

// A D-Bus error: its name ("org.freedesktop.DBus.Error.ServiceUnknown") and message. An empty
// name means no error. Failures found on our side (a reply that cannot be read, a closed
// connection) use the standard names below.
struct DBusError {
    std::string name;
    std::string message;

    bool isSet() const { return !name.empty(); }
    bool is(const std::string& other) const { return name == other; }

    static constexpr const char* kFailed = "org.freedesktop.DBus.Error.Failed";
    static constexpr const char* kNoReply = "org.freedesktop.DBus.Error.NoReply";
    static constexpr const char* kTimeout = "org.freedesktop.DBus.Error.Timeout";
    static constexpr const char* kServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";
    static constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
    static constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
    static constexpr const char* kNotSupported = "org.freedesktop.DBus.Error.NotSupported";
    static constexpr const char* kLimitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";
    static constexpr const char* kDisconnected = "org.freedesktop.DBus.Error.Disconnected";
    static constexpr const char* kUnknownObject = "org.freedesktop.DBus.Error.UnknownObject";
    static constexpr const char* kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
    static constexpr const char* kUnknownProperty = "org.freedesktop.DBus.Error.UnknownProperty";
    static constexpr const char* kPropertyReadOnly = "org.freedesktop.DBus.Error.PropertyReadOnly";
};

}  // namespace telvo

#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sim/PrivateBus.h"

namespace telvo::test {

// python3-dbusmock serving one of its templates ("networkmanager", "bluez5") on a PrivateBus,
// as the system bus: a third party's model of a system service. The constructor waits until
// the service owns its name; the destructor kills it. dbusmock runs in Debian's own Python
// (/usr/bin/python3), which has the dbus module.
class BusMock {
  public:
    // busName: the name the template owns ("org.freedesktop.NetworkManager"); mockPath and
    // mockInterface: where the template's own methods are ("/org/freedesktop" and
    // org.freedesktop.DBus.Mock for networkmanager, "/" and org.bluez.Mock for bluez5).
    BusMock(PrivateBus& bus, const std::string& templateName, std::string busName,
            std::string mockPath, std::string mockInterface = "org.freedesktop.DBus.Mock");
    ~BusMock();

    bool ok() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    const std::string& busName() const { return busName_; }

    // A method of the mock interface on the mock path (AddWiFiDevice, AddAdapter; on
    // org.freedesktop.DBus.Mock also AddObject, AddProperty, EmitSignal...), blocking.
    DBusReply mock(const std::string& method, std::string signature, std::vector<DBusValue> args);
    // Any method of the service, blocking.
    DBusReply call(std::string path, std::string interface, std::string method,
                   std::string signature, std::vector<DBusValue> args);
    // Kills the service now (it vanishes from the bus).
    void stop();
    // Stops the service's process (SIGSTOP) or lets it go on (SIGCONT): a frozen service keeps
    // its name and reads nothing meanwhile. Frozen, the blocking calls above hang: thaw first.
    void freeze(bool frozen);

    BusMock(const BusMock&) = delete;
    BusMock& operator=(const BusMock&) = delete;

  private:
    PrivateBus& bus_;
    const std::string busName_;
    const std::string mockPath_;
    const std::string mockInterface_;
    pid_t pid_ = 0;
    std::string error_;
};

}  // namespace telvo::test

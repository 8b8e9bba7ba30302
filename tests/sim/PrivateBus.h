#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dbus/DBusConnection.h"
#include "sim/TempFolder.h"

namespace telvo::test {

// A private dbus-daemon of the system type (tests/sim/dbus-system-bus.conf) on a unix socket in
// a scratch folder, started by the constructor and stopped by the destructor. extraRules are
// policy elements added at the end of the default policy, e.g.
// <deny send_destination="org.freedesktop.NetworkManager"/> for an access-denied case.
//
// call() and waitForName() use a blocking connection of the fixture's own, in real time, on
// the calling thread: call them from test code, never from a block the library's loop runs.
class PrivateBus {
  public:
    explicit PrivateBus(const std::string& extraRules = {});
    ~PrivateBus();

    // False when the daemon could not be started (error() says why).
    bool ok() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    // "unix:path=/tmp/.../bus.sock"
    const std::string& address() const { return address_; }
    const std::filesystem::path& folder() const { return folder_.path(); }

    // Points DBUS_SYSTEM_BUS_ADDRESS at this bus until the fixture goes (the previous value is
    // put back). Call it before other threads may read the environment.
    void becomeSystemBus();
    // A connection of the library to this bus; nullptr when it cannot connect.
    std::shared_ptr<DBusConnection> connect(DispatchQueuePtr clientQueue = nullptr) const;

    // A blocking method call (real seconds for the time-out).
    DBusReply call(const DBusCall& call);
    // The fixture's blocking sd-bus connection itself (owned by the fixture).
    sd_bus* blockingConnection() { return fixtureBus(); }
    // Stops the daemon now: every connection to it is closed.
    void stop();
    // Stops the daemon and starts another at the same address, with the same policy (a
    // system bus restarted); false when it does not start.
    bool restart();
    // Waits, in real time, until name has an owner; false after the time-out.
    bool waitForName(const std::string& name, double timeoutSeconds = 20);

    // Starts a program with the environment extended by env ("NAME=value"), its output going to
    // logPath; it is killed when the test process dies. 0 when it cannot be started.
    static pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& logPath, int addressPipe = -1);
    // Kills and reaps the program.
    static void stop(pid_t pid);

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

  private:
    void start();
    sd_bus* fixtureBus();

    TempFolder folder_;
    pid_t pid_ = 0;
    std::string address_;
    std::string error_;
    sd_bus* bus_ = nullptr;
    bool exported_ = false;
    bool hadPrevious_ = false;
    std::string previous_;
};

}  // namespace telvo::test

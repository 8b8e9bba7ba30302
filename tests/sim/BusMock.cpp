#include "sim/BusMock.h"

#include <signal.h>

#include <fstream>
#include <sstream>

namespace telvo::test {

BusMock::BusMock(PrivateBus& bus, const std::string& templateName, std::string busName,
                 std::string mockPath, std::string mockInterface)
    : bus_(bus),
      busName_(std::move(busName)),
      mockPath_(std::move(mockPath)),
      mockInterface_(std::move(mockInterface)) {
    if (!bus.ok()) {
        error_ = "no bus: " + bus.error();
        return;
    }
    const std::string log = (bus.folder() / ("dbusmock-" + templateName + ".log")).string();
    pid_t pid = PrivateBus::spawn(
        {"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", templateName},
        {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()}, log);
    if (pid > 0 && bus.waitForName(busName_)) {
        pid_ = pid;
        return;
    }
    PrivateBus::stop(pid);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    error_ = "dbusmock " + templateName + " did not start: " + text.str();
}

BusMock::~BusMock() {
    stop();
}

void BusMock::freeze(bool frozen) {
    if (pid_ > 0) ::kill(pid_, frozen ? SIGSTOP : SIGCONT);
}

void BusMock::stop() {
    PrivateBus::stop(pid_);
    pid_ = 0;
}

DBusReply BusMock::mock(const std::string& method, std::string signature,
                        std::vector<DBusValue> args) {
    return call(mockPath_, mockInterface_, method, std::move(signature), std::move(args));
}

DBusReply BusMock::call(std::string path, std::string interface, std::string method,
                        std::string signature, std::vector<DBusValue> args) {
    return bus_.call(DBusCall{busName_, std::move(path), std::move(interface), std::move(method),
                              std::move(signature), std::move(args)});
}

}  // namespace telvo::test

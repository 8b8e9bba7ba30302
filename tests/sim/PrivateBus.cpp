#include "sim/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/dbus/DBusMessage.h"

namespace telvo::test {

namespace {

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

pid_t PrivateBus::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& logPath, int addressPipe) {
    // Everything the child needs is made before fork(): only async-signal-safe calls follow.
    const std::string program = findProgram(argv.at(0));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment = env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& mine : env) replaced = replaced || mine.rfind(name + "=", 0) == 0;
        if (!replaced) environment.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t parent = ::getpid();

    pid_t pid = ::fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0) ::dup2(null, 0);
        if (addressPipe >= 0) ::fcntl(addressPipe, F_SETFD, 0);
        ::execve(program.c_str(), args.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

void PrivateBus::stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

PrivateBus::PrivateBus(const std::string& extraRules) {
    std::string config;
    {
        std::ifstream in(std::string(TELVO_SOURCE_DIR) + "/tests/sim/dbus-system-bus.conf");
        std::stringstream text;
        text << in.rdbuf();
        config = text.str();
    }
    const std::string marker = "<!-- extra rules -->";
    auto at = config.find(marker);
    if (config.empty() || at == std::string::npos) {
        error_ = "tests/sim/dbus-system-bus.conf not found";
        return;
    }
    config.replace(at, marker.size(), extraRules);
    std::ofstream(folder() / "bus.conf") << config;
    start();
}

void PrivateBus::start() {
    const auto configPath = folder() / "bus.conf";
    const std::string socket = (folder() / "bus.sock").string();
    // A daemon that was killed leaves its socket behind.
    ::unlink(socket.c_str());

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error_ = "no pipe";
        return;
    }
    pid_t pid = spawn(
        {"dbus-daemon", "--config-file=" + configPath.string(), "--address=unix:path=" + socket,
         "--nofork", "--print-address=" + std::to_string(pipeFds[1])},
        {}, (folder() / "dbus-daemon.log").string(), pipeFds[1]);
    ::close(pipeFds[1]);
    // The daemon prints its address once it listens.
    std::string printed;
    const auto start = std::chrono::steady_clock::now();
    while (pid > 0 && printed.find('\n') == std::string::npos && secondsSince(start) < 20) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        char buffer[256];
        ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        printed.append(buffer, size_t(n));
    }
    ::close(pipeFds[0]);
    if (printed.find('\n') == std::string::npos) {
        stop(pid);
        std::ifstream log(folder() / "dbus-daemon.log");
        std::stringstream text;
        text << log.rdbuf();
        error_ = "dbus-daemon did not start: " + text.str();
        return;
    }
    pid_ = pid;
    address_ = "unix:path=" + socket;
}

void PrivateBus::stop() {
    sd_bus_close_unref(bus_);
    bus_ = nullptr;
    stop(pid_);
    pid_ = 0;
}

bool PrivateBus::restart() {
    stop();
    error_.clear();
    start();
    return ok();
}

PrivateBus::~PrivateBus() {
    sd_bus_close_unref(bus_);
    stop(pid_);
    if (exported_) {
        if (hadPrevious_)
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_.c_str(), 1);
        else
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

void PrivateBus::becomeSystemBus() {
    if (!exported_) {
        const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        hadPrevious_ = previous != nullptr;
        previous_ = previous ? previous : "";
        exported_ = true;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

std::shared_ptr<DBusConnection> PrivateBus::connect(DispatchQueuePtr clientQueue) const {
    return DBusConnection::openAddress(address_, nullptr, std::move(clientQueue));
}

sd_bus* PrivateBus::fixtureBus() {
    if (bus_ || !ok()) return bus_;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address_.c_str()) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0) {
        bus_ = bus;
    } else {
        sd_bus_unref(bus);
    }
    return bus_;
}

DBusReply PrivateBus::call(const DBusCall& c) {
    DBusReply reply;
    sd_bus* bus = fixtureBus();
    if (!bus) {
        reply.error = DBusError{DBusError::kDisconnected, "no fixture connection"};
        return reply;
    }
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, c.destination.c_str(), c.path.c_str(),
                                           c.interface.c_str(), c.member.c_str());
    if (r < 0 || !appendDBusArguments(m, c.signature, c.args, reply.error)) {
        if (r < 0) reply.error = dbusErrorFromErrno(r, "call not made");
        sd_bus_message_unref(m);
        return reply;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* answer = nullptr;
    r = sd_bus_call(bus, m, uint64_t(c.timeoutSeconds * 1e6), &error, &answer);
    sd_bus_message_unref(m);
    if (r < 0) {
        reply.error = error.name ? DBusError{error.name, error.message ? error.message : ""}
                                 : dbusErrorFromErrno(r, "call failed");
    } else {
        readDBusArguments(answer, reply.values, reply.error);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(answer);
    return reply;
}

bool PrivateBus::waitForName(const std::string& name, double timeoutSeconds) {
    sd_bus* bus = fixtureBus();
    if (!bus) return false;
    bool owned = false;
    sd_bus_slot* slot = nullptr;
    const std::string rule =
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='" +
        name + "'";
    auto onChange = [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
        const char *n = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &n, &before, &after) >= 0 && after && *after)
            *static_cast<bool*>(userdata) = true;
        return 0;
    };
    if (sd_bus_add_match(bus, &slot, rule.c_str(), onChange, &owned) < 0) return false;
    DBusReply has = call(DBusCall{"org.freedesktop.DBus",
                                  "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus",
                                  "NameHasOwner",
                                  "s",
                                  {DBusValue::ofString(name)}});
    owned = owned || (has.ok() && !has.values.empty() && has.values[0].asBool() == true);
    const auto start = std::chrono::steady_clock::now();
    while (!owned) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        double left = timeoutSeconds - secondsSince(start);
        if (left <= 0) break;
        sd_bus_wait(bus, uint64_t(left * 1e6));
    }
    sd_bus_slot_unref(slot);
    return owned;
}

}  // namespace telvo::test

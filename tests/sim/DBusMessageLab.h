#pragma once

// D-Bus messages without a daemon, for tests and fuzz targets (header only, so that the fuzz
// targets can use it without the simulators): messages made on a started peer-to-peer
// connection over a socketpair, and raw bytes read by sd-bus's own message parser as a peer
// receives them.
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "telvosdk/Bytes.h"

namespace telvo::test {

class DBusMessageLab {
  public:
    DBusMessageLab() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) return;
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) >= 0 && sd_bus_set_fd(bus, fds_[0], fds_[0]) >= 0 &&
            sd_bus_set_anonymous(bus, 1) >= 0 && sd_bus_negotiate_fds(bus, 0) >= 0 &&
            sd_bus_start(bus) >= 0) {
            bus_ = bus;
        } else {
            sd_bus_unref(bus);
        }
    }
    ~DBusMessageLab() {
        if (bus_) {
            sd_bus_close_unref(bus_);
        } else if (fds_[0] >= 0) {
            ::close(fds_[0]);
        }
        if (fds_[1] >= 0) ::close(fds_[1]);
    }
    bool ok() const { return bus_ != nullptr; }

    // A new signal message to fill (the caller unrefs it); nullptr without a connection.
    sd_bus_message* newMessage() {
        sd_bus_message* m = nullptr;
        if (!bus_ || sd_bus_message_new_signal(bus_, &m, "/lab", "lab.Lab", "Values") < 0)
            return nullptr;
        return m;
    }

    // Seals m and rewinds it: it then reads as a received message does.
    static bool seal(sd_bus_message* m) {
        return sd_bus_message_seal(m, 1, 0) >= 0 && sd_bus_message_rewind(m, 1) >= 0;
    }

    // Parses raw bytes (what follows authentication on a peer-to-peer link) with sd-bus's reader
    // and calls onMessage for each message it accepts.
    static void parse(ByteView raw, const std::function<void(sd_bus_message*)>& onMessage) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) return;
        sd_bus* server = nullptr;
        sd_id128_t id = {};
        id.bytes[0] = 1;
        if (sd_bus_new(&server) < 0 || sd_bus_set_fd(server, fds[0], fds[0]) < 0 ||
            sd_bus_set_server(server, 1, id) < 0 || sd_bus_set_anonymous(server, 1) < 0 ||
            sd_bus_start(server) < 0) {
            sd_bus_unref(server);
            ::close(fds[0]);
            ::close(fds[1]);
            return;
        }
        std::string input("\0AUTH ANONYMOUS\r\nBEGIN\r\n", 24);
        input.append(raw.begin(), raw.end());
        // The socket's buffer takes a fuzz input whole; a longer one is cut.
        [[maybe_unused]] auto written = ::write(fds[1], input.data(), input.size());
        ::shutdown(fds[1], SHUT_WR);
        sd_bus_add_filter(
            server, nullptr,
            [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
                // sd-bus's own note that the peer hung up is no parsed message.
                if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0)
                    return 0;
                (*static_cast<const std::function<void(sd_bus_message*)>*>(userdata))(m);
                return 0;
            },
            const_cast<std::function<void(sd_bus_message*)>*>(&onMessage));
        // Every message is in the socket already: process until sd-bus has nothing left.
        for (int i = 0; i < 100000 && sd_bus_process(server, nullptr) > 0; ++i) {
        }
        sd_bus_close_unref(server);
        ::close(fds[1]);
    }

    DBusMessageLab(const DBusMessageLab&) = delete;
    DBusMessageLab& operator=(const DBusMessageLab&) = delete;

  private:
    int fds_[2] = {-1, -1};
    sd_bus* bus_ = nullptr;
};

}  // namespace telvo::test

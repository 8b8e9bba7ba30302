#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dbus/DBusConnection.h"
#include "platform/net/NetworkManagerObjects.h"

namespace telvo {

// Follows NetworkManager on a bus connection: its objects (one GetManagedObjects answer, then
// InterfacesAdded/Removed and PropertiesChanged), and its coming and going (NameOwnerChanged).
// Its work runs on the connection's client queue, which must not be the main queue when a
// thread waits in waitUntilLoaded(). status() and facts() are thread-safe.
class NetworkManagerWatcher : public std::enable_shared_from_this<NetworkManagerWatcher> {
  public:
    enum class Status {
        Loading,    // no answer yet
        Answering,  // NetworkManager answered: its facts stand, even without a Wi-Fi network
        Absent,     // no NetworkManager on the bus (or no bus)
        Denied,     // the bus's policy refuses us NetworkManager
    };

    // connection nullptr: no bus, so Absent at once. onChange runs on the connection's client
    // queue whenever the status or the facts change, with the new ones.
    using ChangeHandler = std::function<void(Status status, const NetworkManagerFacts& facts)>;
    static std::shared_ptr<NetworkManagerWatcher> start(std::shared_ptr<DBusConnection> connection,
                                                        ChangeHandler onChange = {});
    ~NetworkManagerWatcher();

    Status status() const;
    NetworkManagerFacts facts() const;
    // Waits until the first answer (or failure), at most `seconds` (virtual time in
    // deterministic mode, where the loop runs meanwhile); true when it came.
    bool waitUntilLoaded(double seconds) const;
    // Ends the subscriptions; once it returns, onChange is not running (unless stop() was
    // called from inside it) and never runs again. Any thread.
    void stop();

    NetworkManagerWatcher(const NetworkManagerWatcher&) = delete;
    NetworkManagerWatcher& operator=(const NetworkManagerWatcher&) = delete;

  private:
    NetworkManagerWatcher(std::shared_ptr<DBusConnection> connection, ChangeHandler onChange);
    void subscribe();
    void load();
    void loaded(uint64_t generation, const DBusReply& reply);
    void onSignal(const DBusSignal& signal);
    void publish(Status status);
    bool stopped() const;

    const std::shared_ptr<DBusConnection> connection_;
    ChangeHandler onChange_;

    // On the client queue only.
    NetworkManagerObjects objects_;
    std::vector<std::shared_ptr<DBusSlot>> slots_;
    int installed_ = 0;
    uint64_t generation_ = 0;

    std::recursive_mutex callbackMutex_;  // held while onChange runs
    mutable std::mutex mutex_;            // guards the fields below
    mutable std::condition_variable cv_;
    Status status_ = Status::Loading;
    NetworkManagerFacts facts_;
    bool stopped_ = false;
};

}  // namespace telvo

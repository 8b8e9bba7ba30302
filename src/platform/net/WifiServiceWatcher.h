#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dbus/DBusConnection.h"
#include "platform/net/WifiService.h"

namespace telvo {

// Follows one Wi-Fi service on the system bus: its objects (read once it is there, then kept
// current with the changes it announces) and its coming and going (NameOwnerChanged).
// - A service that does not answer, or answers in another shape than its own, is absent for
//   now (with a diagnostic) and asked again after 1, 2, 4 ... up to 60 seconds; a signal of
//   it meanwhile, or its name changing owner, asks at once. A change announced while an
//   answer is on its way is not lost: the objects are read again once it came.
// - A connection the bus closes (the bus stopped or restarted) makes the facts absent; a new
//   one is opened after the same backoff, and the service read again on it.
// Its work runs on the queue given at start, which is also the connection's client queue; it
// never waits for the bus. status() and facts() are thread-safe.
class WifiServiceWatcher : public std::enable_shared_from_this<WifiServiceWatcher> {
  public:
    enum class Status {
        Loading,    // no answer yet
        Answering,  // the service answered: its facts stand, even without a Wi-Fi network
        Absent,     // no such service on the bus (or no bus, or no usable answer for now)
        Denied,     // the bus's policy refuses us the service
    };

    // Opens a connection with the given client queue; nullptr when there is no bus.
    using Opener = std::function<std::shared_ptr<DBusConnection>(const DispatchQueuePtr& queue)>;
    // Runs on the queue whenever the status or the facts change, with the new ones.
    using ChangeHandler = std::function<void(Status status, const WifiFacts& facts)>;

    static std::shared_ptr<WifiServiceWatcher> start(WifiService service, DispatchQueuePtr queue,
                                                     Opener opener, ChangeHandler onChange = {});
    ~WifiServiceWatcher();

    const WifiService& service() const { return service_; }
    Status status() const;
    WifiFacts facts() const;
    // Whether the service has answered since the start: its objects, its absence from the bus
    // (or no bus at all), a refusal. A time-out, an answer of another shape or a lost connection
    // is no answer: the service is absent for now and asked again.
    bool answered() const;
    // Waits until the first answer (or failure), at most `seconds` (virtual time in
    // deterministic mode, where the loop runs meanwhile); true when it came. For tests: the
    // library itself never waits.
    bool waitUntilLoaded(double seconds) const;
    // Ends the subscriptions and the connection; once it returns, onChange is not running
    // (unless stop() was called from inside it) and never runs again. Any thread.
    void stop();

    static constexpr double kFirstRetrySeconds = 1;
    static constexpr double kLastRetrySeconds = 60;

    WifiServiceWatcher(const WifiServiceWatcher&) = delete;
    WifiServiceWatcher& operator=(const WifiServiceWatcher&) = delete;

  private:
    WifiServiceWatcher(WifiService service, DispatchQueuePtr queue, Opener opener,
                       ChangeHandler onChange);
    // On the queue.
    void connect();
    void disconnected(uint64_t epoch);
    void load();
    void loaded(uint64_t generation, const WifiService::Objects& objects, const DBusError& error);
    void onSignal(uint64_t epoch, const DBusSignal& signal);
    void retryLater(bool reconnect);
    // answer: the status is the service's answer (see answered()).
    void publish(Status status, bool answer = true);
    bool stopped() const;

    const WifiService service_;
    const DispatchQueuePtr queue_;
    const Opener opener_;
    ChangeHandler onChange_;

    // On the queue only.
    WifiService::Objects objects_;
    uint64_t epoch_ = 0;       // one per connection
    uint64_t generation_ = 0;  // one per load (and per loss of the service)
    uint64_t retry_ = 0;       // the pending retry's number; a newer one cancels it
    int installed_ = 0;
    bool loading_ = false;
    bool missed_ = false;  // a change came while loading
    double backoff_ = kFirstRetrySeconds;

    std::recursive_mutex callbackMutex_;  // held while onChange runs
    mutable std::mutex mutex_;            // guards the fields below
    mutable std::condition_variable cv_;
    // Written on the queue (connect, disconnected) and by stop() from any thread.
    std::shared_ptr<DBusConnection> connection_;
    std::vector<std::shared_ptr<DBusSlot>> slots_;
    Status status_ = Status::Loading;
    WifiFacts facts_;
    bool answered_ = false;
    bool stopped_ = false;
};

}  // namespace telvo

#include "platform/net/WifiServiceWatcher.h"

#include <algorithm>
#include <chrono>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"

namespace telvo {

WifiServiceWatcher::WifiServiceWatcher(WifiService service, DispatchQueuePtr queue, Opener opener,
                                       ChangeHandler onChange)
    : service_(std::move(service)),
      queue_(std::move(queue)),
      opener_(std::move(opener)),
      onChange_(std::move(onChange)) {}

WifiServiceWatcher::~WifiServiceWatcher() {
    stop();
}

std::shared_ptr<WifiServiceWatcher> WifiServiceWatcher::start(WifiService service,
                                                              DispatchQueuePtr queue, Opener opener,
                                                              ChangeHandler onChange) {
    auto watcher = std::shared_ptr<WifiServiceWatcher>(new WifiServiceWatcher(
        std::move(service), std::move(queue), std::move(opener), std::move(onChange)));
    std::weak_ptr<WifiServiceWatcher> weak = watcher;
    watcher->queue_->async([weak] {
        if (auto self = weak.lock()) self->connect();
    });
    return watcher;
}

void WifiServiceWatcher::connect() {
    if (stopped()) return;
    auto connection = opener_ ? opener_(queue_) : nullptr;
    if (!connection) {
        publish(Status::Absent);
        return retryLater(true);
    }
    const uint64_t epoch = ++epoch_;
    installed_ = 0;
    std::weak_ptr<WifiServiceWatcher> weak = weak_from_this();
    connection->setDisconnectHandler([weak, epoch] {
        if (auto self = weak.lock()) self->disconnected(epoch);
    });
    auto onSignal = [weak, epoch](const DBusSignal& signal) {
        if (auto self = weak.lock()) self->onSignal(epoch, signal);
    };
    std::vector<DBusMatch> matches = service_.matches;
    matches.insert(matches.begin(), {"org.freedesktop.DBus", "/org/freedesktop/DBus", "",
                                     "org.freedesktop.DBus", "NameOwnerChanged"});
    // The first answer is asked for once the bus has every match: no change can slip between.
    auto installed = [weak, epoch, count = int(matches.size())](const DBusError&) {
        auto self = weak.lock();
        if (self && epoch == self->epoch_ && ++self->installed_ == count) self->load();
    };
    std::vector<std::shared_ptr<DBusSlot>> slots;
    for (const auto& match : matches)
        slots.push_back(connection->subscribe(match, onSignal, installed));
    std::lock_guard lock(mutex_);
    if (stopped_) {
        for (auto& slot : slots) slot->cancel();
        return;
    }
    slots_ = std::move(slots);
    connection_ = std::move(connection);
}

void WifiServiceWatcher::disconnected(uint64_t epoch) {
    if (epoch != epoch_ || stopped()) return;
    ++epoch_;
    ++generation_;
    loading_ = false;
    objects_.reset();
    std::vector<std::shared_ptr<DBusSlot>> slots;
    std::shared_ptr<DBusConnection> connection;
    {
        std::lock_guard lock(mutex_);
        slots.swap(slots_);
        connection.swap(connection_);
    }
    for (auto& slot : slots) slot->cancel();
    platformDiagnostic("network: the system bus closed the connection to %s", service_.label);
    publish(Status::Absent, false);
    retryLater(true);
}

void WifiServiceWatcher::retryLater(bool reconnect) {
    const uint64_t retry = ++retry_;
    const double delay = backoff_;
    backoff_ = std::min(backoff_ * 2, kLastRetrySeconds);
    std::weak_ptr<WifiServiceWatcher> weak = weak_from_this();
    queue_->after(delay, [weak, retry, reconnect] {
        auto self = weak.lock();
        if (!self || retry != self->retry_ || self->stopped()) return;
        if (reconnect)
            self->connect();
        else
            self->load();
    });
}

void WifiServiceWatcher::load() {
    std::shared_ptr<DBusConnection> connection;
    {
        std::lock_guard lock(mutex_);
        connection = connection_;
    }
    if (!connection) return;
    const uint64_t generation = ++generation_;
    ++retry_;  // a retry still pending is not needed any more
    loading_ = true;
    missed_ = false;
    auto objects = service_.make();
    std::weak_ptr<WifiServiceWatcher> weak = weak_from_this();
    service_.load(*connection, objects, [weak, generation, objects](const DBusError& error) {
        if (auto self = weak.lock()) self->loaded(generation, objects, error);
    });
}

void WifiServiceWatcher::loaded(uint64_t generation, const WifiService::Objects& objects,
                                const DBusError& error) {
    if (generation != generation_) return;  // a later load is on its way
    loading_ = false;
    if (!error.isSet()) {
        backoff_ = kFirstRetrySeconds;
        objects_ = objects;
        publish(Status::Answering);
        if (missed_) load();
        return;
    }
    objects_.reset();
    if (error.is(DBusError::kDisconnected)) return;  // the disconnect handler follows
    if (error.is(DBusError::kAccessDenied)) return publish(Status::Denied);
    // Not there: its name getting an owner starts the next load.
    if (error.is(DBusError::kServiceUnknown) ||
        error.is("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return publish(Status::Absent);
    platformDiagnostic("network: %s did not answer as it should: %s %s", service_.label,
                       error.name.c_str(), error.message.c_str());
    publish(Status::Absent, false);
    // A change announced meanwhile says it is alive: ask again now.
    if (missed_) return load();
    retryLater(false);
}

void WifiServiceWatcher::onSignal(uint64_t epoch, const DBusSignal& signal) {
    if (epoch != epoch_) return;
    if (signal.member == "NameOwnerChanged" && signal.interface == "org.freedesktop.DBus") {
        if (signal.values.size() != 3 || signal.values[0].asString() != service_.busName) return;
        backoff_ = kFirstRetrySeconds;
        if (!signal.values[2].asString().value_or("").empty()) return load();
        ++generation_;  // an answer still on its way is stale
        ++retry_;
        loading_ = false;
        objects_.reset();
        return publish(Status::Absent);
    }
    if (loading_) {
        missed_ = true;  // the answer on its way may predate it: read again once it came
        return;
    }
    // A change while the service is not answering: it is there after all.
    if (!objects_) return load();
    switch (objects_->apply(signal)) {
        case WifiServiceObjects::Change::None:
            return;
        case WifiServiceObjects::Change::Reload:
            return load();
        case WifiServiceObjects::Change::Kept:
            return publish(Status::Answering);
    }
}

void WifiServiceWatcher::publish(Status status, bool answer) {
    WifiFacts facts = status == Status::Answering && objects_ ? objects_->facts() : WifiFacts{};
    bool changed;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        changed = status != status_ || !(facts == facts_) || (answer && !answered_);
        status_ = status;
        facts_ = facts;
        answered_ = answered_ || answer;
    }
    cv_.notify_all();
    if (!changed || !onChange_) return;
    // Held while the handler runs, so that stop() returns only once it has.
    std::lock_guard calling(callbackMutex_);
    if (!stopped()) onChange_(status, facts);
}

WifiServiceWatcher::Status WifiServiceWatcher::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

bool WifiServiceWatcher::answered() const {
    std::lock_guard lock(mutex_);
    return answered_;
}

WifiFacts WifiServiceWatcher::facts() const {
    std::lock_guard lock(mutex_);
    return facts_;
}

bool WifiServiceWatcher::waitUntilLoaded(double seconds) const {
    auto done = [this] { return status_ != Status::Loading || stopped_; };
    if (Dispatch::isDeterministic()) {
        return MainLoop::runUntil(
            [&] {
                std::lock_guard lock(mutex_);
                return done();
            },
            seconds);
    }
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), done);
}

bool WifiServiceWatcher::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void WifiServiceWatcher::stop() {
    std::vector<std::shared_ptr<DBusSlot>> slots;
    std::shared_ptr<DBusConnection> connection;
    {
        std::lock_guard calling(callbackMutex_);
        std::lock_guard lock(mutex_);
        stopped_ = true;
        slots.swap(slots_);
        connection.swap(connection_);
    }
    cv_.notify_all();
    for (auto& slot : slots) slot->cancel();
}

}  // namespace telvo

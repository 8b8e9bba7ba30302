#include "platform/net/NetworkManagerWatcher.h"

#include <chrono>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"

namespace telvo {

namespace {

constexpr const char* kName = NetworkManagerObjects::kBusName;
constexpr double kLoadTimeout = 5;

}  // namespace

NetworkManagerWatcher::NetworkManagerWatcher(std::shared_ptr<DBusConnection> connection,
                                             ChangeHandler onChange)
    : connection_(std::move(connection)), onChange_(std::move(onChange)) {}

NetworkManagerWatcher::~NetworkManagerWatcher() {
    stop();
}

std::shared_ptr<NetworkManagerWatcher> NetworkManagerWatcher::start(
    std::shared_ptr<DBusConnection> connection, ChangeHandler onChange) {
    auto watcher = std::shared_ptr<NetworkManagerWatcher>(
        new NetworkManagerWatcher(std::move(connection), std::move(onChange)));
    if (!watcher->connection_) {
        std::lock_guard lock(watcher->mutex_);
        watcher->status_ = Status::Absent;
        return watcher;
    }
    watcher->subscribe();
    return watcher;
}

void NetworkManagerWatcher::subscribe() {
    std::weak_ptr<NetworkManagerWatcher> weak = weak_from_this();
    auto onSignal = [weak](const DBusSignal& signal) {
        if (auto self = weak.lock()) self->onSignal(signal);
    };
    // The first answer is asked for once the bus has every match: no change can slip between.
    auto installed = [weak](const DBusError&) {
        auto self = weak.lock();
        if (self && ++self->installed_ == 3) self->load();
    };
    const std::vector<DBusMatch> matches = {
        {"org.freedesktop.DBus", "/org/freedesktop/DBus", "", "org.freedesktop.DBus",
         "NameOwnerChanged"},
        {kName, NetworkManagerObjects::kObjectManagerPath, "", "org.freedesktop.DBus.ObjectManager",
         ""},
        {kName, "", NetworkManagerObjects::kRootPath, "org.freedesktop.DBus.Properties",
         "PropertiesChanged"},
    };
    std::vector<std::shared_ptr<DBusSlot>> slots;
    for (const auto& match : matches)
        slots.push_back(connection_->subscribe(match, onSignal, installed));
    std::lock_guard lock(mutex_);
    if (stopped_) {
        for (auto& slot : slots) slot->cancel();
        return;
    }
    slots_ = std::move(slots);
}

void NetworkManagerWatcher::load() {
    const uint64_t generation = ++generation_;
    std::weak_ptr<NetworkManagerWatcher> weak = weak_from_this();
    connection_->call(
        DBusCall(kName, NetworkManagerObjects::kObjectManagerPath,
                 "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", "", {}, kLoadTimeout),
        [weak, generation](const DBusReply& reply) {
            if (auto self = weak.lock()) self->loaded(generation, reply);
        });
}

void NetworkManagerWatcher::loaded(uint64_t generation, const DBusReply& reply) {
    if (generation != generation_) return;  // a later load is on its way
    if (reply.ok() && !reply.values.empty()) {
        objects_.replaceAll(reply.values[0]);
        publish(Status::Answering);
        return;
    }
    objects_.clear();
    if (reply.error.is(DBusError::kAccessDenied)) return publish(Status::Denied);
    if (!reply.error.is(DBusError::kServiceUnknown) &&
        !reply.error.is("org.freedesktop.DBus.Error.NameHasNoOwner"))
        platformDiagnostic("network: NetworkManager did not list its objects: %s %s",
                           reply.error.name.c_str(), reply.error.message.c_str());
    publish(Status::Absent);
}

void NetworkManagerWatcher::onSignal(const DBusSignal& signal) {
    if (signal.member == "NameOwnerChanged") {
        if (signal.values.size() != 3 || signal.values[0].asString() != kName) return;
        if (!signal.values[2].asString().value_or("").empty()) return load();
        ++generation_;  // an answer still on its way is stale
        objects_.clear();
        return publish(Status::Absent);
    }
    if (status() != Status::Answering) return;  // the next answer holds it all
    if (signal.member == "InterfacesAdded" && signal.values.size() == 2) {
        objects_.interfacesAdded(signal.values[0], signal.values[1]);
    } else if (signal.member == "InterfacesRemoved" && signal.values.size() == 2) {
        objects_.interfacesRemoved(signal.values[0], signal.values[1]);
    } else if (signal.member == "PropertiesChanged" && signal.values.size() >= 2) {
        objects_.propertiesChanged(signal.path, signal.values[0], signal.values[1]);
    } else {
        return;
    }
    publish(Status::Answering);
}

void NetworkManagerWatcher::publish(Status status) {
    NetworkManagerFacts facts =
        status == Status::Answering ? objects_.facts() : NetworkManagerFacts{};
    bool changed;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        changed = status != status_ || !(facts == facts_);
        status_ = status;
        facts_ = facts;
    }
    cv_.notify_all();
    if (!changed || !onChange_) return;
    // Held while the handler runs, so that stop() returns only once it has.
    std::lock_guard calling(callbackMutex_);
    if (!stopped()) onChange_(status, facts);
}

NetworkManagerWatcher::Status NetworkManagerWatcher::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

NetworkManagerFacts NetworkManagerWatcher::facts() const {
    std::lock_guard lock(mutex_);
    return facts_;
}

bool NetworkManagerWatcher::waitUntilLoaded(double seconds) const {
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

bool NetworkManagerWatcher::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void NetworkManagerWatcher::stop() {
    std::vector<std::shared_ptr<DBusSlot>> slots;
    {
        std::lock_guard calling(callbackMutex_);
        std::lock_guard lock(mutex_);
        stopped_ = true;
        slots.swap(slots_);
    }
    cv_.notify_all();
    for (auto& slot : slots) slot->cancel();
}

}  // namespace telvo

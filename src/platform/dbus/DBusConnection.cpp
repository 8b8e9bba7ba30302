#include "platform/dbus/DBusConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>

#include "platform/dbus/DBusExportedObject.h"
#include "platform/dispatch/DispatchSource.h"
#include "platform/foundation/Diagnostics.h"

namespace telvo {

namespace {

// Messages handled in one block of the connection queue before it lets other blocks run.
constexpr int kMessagesPerBlock = 64;

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

const char* orNull(const std::string& s) {
    return s.empty() ? nullptr : s.c_str();
}

std::string textOr(const char* s) {
    return s ? s : "";
}

}  // namespace

struct DBusConnection::PendingCall {
    ~PendingCall() { sd_bus_slot_unref(slot); }
    DBusConnection* connection = nullptr;
    uint64_t id = 0;
    sd_bus_slot* slot = nullptr;
    DBusReplyHandler handler;
    std::shared_ptr<Dispatch::OutsideWork> work;
};

// A subscription's handle: the handler, guarded so that cancel() is final (see DBusSlot).
class DBusConnection::Subscription : public DBusSlot {
  public:
    Subscription(std::shared_ptr<DBusConnection> connection, uint64_t id,
                 std::function<void(const DBusSignal&)> handler)
        : connection_(std::move(connection)), id_(id), handler_(std::move(handler)) {}
    ~Subscription() override { cancel(); }

    void cancel() override {
        std::function<void(const DBusSignal&)> released;
        {
            std::unique_lock lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            const auto self = std::this_thread::get_id();
            idle_.wait(lock, [&] { return running_ == std::thread::id() || running_ == self; });
            // From inside the handler the last run releases it.
            if (running_ == std::thread::id()) released = std::move(handler_);
        }
        connection_->onBus(
            [connection = connection_.get(), id = id_] { connection->matches_.erase(id); });
    }

    void deliver(const DBusSignal& signal) {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            running_ = std::this_thread::get_id();
        }
        handler_(signal);
        std::function<void(const DBusSignal&)> released;
        {
            std::lock_guard lock(mutex_);
            running_ = std::thread::id();
            if (cancelled_) released = std::move(handler_);
        }
        idle_.notify_all();
    }

  private:
    const std::shared_ptr<DBusConnection> connection_;
    const uint64_t id_;
    std::function<void(const DBusSignal&)> handler_;
    std::mutex mutex_;
    std::condition_variable idle_;
    bool cancelled_ = false;
    std::thread::id running_;
};

struct DBusConnection::Match {
    ~Match() {
        sd_bus_slot_unref(slot);
        if (work) work->finish();
    }
    DBusConnection* connection = nullptr;
    sd_bus_slot* slot = nullptr;
    std::weak_ptr<Subscription> subscription;
    std::function<void(const DBusError&)> installed;
    std::shared_ptr<Dispatch::OutsideWork> work;
};

// A slot held by sd-bus for as long as the registration lives (an object manager).
class DBusConnection::Registration : public DBusSlot {
  public:
    // The slot, released by the last block that holds it (on the connection queue, unless the
    // block was dropped unrun at the end of a deterministic test).
    struct Holder {
        ~Holder() { sd_bus_slot_unref(slot); }
        sd_bus_slot* slot = nullptr;
    };
    explicit Registration(std::shared_ptr<DBusConnection> connection)
        : connection_(std::move(connection)), holder_(std::make_shared<Holder>()) {}
    ~Registration() override { cancel(); }
    void cancel() override {
        if (cancelled_.exchange(true)) return;
        connection_->onBus([holder = std::move(holder_)] {});
    }
    const std::shared_ptr<Holder>& holder() const { return holder_; }

  private:
    const std::shared_ptr<DBusConnection> connection_;
    std::shared_ptr<Holder> holder_;
    std::atomic<bool> cancelled_{false};
};

// --- opening and the reactor -------------------------------------------------------------------

DBusConnection::DBusConnection(sd_bus* bus, DispatchQueuePtr client)
    : bus_(bus),
      queue_(DispatchQueue::createSerial("telvo.dbus")),
      client_(client ? std::move(client) : DispatchQueue::main()) {}

std::shared_ptr<DBusConnection> DBusConnection::openSystemBus(DBusError* error,
                                                              DispatchQueuePtr clientQueue) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    return start(bus, r, "system bus", error, std::move(clientQueue));
}

std::shared_ptr<DBusConnection> DBusConnection::openAddress(const std::string& address,
                                                            DBusError* error,
                                                            DispatchQueuePtr clientQueue) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
    return start(bus, r, address, error, std::move(clientQueue));
}

std::shared_ptr<DBusConnection> DBusConnection::start(sd_bus* bus, int r, const std::string& what,
                                                      DBusError* error, DispatchQueuePtr client) {
    if (r < 0) {
        sd_bus_unref(bus);
        if (error) *error = dbusErrorFromErrno(r, "cannot connect to " + what);
        return nullptr;
    }
    auto connection = std::shared_ptr<DBusConnection>(new DBusConnection(bus, std::move(client)));
    connection->attach();
    return connection;
}

void DBusConnection::attach() {
    welcome_ = Dispatch::beginOutsideWork("D-Bus connection welcome");
    // sd-bus closes its descriptor when the bus closes, right after the sources are cancelled:
    // they watch a copy of their own, closed once their cancel handlers have run.
    const int watched = ::fcntl(sd_bus_get_fd(bus_), F_DUPFD_CLOEXEC, 0);
    if (watched < 0) {
        closeNow(true);
        return;
    }
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    std::weak_ptr<DBusConnection> weak = weak_from_this();
    auto pumpIfAlive = [weak] {
        if (auto self = weak.lock()) self->pump();
    };
    auto pair = DispatchSource::createPair(watched, queue_);
    read_ = std::move(pair.read);
    read_->setEventHandler(pumpIfAlive);
    write_ = std::move(pair.write);
    write_->setEventHandler(pumpIfAlive);
    if (timerFd_ >= 0) {
        timer_ = DispatchSource::create(DispatchSource::Kind::Read, timerFd_, queue_,
                                        DispatchSource::Descriptor::Owned);
        timer_->setEventHandler([weak, fd = timerFd_] {
            uint64_t expirations;
            [[maybe_unused]] auto n = ::read(fd, &expirations, sizeof expirations);
            if (auto self = weak.lock()) self->pump();
        });
        timer_->resume();
    }
    queue_->async(pumpIfAlive);
}

void DBusConnection::pump() {
    pumpQueued_ = false;
    if (closed_) return;
    for (int i = 0;; ++i) {
        if (i == kMessagesPerBlock) {
            // More to do: let other blocks of the queue run first.
            pumpQueued_ = true;
            queue_->async([weak = weak_from_this()] {
                if (auto self = weak.lock()) self->pump();
            });
            break;
        }
        int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            closeNow(true);
            return;
        }
        if (r == 0) break;
    }
    if (welcome_ && sd_bus_is_ready(bus_) > 0) {
        const char* unique = nullptr;
        sd_bus_get_unique_name(bus_, &unique);
        {
            std::lock_guard lock(mutex_);
            uniqueName_ = textOr(unique);
        }
        std::exchange(welcome_, nullptr)->finish();
    }
    watch();
}

void DBusConnection::watch() {
    if (closed_) return;
    int events = sd_bus_get_events(bus_);
    if (events < 0) {
        closeNow(true);
        return;
    }
    // The read source stays on (sd-bus reads whenever it runs); the write source only while
    // there is something to write, or an idle writable socket would wake us for ever.
    if (!readWatched_) {
        readWatched_ = true;
        read_->resume();
    }
    const bool wantWrite = (events & POLLOUT) != 0;
    if (wantWrite != writeWatched_) {
        writeWatched_ = wantWrite;
        if (wantWrite)
            write_->resume();
        else
            write_->suspend();
    }
    uint64_t deadline = UINT64_MAX;
    if (sd_bus_get_timeout(bus_, &deadline) < 0) deadline = UINT64_MAX;
    if (deadline == 0 && !pumpQueued_) {
        pumpQueued_ = true;
        queue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->pump();
        });
    }
    if (timerFd_ >= 0) {
        itimerspec spec{};
        if (deadline != UINT64_MAX && deadline != 0) {
            spec.it_value.tv_sec = time_t(deadline / 1000000);
            spec.it_value.tv_nsec = long(deadline % 1000000) * 1000;
        }
        ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &spec, nullptr);
    }
}

void DBusConnection::closeNow(bool deliverErrors) {
    if (closed_) return;
    closed_ = true;
    std::function<void()> disconnected;
    {
        std::lock_guard lock(mutex_);
        connected_ = false;
        disconnected = std::move(disconnectHandler_);
    }
    for (auto* source : {&read_, &write_, &timer_}) {
        if (*source) (*source)->cancel();
        source->reset();
    }
    timerFd_ = -1;  // closed by its source
    sd_bus_close(bus_);
    auto calls = std::move(calls_);
    calls_.clear();
    for (auto& [id, call] : calls) {
        if (deliverErrors)
            failCall(std::move(call->handler),
                     DBusError{DBusError::kDisconnected, "the bus connection is closed"},
                     std::move(call->work));
    }
    for (auto& [id, match] : matches_) {
        if (match->installed && match->work)
            client_->async([installed = std::move(match->installed)] {
                installed(DBusError{DBusError::kDisconnected, "the bus connection is closed"});
            });
    }
    matches_.clear();
    if (welcome_) std::exchange(welcome_, nullptr)->finish();
    if (disconnected) client_->async(std::move(disconnected));
}

DBusConnection::~DBusConnection() {
    // Nothing else holds the connection, so no block of its queue can touch the bus now.
    closeNow(true);
    sd_bus_unref(bus_);
}

void DBusConnection::onBus(std::function<void()> block) {
    queue_->async([self = shared_from_this(), block = std::move(block)] { block(); });
}

std::string DBusConnection::uniqueName() const {
    std::lock_guard lock(mutex_);
    return uniqueName_;
}

bool DBusConnection::isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

void DBusConnection::setDisconnectHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    if (connected_) {
        disconnectHandler_ = std::move(handler);
    } else if (handler) {
        client_->async(std::move(handler));
    }
}

void DBusConnection::send(sd_bus_message* m) {
    int r = sd_bus_send(bus_, m, nullptr);
    if (r < 0) {
        platformDiagnostic("dbus: a message was not sent (%d)", r);
    } else {
        sent_.fetch_add(1);
    }
    sd_bus_message_unref(m);
    watch();
}

// --- calls -------------------------------------------------------------------------------------

void DBusConnection::deliver(DBusReplyHandler handler, DBusReply reply,
                             std::shared_ptr<Dispatch::OutsideWork> work) {
    if (handler) {
        client_->async(
            [handler = std::move(handler), reply = std::move(reply)] { handler(reply); });
    }
    // Handed in first, so the reply runs before virtual time moves.
    if (work) work->finish();
}

void DBusConnection::failCall(DBusReplyHandler handler, DBusError error,
                              std::shared_ptr<Dispatch::OutsideWork> work) {
    DBusReply reply;
    reply.error = std::move(error);
    deliver(std::move(handler), std::move(reply), std::move(work));
}

void DBusConnection::call(DBusCall c, DBusReplyHandler handler) {
    auto work = Dispatch::beginOutsideWork("D-Bus call " + c.interface + "." + c.member + " to " +
                                           c.destination);
    onBus([this, c = std::move(c), handler = std::move(handler), work = std::move(work)]() mutable {
        if (closed_)
            return failCall(std::move(handler),
                            DBusError{DBusError::kDisconnected, "the bus connection is closed"},
                            std::move(work));
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus_, &m, orNull(c.destination), c.path.c_str(),
                                               orNull(c.interface), c.member.c_str());
        if (r < 0)
            return failCall(std::move(handler), dbusErrorFromErrno(r, "call not made"),
                            std::move(work));
        DBusError error;
        if (!appendDBusArguments(m, c.signature, c.args, error)) {
            sd_bus_message_unref(m);
            return failCall(std::move(handler), std::move(error), std::move(work));
        }
        auto pending = std::make_unique<PendingCall>();
        pending->connection = this;
        pending->id = nextId_++;
        pending->handler = std::move(handler);
        pending->work = std::move(work);
        // 0 asks for sd-bus's default; keep at least a microsecond.
        uint64_t usec = c.timeoutSeconds > 0 ? std::max<uint64_t>(1, c.timeoutSeconds * 1e6) : 0;
        r = sd_bus_call_async(bus_, &pending->slot, m, &DBusConnection::onReply, pending.get(),
                              usec);
        sd_bus_message_unref(m);
        if (r < 0)
            return failCall(std::move(pending->handler), dbusErrorFromErrno(r, "call not sent"),
                            std::move(pending->work));
        sent_.fetch_add(1);
        calls_.emplace(pending->id, std::move(pending));
        watch();
    });
}

int DBusConnection::onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<PendingCall*>(userdata);
    DBusConnection* self = pending->connection;
    auto node = self->calls_.extract(pending->id);
    if (node.empty()) return 0;
    DBusReply reply;
    reply.error = dbusErrorOfMessage(m);
    if (!reply.error.isSet()) readDBusArguments(m, reply.values, reply.error);
    self->deliver(std::move(node.mapped()->handler), std::move(reply),
                  std::move(node.mapped()->work));
    // The slot goes with the node; sd-bus holds it until this callback returns.
    return 1;
}

void DBusConnection::getProperty(std::string destination, std::string path, std::string interface,
                                 std::string name, DBusReplyHandler handler) {
    call(
        DBusCall{std::move(destination),
                 std::move(path),
                 kDBusPropertiesInterface,
                 "Get",
                 "ss",
                 {DBusValue::ofString(std::move(interface)), DBusValue::ofString(std::move(name))}},
        [handler = std::move(handler)](const DBusReply& reply) {
            if (!handler) return;
            if (!reply.ok()) return handler(reply);
            DBusReply out;
            const DBusValue& v = reply.values.empty() ? DBusValue::absent() : reply.values[0];
            if (v.type() != DBusValue::Type::Variant)
                out.error = DBusError{DBusError::kInvalidArgs, "Get answered no variant"};
            else
                out.values.push_back(v.items()[0]);
            handler(out);
        });
}

void DBusConnection::getAllProperties(std::string destination, std::string path,
                                      std::string interface, DBusReplyHandler handler) {
    call(DBusCall{std::move(destination),
                  std::move(path),
                  kDBusPropertiesInterface,
                  "GetAll",
                  "s",
                  {DBusValue::ofString(std::move(interface))}},
         std::move(handler));
}

void DBusConnection::setProperty(std::string destination, std::string path, std::string interface,
                                 std::string name, DBusValue value, DBusReplyHandler handler) {
    call(DBusCall{std::move(destination),
                  std::move(path),
                  kDBusPropertiesInterface,
                  "Set",
                  "ssv",
                  {DBusValue::ofString(std::move(interface)), DBusValue::ofString(std::move(name)),
                   DBusValue::variant(std::move(value))}},
         std::move(handler));
}

void DBusConnection::getManagedObjects(std::string destination, std::string path,
                                       DBusReplyHandler handler) {
    call(DBusCall{std::move(destination),
                  std::move(path),
                  kDBusObjectManagerInterface,
                  "GetManagedObjects",
                  "",
                  {}},
         std::move(handler));
}

void DBusConnection::requestName(std::string name, std::function<void(const DBusError&)> done) {
    // DBUS_NAME_FLAG_DO_NOT_QUEUE: a name that has another owner fails at once.
    constexpr uint32_t kDoNotQueue = 4;
    call(DBusCall{kBusName,
                  kBusPath,
                  kBusName,
                  "RequestName",
                  "su",
                  {DBusValue::ofString(name), DBusValue::ofUInt32(kDoNotQueue)}},
         [name, done = std::move(done)](const DBusReply& reply) {
             if (!done) return;
             if (!reply.ok()) return done(reply.error);
             // 1: primary owner now; 4: already the owner.
             auto code = reply.values.empty() ? std::nullopt : reply.values[0].asUInt32();
             if (code == 1u || code == 4u) return done(DBusError{});
             done(DBusError{DBusError::kFailed, "the name " + name + " has another owner"});
         });
}

void DBusConnection::settleWith(std::string peer) {
    call(DBusCall{std::move(peer), "/", "org.freedesktop.DBus.Peer", "Ping", "", {}}, nullptr);
}

// --- signals -----------------------------------------------------------------------------------

std::shared_ptr<DBusSlot> DBusConnection::subscribe(
    DBusMatch match, std::function<void(const DBusSignal&)> handler,
    std::function<void(const DBusError&)> installed) {
    std::string rule = "type='signal'";
    bool valid = true;
    auto add = [&](const char* key, const std::string& value, int (*check)(const char*)) {
        if (value.empty()) return;
        valid = valid && check(value.c_str()) > 0;
        rule += std::string(",") + key + "='" + value + "'";
    };
    add("sender", match.sender, sd_bus_service_name_is_valid);
    add("path", match.path, sd_bus_object_path_is_valid);
    add("path_namespace", match.pathNamespace, sd_bus_object_path_is_valid);
    add("interface", match.interface, sd_bus_interface_name_is_valid);
    add("member", match.member, sd_bus_member_name_is_valid);
    if (!match.path.empty() && !match.pathNamespace.empty()) valid = false;

    auto self = shared_from_this();
    const uint64_t id = nextId_++;
    auto subscription = std::make_shared<Subscription>(self, id, std::move(handler));
    if (!valid) {
        subscription->cancel();
        if (installed)
            client_->async([installed = std::move(installed)] {
                installed(DBusError{DBusError::kInvalidArgs, "invalid match"});
            });
        return subscription;
    }
    auto record = std::make_unique<Match>();
    record->connection = this;
    record->subscription = subscription;
    record->installed = std::move(installed);
    record->work = Dispatch::beginOutsideWork("D-Bus match " + rule);
    // Held by a shared pointer so that the block can be copied.
    onBus([this, id, rule, holder = std::make_shared<std::unique_ptr<Match>>(std::move(record))] {
        auto& record = *holder;
        if (closed_) {
            if (record->installed)
                client_->async([installed = std::move(record->installed)] {
                    installed(DBusError{DBusError::kDisconnected, "the bus connection is closed"});
                });
            return;
        }
        int r = sd_bus_add_match_async(bus_, &record->slot, rule.c_str(), &DBusConnection::onSignal,
                                       &DBusConnection::onMatchInstalled, record.get());
        if (r < 0) {
            if (record->installed)
                client_->async([installed = std::move(record->installed), r] {
                    installed(dbusErrorFromErrno(r, "match not added"));
                });
            return;
        }
        sent_.fetch_add(1);
        matches_.emplace(id, std::move(record));
        watch();
    });
    return subscription;
}

int DBusConnection::onMatchInstalled(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* match = static_cast<Match*>(userdata);
    DBusError error = dbusErrorOfMessage(m);
    if (error.isSet()) platformDiagnostic("dbus: a match was refused: %s", error.message.c_str());
    if (match->installed)
        match->connection->client_->async(
            [installed = std::move(match->installed), error] { installed(error); });
    if (match->work) std::exchange(match->work, nullptr)->finish();
    return 1;
}

int DBusConnection::onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* match = static_cast<Match*>(userdata);
    auto subscription = match->subscription.lock();
    if (!subscription) return 0;
    DBusSignal signal{textOr(sd_bus_message_get_sender(m)),
                      textOr(sd_bus_message_get_path(m)),
                      textOr(sd_bus_message_get_interface(m)),
                      textOr(sd_bus_message_get_member(m)),
                      {}};
    DBusError error;
    if (!readDBusArguments(m, signal.values, error)) {
        platformDiagnostic("dbus: signal %s.%s dropped: %s", signal.interface.c_str(),
                           signal.member.c_str(), error.message.c_str());
        return 0;
    }
    match->connection->client_->async(
        [subscription = std::move(subscription), signal = std::move(signal)] {
            subscription->deliver(signal);
        });
    return 0;
}

// --- server side -------------------------------------------------------------------------------

std::shared_ptr<DBusExportedObject> DBusConnection::exportObject(
    std::string path, std::vector<DBusInterface> interfaces, DBusError* error) {
    return DBusExportedObject::create(shared_from_this(), std::move(path), std::move(interfaces),
                                      error);
}

std::shared_ptr<DBusSlot> DBusConnection::addObjectManager(std::string path) {
    auto registration = std::make_shared<Registration>(shared_from_this());
    onBus([this, path = std::move(path), holder = registration->holder()] {
        if (closed_) return;
        int r = sd_bus_add_object_manager(bus_, &holder->slot, path.c_str());
        if (r < 0) platformDiagnostic("dbus: no object manager at %s (%d)", path.c_str(), r);
    });
    return registration;
}

void DBusConnection::emitSignal(std::string path, std::string interface, std::string member,
                                std::string signature, std::vector<DBusValue> values) {
    onBus([this, path = std::move(path), interface = std::move(interface),
           member = std::move(member), signature = std::move(signature),
           values = std::move(values)] { sendSignal(path, interface, member, signature, values); });
}

void DBusConnection::sendSignal(const std::string& path, const std::string& interface,
                                const std::string& member, const std::string& signature,
                                const std::vector<DBusValue>& values) {
    if (closed_) return;
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(bus_, &m, path.c_str(), interface.c_str(), member.c_str());
    DBusError error;
    if (r < 0) error = dbusErrorFromErrno(r, "signal not made");
    if (r >= 0 && !appendDBusArguments(m, signature, values, error)) r = -EINVAL;
    if (r < 0) {
        platformDiagnostic("dbus: signal %s.%s not sent: %s", interface.c_str(), member.c_str(),
                           error.message.c_str());
        sd_bus_message_unref(m);
        return;
    }
    send(m);
}

}  // namespace telvo

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dbus/DBusError.h"
#include "platform/dbus/DBusMessage.h"
#include "platform/dbus/DBusValue.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

// The bus's own standard interfaces.
inline constexpr const char* kDBusPropertiesInterface = "org.freedesktop.DBus.Properties";
inline constexpr const char* kDBusObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";

class DispatchSource;
class DBusExportedObject;
struct DBusInterface;

// The answer to a method call: the reply's arguments, or an error (set) instead.
struct DBusReply {
    DBusError error;
    std::vector<DBusValue> values;
    bool ok() const { return !error.isSet(); }
};
using DBusReplyHandler = std::function<void(const DBusReply& reply)>;

// A method call to make.
struct DBusCall {
    DBusCall(std::string destination, std::string path, std::string interface, std::string member,
             std::string signature = {}, std::vector<DBusValue> args = {},
             double timeoutSeconds = 25)
        : destination(std::move(destination)),
          path(std::move(path)),
          interface(std::move(interface)),
          member(std::move(member)),
          signature(std::move(signature)),
          args(std::move(args)),
          timeoutSeconds(timeoutSeconds) {}

    std::string destination;  // a unique or well-known name
    std::string path;
    std::string interface;
    std::string member;
    std::string signature;  // of args
    std::vector<DBusValue> args;
    double timeoutSeconds = 25;  // real seconds: the peer is another process
};

// A signal as received.
struct DBusSignal {
    std::string sender;  // always the sender's unique name
    std::string path;
    std::string interface;
    std::string member;
    std::vector<DBusValue> values;
};

// Which signals a subscription receives; an empty field matches anything.
struct DBusMatch {
    std::string sender;         // a unique or a well-known name
    std::string path;           // exactly this object
    std::string pathNamespace;  // this object and every object below it
    std::string interface;
    std::string member;
};

// A registration on a connection (a signal subscription, an object manager). It ends when
// cancelled or dropped; it keeps its connection open while it lives.
// cancel() is safe from any thread: once it returns, the subscription's handler is not running
// on another thread and never runs again (called from inside the handler, the handler finishes
// first). Cancel from the connection's client queue for the plainest order.
class DBusSlot {
  public:
    virtual ~DBusSlot() = default;
    virtual void cancel() = 0;
};

// One connection to a message bus, on sd-bus. The connection's descriptor is served by the
// dispatch reactor (a read source, a write source while sd-bus has bytes to send, and a timer
// descriptor for sd-bus's own time-outs); every sd-bus call runs on one serial queue of the
// connection; every handler (replies, signals, method calls on exported objects) runs on the
// client queue given at opening (the main queue by default), never inline in a call to this
// class. Every member is thread-safe. Dropping the last reference closes the connection; calls
// still in flight then end with kDisconnected.
//
// Deterministic mode (Dispatch.h): a method call is outside work from the call until its
// reply, error or time-out has been handed to the client queue, so virtual time cannot jump
// past a reply that is on its way; the same holds from opening until the bus has welcomed the
// connection, and from subscribe() until the bus has installed the match. Once bytes are in
// the connection's socket they hold time too, as any ready descriptor does, and sd-bus's own
// queue is emptied before the queue's block returns. What no call covers is a signal that
// another process or connection sends on its own: settleWith() closes that gap. Time-outs of
// calls are in real time (the peer is a real process), so a call to a peer that never answers
// holds virtual time until its time-out passes in real time.
class DBusConnection : public std::enable_shared_from_this<DBusConnection> {
  public:
    // The system bus (DBUS_SYSTEM_BUS_ADDRESS, else the standard socket). nullptr, with error
    // set when given, when no bus can be reached.
    static std::shared_ptr<DBusConnection> openSystemBus(DBusError* error = nullptr,
                                                         DispatchQueuePtr clientQueue = nullptr);
    // A bus at a D-Bus address ("unix:path=/run/x/bus.sock").
    static std::shared_ptr<DBusConnection> openAddress(const std::string& address,
                                                       DBusError* error = nullptr,
                                                       DispatchQueuePtr clientQueue = nullptr);
    ~DBusConnection();

    const DispatchQueuePtr& clientQueue() const { return client_; }
    // The name the bus gave this connection (":1.42"); empty until it has.
    std::string uniqueName() const;
    // False once the bus closed the connection.
    bool isConnected() const;
    // Messages this connection has sent (calls, replies, signals, match rules), for benchmarks.
    uint64_t messagesSent() const { return sent_.load(); }
    // Runs on the client queue once, when the bus closes the connection.
    void setDisconnectHandler(std::function<void()> handler);

    // Calls a method; the handler runs once on the client queue with the reply or the error.
    void call(DBusCall call, DBusReplyHandler handler);

    // org.freedesktop.DBus.Properties: reply.values holds the property's value (out of its
    // variant), the "a{sv}" of every property, or nothing. setProperty's value is of the
    // property's own type (for a "v" property, a variant); it travels in a variant.
    void getProperty(std::string destination, std::string path, std::string interface,
                     std::string name, DBusReplyHandler handler);
    void getAllProperties(std::string destination, std::string path, std::string interface,
                          DBusReplyHandler handler);
    void setProperty(std::string destination, std::string path, std::string interface,
                     std::string name, DBusValue value, DBusReplyHandler handler);
    // org.freedesktop.DBus.ObjectManager.GetManagedObjects: reply.values holds the
    // "a{oa{sa{sv}}}".
    void getManagedObjects(std::string destination, std::string path, DBusReplyHandler handler);

    // Receives the signals the match selects; the handler runs on the client queue. installed,
    // when given, runs once on the client queue when the bus has installed the match (error
    // unset) or refused it.
    std::shared_ptr<DBusSlot> subscribe(DBusMatch match,
                                        std::function<void(const DBusSignal&)> handler,
                                        std::function<void(const DBusError&)> installed = {});

    // Asks the bus for a well-known name; done runs on the client queue with the error, unset
    // once this connection is the name's primary owner.
    void requestName(std::string name, std::function<void(const DBusError&)> done = {});

    // Makes a round trip to peer (org.freedesktop.DBus.Peer.Ping), as a call, holding virtual
    // time until it returns. Every message either side sent the other before is read by then:
    // the bus keeps each sender's order, and the receiver answers the ping only after reading
    // what came before it. Two uses: an in-process fake that emitted a signal settles with the
    // receiving connection; a connection that saw a peer answer some other connection settles
    // with that peer before counting on the peer's earlier signals. Call it in the same block
    // as the emissions it settles.
    void settleWith(std::string peer);

    // Server side: exports an object with its interfaces (see DBusExportedObject.h). nullptr,
    // with error set when given, for an invalid path or interface definition.
    std::shared_ptr<DBusExportedObject> exportObject(std::string path,
                                                     std::vector<DBusInterface> interfaces,
                                                     DBusError* error = nullptr);
    // Serves org.freedesktop.DBus.ObjectManager at path for the objects exported below it, and
    // announces them with InterfacesAdded / InterfacesRemoved.
    std::shared_ptr<DBusSlot> addObjectManager(std::string path);
    // Emits a signal.
    void emitSignal(std::string path, std::string interface, std::string member,
                    std::string signature, std::vector<DBusValue> values);

    DBusConnection(const DBusConnection&) = delete;
    DBusConnection& operator=(const DBusConnection&) = delete;

  private:
    struct PendingCall;
    struct Match;
    class Subscription;
    class Registration;
    friend class DBusExportedObject;
    friend class DBusMethodInvocation;

    DBusConnection(sd_bus* bus, DispatchQueuePtr client);
    static std::shared_ptr<DBusConnection> start(sd_bus* bus, int r, const std::string& what,
                                                 DBusError* error, DispatchQueuePtr client);
    void attach();
    // On the connection queue.
    void pump();
    void watch();
    void closeNow(bool deliverErrors);
    void send(sd_bus_message* message);
    // emitSignal's work, for a caller already on the connection queue: the signal keeps its
    // place among what the queue sends.
    void sendSignal(const std::string& path, const std::string& interface,
                    const std::string& member, const std::string& signature,
                    const std::vector<DBusValue>& values);
    void deliver(DBusReplyHandler handler, DBusReply reply,
                 std::shared_ptr<Dispatch::OutsideWork> work);
    void failCall(DBusReplyHandler handler, DBusError error,
                  std::shared_ptr<Dispatch::OutsideWork> work);
    // Runs block on the connection queue with the bus while it is open.
    void onBus(std::function<void()> block);
    static int onReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onMatchInstalled(sd_bus_message* m, void* userdata, sd_bus_error* error);

    sd_bus* bus_;
    const DispatchQueuePtr queue_;
    const DispatchQueuePtr client_;
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> nextId_{1};

    mutable std::mutex mutex_;  // guards the fields up to the next comment
    std::string uniqueName_;
    bool connected_ = true;
    std::function<void()> disconnectHandler_;

    // Touched on queue_ only.
    std::shared_ptr<DispatchSource> read_, write_, timer_;
    int timerFd_ = -1;
    bool readWatched_ = false;
    bool writeWatched_ = false;
    bool pumpQueued_ = false;
    bool closed_ = false;
    std::shared_ptr<Dispatch::OutsideWork> welcome_;
    std::map<uint64_t, std::unique_ptr<PendingCall>> calls_;
    std::map<uint64_t, std::unique_ptr<Match>> matches_;
};

}  // namespace telvo

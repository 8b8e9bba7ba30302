#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/dbus/DBusConnection.h"

namespace telvo {

// A method call received by an exported object. Answer it once, from any thread, now or
// later; one dropped without an answer answers kFailed, so no caller waits for ever.
class DBusMethodInvocation {
  public:
    ~DBusMethodInvocation();
    const std::string& sender() const { return sender_; }
    const std::string& path() const { return path_; }
    const std::string& interface() const { return interface_; }
    const std::string& member() const { return member_; }
    const std::vector<DBusValue>& args() const { return args_; }

    // Values of the method's out signature; values that do not fit it answer kFailed instead.
    void reply(std::vector<DBusValue> values = {});
    void replyError(std::string name, std::string message);

    DBusMethodInvocation(const DBusMethodInvocation&) = delete;
    DBusMethodInvocation& operator=(const DBusMethodInvocation&) = delete;

  private:
    friend class DBusExportedObject;
    DBusMethodInvocation(std::shared_ptr<DBusConnection> connection, sd_bus_message* call,
                         std::string outSignature, std::vector<DBusValue> args);
    void answer(std::function<sd_bus_message*(sd_bus_message* call)> make);

    const std::shared_ptr<DBusConnection> connection_;
    std::shared_ptr<sd_bus_message> call_;  // touched on the connection's queue only
    const std::string outSignature_;
    std::string sender_, path_, interface_, member_;
    const std::vector<DBusValue> args_;
    std::atomic<bool> answered_{false};
};
using DBusMethodHandler = std::function<void(std::shared_ptr<DBusMethodInvocation> invocation)>;

struct DBusMethod {
    std::string name;
    std::string inSignature;  // checked by the bus library: other arguments get kInvalidArgs
    std::string outSignature;
    DBusMethodHandler handler;  // runs on the connection's client queue
};

struct DBusProperty {
    std::string name;
    std::string signature;  // one complete type
    DBusValue value;        // the initial value
    bool writable = false;  // peers may Set it (the value must have the signature)
};

struct DBusInterface {
    std::string name;
    std::vector<DBusMethod> methods;
    std::vector<DBusProperty> properties;
};

// An object exported on a connection (DBusConnection::exportObject): its methods answer calls,
// its properties answer org.freedesktop.DBus.Properties (Get, GetAll, Set, PropertiesChanged),
// and an object manager above it (DBusConnection::addObjectManager) lists it and announces it.
// Introspection and org.freedesktop.DBus.Peer come with it. The object stays exported until
// unexport() or the last reference is dropped; it keeps its connection open. Every member is
// thread-safe; after unexport() returns on the client queue no handler of it runs again.
class DBusExportedObject {
  public:
    using WriteHandler = std::function<void(const std::string& interface, const std::string& name,
                                            const DBusValue& value)>;
    ~DBusExportedObject();

    const std::string& path() const;
    // The property's current value; absent for an unknown property.
    DBusValue property(const std::string& interface, const std::string& name) const;
    // Stores the value and, when it differs from the stored one, emits PropertiesChanged.
    // False for an unknown property.
    bool setProperty(const std::string& interface, const std::string& name, DBusValue value);
    // Runs on the client queue after a peer has set a writable property (already stored and
    // announced).
    void setWriteHandler(WriteHandler handler);
    void emitSignal(std::string interface, std::string member, std::string signature,
                    std::vector<DBusValue> values);
    // Withdraws the object (InterfacesRemoved when an object manager lists it).
    void unexport();

    struct State;
    DBusExportedObject(std::shared_ptr<DBusConnection> connection, std::shared_ptr<State> state);

  private:
    friend class DBusConnection;
    static std::shared_ptr<DBusExportedObject> create(std::shared_ptr<DBusConnection> connection,
                                                      std::string path,
                                                      std::vector<DBusInterface> interfaces,
                                                      DBusError* error);
    const std::shared_ptr<DBusConnection> connection_;
    const std::shared_ptr<State> state_;
};

}  // namespace telvo

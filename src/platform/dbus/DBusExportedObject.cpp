#include "platform/dbus/DBusExportedObject.h"

#include "platform/foundation/Diagnostics.h"

namespace telvo {

// One interface of an exported object (named, not file-local: the object's state holds them).
struct ExportedInterface {
    // Unregistered on the connection queue; what is left here belongs to a block that was
    // dropped unrun (the end of a deterministic test): a slot keeps its bus alive.
    ~ExportedInterface() { sd_bus_slot_unref(slot); }

    DBusExportedObject::State* state = nullptr;
    DBusInterface spec;  // property values live in the state
    std::vector<sd_bus_vtable> vtable;
    sd_bus_slot* slot = nullptr;

    const DBusMethod* method(const char* name) const {
        for (const auto& m : spec.methods)
            if (m.name == name) return &m;
        return nullptr;
    }
    const DBusProperty* property(const std::string& name) const {
        for (const auto& p : spec.properties)
            if (p.name == name) return &p;
        return nullptr;
    }
};

namespace {

int replyError(sd_bus_error* ret, const DBusError& error) {
    return sd_bus_error_set(ret, error.name.c_str(), error.message.c_str());
}

bool fits(const DBusProperty& property, const DBusValue& value) {
    return property.signature == "v" ? value.isValid() : value.signature() == property.signature;
}

}  // namespace

struct DBusExportedObject::State : std::enable_shared_from_this<State> {
    using Key = std::pair<std::string, std::string>;

    DBusConnection* connection = nullptr;  // alive while the object is
    std::string path;
    std::vector<std::unique_ptr<ExportedInterface>> interfaces;

    mutable std::mutex mutex;  // guards the fields up to the next comment
    std::map<Key, DBusValue> values;
    WriteHandler writeHandler;
    bool unexported = false;

    // Touched on the connection queue only.
    bool registered = false;

    const ExportedInterface* find(const std::string& interface) const {
        for (const auto& i : interfaces)
            if (i->spec.name == interface) return i.get();
        return nullptr;
    }
    bool isExported() const {
        std::lock_guard lock(mutex);
        return !unexported;
    }

    void registerAll();
    void unregisterAll();
    // Announces the value that was set (not the one stored when the signal goes out), so that
    // quick changes are each announced, in order.
    void emitChanged(const std::string& interface, const std::string& name, const DBusValue& value);

    static int onMethod(sd_bus_message* m, void* userdata, sd_bus_error* ret);
    static int onGet(sd_bus* bus, const char* path, const char* interface, const char* property,
                     sd_bus_message* reply, void* userdata, sd_bus_error* ret);
    static int onSet(sd_bus* bus, const char* path, const char* interface, const char* property,
                     sd_bus_message* value, void* userdata, sd_bus_error* ret);
};

void DBusExportedObject::State::registerAll() {
    sd_bus* bus = connection->bus_;
    std::vector<const char*> names;
    for (auto& i : interfaces) {
        auto& v = i->vtable;
        v.push_back(SD_BUS_VTABLE_START(0));
        for (const auto& m : i->spec.methods)
            v.push_back(SD_BUS_METHOD(m.name.c_str(), m.inSignature.c_str(), m.outSignature.c_str(),
                                      &State::onMethod, SD_BUS_VTABLE_UNPRIVILEGED));
        for (const auto& p : i->spec.properties) {
            if (p.writable)
                v.push_back(SD_BUS_WRITABLE_PROPERTY(
                    p.name.c_str(), p.signature.c_str(), &State::onGet, &State::onSet, 0,
                    SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE));
            else
                v.push_back(SD_BUS_PROPERTY(p.name.c_str(), p.signature.c_str(), &State::onGet, 0,
                                            SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE));
        }
        v.push_back(SD_BUS_VTABLE_END);
        int r = sd_bus_add_object_vtable(bus, &i->slot, path.c_str(), i->spec.name.c_str(),
                                         v.data(), i.get());
        if (r < 0) {
            platformDiagnostic("dbus: %s %s not exported (%d)", path.c_str(), i->spec.name.c_str(),
                               r);
            continue;
        }
        names.push_back(i->spec.name.c_str());
    }
    registered = true;
    names.push_back(nullptr);
    // Announced when an object manager lists the object; without one there is nobody to tell.
    if (names.size() > 1 &&
        sd_bus_emit_interfaces_added_strv(bus, path.c_str(), const_cast<char**>(names.data())) >= 0)
        connection->sent_.fetch_add(1);
}

void DBusExportedObject::State::unregisterAll() {
    if (!registered) return;
    registered = false;
    sd_bus* bus = connection->bus_;
    std::vector<const char*> names;
    for (auto& i : interfaces)
        if (i->slot) names.push_back(i->spec.name.c_str());
    names.push_back(nullptr);
    if (names.size() > 1 && !connection->closed_ &&
        sd_bus_emit_interfaces_removed_strv(bus, path.c_str(), const_cast<char**>(names.data())) >=
            0)
        connection->sent_.fetch_add(1);
    for (auto& i : interfaces) i->slot = sd_bus_slot_unref(i->slot);
    connection->watch();
}

void DBusExportedObject::State::emitChanged(const std::string& interface, const std::string& name,
                                            const DBusValue& value) {
    if (!registered || connection->closed_) return;
    const ExportedInterface* exported = find(interface);
    const DBusProperty* property = exported ? exported->property(name) : nullptr;
    if (!property) return;
    // The changed map wraps each value in a variant; a property of type "v" keeps its own
    // variant inside that one.
    const bool nested = property->signature == "v" && value.type() != DBusValue::Type::Variant;
    DBusValue changed = nested ? DBusValue::variant(value) : value;
    // On the connection queue already: sent now, in order with the replies and the changes
    // before and after it.
    connection->sendSignal(
        path, "org.freedesktop.DBus.Properties", "PropertiesChanged", "sa{sv}as",
        {DBusValue::ofString(interface), DBusValue::propertyMap({{name, std::move(changed)}}),
         DBusValue::stringArray({})});
}

int DBusExportedObject::State::onMethod(sd_bus_message* m, void* userdata, sd_bus_error* ret) {
    auto* interface = static_cast<ExportedInterface*>(userdata);
    State* state = interface->state;
    const DBusMethod* method = interface->method(sd_bus_message_get_member(m));
    if (!method) return sd_bus_error_set(ret, DBusError::kUnknownMethod, "no such method");
    std::vector<DBusValue> args;
    DBusError error;
    if (!readDBusArguments(m, args, error)) return replyError(ret, error);
    auto invocation = std::shared_ptr<DBusMethodInvocation>(new DBusMethodInvocation(
        state->connection->shared_from_this(), m, method->outSignature, std::move(args)));
    state->connection->client_->async(
        [state = state->shared_from_this(), invocation, handler = method->handler] {
            if (!state->isExported())
                invocation->replyError(DBusError::kUnknownObject, "the object is gone");
            else if (handler)
                handler(invocation);
            else
                invocation->reply();
        });
    return 1;
}

int DBusExportedObject::State::onGet(sd_bus*, const char*, const char* interface,
                                     const char* property, sd_bus_message* reply, void* userdata,
                                     sd_bus_error* ret) {
    auto* exported = static_cast<ExportedInterface*>(userdata);
    const DBusProperty* spec = exported->property(property);
    if (!spec) return sd_bus_error_set(ret, DBusError::kUnknownProperty, "no such property");
    DBusValue value;
    {
        std::lock_guard lock(exported->state->mutex);
        value = exported->state->values[Key(interface, property)];
    }
    DBusError error;
    if (!appendDBusValue(reply, spec->signature, value, error)) return replyError(ret, error);
    return 1;
}

int DBusExportedObject::State::onSet(sd_bus*, const char*, const char* interface,
                                     const char* property, sd_bus_message* message, void* userdata,
                                     sd_bus_error* ret) {
    auto* exported = static_cast<ExportedInterface*>(userdata);
    State* state = exported->state;
    // sd-bus has checked the value's type against the property's signature.
    DBusValue value;
    DBusError error;
    if (!readDBusValue(message, value, error)) return replyError(ret, error);
    WriteHandler handler;
    {
        std::lock_guard lock(state->mutex);
        state->values[Key(interface, property)] = value;
        handler = state->writeHandler;
    }
    state->emitChanged(interface, property, value);
    if (handler)
        state->connection->client_->async(
            [state = state->shared_from_this(), handler, interface = std::string(interface),
             property = std::string(property), value = std::move(value)] {
                if (state->isExported()) handler(interface, property, value);
            });
    return 1;
}

// --- the object --------------------------------------------------------------------------------

DBusExportedObject::DBusExportedObject(std::shared_ptr<DBusConnection> connection,
                                       std::shared_ptr<State> state)
    : connection_(std::move(connection)), state_(std::move(state)) {}

DBusExportedObject::~DBusExportedObject() {
    unexport();
}

std::shared_ptr<DBusExportedObject> DBusExportedObject::create(
    std::shared_ptr<DBusConnection> connection, std::string path,
    std::vector<DBusInterface> interfaces, DBusError* error) {
    auto invalid = [&](std::string why) -> std::shared_ptr<DBusExportedObject> {
        if (error) *error = DBusError{DBusError::kInvalidArgs, std::move(why)};
        return nullptr;
    };
    if (sd_bus_object_path_is_valid(path.c_str()) <= 0) return invalid("invalid path " + path);
    auto state = std::make_shared<State>();
    state->connection = connection.get();
    state->path = path;
    for (auto& spec : interfaces) {
        if (sd_bus_interface_name_is_valid(spec.name.c_str()) <= 0)
            return invalid("invalid interface " + spec.name);
        for (const auto& m : spec.methods)
            if (sd_bus_member_name_is_valid(m.name.c_str()) <= 0 ||
                !DBusValue::splitSignature(m.inSignature) ||
                !DBusValue::splitSignature(m.outSignature))
                return invalid("invalid method " + m.name);
        for (auto& p : spec.properties) {
            if (sd_bus_member_name_is_valid(p.name.c_str()) <= 0 || p.signature.empty() ||
                DBusValue::completeTypeLength(p.signature) != p.signature.size() ||
                !fits(p, p.value))
                return invalid("invalid property " + p.name);
            state->values[State::Key(spec.name, p.name)] = std::exchange(p.value, DBusValue());
        }
        auto exported = std::make_unique<ExportedInterface>();
        exported->state = state.get();
        exported->spec = std::move(spec);
        state->interfaces.push_back(std::move(exported));
    }
    connection->onBus([state, connection = connection.get()] {
        if (!connection->closed_ && state->isExported()) state->registerAll();
    });
    return std::make_shared<DBusExportedObject>(std::move(connection), std::move(state));
}

const std::string& DBusExportedObject::path() const {
    return state_->path;
}

DBusValue DBusExportedObject::property(const std::string& interface,
                                       const std::string& name) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->values.find(State::Key(interface, name));
    return it == state_->values.end() ? DBusValue() : it->second;
}

bool DBusExportedObject::setProperty(const std::string& interface, const std::string& name,
                                     DBusValue value) {
    const ExportedInterface* exported = state_->find(interface);
    const DBusProperty* spec = exported ? exported->property(name) : nullptr;
    if (!spec || !fits(*spec, value)) return false;
    {
        std::lock_guard lock(state_->mutex);
        auto& stored = state_->values[State::Key(interface, name)];
        if (stored == value) return true;
        stored = value;
    }
    connection_->onBus([state = state_, interface, name, value = std::move(value)] {
        state->emitChanged(interface, name, value);
    });
    return true;
}

void DBusExportedObject::setWriteHandler(WriteHandler handler) {
    std::lock_guard lock(state_->mutex);
    state_->writeHandler = std::move(handler);
}

void DBusExportedObject::emitSignal(std::string interface, std::string member,
                                    std::string signature, std::vector<DBusValue> values) {
    connection_->emitSignal(state_->path, std::move(interface), std::move(member),
                            std::move(signature), std::move(values));
}

void DBusExportedObject::unexport() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->unexported) return;
        state_->unexported = true;
        state_->writeHandler = nullptr;
    }
    connection_->onBus([state = state_] { state->unregisterAll(); });
}

// --- invocations -------------------------------------------------------------------------------

DBusMethodInvocation::DBusMethodInvocation(std::shared_ptr<DBusConnection> connection,
                                           sd_bus_message* call, std::string outSignature,
                                           std::vector<DBusValue> args)
    : connection_(std::move(connection)),
      call_(sd_bus_message_ref(call), sd_bus_message_unref),
      outSignature_(std::move(outSignature)),
      args_(std::move(args)) {
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    sender_ = text(sd_bus_message_get_sender(call));
    path_ = text(sd_bus_message_get_path(call));
    interface_ = text(sd_bus_message_get_interface(call));
    member_ = text(sd_bus_message_get_member(call));
}

DBusMethodInvocation::~DBusMethodInvocation() {
    if (!answered_.load()) replyError(DBusError::kFailed, "the method was not answered");
    // The message is released where its connection's work runs.
    connection_->onBus([call = std::move(call_)] {});
}

void DBusMethodInvocation::answer(std::function<sd_bus_message*(sd_bus_message* call)> make) {
    if (answered_.exchange(true)) return;
    connection_->onBus([connection = connection_.get(), call = call_, make = std::move(make)] {
        if (connection->closed_) return;
        if (sd_bus_message* reply = make(call.get())) connection->send(reply);
    });
}

void DBusMethodInvocation::reply(std::vector<DBusValue> values) {
    answer([values = std::move(values), signature = outSignature_](sd_bus_message* call) {
        sd_bus_message* reply = nullptr;
        if (sd_bus_message_new_method_return(call, &reply) < 0) return (sd_bus_message*)nullptr;
        DBusError error;
        if (appendDBusArguments(reply, signature, values, error)) return reply;
        platformDiagnostic("dbus: a reply did not fit \"%s\": %s", signature.c_str(),
                           error.message.c_str());
        sd_bus_message_unref(reply);
        reply = nullptr;
        sd_bus_message_new_method_errorf(call, &reply, DBusError::kFailed, "bad reply");
        return reply;
    });
}

void DBusMethodInvocation::replyError(std::string name, std::string message) {
    answer([name = std::move(name), message = std::move(message)](sd_bus_message* call) {
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_MAKE_CONST(name.c_str(), message.c_str());
        if (sd_bus_message_new_method_error(call, &reply, &error) < 0)
            sd_bus_message_new_method_errorf(call, &reply, DBusError::kFailed, "%s",
                                             message.c_str());
        return reply;
    });
}

}  // namespace telvo

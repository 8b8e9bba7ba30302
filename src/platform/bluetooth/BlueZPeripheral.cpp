// BlueZRadio's peripheral role: local services as GATT applications, and advertising.
#include <algorithm>

#include "platform/bluetooth/BlueZRadio.h"
#include "platform/dbus/DBusExportedObject.h"
#include "platform/foundation/Diagnostics.h"

// Events name only the fields they carry; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace telvo {

using namespace bluez;
using Kind = RadioEvent::Kind;

namespace {

constexpr const char* kObjectRoot = "/com/telvo/bluetooth/";
// Requests of remote centrals waiting for the app's answer, at most.
constexpr size_t kMaxPendingRequests = 256;

DBusValue bytesFrom(const std::optional<Bytes>& value, size_t offset) {
    const Bytes& bytes = value ? *value : Bytes();
    return DBusValue::ofBytes(Bytes(bytes.begin() + std::min(offset, bytes.size()), bytes.end()));
}

size_t offsetOf(const DBusValue& options) {
    auto offset = options.at("offset").asInteger();
    return offset && *offset > 0 ? size_t(*offset) : 0;
}

void replyAnswer(const std::shared_ptr<DBusMethodInvocation>& invocation, CBATTError result) {
    DBusError error = errorForATT(result);
    invocation->replyError(error.name, error.message);
}

}  // namespace

std::string BlueZRadio::centralOf(const DBusValue& options) const {
    if (auto path = options.at("device").asObjectPath())
        if (auto d = device(*path)) return identifierOf(*d);
    // Without the option: the one connected central, when there is one.
    std::optional<DeviceView> only;
    int connected = 0;
    for (const auto& path : tree_.paths(kDevice)) {
        auto d = device(path);
        if (!d || d->adapter != adapter_ || !d->connected.valueOr(false)) continue;
        ++connected;
        only = d;
    }
    return connected == 1 ? identifierOf(*only) : peripheralIdentifier(adapterAddress_, {});
}

void BlueZRadio::addService(ClientId client, const RadioLocalService& service) {
    Locked locked(*this);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    const uint16_t handle = service.service.handle;
    auto answer = [&](ErrorPtr error) {
        emit(client, RadioEvent{.kind = Kind::ServiceAdded, .handle = handle, .error = error});
    };
    if (adapter_.empty() || !tree_.has(adapter_, kGattManager))
        return answer(makeCBError(CBError::OperationNotSupported));
    if (it->second.apps.count(handle)) return answer(makeCBError(CBError::InvalidParameters));

    auto app = std::make_shared<LocalApp>();
    app->path = kObjectRoot + std::string("app") + std::to_string(++nextObject_);
    app->manager = connection_->addObjectManager(app->path);
    const std::string servicePath = app->path + "/service0";
    auto add = [&](std::string path, DBusInterface interface) {
        auto object = connection_->exportObject(std::move(path), {std::move(interface)});
        if (object) app->objects.push_back(object);
        return object;
    };
    add(servicePath, {kGattService,
                      {},
                      {{"UUID", "s", DBusValue::ofString(uuidText(service.service.uuid))},
                       {"Primary", "b", DBusValue::ofBool(service.service.primary)},
                       {"Includes", "ao", DBusValue::objectPathArray({})}}});
    for (size_t i = 0; i < service.characteristics.size(); ++i) {
        const RadioLocalAttribute& c = service.characteristics[i];
        const std::string path = servicePath + "/char" + std::to_string(i);
        auto request = [this, client, handle = c.handle](bool read) {
            return guarded(
                [client, handle, read](BlueZRadio& r, std::shared_ptr<DBusMethodInvocation> call) {
                    r.localRequest(client, handle, read, std::move(call));
                });
        };
        auto subscription = [this, client, handle = c.handle](bool on) {
            return guarded(
                [client, handle, on](BlueZRadio& r, std::shared_ptr<DBusMethodInvocation> call) {
                    r.localSubscription(client, handle, on, std::move(call));
                });
        };
        auto object =
            add(path, {kGattCharacteristic,
                       {{"ReadValue", "a{sv}", "ay", request(true)},
                        {"WriteValue", "aya{sv}", "", request(false)},
                        {"StartNotify", "", "", subscription(true)},
                        {"StopNotify", "", "", subscription(false)}},
                       {{"UUID", "s", DBusValue::ofString(uuidText(c.uuid))},
                        {"Service", "o", DBusValue::ofObjectPath(servicePath)},
                        {"Flags", "as",
                         DBusValue::stringArray(flagsFromProperties(c.properties, c.permissions))},
                        {"Value", "ay", bytesFrom(c.value, 0)},
                        {"Notifying", "b", DBusValue::ofBool(false)}}});
        app->characteristics[c.handle] = {object, c.value};
        for (size_t j = 0; j < c.descriptors.size(); ++j) {
            const RadioLocalAttribute& d = c.descriptors[j];
            // BlueZ serves the client configuration itself.
            if (d.uuid == CBUUID::UUIDWithString(CBUUIDClientCharacteristicConfigurationString))
                continue;
            // Shared rather than captured by value: GCC 12 misreads a captured optional vector
            // as maybe uninitialized.
            auto read = [value = std::make_shared<const std::optional<Bytes>>(d.value)](
                            std::shared_ptr<DBusMethodInvocation> call) {
                const size_t offset =
                    offsetOf(call->args().empty() ? DBusValue::absent() : call->args()[0]);
                if (offset > (*value ? (*value)->size() : 0))
                    return replyAnswer(call, CBATTError::InvalidOffset);
                call->reply({bytesFrom(*value, offset)});
            };
            add(path + "/desc" + std::to_string(j),
                {kGattDescriptor,
                 {{"ReadValue", "a{sv}", "ay", read},
                  {"WriteValue", "aya{sv}", "",
                   [](auto call) { replyAnswer(call, CBATTError::WriteNotPermitted); }}},
                 {{"UUID", "s", DBusValue::ofString(uuidText(d.uuid))},
                  {"Characteristic", "o", DBusValue::ofObjectPath(path)},
                  {"Flags", "as", DBusValue::stringArray({"read"})},
                  {"Value", "ay", bytesFrom(d.value, 0)}}});
        }
    }
    it->second.apps[handle] = app;
    callBlueZ(adapter_, kGattManager, "RegisterApplication", "oa{sv}",
              {DBusValue::ofObjectPath(app->path), DBusValue::propertyMap({})},
              [client, handle, app](BlueZRadio& r, const DBusReply& reply) {
                  auto c = r.clients_.find(client);
                  if (c == r.clients_.end()) return;
                  auto current = c->second.apps.find(handle);
                  if (current == c->second.apps.end() || current->second != app) return;
                  ErrorPtr error;
                  if (reply.ok()) {
                      app->registered = true;
                  } else {
                      error = errorFor(reply.error, Operation::Register);
                      for (auto& object : app->objects) object->unexport();
                      c->second.apps.erase(current);
                  }
                  r.emit(client,
                         RadioEvent{.kind = Kind::ServiceAdded, .handle = handle, .error = error});
              });
}

void BlueZRadio::removeService(ClientId client, uint16_t service) {
    Locked locked(*this);
    auto c = clients_.find(client);
    if (c == clients_.end()) return;
    auto app = c->second.apps.find(service);
    if (app == c->second.apps.end()) return;
    if (app->second->registered)
        callBlueZ(adapter_, kGattManager, "UnregisterApplication", "o",
                  {DBusValue::ofObjectPath(app->second->path)},
                  [](BlueZRadio&, const DBusReply&) {});
    for (auto& object : app->second->objects) object->unexport();
    c->second.apps.erase(app);
}

void BlueZRadio::localRequest(ClientId client, uint16_t handle, bool read,
                              std::shared_ptr<DBusMethodInvocation> call) {
    auto c = clients_.find(client);
    const LocalApp::Characteristic* characteristic = nullptr;
    if (c != clients_.end())
        for (const auto& [service, app] : c->second.apps)
            if (auto it = app->characteristics.find(handle); it != app->characteristics.end())
                characteristic = &it->second;
    if (!characteristic) return call->replyError(DBusError::kUnknownObject, "no such attribute");
    const DBusValue& options = call->args().empty() ? DBusValue::absent() : call->args().back();
    const size_t offset = offsetOf(options);
    if (read && characteristic->value) {
        if (offset > characteristic->value->size())
            return replyAnswer(call, CBATTError::InvalidOffset);
        return call->reply({bytesFrom(characteristic->value, offset)});
    }
    RadioRequest request{.central = centralOf(options), .handle = handle, .offset = offset};
    if (!read) request.value = call->args().at(0).asBytes().value_or(Bytes());
    if (!read && options.at("type").asString() == std::string("command")) {
        // A write without response: nobody waits for the app's answer.
        call->reply();
    } else {
        if (requests_.size() >= kMaxPendingRequests)
            return replyAnswer(call, CBATTError::InsufficientResources);
        request.id = ++nextRequest_;
        requests_[request.id] = {client, read, std::move(call)};
    }
    emit(client, RadioEvent{.kind = read ? Kind::ReadRequest : Kind::WriteRequests,
                            .requests = {std::move(request)}});
}

void BlueZRadio::respond(ClientId client, uint64_t request, CBATTError result, const Bytes& value) {
    Locked locked(*this);
    auto it = requests_.find(request);
    if (it == requests_.end() || it->second.client != client) return;
    PendingRequest pending = std::move(it->second);
    requests_.erase(it);
    if (result != CBATTError::Success) return replyAnswer(pending.invocation, result);
    if (pending.read)
        pending.invocation->reply({DBusValue::ofBytes(value)});
    else
        pending.invocation->reply();
}

void BlueZRadio::localSubscription(ClientId client, uint16_t handle, bool subscribed,
                                   std::shared_ptr<DBusMethodInvocation> call) {
    auto c = clients_.find(client);
    std::shared_ptr<DBusExportedObject> object;
    if (c != clients_.end())
        for (const auto& [service, app] : c->second.apps)
            if (auto it = app->characteristics.find(handle); it != app->characteristics.end())
                object = it->second.object;
    if (!object) return call->replyError(DBusError::kUnknownObject, "no such attribute");
    object->setProperty(kGattCharacteristic, "Notifying", DBusValue::ofBool(subscribed));
    call->reply();
    emit(client, RadioEvent{.kind = subscribed ? Kind::Subscribed : Kind::Unsubscribed,
                            .handle = handle,
                            .central = centralOf(DBusValue::absent())});
}

bool BlueZRadio::updateValue(ClientId client, uint16_t characteristic, const Bytes& value,
                             const std::vector<std::string>&) {
    Locked locked(*this);
    auto c = clients_.find(client);
    if (c == clients_.end()) return true;
    for (const auto& [service, app] : c->second.apps) {
        auto it = app->characteristics.find(characteristic);
        if (it == app->characteristics.end() || !it->second.object) continue;
        auto& object = *it->second.object;
        const DBusValue bytes = DBusValue::ofBytes(value);
        // BlueZ sends a notification for every change of Value: an unchanged value is
        // announced by hand.
        if (object.property(kGattCharacteristic, "Value") == bytes)
            object.emitSignal(
                kDBusPropertiesInterface, "PropertiesChanged", "sa{sv}as",
                {DBusValue::ofString(kGattCharacteristic),
                 DBusValue::propertyMap({{"Value", bytes}}), DBusValue::stringArray({})});
        else
            object.setProperty(kGattCharacteristic, "Value", bytes);
    }
    return true;
}

// --- advertising -------------------------------------------------------------------------------

void BlueZRadio::startAdvertising(ClientId client, const Dictionary& advertisement) {
    Locked locked(*this);
    auto c = clients_.find(client);
    if (c == clients_.end()) return;
    auto fail = [&](CBError code) {
        emit(client, RadioEvent{.kind = Kind::AdvertisingStarted, .error = makeCBError(code)});
    };
    if (adapter_.empty() || !tree_.has(adapter_, kAdvertisingManager))
        return fail(CBError::OperationNotSupported);
    dropAdvertisement(c->second);

    std::vector<DBusProperty> properties{{"Type", "s", DBusValue::ofString("peripheral")}};
    std::vector<std::string> uuids;
    const Value& services = advertisement[CBAdvertisementDataServiceUUIDsKey];
    for (size_t i = 0; i < services.count(); ++i)
        if (auto uuid = CBUUID::fromString(services.at(i).stringValue()))
            uuids.push_back(uuidText(*uuid));
    if (!uuids.empty()) properties.push_back({"ServiceUUIDs", "as", DBusValue::stringArray(uuids)});
    const Value& name = advertisement[CBAdvertisementDataLocalNameKey];
    if (name.isText()) properties.push_back({"LocalName", "s", DBusValue::ofString(name.text())});
    const Value& data = advertisement[CBAdvertisementDataManufacturerDataKey];
    if (data.isBytes() && data.bytes().size() >= 2) {
        const Bytes& b = data.bytes();
        properties.push_back(
            {"ManufacturerData", "a{qv}",
             DBusValue::dictionary(
                 "q", "v",
                 {{DBusValue::ofUInt16(uint16_t(b[0] | b[1] << 8)),
                   DBusValue::variant(DBusValue::ofBytes(Bytes(b.begin() + 2, b.end())))}})});
    }

    auto advert = std::make_shared<LocalAdvertisement>();
    advert->path = kObjectRoot + std::string("advertisement") + std::to_string(++nextObject_);
    // The exported object holds this handler: it must not hold the advertisement in turn.
    auto released = guarded([client, weak = std::weak_ptr<LocalAdvertisement>(advert)](
                                BlueZRadio& r, std::shared_ptr<DBusMethodInvocation> call) {
        // BlueZ dropped the advertisement on its own (the adapter went, for one).
        call->reply();
        auto advert = weak.lock();
        auto c = r.clients_.find(client);
        if (advert && c != r.clients_.end() && c->second.advertisement == advert) {
            advert->registered = false;
            r.dropAdvertisement(c->second);
        }
    });
    advert->object = connection_->exportObject(
        advert->path, {{kAdvertisement, {{"Release", "", "", released}}, std::move(properties)}});
    if (!advert->object) return fail(CBError::InvalidParameters);
    c->second.advertisement = advert;
    callBlueZ(adapter_, kAdvertisingManager, "RegisterAdvertisement", "oa{sv}",
              {DBusValue::ofObjectPath(advert->path), DBusValue::propertyMap({})},
              [client, advert](BlueZRadio& r, const DBusReply& reply) {
                  auto c = r.clients_.find(client);
                  if (c == r.clients_.end() || c->second.advertisement != advert) return;
                  ErrorPtr error;
                  if (reply.ok()) {
                      advert->registered = true;
                  } else {
                      error = errorFor(reply.error, Operation::Advertise);
                      r.dropAdvertisement(c->second);
                  }
                  r.emit(client, RadioEvent{.kind = Kind::AdvertisingStarted, .error = error});
              });
}

void BlueZRadio::stopAdvertising(ClientId client) {
    Locked locked(*this);
    auto c = clients_.find(client);
    if (c != clients_.end()) dropAdvertisement(c->second);
}

void BlueZRadio::dropAdvertisement(Client& c) {
    auto advert = std::exchange(c.advertisement, nullptr);
    if (!advert) return;
    if (advert->registered && !adapter_.empty())
        callBlueZ(adapter_, kAdvertisingManager, "UnregisterAdvertisement", "o",
                  {DBusValue::ofObjectPath(advert->path)}, [](BlueZRadio&, const DBusReply&) {});
    if (advert->object) advert->object->unexport();
}

void BlueZRadio::dropLocal(ClientId client, Client& c) {
    for (auto& [handle, app] : c.apps) {
        if (app->registered && !adapter_.empty())
            callBlueZ(adapter_, kGattManager, "UnregisterApplication", "o",
                      {DBusValue::ofObjectPath(app->path)}, [](BlueZRadio&, const DBusReply&) {});
        for (auto& object : app->objects) object->unexport();
    }
    c.apps.clear();
    dropAdvertisement(c);
    for (auto it = requests_.begin(); it != requests_.end();) {
        if (it->second.client != client) {
            ++it;
            continue;
        }
        replyAnswer(it->second.invocation, CBATTError::UnlikelyError);
        it = requests_.erase(it);
    }
}

}  // namespace telvo

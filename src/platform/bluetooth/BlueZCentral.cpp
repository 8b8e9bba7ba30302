// BlueZRadio's central role after the scan: links, GATT discovery, reads, writes and
// notifications.
#include <algorithm>

#include "platform/bluetooth/BlueZRadio.h"
#include "platform/foundation/Diagnostics.h"

// Events name only the fields they carry; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace telvo {

using namespace bluez;
using Kind = RadioEvent::Kind;

namespace {

// BlueZ gives up a connection attempt on its own; the call waits a little longer.
constexpr double kConnectTimeout = 60;
// How long a service discovery waits for BlueZ to resolve the services of a new link.
constexpr double kResolveTimeout = 30;

bool listed(const std::optional<std::vector<CBUUID>>& uuids, const CBUUID& uuid) {
    return !uuids || std::find(uuids->begin(), uuids->end(), uuid) != uuids->end();
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::map<BlueZRadio::LinkKey, BlueZRadio::Link>::iterator BlueZRadio::findLink(
    ClientId client, const std::string& identifier) {
    return std::find_if(links_.begin(), links_.end(), [&](const auto& entry) {
        return entry.first.first == client && entry.second.identifier == identifier;
    });
}

BlueZRadio::Link* BlueZRadio::connectedLink(ClientId client, const std::string& identifier,
                                            std::string* path) {
    auto it = findLink(client, identifier);
    if (it == links_.end() || !it->second.connected) return nullptr;
    *path = it->first.second;
    return &it->second;
}

bool BlueZRadio::linkStillUp(ClientId client, const std::string& path, uint64_t generation) const {
    auto it = links_.find({client, path});
    return it != links_.end() && it->second.connected && it->second.generation == generation;
}

uint16_t BlueZRadio::handleFor(const std::string& device, const std::string& object) {
    DeviceState& state = devices_[device];
    auto it = state.handles.find(object);
    if (it != state.handles.end()) return it->second;
    if (state.next == 0 || state.handles.size() >= ObjectTree::kMaxObjects) return 0;
    const uint16_t handle = state.next++;
    state.handles[object] = handle;
    state.paths[handle] = object;
    return handle;
}

std::string BlueZRadio::pathFor(const std::string& device, uint16_t handle) const {
    auto state = devices_.find(device);
    if (state == devices_.end()) return {};
    auto it = state->second.paths.find(handle);
    return it == state->second.paths.end() ? std::string() : it->second;
}

// --- links -------------------------------------------------------------------------------------

void BlueZRadio::connect(ClientId client, const std::string& peripheral) {
    Locked locked(*this);
    if (!clients_.count(client)) return;
    auto existing = findLink(client, peripheral);
    if (existing != links_.end()) links_.erase(existing);
    // The central may ask while the adapter's going away is still on its way to it: the attempt
    // fails rather than waiting for ever.
    const std::string path =
        state_ == CBManagerState::PoweredOn ? devicePathOf(peripheral) : std::string();
    if (path.empty()) {
        emit(client, RadioEvent{.kind = Kind::ConnectFailed,
                                .peripheral = peripheral,
                                .error = makeCBError(CBError::UnknownDevice)});
        return;
    }
    Link& link = links_[{client, path}];
    link = Link{.identifier = peripheral, .generation = ++nextGeneration_};
    auto d = device(path);
    if (d && d->connected.valueOr(false)) {
        link.connected = true;
        emit(client, RadioEvent{.kind = Kind::Connected, .peripheral = peripheral});
        return;
    }
    DeviceState& state = devices_[path];
    if (state.connecting) return;
    state.connecting = true;
    state.ours = true;
    callBlueZ(
        path, kDevice, "Connect", "", {},
        [path](BlueZRadio& r, const DBusReply& reply) { r.onConnectReply(path, reply); },
        kConnectTimeout);
}

void BlueZRadio::onConnectReply(const std::string& path, const DBusReply& reply) {
    auto state = devices_.find(path);
    if (state != devices_.end()) state->second.connecting = false;
    // Another caller's attempt is under way: Connected decides.
    if (reply.error.is("org.bluez.Error.InProgress")) return;
    const bool ok = reply.ok() || reply.error.is("org.bluez.Error.AlreadyConnected");
    const ErrorPtr error = ok ? nullptr : errorFor(reply.error, Operation::Connect);
    for (auto it = links_.begin(); it != links_.end();) {
        if (it->first.second != path || it->second.connected) {
            ++it;
            continue;
        }
        const ClientId client = it->first.first;
        RadioEvent event{.kind = ok ? Kind::Connected : Kind::ConnectFailed,
                         .peripheral = it->second.identifier,
                         .error = error};
        if (ok) {
            it->second.connected = true;
            ++it;
        } else {
            it = links_.erase(it);
        }
        emit(client, event);
    }
}

void BlueZRadio::cancelConnection(ClientId client, const std::string& peripheral) {
    Locked locked(*this);
    auto it = findLink(client, peripheral);
    if (it != links_.end()) dropLink(it);
}

std::map<BlueZRadio::LinkKey, BlueZRadio::Link>::iterator BlueZRadio::dropLink(
    std::map<LinkKey, Link>::iterator link) {
    const ClientId client = link->first.first;
    const std::string path = link->first.second;
    auto next = links_.erase(link);
    const bool others = std::any_of(links_.begin(), links_.end(),
                                    [&](const auto& entry) { return entry.first.second == path; });
    if (!others) {
        clearNotify(path);
        DeviceState& state = devices_[path];
        if (state.ours || state.connecting)
            callBlueZ(path, kDevice, "Disconnect", "", {}, [](BlueZRadio&, const DBusReply&) {});
        state.ours = false;
        return next;
    }
    std::vector<std::string> sessions;
    for (auto& [characteristic, session] : notify_) {
        if (!isBelow(characteristic, path)) continue;
        session.clients.erase(client);
        session.waiting.erase(client);
        sessions.push_back(characteristic);
    }
    for (const auto& characteristic : sessions) reconcileNotify(characteristic);
    return next;
}

void BlueZRadio::endLinks(const std::string& path, const ErrorPtr& error) {
    for (auto it = links_.begin(); it != links_.end();) {
        if (it->first.second != path) {
            ++it;
            continue;
        }
        const ClientId client = it->first.first;
        RadioEvent event{.kind = it->second.connected ? Kind::Disconnected : Kind::ConnectFailed,
                         .peripheral = it->second.identifier,
                         .error = error};
        it = links_.erase(it);
        emit(client, event);
    }
    clearNotify(path);
    auto state = devices_.find(path);
    if (state != devices_.end()) state->second.ours = false;
}

void BlueZRadio::deviceRemoved(const std::string& path, const std::string& identifier) {
    endLinks(path, makeCBError(CBError::PeripheralDisconnected));
    for (auto& [id, c] : clients_) c.reported.erase(path);
    devices_.erase(path);
    std::erase_if(reads_, [&](const auto& entry) { return isBelow(entry.first, path); });
    if (identifier.empty()) return;
    for (const auto& [id, c] : clients_)
        emit(id, RadioEvent{.kind = Kind::Removed, .peripheral = identifier});
}

void BlueZRadio::deviceChanged(const std::string& path, const std::vector<std::string>& names) {
    auto d = device(path);
    if (!d) {
        endLinks(path, malformedError());
        return;
    }
    if (contains(names, "Connected")) {
        if (d->connected.wrong()) {
            endLinks(path, malformedError());
            return;
        }
        if (d->connected.valueOr(false)) {
            for (auto& [key, link] : links_) {
                if (key.second != path || link.connected) continue;
                link.connected = true;
                emit(key.first, RadioEvent{.kind = Kind::Connected, .peripheral = link.identifier});
            }
        } else {
            // The link dropped. An attempt still waiting for its answer hears it there.
            const bool attempt = devices_[path].connecting;
            for (auto it = links_.begin(); it != links_.end();) {
                if (it->first.second != path || (!it->second.connected && attempt)) {
                    ++it;
                    continue;
                }
                const ClientId client = it->first.first;
                RadioEvent event{
                    .kind = it->second.connected ? Kind::Disconnected : Kind::ConnectFailed,
                    .peripheral = it->second.identifier,
                    .error = makeCBError(it->second.connected ? CBError::PeripheralDisconnected
                                                              : CBError::ConnectionFailed)};
                it = links_.erase(it);
                emit(client, event);
            }
            clearNotify(path);
            devices_[path].ours = attempt;
        }
    }
    if (contains(names, "ServicesResolved")) {
        const bool resolved = d->servicesResolved.valueOr(false);
        for (auto& [key, link] : links_) {
            if (key.second != path || !link.connected || link.pendingServices.empty()) continue;
            if (!resolved && !d->servicesResolved.wrong()) continue;
            auto pending = std::exchange(link.pendingServices, {});
            for (const auto& uuids : pending) {
                if (resolved) {
                    answerServices(key.first, path, link, uuids);
                } else {
                    emit(key.first, RadioEvent{.kind = Kind::ServicesDiscovered,
                                               .peripheral = link.identifier,
                                               .error = malformedError()});
                }
            }
        }
    }
    if (contains(names, "Name"))
        for (const auto& [key, link] : links_)
            if (key.second == path && link.connected)
                emit(key.first, RadioEvent{.kind = Kind::NameUpdated,
                                           .peripheral = link.identifier,
                                           .name = d->name});
}

void BlueZRadio::serviceRemoved(const std::string& service) {
    const std::string path = deviceOf(service);
    auto d = path.empty() ? std::nullopt : device(path);
    auto state = devices_.find(path);
    if (!d || !d->servicesResolved.valueOr(false) || state == devices_.end()) return;
    auto handle = state->second.handles.find(service);
    if (handle == state->second.handles.end()) return;
    // A service that goes while the link stays (the peripheral changed its database).
    for (const auto& [key, link] : links_)
        if (key.second == path && link.connected)
            emit(key.first, RadioEvent{.kind = Kind::ServicesInvalidated,
                                       .peripheral = link.identifier,
                                       .services = {RadioService{.handle = handle->second}}});
}

// --- GATT discovery ----------------------------------------------------------------------------

void BlueZRadio::discoverServices(ClientId client, const std::string& peripheral,
                                  const std::optional<std::vector<CBUUID>>& uuids) {
    Locked locked(*this);
    std::string path;
    Link* link = connectedLink(client, peripheral, &path);
    if (!link) return;
    auto d = device(path);
    if (!d || d->servicesResolved.wrong()) {
        emit(client, RadioEvent{.kind = Kind::ServicesDiscovered,
                                .peripheral = peripheral,
                                .error = malformedError()});
        return;
    }
    if (d->servicesResolved.valueOr(false)) {
        answerServices(client, path, *link, uuids);
        return;
    }
    link->pendingServices.push_back(uuids);
    if (link->pendingServices.size() > 1) return;
    const uint64_t round = link->round = ++nextGeneration_;
    queue_->after(kResolveTimeout, guarded([client, path, round](BlueZRadio& r) {
                      r.servicesTimedOut(client, path, round);
                  }));
}

void BlueZRadio::servicesTimedOut(ClientId client, const std::string& path, uint64_t round) {
    auto it = links_.find({client, path});
    if (it == links_.end() || it->second.round != round) return;
    for (size_t n = std::exchange(it->second.pendingServices, {}).size(); n > 0; --n)
        emit(client, RadioEvent{.kind = Kind::ServicesDiscovered,
                                .peripheral = it->second.identifier,
                                .error = makeCBError(CBError::ConnectionTimeout)});
}

void BlueZRadio::answerServices(ClientId client, const std::string& path, const Link& link,
                                const std::optional<std::vector<CBUUID>>& uuids) {
    RadioEvent event{.kind = Kind::ServicesDiscovered, .peripheral = link.identifier};
    event.error = eachBelow(path, kGattService, [&](auto& service, auto* p) {
        auto uuid = uuidField(p, "UUID");
        auto primary = boolField(p, "Primary");
        auto owner = pathField(p, "Device");
        if (!uuid.ok() || primary.wrong() || owner.wrong()) return false;
        if ((owner.ok() && owner.value != path) || !primary.valueOr(true) ||
            !listed(uuids, uuid.value))
            return true;
        if (uint16_t handle = handleFor(path, service))
            event.services.push_back({handle, uuid.value, true});
        return true;
    });
    if (event.error) event.services.clear();
    emit(client, event);
}

void BlueZRadio::discoverIncludedServices(ClientId client, const std::string& peripheral,
                                          uint16_t service,
                                          const std::optional<std::vector<CBUUID>>& uuids) {
    Locked locked(*this);
    std::string path;
    if (!connectedLink(client, peripheral, &path)) return;
    RadioEvent event{
        .kind = Kind::IncludedServicesDiscovered, .peripheral = peripheral, .handle = service};
    const Properties* p = tree_.find(pathFor(path, service), kGattService);
    auto includes = pathsField(p, "Includes");
    if (!p) event.error = makeCBError(CBError::InvalidHandle);
    if (includes.wrong()) event.error = malformedError();
    for (const auto& included : includes.valueOr({})) {
        if (event.error) break;
        const Properties* q = tree_.find(included, kGattService);
        if (!q || !isBelow(included, path)) continue;
        auto uuid = uuidField(q, "UUID");
        auto primary = boolField(q, "Primary");
        if (!uuid.ok() || primary.wrong()) event.error = malformedError();
        if (event.error || !listed(uuids, uuid.value)) continue;
        if (uint16_t handle = handleFor(path, included))
            event.services.push_back({handle, uuid.value, primary.valueOr(true)});
    }
    if (event.error) event.services.clear();
    emit(client, event);
}

void BlueZRadio::discoverCharacteristics(ClientId client, const std::string& peripheral,
                                         uint16_t service,
                                         const std::optional<std::vector<CBUUID>>& uuids) {
    Locked locked(*this);
    std::string path;
    if (!connectedLink(client, peripheral, &path)) return;
    RadioEvent event{
        .kind = Kind::CharacteristicsDiscovered, .peripheral = peripheral, .handle = service};
    const std::string owner = pathFor(path, service);
    if (!tree_.has(owner, kGattService)) event.error = makeCBError(CBError::InvalidHandle);
    if (!event.error)
        event.error = eachBelow(owner, kGattCharacteristic, [&](auto& object, auto* p) {
            auto uuid = uuidField(p, "UUID");
            auto flags = stringsField(p, "Flags");
            auto service = pathField(p, "Service");
            if (!uuid.ok() || flags.wrong() || service.wrong()) return false;
            if ((service.ok() && service.value != owner) || !listed(uuids, uuid.value)) return true;
            if (uint16_t handle = handleFor(path, object))
                event.characteristics.push_back(
                    {handle, uuid.value, propertiesFromFlags(flags.valueOr({}))});
            return true;
        });
    if (event.error) event.characteristics.clear();
    emit(client, event);
}

void BlueZRadio::discoverDescriptors(ClientId client, const std::string& peripheral,
                                     uint16_t characteristic) {
    Locked locked(*this);
    std::string path;
    if (!connectedLink(client, peripheral, &path)) return;
    RadioEvent event{
        .kind = Kind::DescriptorsDiscovered, .peripheral = peripheral, .handle = characteristic};
    const std::string owner = pathFor(path, characteristic);
    if (!tree_.has(owner, kGattCharacteristic)) event.error = makeCBError(CBError::InvalidHandle);
    if (!event.error)
        event.error = eachBelow(owner, kGattDescriptor, [&](auto& object, auto* p) {
            auto uuid = uuidField(p, "UUID");
            if (!uuid.ok()) return false;
            if (uint16_t handle = handleFor(path, object))
                event.descriptors.push_back({handle, uuid.value});
            return true;
        });
    if (event.error) event.descriptors.clear();
    emit(client, event);
}

ErrorPtr BlueZRadio::eachBelow(
    const std::string& parent, const char* interface,
    const std::function<bool(const std::string&, const Properties*)>& each) const {
    for (const auto& path : tree_.paths(interface))
        if (isBelow(path, parent) && !each(path, tree_.find(path, interface)))
            return malformedError();
    return nullptr;
}

// --- values ------------------------------------------------------------------------------------

void BlueZRadio::read(ClientId client, const std::string& peripheral, uint16_t handle) {
    Locked locked(*this);
    std::string path;
    Link* link = connectedLink(client, peripheral, &path);
    if (!link) return;
    RadioEvent event{.kind = Kind::ValueUpdated, .peripheral = peripheral, .handle = handle};
    const std::string object = pathFor(path, handle);
    const char* interface = tree_.has(object, kGattCharacteristic) ? kGattCharacteristic
                            : tree_.has(object, kGattDescriptor)   ? kGattDescriptor
                                                                   : nullptr;
    if (!interface) {
        event.error = makeCBError(CBError::InvalidHandle);
        emit(client, event);
        return;
    }
    ++reads_[object].count;
    callBlueZ(object, interface, "ReadValue", "a{sv}", {DBusValue::propertyMap({})},
              [client, path, object, generation = link->generation, event](
                  BlueZRadio& r, const DBusReply& reply) mutable {
                  auto value = reply.values.empty() ? std::nullopt : reply.values[0].asBytes();
                  r.readAnswered(object, reply.ok() ? value : std::nullopt);
                  if (!r.linkStillUp(client, path, generation)) return;
                  if (!reply.ok())
                      event.error = errorFor(reply.error, Operation::Read);
                  else if (value)
                      event.value = std::move(*value);
                  else
                      event.error = malformedError();
                  r.emit(client, event);
              });
}

void BlueZRadio::write(ClientId client, const std::string& peripheral, uint16_t handle,
                       const Bytes& value, bool withResponse) {
    Locked locked(*this);
    std::string path;
    Link* link = connectedLink(client, peripheral, &path);
    if (!link) return;
    RadioEvent event{.kind = Kind::ValueWritten, .peripheral = peripheral, .handle = handle};
    const std::string object = pathFor(path, handle);
    const bool characteristic = tree_.has(object, kGattCharacteristic);
    if (!characteristic && !tree_.has(object, kGattDescriptor)) {
        event.error = makeCBError(CBError::InvalidHandle);
        if (withResponse) emit(client, event);
        return;
    }
    std::vector<std::pair<std::string, DBusValue>> options;
    if (characteristic)
        options.emplace_back("type", DBusValue::ofString(withResponse ? "request" : "command"));
    callBlueZ(object, characteristic ? kGattCharacteristic : kGattDescriptor, "WriteValue",
              "aya{sv}", {DBusValue::ofBytes(value), DBusValue::propertyMap(std::move(options))},
              [client, path, generation = link->generation, event, withResponse](
                  BlueZRadio& r, const DBusReply& reply) mutable {
                  if (!reply.ok() && !withResponse)
                      platformDiagnostic("bluez: a write without response failed: %s",
                                         reply.error.name.c_str());
                  if (!withResponse || !r.linkStillUp(client, path, generation)) return;
                  if (!reply.ok()) event.error = errorFor(reply.error, Operation::Write);
                  r.emit(client, event);
              });
}

void BlueZRadio::setNotify(ClientId client, const std::string& peripheral, uint16_t handle,
                           bool enabled) {
    Locked locked(*this);
    std::string path;
    if (!connectedLink(client, peripheral, &path)) return;
    const std::string object = pathFor(path, handle);
    RadioEvent event{.kind = Kind::NotifyStateChanged,
                     .peripheral = peripheral,
                     .handle = handle,
                     .notifying = enabled};
    if (!tree_.has(object, kGattCharacteristic)) {
        event.error = makeCBError(CBError::InvalidHandle);
        emit(client, event);
        return;
    }
    auto [it, made] = notify_.try_emplace(object);
    NotifySession& session = it->second;
    if (made) session.id = ++nextGeneration_;
    if (!enabled) {
        session.clients.erase(client);
        session.waiting.erase(client);
        emit(client, event);
    } else if (session.clients.count(client) || (session.on && !session.calling)) {
        session.clients.insert(client);
        emit(client, event);
    } else {
        session.waiting.insert(client);
    }
    reconcileNotify(object);
}

void BlueZRadio::emitNotifyState(ClientId client, const std::string& characteristic, bool on,
                                 ErrorPtr error) {
    const std::string path = deviceOf(characteristic);
    auto link = links_.find({client, path});
    if (link == links_.end() || !link->second.connected) return;
    emit(client, RadioEvent{.kind = Kind::NotifyStateChanged,
                            .peripheral = link->second.identifier,
                            .handle = handleFor(path, characteristic),
                            .notifying = on,
                            .error = std::move(error)});
}

void BlueZRadio::reconcileNotify(const std::string& characteristic) {
    auto it = notify_.find(characteristic);
    if (it == notify_.end() || it->second.calling) return;
    NotifySession& session = it->second;
    const bool wanted = !session.clients.empty() || !session.waiting.empty();
    if (wanted && session.on) {
        for (ClientId client : std::exchange(session.waiting, {})) {
            session.clients.insert(client);
            emitNotifyState(client, characteristic, true, nullptr);
        }
        return;
    }
    if (!wanted && !session.on) {
        notify_.erase(it);
        return;
    }
    if (wanted == session.on) return;
    session.calling = true;
    const uint64_t id = session.id;
    callBlueZ(characteristic, kGattCharacteristic, wanted ? "StartNotify" : "StopNotify", "", {},
              [characteristic, id, wanted](BlueZRadio& r, const DBusReply& reply) {
                  auto it = r.notify_.find(characteristic);
                  if (it == r.notify_.end() || it->second.id != id) return;
                  NotifySession& session = it->second;
                  session.calling = false;
                  if (!wanted || reply.ok()) {
                      session.on = wanted;
                  } else {
                      const ErrorPtr error = errorFor(reply.error, Operation::Notify);
                      for (ClientId client : std::exchange(session.waiting, {}))
                          r.emitNotifyState(client, characteristic, true, error);
                  }
                  r.reconcileNotify(characteristic);
              });
}

void BlueZRadio::clearNotify(const std::string& device) {
    std::erase_if(notify_, [&](const auto& entry) { return isBelow(entry.first, device); });
}

void BlueZRadio::valueChanged(const std::string& characteristic) {
    auto field = bytesField(tree_.find(characteristic, kGattCharacteristic), "Value");
    std::optional<Bytes> value;
    if (field.ok()) value = std::move(field.value);
    // BlueZ announces the value a read brought as a change of Value; while a read is on its
    // way its answer tells which change that was.
    auto reading = reads_.find(characteristic);
    if (reading != reads_.end()) {
        reading->second.changes.push_back(std::move(value));
        return;
    }
    notifyValue(characteristic, value);
}

void BlueZRadio::readAnswered(const std::string& characteristic,
                              const std::optional<Bytes>& value) {
    auto reading = reads_.find(characteristic);
    if (reading == reads_.end()) return;
    auto changes = std::exchange(reading->second.changes, {});
    if (--reading->second.count == 0) reads_.erase(reading);
    if (value) {
        auto echo = std::find(changes.rbegin(), changes.rend(), value);
        if (echo != changes.rend()) changes.erase(std::next(echo).base());
    }
    for (const auto& change : changes) notifyValue(characteristic, change);
}

void BlueZRadio::notifyValue(const std::string& characteristic, const std::optional<Bytes>& value) {
    auto it = notify_.find(characteristic);
    if (it == notify_.end() || !it->second.on) return;
    const std::string path = deviceOf(characteristic);
    for (ClientId client : it->second.clients) {
        auto link = links_.find({client, path});
        if (link == links_.end() || !link->second.connected) continue;
        RadioEvent event{.kind = Kind::ValueUpdated,
                         .peripheral = link->second.identifier,
                         .handle = handleFor(path, characteristic)};
        if (value)
            event.value = *value;
        else
            event.error = malformedError();
        emit(client, event);
    }
}

void BlueZRadio::readRSSI(ClientId client, const std::string& peripheral) {
    Locked locked(*this);
    std::string path;
    if (!connectedLink(client, peripheral, &path)) return;
    auto d = device(path);
    RadioEvent event{.kind = Kind::RSSIRead, .peripheral = peripheral};
    if (d && d->rssi != 127)
        event.rssi = d->rssi;
    else
        event.error = makeCBError(CBError::OperationNotSupported);
    emit(client, event);
}

size_t BlueZRadio::maximumWriteLength(ClientId client, const std::string& peripheral, bool) {
    Locked locked(*this);
    std::string path;
    if (!connectedLink(client, peripheral, &path)) return 20;
    int64_t mtu = 0;
    for (const auto& characteristic : tree_.paths(kGattCharacteristic)) {
        if (!isBelow(characteristic, path)) continue;
        auto field = integerField(tree_.find(characteristic, kGattCharacteristic), "MTU");
        if (field.ok()) mtu = std::max(mtu, field.value);
    }
    // The ATT header takes 3 bytes of each packet; 23 is the smallest MTU, 517 the largest.
    if (mtu < 23) return 20;
    return size_t(std::min<int64_t>(mtu, 517) - 3);
}

}  // namespace telvo

#include "platform/bluetooth/BluetoothFields.h"
#include "platform/bluetooth/BluetoothManagers.h"
#include "platform/foundation/Diagnostics.h"

namespace telvo {

uint64_t CBCentralManager::Epochs::of(const RadioEvent& event) {
    std::lock_guard lock(mutex);
    if (event.kind == RadioEvent::Kind::Discovered) return scan;
    if (event.peripheral.empty() || event.kind == RadioEvent::Kind::Removed) return 0;
    return peripherals[event.peripheral];
}

CBCentralManagerPtr createCentralManager(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                         DispatchQueuePtr queue, Dictionary options,
                                         std::shared_ptr<BluetoothRadio> radio) {
    return bt::Access::makeCentralManager(std::move(delegate), std::move(queue), std::move(options),
                                          std::move(radio));
}

CBCentralManagerPtr CBCentralManager::create(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                             Dictionary options) {
    return make(std::move(delegate), nullptr, std::move(options), nullptr);
}

CBCentralManagerPtr CBCentralManager::make(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                           DispatchQueuePtr queue, Dictionary options,
                                           std::shared_ptr<BluetoothRadio> radio) {
    CBCentralManagerPtr manager(new CBCentralManager(std::move(delegate), std::move(queue),
                                                     std::move(options), std::move(radio)));
    manager->attach();
    return manager;
}

CBCentralManager::CBCentralManager(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                   DispatchQueuePtr queue, Dictionary options,
                                   std::shared_ptr<BluetoothRadio> radio)
    : radio_(radio ? std::move(radio) : BluetoothRadio::shared()),
      queue_(queue ? std::move(queue) : DispatchQueue::main()),
      options_(std::move(options)),
      delegate_(std::move(delegate)) {}

void CBCentralManager::attach() {
    std::weak_ptr<CBCentralManager> weak = weak_from_this();
    auto sink = [weak, epochs = epochs_, queue = queue_](const RadioEvent& event) {
        uint64_t epoch = epochs->of(event);
        queue->async([weak, event, epoch] {
            if (auto self = weak.lock()) self->deliver(event, epoch);
        });
    };
    client_ = radio_->attach(std::move(sink));
}

CBCentralManager::~CBCentralManager() {
    radio_->detach(client_);
    for (auto& [id, peripheral] : linked_)
        bt::Access::setState(*peripheral, CBPeripheralState::Disconnected);
}

CBManagerState CBCentralManager::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool CBCentralManager::isScanning() const {
    std::lock_guard lock(mutex_);
    return scanning_;
}

std::optional<std::string> CBCentralManager::restoreIdentifier() const {
    const Value* v = options_.find(CBCentralManagerOptionRestoreIdentifierKey);
    return v ? v->optionalText() : std::nullopt;
}

void CBCentralManager::setDelegate(std::weak_ptr<CBCentralManagerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<CBCentralManagerDelegate> CBCentralManager::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void CBCentralManager::scanForPeripheralsWithServices(
    const std::optional<std::vector<CBUUID>>& services, const Dictionary& options) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != CBManagerState::PoweredOn) {
            platformDiagnostic("API MISUSE: CBCentralManager can only scan while powered on");
            return;
        }
        scanning_ = true;
    }
    {
        std::lock_guard lock(epochs_->mutex);
        ++epochs_->scan;
    }
    radio_->startScan(client_, services,
                      options[CBCentralManagerScanOptionAllowDuplicatesKey].boolValue());
}

void CBCentralManager::stopScan() {
    {
        std::lock_guard lock(mutex_);
        scanning_ = false;
    }
    {
        std::lock_guard lock(epochs_->mutex);
        ++epochs_->scan;
    }
    radio_->stopScan(client_);
}

void CBCentralManager::connectPeripheral(const CBPeripheralPtr& peripheral, const Dictionary&) {
    if (!peripheral) return;
    if (bt::Access::manager(*peripheral).lock().get() != this) {
        platformDiagnostic("API MISUSE: the peripheral belongs to another central manager");
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (state_ != CBManagerState::PoweredOn) {
            platformDiagnostic("API MISUSE: CBCentralManager can only connect while powered on");
            return;
        }
        auto state = peripheral->state();
        if (state == CBPeripheralState::Connecting || state == CBPeripheralState::Connected) return;
        linked_[bt::Access::key(*peripheral)] = peripheral;
        bt::Access::setState(*peripheral, CBPeripheralState::Connecting);
    }
    {
        std::lock_guard lock(epochs_->mutex);
        ++epochs_->peripherals[bt::Access::key(*peripheral)];
    }
    radio_->connect(client_, bt::Access::key(*peripheral));
}

void CBCentralManager::cancelPeripheralConnection(const CBPeripheralPtr& peripheral) {
    if (!peripheral) return;
    {
        std::lock_guard lock(mutex_);
        auto it = linked_.find(bt::Access::key(*peripheral));
        if (it == linked_.end() || it->second != peripheral ||
            peripheral->state() == CBPeripheralState::Disconnecting)
            return;
        bt::Access::setState(*peripheral, CBPeripheralState::Disconnecting);
    }
    radio_->cancelConnection(client_, bt::Access::key(*peripheral));
    endLink(peripheral, nullptr);
}

void CBCentralManager::endLink(const CBPeripheralPtr& peripheral, ErrorPtr error) {
    uint64_t epoch;
    {
        std::lock_guard lock(epochs_->mutex);
        epoch = ++epochs_->peripherals[bt::Access::key(*peripheral)];
    }
    std::weak_ptr<CBCentralManager> weak = weak_from_this();
    queue_->async([weak, peripheral, error, epoch] {
        auto self = weak.lock();
        if (!self) return;
        bool current;
        {
            std::lock_guard lock(self->epochs_->mutex);
            current = self->epochs_->peripherals[bt::Access::key(*peripheral)] == epoch;
        }
        if (current) self->finishLink(peripheral);
        if (auto delegate = self->delegate())
            delegate->centralManagerDidDisconnectPeripheral(self, peripheral, error);
    });
}

void CBCentralManager::finishLink(const CBPeripheralPtr& peripheral) {
    {
        std::lock_guard lock(mutex_);
        auto it = linked_.find(bt::Access::key(*peripheral));
        if (it != linked_.end() && it->second == peripheral) linked_.erase(it);
    }
    bt::Access::setState(*peripheral, CBPeripheralState::Disconnected);
    bt::Access::resetNotifying(*peripheral);
}

CBPeripheralPtr CBCentralManager::peripheralFor(const std::string& identifier,
                                                const std::optional<std::string>& name,
                                                bool create) {
    std::lock_guard lock(mutex_);
    auto linked = linked_.find(identifier);
    if (linked != linked_.end()) return linked->second;
    auto& slot = known_[identifier];
    if (auto existing = slot.lock()) return existing;
    auto uuid = NSUUID::fromString(identifier);
    if (!create || !uuid) {
        known_.erase(identifier);
        return nullptr;
    }
    CBPeripheralPtr peripheral = bt::Access::makePeripheral(*uuid, name, weak_from_this());
    slot = peripheral;
    return peripheral;
}

void CBCentralManager::forget(const std::string& identifier) {
    CBPeripheralPtr peripheral;
    {
        std::lock_guard lock(mutex_);
        auto it = known_.find(identifier);
        if (linked_.count(identifier) || it == known_.end()) return;
        peripheral = it->second.lock();
    }
    if (auto delegate = this->delegate(); delegate && peripheral)
        delegate->centralManagerDidForgetPeripheral(shared_from_this(), peripheral);
    {
        std::lock_guard lock(epochs_->mutex);
        epochs_->peripherals.erase(identifier);
    }
    peripheral.reset();
    std::lock_guard lock(mutex_);
    auto it = known_.find(identifier);
    if (!linked_.count(identifier) && it != known_.end() && it->second.expired()) known_.erase(it);
}

std::vector<CBPeripheralPtr> CBCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<NSUUID>& identifiers) {
    std::vector<CBPeripheralPtr> out;
    for (const auto& id : identifiers) {
        std::string key = id.UUIDString();
        if (auto p = peripheralFor(key, std::nullopt, false)) {
            out.push_back(p);
        } else if (auto name = radio_->knownPeripheral(key)) {
            out.push_back(peripheralFor(key, *name, true));
        }
    }
    return out;
}

std::vector<CBPeripheralPtr> CBCentralManager::retrieveConnectedPeripheralsWithServices(
    const std::vector<CBUUID>& services) {
    std::vector<CBPeripheralPtr> out;
    for (const auto& [key, name] : radio_->connectedPeripherals(services))
        if (auto p = peripheralFor(key, name, true)) out.push_back(p);
    return out;
}

void CBCentralManager::deliver(const RadioEvent& event, uint64_t epoch) {
    using Kind = RadioEvent::Kind;
    auto self = shared_from_this();
    if (event.kind != Kind::StateChanged && epochs_->of(event) != epoch) return;

    switch (event.kind) {
        case Kind::StateChanged: {
            {
                std::lock_guard lock(mutex_);
                state_ = event.state;
                if (state_ != CBManagerState::PoweredOn) scanning_ = false;
            }
            if (event.state != CBManagerState::PoweredOn) {
                std::lock_guard lock(epochs_->mutex);
                ++epochs_->scan;
            }
            if (auto delegate = this->delegate()) delegate->centralManagerDidUpdateState(self);
            return;
        }
        case Kind::Discovered: {
            if (!isScanning()) return;
            auto peripheral = peripheralFor(event.peripheral, event.name, true);
            if (!peripheral) return;
            bt::Access::setName(*peripheral, event.name);
            if (auto delegate = this->delegate())
                delegate->centralManagerDidDiscoverPeripheral(self, peripheral, event.advertisement,
                                                              event.rssi);
            return;
        }
        case Kind::Removed:
            return forget(event.peripheral);
        default:
            break;
    }

    CBPeripheralPtr peripheral;
    {
        std::lock_guard lock(mutex_);
        auto it = linked_.find(event.peripheral);
        if (it == linked_.end()) return;
        peripheral = it->second;
    }
    switch (event.kind) {
        case Kind::Connected:
            if (peripheral->state() != CBPeripheralState::Connecting) return;
            bt::Access::setState(*peripheral, CBPeripheralState::Connected);
            if (auto delegate = this->delegate())
                delegate->centralManagerDidConnectPeripheral(self, peripheral);
            return;
        case Kind::ConnectFailed:
        case Kind::Disconnected: {
            {
                std::lock_guard lock(epochs_->mutex);
                ++epochs_->peripherals[bt::Access::key(*peripheral)];
            }
            finishLink(peripheral);
            auto delegate = this->delegate();
            if (!delegate) return;
            if (event.kind == Kind::ConnectFailed)
                delegate->centralManagerDidFailToConnectPeripheral(self, peripheral, event.error);
            else
                delegate->centralManagerDidDisconnectPeripheral(self, peripheral, event.error);
            return;
        }
        default:
            if (peripheral->state() == CBPeripheralState::Connected)
                bt::Access::handleEvent(*peripheral, event);
            return;
    }
}

}  // namespace telvo

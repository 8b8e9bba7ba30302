#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/TestSupport.h"
#include "telvosdk/CBCentralManager.h"
#include "telvosdk/CBPeripheralManager.h"

namespace telvo::test {

inline std::string errorText(const ErrorPtr& e) {
    return e ? e->domain() + "/" + std::to_string(e->code()) : "nil";
}

// Every central and peripheral event as one line, in order, as the app sees them.
class CentralRecorder : public CBCentralManagerDelegate, public CBPeripheralDelegate {
  public:
    std::vector<std::string> events;
    std::vector<CBPeripheralPtr> found;
    std::vector<Dictionary> advertisements;
    std::map<std::string, std::vector<int>> rssi;   // by name, one entry per discovery
    std::vector<Bytes> notifications;               // every value received without an error
    bool discoveriesAsLines = false;                // "discovered <identifier> <rssi>"
    std::function<void(const std::string&)> after;  // runs after each line is recorded

    void add(std::string line) {
        events.push_back(std::move(line));
        if (after) after(events.back());
    }
    bool saw(const std::string& prefix) const {
        return std::any_of(events.begin(), events.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    }
    void centralManagerDidUpdateState(const CBCentralManagerPtr& c) override {
        add(std::string("state ") + CBManagerStateName(c->state()));
    }
    void centralManagerDidDiscoverPeripheral(const CBCentralManagerPtr&, const CBPeripheralPtr& p,
                                             const Dictionary& adv, int r) override {
        if (std::find(found.begin(), found.end(), p) == found.end()) found.push_back(p);
        advertisements.push_back(adv);
        rssi[p->name().value_or("?")].push_back(r);
        if (discoveriesAsLines)
            add("discovered " + p->identifier().UUIDString() + " " + std::to_string(r));
    }
    void centralManagerDidConnectPeripheral(const CBCentralManagerPtr&,
                                            const CBPeripheralPtr&) override {
        add("connected");
    }
    void centralManagerDidFailToConnectPeripheral(const CBCentralManagerPtr&,
                                                  const CBPeripheralPtr& p,
                                                  const ErrorPtr& e) override {
        add("failed " + errorText(e) + " state " + std::to_string(static_cast<int>(p->state())));
    }
    void centralManagerDidDisconnectPeripheral(const CBCentralManagerPtr&, const CBPeripheralPtr& p,
                                               const ErrorPtr& e) override {
        add("disconnected " + errorText(e) + " state " +
            std::to_string(static_cast<int>(p->state())));
    }
    void peripheralDidDiscoverServices(const CBPeripheralPtr& p, const ErrorPtr& e) override {
        std::string line = "services";
        for (const auto& s : p->services()) line += " " + s->UUID().UUIDString();
        add(line + " " + errorText(e));
    }
    void peripheralDidDiscoverCharacteristicsForService(const CBPeripheralPtr&,
                                                        const CBServicePtr& s,
                                                        const ErrorPtr& e) override {
        std::string line = "characteristics " + s->UUID().UUIDString();
        for (const auto& c : s->characteristics())
            line += " " + c->UUID().UUIDString() + ":" + std::to_string(c->properties());
        add(line + " " + errorText(e));
    }
    void peripheralDidDiscoverDescriptorsForCharacteristic(const CBPeripheralPtr&,
                                                           const CBCharacteristicPtr& c,
                                                           const ErrorPtr& e) override {
        std::string line = "descriptors " + c->UUID().UUIDString();
        for (const auto& d : c->descriptors()) line += " " + d->UUID().UUIDString();
        add(line + " " + errorText(e));
    }
    void peripheralDidUpdateValueForDescriptor(const CBPeripheralPtr&, const CBDescriptorPtr& d,
                                               const ErrorPtr& e) override {
        add("descriptor " + d->UUID().UUIDString() + " " + std::to_string(d->value().intValue()) +
            " " + errorText(e));
    }
    // "value <uuid> <error> <hex>"
    void peripheralDidUpdateValueForCharacteristic(const CBPeripheralPtr&,
                                                   const CBCharacteristicPtr& c,
                                                   const ErrorPtr& e) override {
        if (!e && c->value()) notifications.push_back(*c->value());
        add("value " + c->UUID().UUIDString() + " " + errorText(e) + " " +
            toHex(c->value().value_or(Bytes{})));
    }
    void peripheralDidWriteValueForCharacteristic(const CBPeripheralPtr&,
                                                  const CBCharacteristicPtr& c,
                                                  const ErrorPtr& e) override {
        add("written " + c->UUID().UUIDString() + " " + errorText(e));
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(const CBPeripheralPtr&,
                                                               const CBCharacteristicPtr& c,
                                                               const ErrorPtr& e) override {
        add("notifying " + c->UUID().UUIDString() + " " + std::to_string(c->isNotifying()) + " " +
            errorText(e));
    }
    void peripheralDidReadRSSI(const CBPeripheralPtr&, std::optional<int> r,
                               const ErrorPtr& e) override {
        add("rssi " + std::to_string(r.value_or(0)) + " " + errorText(e));
    }
};

// The phone's peripheral role as the app sees it, one line per event. Requests are kept; with
// `readValue` set, reads are answered with it, and with `writeResult` set, each batch of
// writes is answered with it (before `onWrite` runs).
class PeripheralRecorder : public CBPeripheralManagerDelegate {
  public:
    std::vector<std::string> events;
    std::vector<CBATTRequestPtr> requests;
    std::vector<Bytes> written;
    std::optional<Bytes> readValue;
    std::optional<CBATTError> writeResult;
    std::function<void()> onWrite;

    bool saw(const std::string& prefix) const {
        return std::any_of(events.begin(), events.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    }
    void peripheralManagerDidUpdateState(const CBPeripheralManagerPtr& m) override {
        events.push_back(std::string("state ") + CBManagerStateName(m->state()));
    }
    void peripheralManagerDidAddService(const CBPeripheralManagerPtr&, const CBServicePtr& s,
                                        const ErrorPtr& e) override {
        events.push_back("added " + s->UUID().UUIDString() + " " + errorText(e));
    }
    void peripheralManagerDidStartAdvertising(const CBPeripheralManagerPtr&,
                                              const ErrorPtr& e) override {
        events.push_back("advertising " + errorText(e));
    }
    void peripheralManagerDidReceiveReadRequest(const CBPeripheralManagerPtr& m,
                                                const CBATTRequestPtr& r) override {
        events.push_back("read " + r->characteristic->UUID().UUIDString());
        requests.push_back(r);
        if (!readValue) return;
        r->value = *readValue;
        m->respondToRequest(r, CBATTError::Success);
    }
    void peripheralManagerDidReceiveWriteRequests(const CBPeripheralManagerPtr& m,
                                                  const std::vector<CBATTRequestPtr>& rs) override {
        for (const auto& r : rs) {
            const Bytes value = r->value.value_or(Bytes{});
            events.push_back("write " + r->characteristic->UUID().UUIDString() + " " +
                             toHex(value));
            requests.push_back(r);
            written.push_back(value);
        }
        if (writeResult && !rs.empty()) m->respondToRequest(rs.front(), *writeResult);
        if (onWrite) onWrite();
    }
    void peripheralManagerCentralDidSubscribeToCharacteristic(
        const CBPeripheralManagerPtr&, const std::shared_ptr<CBCentral>&,
        const CBCharacteristicPtr& c) override {
        events.push_back("subscribed " + c->UUID().UUIDString());
    }
    void peripheralManagerCentralDidUnsubscribeFromCharacteristic(
        const CBPeripheralManagerPtr&, const std::shared_ptr<CBCentral>&,
        const CBCharacteristicPtr& c) override {
        events.push_back("unsubscribed " + c->UUID().UUIDString());
    }
};

}  // namespace telvo::test

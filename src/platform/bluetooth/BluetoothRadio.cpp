#include "platform/bluetooth/BluetoothRadio.h"

#include <atomic>
#include <mutex>

#include "platform/bluetooth/BlueZRadio.h"

namespace telvo {

namespace {

// No Bluetooth hardware: every client hears "unsupported" and nothing else.
class NoHardwareRadio : public BluetoothRadio {
  public:
    ClientId attach(EventSink sink) override {
        RadioEvent event;
        event.state = CBManagerState::Unsupported;
        sink(event);
        return ++next_;
    }
    void detach(ClientId) override {}
    CBManagerState state() override { return CBManagerState::Unsupported; }
    void startScan(ClientId, const std::optional<std::vector<CBUUID>>&, bool) override {}
    void stopScan(ClientId) override {}
    std::optional<std::optional<std::string>> knownPeripheral(const std::string&) override {
        return std::nullopt;
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> connectedPeripherals(
        const std::vector<CBUUID>&) override {
        return {};
    }
    void connect(ClientId, const std::string&) override {}
    void cancelConnection(ClientId, const std::string&) override {}
    void discoverServices(ClientId, const std::string&,
                          const std::optional<std::vector<CBUUID>>&) override {}
    void discoverIncludedServices(ClientId, const std::string&, uint16_t,
                                  const std::optional<std::vector<CBUUID>>&) override {}
    void discoverCharacteristics(ClientId, const std::string&, uint16_t,
                                 const std::optional<std::vector<CBUUID>>&) override {}
    void discoverDescriptors(ClientId, const std::string&, uint16_t) override {}
    void read(ClientId, const std::string&, uint16_t) override {}
    void write(ClientId, const std::string&, uint16_t, const Bytes&, bool) override {}
    void setNotify(ClientId, const std::string&, uint16_t, bool) override {}
    void readRSSI(ClientId, const std::string&) override {}
    size_t maximumWriteLength(ClientId, const std::string&, bool) override { return 20; }
    void addService(ClientId, const RadioLocalService&) override {}
    void removeService(ClientId, uint16_t) override {}
    void startAdvertising(ClientId, const Dictionary&) override {}
    void stopAdvertising(ClientId) override {}
    void respond(ClientId, uint64_t, CBATTError, const Bytes&) override {}
    bool updateValue(ClientId, uint16_t, const Bytes&, const std::vector<std::string>&) override {
        return false;
    }

  private:
    std::atomic<ClientId> next_ = 0;
};

std::mutex gRadioMutex;
std::shared_ptr<BluetoothRadio> gRadio;

}  // namespace

std::shared_ptr<BluetoothRadio> BluetoothRadio::shared() {
    std::lock_guard lock(gRadioMutex);
    if (gRadio) return gRadio;
    gRadio = BlueZRadio::open();
    if (!gRadio) gRadio = std::make_shared<NoHardwareRadio>();
    return gRadio;
}

void BluetoothRadio::setShared(std::shared_ptr<BluetoothRadio> radio) {
    std::lock_guard lock(gRadioMutex);
    gRadio = std::move(radio);
}

}  // namespace telvo

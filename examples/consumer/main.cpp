// A small app: it sees the library through its public headers alone.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <type_traits>

#include "telvosdk/CBPeripheralManager.h"
#include "telvosdk/TelvoSDK.h"
#include "telvosdk/Value.h"

// The library's test hooks and its flow objects stay inside it: an app reaches none of them.
template <class T>
concept ResettableByApp = requires {
    T::resetForTesting();
};
template <class M>
concept ApSessionVisible = requires(M& m) {
    m.apConnect();
};
template <class M>
concept ApSessionSettable = requires(M& m) {
    m.setApConnect(nullptr);
};
template <class M>
concept SmartConnectVisible = requires(M& m) {
    m.smartConnect();
};
template <class D>
concept DecryptionReplaceable = requires {
    D::setSensitiveDataDecryptor(nullptr);
};
static_assert(!ResettableByApp<telvo::NetworkConfiguration> &&
              !ResettableByApp<telvo::QKBleConnectManager> &&
              !ResettableByApp<telvo::QKDeviceConfigManager> &&
              !ResettableByApp<telvo::QKDeviceManager> &&
              !ResettableByApp<telvo::QKMiddleInterface> && !ResettableByApp<telvo::QKUserDefault>);
static_assert(!ApSessionVisible<telvo::QKDeviceManager> &&
              !ApSessionSettable<telvo::QKDeviceManager> &&
              !SmartConnectVisible<telvo::QKDeviceManager>);
static_assert(!DecryptionReplaceable<telvo::QKDevice>);

// Nor does an app replace a platform source or move the library's fixed ports.
template <class N>
concept InterfacesReplaceable = requires {
    N::setInterfacesSource(nullptr);
};
template <class N>
concept PortsMovable = requires {
    N::clearPortOverrides();
};
static_assert(!InterfacesReplaceable<telvo::NetworkConfiguration> &&
              !PortsMovable<telvo::NetworkConfiguration>);

// A class of the app's own under a name the library once befriended reaches no private member.
namespace telvo {
struct DictionaryAccess {
    template <class D>
    static constexpr bool reachesEntries = requires(D& d) {
        d.entries_;
    };
};
struct QKDeviceManagerAccess {
    template <class M>
    static constexpr bool reachesSession = requires(M& m) {
        m.apConnect_;
    };
};
}  // namespace telvo
static_assert(!telvo::DictionaryAccess::reachesEntries<telvo::Dictionary> &&
              !telvo::QKDeviceManagerAccess::reachesSession<telvo::QKDeviceManager>);
// The Bluetooth managers run on the host's radio and the main queue: an app hands them neither.
template <class M, class D>
concept RadioReplaceable = requires(std::shared_ptr<D> delegate) {
    M::create(delegate, nullptr, telvo::Dictionary{}, nullptr);
};
static_assert(!RadioReplaceable<telvo::CBCentralManager, telvo::CBCentralManagerDelegate> &&
              !RadioReplaceable<telvo::CBPeripheralManager, telvo::CBPeripheralManagerDelegate> &&
              !ResettableByApp<telvo::QKBLEDeviceManager>);
// The one Wi-Fi configuration facade comes from sharedManager alone.
static_assert(!std::is_default_constructible_v<telvo::QKDeviceManager>);

int main() {
    using namespace telvo;
    TelvoSDKInitialize();
    // The Wi-Fi configuration facade, called while no main loop runs: without an access-point
    // session the Wi-Fi list answers at once with 4007; nothing goes to the network.
    int64_t wifiListCode = -1;
    QKDeviceManager::sharedManager()->getWifiList(
        [&](const ErrorPtr& e, const std::optional<Value::Array>& list) {
            wifiListCode = list ? -2 : TelvoError::codeForSDKError(e);
        });
    // The library runs the main loop on a thread of its own while the app uses it.
    TelvoSDKStartMainLoopThread();
    auto dic = Value::fromJSON(R"({"deviceSn":"sn-1","ip":"127.0.0.2"})");
    auto device = dic ? QKDevice::deviceWithDic(*dic) : nullptr;
    auto error = TelvoError::configNetErrorWithCode(4000);
    bool ok = std::strlen(TelvoSDKVersion()) > 0 && device && device->deviceSn == "sn-1" &&
              device->deviceIP == "127.0.0.2" && error && error->domain() == TelvoError::kDomain &&
              wifiListCode == 4007;
    TelvoSDKStopMainLoopThread();
    std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

// A small app: it sees the library through its public headers alone.
//
//   telvo_consumer            checks what an app may and may not reach, and a call or two
//   telvo_consumer FILE       then, in the home FILE describes (tests/sim's
//                             telvo_fake_bluez_home writes it: the system bus with a BlueZ on
//                             it, the cloud, the app's credentials), scans for the appliance and
//                             configures it with the second-generation BLE flow, printing the
//                             steps and the device record
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "../HomeFile.h"
#include "ConsumerChecks.h"
#include "telvosdk/CBPeripheralManager.h"
#include "telvosdk/QKBluetooth.h"
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
              !ResettableByApp<telvo::QKBLEDeviceManager> && !ResettableByApp<telvo::QKBluetooth>);
// The one Wi-Fi configuration facade comes from sharedManager alone, and the name the library
// looks it up by stays inside.
template <class M>
concept RegistryNameVisible = requires {
    M::kClassName;
};
static_assert(!std::is_default_constructible_v<telvo::QKDeviceManager> &&
              !RegistryNameVisible<telvo::QKDeviceManager>);

// The Bluetooth wrapper hands out none of its insides: the channel table, the central role,
// the power-on counters and retries, the BLE flow sessions, the locked dictionaries and the
// sessions' bookkeeping on a peripheral stay in the library.
template <class W>
concept ChannelTableVisible = requires(W& w) {
    w.speaker();
};
template <class W>
concept CentralRoleVisible = requires(W& w) {
    w.bluetoothCentralManager();
};
template <class W>
concept PeripheralRoleHeld = requires(W& w) {
    w.bluetoothPeripheralManager();
};
template <class W>
concept PowerWaitsVisible = requires(W& w) {
    w.centralManagerInitWaitTimes();
};
template <class W>
concept FailureInjectable = requires(W& w) {
    w.failWithoutPower(nullptr);
};
template <class R>
concept MadeByApp = requires {
    R::create(nullptr);
};
template <class R>
concept RetriesVisible = requires(R& r) {
    r.addServiceTask();
    r.advertisingRetry();
};
template <class R>
concept RoleCountersVisible = requires(R& r) {
    r.peripheralManagerInitWaitTimes();
    r.didAddServices();
};
template <class D>
concept FlowSessionsVisible = requires(D& d) {
    d.oneBle();
    d.ble();
    d.bleRetry();
    d.comboBle();
    d.wiredBle();
    d.specialModedBle();
};
template <class M>
concept ChannelDictionariesVisible = requires(M& m) {
    m.curConnectedMacDict();
    m.curDisconnectedCallBackDict();
};
template <class E>
concept SessionBookkeepingVisible = requires(E& e) {
    e.writeWithResponseDict;
    e.boundSession;
};
static_assert(!ChannelTableVisible<telvo::QKBluetooth> && !CentralRoleVisible<telvo::QKBluetooth> &&
              !PeripheralRoleHeld<telvo::QKBluetooth> && !PowerWaitsVisible<telvo::QKBluetooth> &&
              !FailureInjectable<telvo::QKBluetooth> &&
              !std::is_default_constructible_v<telvo::QKBluetooth>);
static_assert(!ChannelTableVisible<telvo::QKBluetoothPeripheralManager> &&
              !MadeByApp<telvo::QKBluetoothPeripheralManager> &&
              !RetriesVisible<telvo::QKBluetoothPeripheralManager> &&
              !RoleCountersVisible<telvo::QKBluetoothPeripheralManager> &&
              !std::is_default_constructible_v<telvo::QKBluetoothPeripheralManager>);
static_assert(!FlowSessionsVisible<telvo::QKBleConnectManager> &&
              !std::is_default_constructible_v<telvo::QKBleConnectManager>);
static_assert(!ChannelDictionariesVisible<telvo::QKBLEDeviceManager> &&
              !SessionBookkeepingVisible<telvo::CBPeripheralQKExtensions>);

namespace {

using namespace telvo;

// The whole BLE path as an app takes it: settings, a scan, the configuration, the record.
bool configureOverBle(const char* homeFile) {
    auto home = telvo_example::readHome(homeFile);
    if (!home) {
        std::printf("consumer: no home in %s\n", homeFile);
        return false;
    }
    telvo_example::applyMakerSettings(*home);
    const std::string wanted = (*home)["name"].text();

    // The scan: every call on the main queue, which the library's loop thread runs.
    CBPeripheralPtr found = telvo_example::scanFor(wanted, 30);
    if (!found) {
        std::printf("consumer: no appliance named %s was heard\n", wanted.c_str());
        return false;
    }
    {
        auto seen = qkExtensions(found);
        std::printf("consumer: found %s (%s), MAC %s, RSSI %d\n", wanted.c_str(),
                    found->identifier().UUIDString().c_str(), seen->mas_mac.value_or("?").c_str(),
                    seen->qkAdvertisementRSSI.value_or(0));
    }
    // The Bluetooth wrapper shares the radio the scan used, on the main queue too.
    auto powered = std::make_shared<std::atomic<bool>>(false);
    if (!telvo_example::performAndWait([powered] {
            *powered = QKBluetooth::shareQKBluetooth()->centralManager()->state() ==
                       CBManagerState::PoweredOn;
        }) ||
        !*powered) {
        std::printf("consumer: the Bluetooth wrapper's central role is not powered on\n");
        return false;
    }

    // Configuration type 3: the flow of the appliance's own generation.
    const int64_t bleType = telvo_example::bleTypeFor(found, 3);
    std::printf("consumer: bleType %lld for configuration type 3\n", (long long)bleType);
    if (bleType != 1) return false;
    auto params = telvo_example::routerParams(*home, found);
    params->bleType = bleType;
    params->bleSecondConfigType = 1;
    // The completion may come after the wait gave up: it reaches only what it shares.
    struct Outcome {
        telvo_example::Waiter waiter;
        int completions = 0;
        int64_t code = -1;
        std::shared_ptr<QKDevice> device;
    };
    auto outcome = std::make_shared<Outcome>();
    TelvoSDKPerformOnMainQueue([params, outcome] {
        QKDeviceConfigManager::shareInstance()->startBleConfig(
            params, [](int64_t step) { std::printf("consumer: step %lld\n", (long long)step); },
            [outcome](const ErrorPtr& error, const std::shared_ptr<QKDevice>& made) {
                std::lock_guard lock(outcome->waiter.mutex);
                if (outcome->completions++ == 0) {
                    outcome->code = TelvoError::codeForSDKError(error);
                    outcome->device = made;
                }
                outcome->waiter.changed.notify_all();
            });
    });
    const bool ended = outcome->waiter.waitFor(120, [&] { return outcome->completions > 0; });
    TelvoSDKPerformOnMainQueue(
        [params] { QKDeviceConfigManager::shareInstance()->stopBleConfig(params); });
    if (!ended) {
        std::printf("consumer: the BLE configuration did not end\n");
        return false;
    }
    std::lock_guard lock(outcome->waiter.mutex);
    const int64_t code = outcome->code;
    const std::shared_ptr<QKDevice> device = outcome->device;
    std::printf("consumer: BLE configuration ended with code %lld\n", (long long)code);
    if (code != 0 || !device) return false;
    std::printf("consumer: device record: deviceSn = %s, deviceType = %s, btMac = %s\n",
                device->deviceSn.c_str(), device->deviceType.c_str(), device->btMac.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
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
    // The app's moves to the background and back, told as they happen (here at once).
    TelvoSDKApplicationDidEnterBackground();
    TelvoSDKApplicationWillEnterForeground();
    auto dic = Value::fromJSON(R"({"deviceSn":"sn-1","ip":"127.0.0.2"})");
    auto device = dic ? QKDevice::deviceWithDic(*dic) : nullptr;
    auto error = TelvoError::configNetErrorWithCode(4000);
    // The classes an app may use on bytes of its own: an access point's Wi-Fi list, a LAN frame
    // it received itself (of a kind the parser does not read: nothing), and elliptic-curve keys.
    auto networks = QKDataTransform::getWifiListWithByteArray(Bytes{1, 4, 2, 'h', 'o', 'm', 'e'});
    TelvoOpenProtocol frame(Bytes{0x5A, 0x5A}, 2);
    auto keys = QKEllipticCurveCrypto::generateKeyPairForCurve(256);
    auto signature = keys ? keys->hashSHA256AndSignData(Bytes{1, 2, 3}) : std::nullopt;
    // The Bluetooth wrapper's builders of local services, for its peripheral role.
    auto service = makeCBService(genUUID());
    makeCharacteristicToService(service, "FF91", "rn", "status");
    makeStaticCharacteristicToService(service, "FF92", std::nullopt, Bytes{1});
    bool ok = std::strlen(TelvoSDKVersion()) > 0 && device && device->deviceSn == "sn-1" &&
              device->deviceIP == "127.0.0.2" && error && error->domain() == TelvoError::kDomain &&
              wifiListCode == 4007 && networks && networks->size() == 1 &&
              (*networks)[0]["ssid"].text() == "home" && !frame.model() && signature &&
              keys->hashSHA256AndVerifySignature(*signature, Bytes{1, 2, 3}) &&
              service->UUID().UUIDString().size() == 36 && service->characteristics().size() == 2;
    for (const auto& check : ConsumerCheck::all()) {
        if (!ok) break;
        ok = check.run(argc > 1 ? argv[1] : nullptr);
        if (!ok) std::printf("consumer: %s FAILED\n", check.name.c_str());
    }
    if (ok && argc > 1) ok = configureOverBle(argv[1]);
    TelvoSDKStopMainLoopThread();
    std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

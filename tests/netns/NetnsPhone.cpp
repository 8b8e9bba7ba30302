// The phone side of the run between two network namespaces, in namespace A: an app of the
// library that runs it in threaded mode and starts one configuration through the public Wi-Fi
// configuration facade, setting no network fact itself. The library reads them as on any Linux
// host: the Wi-Fi network and its interface (its end of the veth pair) from NetworkManager, here
// python3-dbusmock's model on the namespace's own private bus, which the program starts; the
// rest from the kernel. When the appliance has taken the credentials, the model moves the phone
// from the appliance's hotspot back to the home network, as NetworkManager would announce it.
//
//   telvo_netns_phone --scenario ap|smart|fault --interface IFACE --state FILE
//
// It prints every step and the result with the real time, checks that the flow ended exactly
// once with the scenario's code, stops the library's loop thread and checks that no descriptor
// and no thread of the run is left. Exit status 0 when all holds.
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NetnsRun.h"
#include "apconfig/QKDeviceManager.h"
#include "discovery/QKBroadcastManager.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchRuntime.h"
#include "platform/net/NetworkGuard.h"
#include "sim/NetworkManagerMock.h"
#include "sim/TestSupport.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::netns {
namespace {

constexpr const char* kWho = "phone";

// The TCP and UDP sockets this process holds open ("fd N -> proto"), from the kernel's tables
// of the process's own network namespace.
std::vector<std::string> openInetSockets() {
    std::map<std::string, std::string> inodes;
    for (const char* proto : {"tcp", "tcp6", "udp", "udp6"}) {
        std::istringstream table(test::readFile(std::string("/proc/self/net/") + proto));
        std::string line;
        std::getline(table, line);
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string field, inode;
            for (int i = 0; i < 10 && fields >> field; ++i) inode = field;
            inodes[inode] = proto;
        }
    }
    std::vector<std::string> out;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string target = std::filesystem::read_symlink(it->path(), error).string();
        if (target.rfind("socket:[", 0) != 0) continue;
        const auto found = inodes.find(target.substr(8, target.size() - 9));
        if (found != inodes.end())
            out.push_back("fd " + it->path().filename().string() + " " + found->second);
    }
    return out;
}

// The ids of this process's threads (their entries in /proc/self/task).
std::set<std::string> threadIds() {
    std::set<std::string> out;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         it != std::filesystem::directory_iterator(); it.increment(error))
        out.insert(it->path().filename().string());
    return out;
}

// The names of this process's threads that were not among `before`, whatever their names (an
// unnamed thread carries the program's).
std::vector<std::string> threadNamesSince(const std::set<std::string>& before) {
    std::vector<std::string> out;
    for (const std::string& id : threadIds()) {
        if (before.count(id)) continue;
        std::string name = test::readFile("/proc/self/task/" + id + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        out.push_back(name.empty() ? "(thread " + id + ")" : name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// What reached the app, written on the main loop's thread and read on this one.
struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    int completions = 0;
    int64_t code = -1;
    std::shared_ptr<QKDevice> device;
    double at = 0;
};

int run(const Options& options) {
    // The threads that run before anything starts (this program's own, a sanitizer's helper):
    // any other thread still alive at the end was left behind by the run. A sanitizer may start
    // its helper only at the program's first thread creation (gcc's ThreadSanitizer does): one
    // throw-away thread first brings it up before the snapshot.
    std::thread([] {}).join();
    const std::set<std::string> threadsBefore = threadIds();
    const bool smart = options.scenario == "smart";
    // This program reaches only loopback and the namespaces' subnet; the limited broadcast of
    // smart connect's length sequence stays on the phone (counted, never sent).
    NetworkGuard::setEnforcing(true);
    if (!NetworkGuard::admitSubnet(kSubnet)) throw std::runtime_error("subnet not admitted");
    std::atomic<size_t> limitedBroadcasts{0};
    NetworkGuard::setDatagramSink([&](const sockaddr* to, socklen_t, const uint8_t*, size_t) {
        if (to->sa_family != AF_INET ||
            reinterpret_cast<const sockaddr_in*>(to)->sin_addr.s_addr != INADDR_BROADCAST)
            return false;
        ++limitedBroadcasts;
        return true;
    });

    const State state = readState(options.state);
    if (!state.count("cloud")) throw std::runtime_error("no appliance state in " + options.state);

    // NetworkManager on the namespace's own system bus, before anything reads the environment.
    test::PrivateBus bus;
    if (!bus.ok()) throw std::runtime_error(bus.error());
    test::NetworkManagerMock nm(bus);
    nm.joinWifi(smart ? Home::kHome : Home::kHotspot, smart ? 0x100 : 0, options.interface,
                Home::kBssid);
    if (!nm.ok()) throw std::runtime_error(nm.error());
    bus.becomeSystemBus();

    TelvoSDKInitialize();
    configureSharedKeys();
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setServerHost(state.at("cloud"));
    config->setTlsRootCer(test::hex(state.at("rootCer")));
    config->setTlsTwoCer(test::hex(state.at("twoCer")));
    config->setTlsAppCer(test::hex(state.at("appCer")));
    config->setTlsPrivateKey(test::hex(state.at("appPrivateKey")));

    TelvoSDKStartMainLoopThread();
    // The library reads the host's network in the background from TelvoSDKInitialize on; the
    // phone starts once NetworkManager's facts have arrived, as an app would wait for them.
    const auto factsArrived = [&] {
        return NetworkConfiguration::realInterfaceName("en0") == options.interface &&
               NetworkConfiguration::currentWifiInfo().has_value();
    };
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !factsArrived() && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto wifi = NetworkConfiguration::currentWifiInfo();
    say(kWho, "scenario %s: en0 = %s (broadcast %s), Wi-Fi %s, cloud %s", options.scenario.c_str(),
        NetworkConfiguration::realInterfaceName("en0").c_str(),
        NetworkConfiguration::broadcastAddress("en0").value_or("none").c_str(),
        wifi && wifi->ssid ? wifi->ssid->c_str() : "none", state.at("cloud").c_str());
    if (NetworkConfiguration::realInterfaceName("en0") != options.interface)
        throw std::runtime_error("en0 is not " + options.interface);
    Outcome outcome;
    const double t0 = elapsed();
    // The facade is called on the main thread, here the library's loop thread.
    DispatchQueue::main()->async([&] {
        QKDeviceManager::StepBlock step = [smart, &nm](int64_t n) {
            say(kWho, "step %lld", static_cast<long long>(n));
            // The appliance took the credentials and left its hotspot: the phone is back home.
            if (!smart && n == 4) {
                nm.moveTo(Home::kHome, 0x100, Home::kBssid);
                say(kWho, "NetworkManager: back on %s%s", Home::kHome,
                    nm.ok() ? "" : (" failed: " + nm.error()).c_str());
            }
        };
        QKDeviceManager::DeviceCompletion completion = [&](ErrorPtr error,
                                                           std::shared_ptr<QKDevice> device) {
            std::lock_guard lock(outcome.mutex);
            ++outcome.completions;
            outcome.code = TelvoError::codeForSDKError(error);
            outcome.device = std::move(device);
            outcome.at = elapsed() - t0;
            say(kWho, "completion %d: code %lld (%s), domain %s", outcome.completions,
                static_cast<long long>(outcome.code),
                error ? error->localizedDescription().c_str() : "",
                error ? error->domain().c_str() : "");
            outcome.changed.notify_all();
        };
        QKDeviceManager::sharedManager()->startConfigureDeviceWithParams(
            smart ? Home::smartParams() : Home::apParams(), smart ? 2 : 1, step, completion);
    });

    bool ended;
    {
        std::unique_lock lock(outcome.mutex);
        ended = outcome.changed.wait_for(lock, std::chrono::seconds(60),
                                         [&] { return outcome.completions > 0; });
    }
    // A second completion would come from a timer or a late answer of the same run.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    // The app leaves: the flows stop, the loop thread ends, discovery lets its sockets go.
    DispatchQueue::main()->sync([] {
        auto manager = QKDeviceManager::sharedManager();
        manager->stopBindDeviceWithCompletion([](const ErrorPtr&) {});
        manager->stopSendQKCPacket();
        resetForTesting<QKDeviceManager>();
        QKBroadcastManager::resetForTesting();
    });
    TelvoSDKStopMainLoopThread();
    NetworkGuard::setDatagramSink({});
    // What the library does at process exit: joins its reactor and worker threads. Only the URL
    // loader stays (it serves the process until it ends) beside this program's own thread.
    DispatchRuntime::get().shutdown();
    const auto sockets = openInetSockets();
    const auto threads = threadNamesSince(threadsBefore);
    std::lock_guard lock(outcome.mutex);
    const int64_t expected = options.scenario == "fault" ? 6002 : 0;
    bool ok = ended && outcome.completions == 1 && outcome.code == expected;
    say(kWho, "result: %d completion(s), code %lld (expected %lld) after %.3f s",
        outcome.completions, static_cast<long long>(outcome.code), static_cast<long long>(expected),
        outcome.at);
    if (outcome.device) {
        const QKDevice& d = *outcome.device;
        say(kWho, "device: id %s sn %s type %s subType %s ssid %s udpVersion %s randomCode %s",
            d.deviceId.c_str(), d.deviceSn.c_str(), d.deviceType.c_str(), d.deviceSubType.c_str(),
            d.deviceSsid.c_str(), d.udpVersion.c_str(), d.randomCode.c_str());
    }
    if (expected == 0 && !outcome.device) ok = false;
    if (smart) say(kWho, "limited broadcasts kept on the phone: %zu", limitedBroadcasts.load());
    std::string names;
    for (const auto& name : threads) names += " " + name;
    say(kWho, "left: %zu TCP/UDP socket(s); new threads:%s", sockets.size(), names.c_str());
    for (const auto& socket : sockets) say(kWho, "socket left open: %s", socket.c_str());
    const std::vector<std::string> allowed[] = {{}, {"telvo-url"}};
    if (!sockets.empty() || (threads != allowed[0] && threads != allowed[1])) ok = false;
    say(kWho, "%s", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace telvo::netns

int main(int argc, char** argv) {
    try {
        return telvo::netns::run(telvo::netns::parse(argc, argv, "telvo_netns_phone"));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "telvo_netns_phone: %s\n", e.what());
        return 2;
    }
}

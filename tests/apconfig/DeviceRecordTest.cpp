// The device record of the access point, smart connect and a LAN scan, checked field by field
// against the README's table of device records, for appliances with a plain (version 02) and an
// encrypted (version 04) discovery reply.
#include <array>
#include <memory>
#include <optional>

#include "apconfig/QKDeviceManager.h"
#include "discovery/QKBroadcastManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/CloudRoute.h"
#include "sim/DeviceRecordShape.h"
#include "sim/SimWifiHome.h"
#include "sim/TestPrelude.h"
#include "telvosdk/TelvoError.h"

namespace telvo::test {
namespace {

using Home = sim::SimWifiHome;
using Manager = QKDeviceManager;

class DeviceRecord : public ::testing::Test {
  protected:
    void TearDown() override { forget(); }
    // The facade and discovery afresh for the next run.
    static void forget() {
        resetForTesting<Manager>();
        QKBroadcastManager::resetForTesting();
        MainLoop::drain();
    }
    // The first result of a configuration of `type` (1 access point, 2 smart connect).
    static std::shared_ptr<QKDevice> configure(const QKDeviceApConfigParams& params, int64_t type) {
        std::optional<int64_t> code;
        std::shared_ptr<QKDevice> device;
        Manager::sharedManager()->startConfigureDeviceWithParams(
            params, type, nullptr, [&](ErrorPtr error, std::shared_ptr<QKDevice> found) {
                if (code) return;
                code = TelvoError::codeForSDKError(error);
                device = std::move(found);
            });
        EXPECT_TRUE(MainLoop::runUntil([&] { return code.has_value(); }, 300));
        EXPECT_EQ(code, 0);
        Manager::sharedManager()->stopSendQKCPacket();
        Manager::sharedManager()->stopBindDeviceWithCompletion(nullptr);
        return device;
    }

    DeterministicDispatch virtualTime;
};

// The fields every flow fills from the discovery reply; the serial number has the length the
// appliance gives it.
RecordShape discovered(size_t serialLength) {
    return {{"deviceId", "digits"},
            {"deviceSn", "serial" + std::to_string(serialLength)},
            {"deviceType", "0xac"},
            {"deviceSsid", "filled"},
            {"deviceSubType", "filled"}};
}

TEST_F(DeviceRecord, AccessPointAndLanScanAsTheirColumnsSay) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    // A plain reply carries 32 characters, an encrypted one the serial the appliance sealed.
    const std::pair<std::array<uint8_t, 4>, size_t> versions[] = {{{0x02, 0, 0, 0}, 32},
                                                                  {{0x04, 0, 0, 0}, 18}};
    for (const auto& [version, serialLength] : versions) {
        SCOPED_TRACE(int(version[0]));
        Home::Identity id;
        id.udpVersion = version;
        {
            Home home;
            home.announce(id);
            home.homeNetwork(3, 8, 2);
            auto device = configure(Home::apParams(), 1);
            ASSERT_TRUE(device);
            RecordShape shape = discovered(serialLength);
            shape.insert({{"udpVersion", "hex8"},
                          {"moduleVersion", "hex12"},
                          {"randomCode", "hex32"},
                          {"productInfoData", "any"},
                          {"isSupportAuthtrue", "any"}});
            EXPECT_EQ(recordMismatches(*device, shape), std::vector<std::string>{})
                << "access point";
            forget();
        }
        {
            Home home;
            Home::joinWifi(std::string(Home::kHome));
            home.announce(id);
            std::shared_ptr<QKDevice> device;
            Manager::sharedManager()->startScanLanDevice(
                5, [&](ErrorPtr, std::optional<std::vector<std::shared_ptr<QKDevice>>> found) {
                    if (!device && found && !found->empty()) device = found->front();
                });
            MainLoop::runFor(6);
            Manager::sharedManager()->stopBroadCast();
            ASSERT_TRUE(device);
            RecordShape shape = discovered(serialLength);
            // Only an encrypted reply carries the tid.
            shape.insert({{"isWanOnline", "0/1"},
                          {"udpVersion", "hex8"},
                          {"deviceIP", "a.b.c.d"},
                          {"deviceTid", version[0] == 0x04 ? "filled" : "-"}});
            EXPECT_EQ(recordMismatches(*device, shape), std::vector<std::string>{}) << "LAN scan";
            forget();
        }
    }
}

TEST_F(DeviceRecord, SmartConnectAsItsColumnSays) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    Home home;
    home.prepareSmartConnect();
    home.listenForSmartConnect({0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL);
    auto device = configure(Home::smartParams(), 2);
    ASSERT_TRUE(device);
    RecordShape shape = discovered(32);
    shape.insert({{"btMac", "aabbccddeeff"}});
    EXPECT_EQ(recordMismatches(*device, shape), std::vector<std::string>{});
}

}  // namespace
}  // namespace telvo::test

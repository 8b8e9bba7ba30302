#include <gtest/gtest.h>

#include "platform/bluetooth/BluetoothManagers.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/BluetoothRecorders.h"
#include "sim/SimRadio.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

TEST(BluetoothPeripheralManager, PublishesAdvertisesAndAnswersCentrals) {
    DeterministicDispatch mode;
    auto radio = sim::SimRadio::create(CBManagerState::PoweredOff);
    auto recorder = std::make_shared<test::PeripheralRecorder>();
    auto manager = createPeripheralManager(recorder, nullptr, {}, radio);

    using namespace CBCharacteristicProperty;
    auto service = CBMutableService::create(CBUUID::UUIDWithString("FFE0"), true);
    auto rw = CBMutableCharacteristic::create(
        CBUUID::UUIDWithString("FFE1"), Read | Write, std::nullopt,
        CBAttributePermission::Readable | CBAttributePermission::Writeable);
    rw->setDescriptors({CBMutableDescriptor::create(
        CBUUID::UUIDWithString(CBUUIDCharacteristicUserDescriptionString), "settings")});
    auto notify = CBMutableCharacteristic::create(CBUUID::UUIDWithString("FFE2"), Notify,
                                                  std::nullopt, CBAttributePermission::Readable);
    service->setCharacteristics({rw, notify});
    EXPECT_EQ(rw->service(), service);
    EXPECT_EQ(rw->descriptors().at(0)->characteristic(), rw);

    MainLoop::runFor(0.01);
    manager->addService(service);  // powered off: refused
    manager->startAdvertising({{CBAdvertisementDataLocalNameKey, "phone"}});
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->events, std::vector<std::string>{"state PoweredOff"});
    EXPECT_TRUE(radio->localServices().empty());

    radio->setState(CBManagerState::PoweredOn);
    MainLoop::runFor(0.01);  // the manager's state changes with the event
    manager->addService(service);
    Dictionary advertisement{{CBAdvertisementDataLocalNameKey, "phone"},
                             {CBAdvertisementDataServiceUUIDsKey, Value::Array{"FFE0"}},
                             {CBAdvertisementDataManufacturerDataKey, Bytes{1, 2}}};
    manager->startAdvertising(advertisement);
    manager->startAdvertising(advertisement);
    EXPECT_FALSE(manager->isAdvertising());  // not before the event
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->events,
              (std::vector<std::string>{"state PoweredOff", "state PoweredOn", "added FFE0 nil",
                                        "advertising nil", "advertising CBErrorDomain/9"}));
    EXPECT_TRUE(manager->isAdvertising());
    EXPECT_EQ(radio->localAdvertisement(), advertisement);
    EXPECT_EQ(radio->localServices(), std::vector{CBUUID::UUIDWithString("FFE0")});

    recorder->events.clear();
    recorder->onWrite = [&] {
        manager->respondToRequest(recorder->requests.back(), CBATTError::Success);
    };
    radio->centralWrite(CBUUID::UUIDWithString("FFE1"), {0xAB});
    radio->centralRead(CBUUID::UUIDWithString("FFE1"));
    radio->centralSubscribe(CBUUID::UUIDWithString("FFE2"), true);
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->events,
              (std::vector<std::string>{"write FFE1 ab", "read FFE1", "subscribed FFE2"}));
    EXPECT_EQ(recorder->requests.at(0)->characteristic, rw);
    EXPECT_EQ(radio->log("respond").size(), 1u);
    EXPECT_EQ(notify->subscribedCentrals().size(), 1u);
    EXPECT_TRUE(manager->updateValue({7}, notify));
    EXPECT_EQ(radio->log("update-value").at(0).data, Bytes{7});
    radio->centralSubscribe(CBUUID::UUIDWithString("FFE2"), false);
    MainLoop::runFor(1);
    EXPECT_TRUE(notify->subscribedCentrals().empty());

    manager->stopAdvertising();
    EXPECT_FALSE(manager->isAdvertising());
    EXPECT_TRUE(radio->localAdvertisement().empty());
    manager->removeAllServices();
    EXPECT_TRUE(radio->localServices().empty());

    // Released inside its own event: nothing more arrives, the radio forgets it.
    manager->addService(service);
    recorder->events.clear();
    recorder->onWrite = [&] { manager.reset(); };
    radio->centralWrite(CBUUID::UUIDWithString("FFE1"), {1});
    radio->centralWrite(CBUUID::UUIDWithString("FFE1"), {2});
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"added FFE0 nil", "write FFE1 01"}));
    EXPECT_TRUE(radio->localServices().empty());
}

}  // namespace
}  // namespace telvo

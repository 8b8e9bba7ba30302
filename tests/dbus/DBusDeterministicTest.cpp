#include <gtest/gtest.h>

#include "dbus/DBusTestService.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/BusMock.h"
#include "sim/PrivateBus.h"

namespace telvo {
namespace {

using test::DBusTestService;
using V = DBusValue;

// Deterministic mode: the bus, the library's connections and an in-process service, with a
// virtual timer armed one millisecond ahead. Whatever is on its way over the bus must arrive
// before that timer fires, with the virtual clock still at its start.
class DBusDeterministicTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok()) << bus_.error();
        client_ = bus_.connect();
        server_ = bus_.connect();
        ASSERT_TRUE(client_ && server_);
        // Opening holds time until the bus has welcomed the connection.
        ASSERT_TRUE(MainLoop::runUntil(
            [&] { return !client_->uniqueName().empty() && !server_->uniqueName().empty(); }, 0));
        service_ = std::make_unique<DBusTestService>(server_);
        std::optional<DBusError> owned;
        server_->requestName(DBusTestService::kName, [&](const DBusError& e) { owned = e; });
        ASSERT_TRUE(MainLoop::runUntil([&] { return owned.has_value(); }, 0));
        ASSERT_FALSE(owned->isSet());
        timer_ = DispatchTimer::create(DispatchQueue::main(), [this] { timerFired_ = true; });
        timer_->start(0.001);
        start_ = mode_.clock().monotonicNanos();
    }
    void TearDown() override { timer_->cancel(); }

    // Runs until done holds, for at most a minute of virtual time.
    bool runUntil(const std::function<bool()>& done) { return MainLoop::runUntil(done, 60); }
    void expectTimeStoodStill() {
        EXPECT_FALSE(timerFired_);
        EXPECT_EQ(mode_.clock().monotonicNanos(), start_);
    }
    std::shared_ptr<DBusSlot> subscribe(DBusMatch match, std::vector<DBusSignal>& into) {
        bool installed = false;
        auto slot = client_->subscribe(
            std::move(match), [&into](const DBusSignal& s) { into.push_back(s); },
            [&](const DBusError&) { installed = true; });
        EXPECT_TRUE(MainLoop::runUntil([&] { return installed; }, 0));
        return slot;
    }

    DeterministicDispatch mode_;
    test::PrivateBus bus_;
    std::shared_ptr<DBusConnection> client_, server_;
    std::unique_ptr<DBusTestService> service_;
    std::shared_ptr<DispatchTimer> timer_;
    bool timerFired_ = false;
    int64_t start_ = 0;
};

TEST_F(DBusDeterministicTest, RepliesAndErrorsArriveBeforeTimeMoves) {
    const std::string name = DBusTestService::kName, path = DBusTestService::kEchoPath,
                      iface = DBusTestService::kInterface;
    const std::vector<std::pair<DBusCall, std::string>> cases = {
        {DBusCall(name, path, iface, "Echo", "v", {V::ofString("x")}), ""},
        {DBusCall(name, path, iface, "Fail"), "com.telvo.test.Error.Broken"},
        {DBusCall("com.telvo.test.Nobody", path, iface, "Echo"), DBusError::kServiceUnknown},
        // Time-outs run in real time: the virtual clock waits for them.
        {DBusCall(name, path, iface, "Never", "", {}, 0.1), DBusError::kNoReply},
    };
    for (const auto& [call, error] : cases) {
        std::optional<DBusReply> reply;
        client_->call(call, [&](const DBusReply& r) { reply = r; });
        ASSERT_TRUE(runUntil([&] { return reply.has_value(); })) << call.member;
        EXPECT_EQ(reply->error.name, error) << call.member;
        expectTimeStoodStill();
    }
    // Property calls are calls too.
    std::optional<DBusReply> level;
    client_->getProperty(name, path, iface, "Level", [&](const DBusReply& r) { level = r; });
    ASSERT_TRUE(runUntil([&] { return level.has_value(); }));
    EXPECT_EQ(level->values.at(0).asUInt32(), 3u);
    expectTimeStoodStill();
    // Virtual time runs on once nothing is on its way.
    MainLoop::runFor(180);
    EXPECT_TRUE(timerFired_);
}

TEST_F(DBusDeterministicTest, ASettledSignalArrivesBeforeTimeMoves) {
    std::vector<DBusSignal> heard;
    auto slot = subscribe(DBusMatch{"", "", "", DBusTestService::kInterface, "Said"}, heard);
    // The service emits on its own, as a fake notifying a value does, and settles with the
    // receiver in the same block.
    DispatchQueue::main()->async([&] {
        service_->object->emitSignal(DBusTestService::kInterface, "Said", "s",
                                     {V::ofString("notified")});
        server_->settleWith(client_->uniqueName());
    });
    ASSERT_TRUE(runUntil([&] { return !heard.empty(); }));
    EXPECT_EQ(heard[0].values.at(0).asString(), "notified");
    expectTimeStoodStill();
}

// Each change is announced with the value that was set, in order, even when several are set
// before any goes out; setting the stored value again announces nothing.
TEST_F(DBusDeterministicTest, EachPropertyChangeAnnouncesItsOwnValueInOrder) {
    const std::string iface = DBusTestService::kInterface;
    std::vector<DBusSignal> heard;
    auto slot = subscribe(DBusMatch{"", DBusTestService::kEchoPath, "",
                                    "org.freedesktop.DBus.Properties", "PropertiesChanged"},
                          heard);
    const std::vector<std::pair<std::string, V>> sets = {
        {"Level", V::ofUInt32(1)},    {"Level", V::ofUInt32(2)},
        {"Level", V::ofUInt32(2)},    {"Anything", V::ofInt32(5)},
        {"Level", V::ofUInt32(3)},    {"Anything", V::ofString("x")},
        {"Name", V::ofString("new")}, {"Name", V::ofString("newer")},
    };
    DispatchQueue::main()->async([&] {
        for (const auto& [name, value] : sets)
            EXPECT_TRUE(service_->object->setProperty(iface, name, value)) << name;
        server_->settleWith(client_->uniqueName());
    });
    const std::vector<std::pair<std::string, V>> announced = {
        {"Level", V::ofUInt32(1)},      {"Level", V::ofUInt32(2)},
        {"Anything", V::ofInt32(5)},    {"Level", V::ofUInt32(3)},
        {"Anything", V::ofString("x")}, {"Name", V::ofString("new")},
        {"Name", V::ofString("newer")},
    };
    ASSERT_TRUE(runUntil([&] { return heard.size() >= announced.size(); }));
    ASSERT_EQ(heard.size(), announced.size());
    for (size_t i = 0; i < announced.size(); ++i) {
        const auto& [name, value] = announced[i];
        EXPECT_EQ(heard[i].values.at(0).asString(), iface) << i;
        EXPECT_EQ(heard[i].values.at(1).at(name).unwrapped(), value) << i << " " << name;
    }
    EXPECT_EQ(service_->object->property(iface, "Level"), V::ofUInt32(3));
    expectTimeStoodStill();
}

TEST_F(DBusDeterministicTest, AnotherProcessesSignalsSettleWithAPing) {
    test::BusMock bluez(bus_, "bluez5", "org.bluez", "/", "org.bluez.Mock");
    ASSERT_TRUE(bluez.ok()) << bluez.error();
    std::vector<DBusSignal> heard;
    auto slot = subscribe(
        DBusMatch{"org.bluez", "", "", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded"},
        heard);
    ASSERT_TRUE(bluez.mock("AddAdapter", "ss", {V::ofString("hci0"), V::ofString("lab")}).ok());
    // dbusmock announced the adapter before it answered the fixture; the ping comes after that
    // announcement on the way to the client.
    client_->settleWith("org.bluez");
    ASSERT_TRUE(runUntil([&] { return !heard.empty(); }));
    EXPECT_EQ(heard[0].values.at(0).asObjectPath(), "/org/bluez/hci0");
    expectTimeStoodStill();
}

}  // namespace
}  // namespace telvo

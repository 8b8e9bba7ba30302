// The BlueZ radio when its bus or BlueZ fails: the bus restarts under a link, BlueZ freezes and
// thaws, and an owner of org.bluez answers after it has left.
#include "bluez/BlueZFixture.h"
#include "sim/BusMock.h"

namespace telvo::test {
namespace {

using V = DBusValue;

// The states a radio client sees, in order.
class StateLog {
  public:
    explicit StateLog(const std::shared_ptr<BlueZRadio>& radio) : radio_(radio) {
        client_ = radio->attach([this](const RadioEvent& e) {
            if (e.kind != RadioEvent::Kind::StateChanged) return;
            std::lock_guard lock(mutex_);
            states_.push_back(e.state);
        });
    }
    ~StateLog() { radio_->detach(client_); }
    std::vector<CBManagerState> states() const {
        std::lock_guard lock(mutex_);
        return states_;
    }
    bool reaches(CBManagerState state) const {
        return MainLoop::runUntil([&] { return !states().empty() && states().back() == state; },
                                  20);
    }

  private:
    std::shared_ptr<BlueZRadio> radio_;
    BluetoothRadio::ClientId client_ = 0;
    mutable std::mutex mutex_;
    std::vector<CBManagerState> states_;
};

using BlueZRestart = BlueZFixture;

// The bus stops under a link: the radio is Resetting at once and the link ends with an error;
// once the bus and BlueZ are back the radio connects again by itself and links as before.
TEST_F(BlueZRestart, TheBusRestartingEndsLinksThenTheRadioComesBack) {
    ASSERT_TRUE(linkUp()) << ::testing::PrintToString(recorder->events);
    bus.stop();
    ASSERT_TRUE(until([&] { return central->state() == CBManagerState::Resetting; }));
    ASSERT_TRUE(waitFor("disconnected CBErrorDomain/7"))
        << ::testing::PrintToString(recorder->events);
    EXPECT_EQ(radio->state(), CBManagerState::Resetting);

    bluez.reset();
    ASSERT_TRUE(bus.restart()) << bus.error();
    std::string error;
    bluez = sim::FakeBlueZ::start(bus, air, &error);
    ASSERT_TRUE(bluez) << error;
    ASSERT_TRUE(until([&] { return central->state() == CBManagerState::PoweredOn; }));
    recorder->events.clear();
    recorder->found.clear();
    EXPECT_TRUE(linkUp()) << ::testing::PrintToString(recorder->events);
}

// The app starts before the bus: the radio is Unsupported, not given up; once the bus and
// BlueZ come it reads BlueZ and links as usual.
TEST_F(BlueZRestart, ARadioOpenedBeforeTheBusComesUpWhenTheBusDoes) {
    bluez.reset();
    bus.stop();
    auto early = BlueZRadio::open(
        bus.address(), BlueZRadioTiming{.loadTimeout = 1, .firstRetry = 0.05, .longestRetry = 0.2});
    ASSERT_TRUE(early);
    StateLog log(early);
    EXPECT_EQ(early->state(), CBManagerState::Unsupported);

    ASSERT_TRUE(bus.restart()) << bus.error();
    std::string error;
    bluez = sim::FakeBlueZ::start(bus, air, &error);
    ASSERT_TRUE(bluez) << error;
    EXPECT_TRUE(log.reaches(CBManagerState::PoweredOn)) << testing::PrintToString(log.states());
    EXPECT_EQ(log.states(), (std::vector<CBManagerState>{CBManagerState::Unsupported,
                                                         CBManagerState::PoweredOn}));
}

// BlueZ on dbusmock's bluez5 template, with one adapter.
class BlueZFrozen : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok()) << bus.error();
        ASSERT_TRUE(bluez.ok()) << bluez.error();
        ASSERT_TRUE(bluez.mock("AddAdapter", "ss", {V::ofString("hci0"), V::ofString("lab")}).ok());
    }
    PrivateBus bus;
    BusMock bluez{bus, "bluez5", "org.bluez", "/", "org.bluez.Mock"};
};

// BlueZ does not answer at first: the radio stays Unknown and asks again, waiting longer each
// time; once BlueZ thaws (answering the stale calls too) the state is read.
TEST_F(BlueZFrozen, NoAnswerAtFirstIsAskedAgainUntilBlueZAnswers) {
    bluez.freeze(true);
    auto radio = BlueZRadio::open(
        bus.address(),
        BlueZRadioTiming{.loadTimeout = 0.2, .firstRetry = 0.05, .longestRetry = 0.4});
    ASSERT_TRUE(radio);
    StateLog log(radio);
    // Three match rules, then the reads of the object list: three of them unanswered.
    ASSERT_TRUE(MainLoop::runUntil([&] { return radio->messagesSent() >= 6; }, 20));
    EXPECT_EQ(radio->state(), CBManagerState::Unknown);
    bluez.freeze(false);
    EXPECT_TRUE(log.reaches(CBManagerState::PoweredOn));
    EXPECT_EQ(log.states(),
              (std::vector<CBManagerState>{CBManagerState::Unknown, CBManagerState::PoweredOn}));
}

// The owner of org.bluez gives the name up while it answers the radio's first read, then
// comes back with the adapter off: the late answer of the owner that left is ignored, the
// state goes from Unsupported (no owner) to the new owner's PoweredOff, never PoweredOn.
TEST_F(BlueZFrozen, ALateAnswerFromAnOwnerThatLeftIsIgnored) {
    const char* code =
        "ret = {dbus.ObjectPath(k): objects[k].props for k in objects.keys() if k != '/'}\n"
        "if not getattr(self, 'left', False):\n"
        "    self.left = True\n"
        "    self.connection.release_name('org.bluez')\n"
        "    def back(s=self):\n"
        "        objects['/org/bluez/hci0'].props['org.bluez.Adapter1']['Powered'] = "
        "dbus.Boolean(False)\n"
        "        s.connection.request_name('org.bluez')\n"
        "        return False\n"
        "    from gi.repository import GLib\n"
        "    GLib.idle_add(back)\n";
    ASSERT_TRUE(bluez
                    .call("/", "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
                          {V::ofString("org.freedesktop.DBus.ObjectManager"),
                           V::ofString("GetManagedObjects"), V::ofString(""),
                           V::ofString("a{oa{sa{sv}}}"), V::ofString(code)})
                    .ok());
    auto radio = BlueZRadio::open(bus.address());
    ASSERT_TRUE(radio);
    StateLog log(radio);
    ASSERT_TRUE(log.reaches(CBManagerState::PoweredOff)) << testing::PrintToString(log.states());
    const auto states = log.states();
    EXPECT_EQ(std::count(states.begin(), states.end(), CBManagerState::PoweredOn), 0);
    EXPECT_NE(std::find(states.begin(), states.end(), CBManagerState::Unsupported), states.end());
}

}  // namespace
}  // namespace telvo::test

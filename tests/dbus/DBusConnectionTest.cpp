#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "dbus/DBusTestService.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/BusMock.h"
#include "sim/PrivateBus.h"

namespace telvo {
namespace {

using test::DBusTestService;
using V = DBusValue;

constexpr const char* kDeniedName = "com.telvo.test.Denied";
constexpr const char* kUnownable = "com.telvo.test.Unownable";

// Threaded mode: the test's thread runs the main loop, the client connection's queue; the
// service answers on a queue of its own, so that the fixture's blocking calls reach it too.
class DBusConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok()) << bus_.error();
        client_ = bus_.connect();
        server_ = bus_.connect(DispatchQueue::createSerial("test.service"));
        ASSERT_TRUE(client_ && server_);
        ASSERT_TRUE(until(
            [&] { return !client_->uniqueName().empty() && !server_->uniqueName().empty(); }));
        service_ = std::make_unique<DBusTestService>(server_);
        ASSERT_TRUE(own(*server_, DBusTestService::kName).empty());
    }

    static bool until(const std::function<bool()>& predicate, double seconds = 20) {
        return MainLoop::runUntil(predicate, seconds);
    }

    // Requests a name and waits; the error name, empty when owned.
    std::string own(DBusConnection& connection, const std::string& name) {
        std::optional<DBusError> result;
        // The service's connection answers on its own queue: the result goes to this thread's.
        connection.requestName(name, [&](const DBusError& e) {
            DispatchQueue::main()->async([&result, e] { result = e; });
        });
        EXPECT_TRUE(until([&] { return result.has_value(); }));
        return result ? result->name : "none";
    }

    DBusReply callAndWait(DBusCall call) {
        std::optional<DBusReply> reply;
        client_->call(std::move(call), [&](const DBusReply& r) { reply = r; });
        EXPECT_TRUE(until([&] { return reply.has_value(); }));
        return reply.value_or(DBusReply{{"none", "no reply"}, {}});
    }
    DBusReply echoCall(std::string member, std::string signature = {}, std::vector<V> args = {},
                       double timeout = 25) {
        return callAndWait(DBusCall{DBusTestService::kName, DBusTestService::kEchoPath,
                                    DBusTestService::kInterface, std::move(member),
                                    std::move(signature), std::move(args), timeout});
    }
    DBusReply propertyCall(const std::function<void(DBusReplyHandler)>& start) {
        std::optional<DBusReply> reply;
        start([&](const DBusReply& r) { reply = r; });
        EXPECT_TRUE(until([&] { return reply.has_value(); }));
        return reply.value_or(DBusReply{{"none", "no reply"}, {}});
    }

    // Subscribes and waits until the bus has installed the match.
    std::shared_ptr<DBusSlot> subscribe(DBusConnection& connection, DBusMatch match,
                                        std::vector<DBusSignal>& into) {
        bool installed = false;
        auto slot = connection.subscribe(
            std::move(match), [&into](const DBusSignal& s) { into.push_back(s); },
            [&](const DBusError& e) {
                EXPECT_FALSE(e.isSet()) << e.message;
                installed = true;
            });
        EXPECT_TRUE(until([&] { return installed; }));
        return slot;
    }
    // Every signal the service sent before it read the ping is with the client once this
    // returns (the client reads in order). Work still queued at the service may come later:
    // wait for what must arrive first, then settle to see that nothing else does.
    void settle() {
        std::optional<DBusReply> ping;
        client_->call(DBusCall{server_->uniqueName(), "/", "org.freedesktop.DBus.Peer", "Ping"},
                      [&](const DBusReply& r) { ping = r; });
        ASSERT_TRUE(until([&] { return ping.has_value(); }));
    }

    test::PrivateBus bus_{std::string("<deny send_destination=\"") + kDeniedName +
                          "\"/><deny own=\"" + kUnownable + "\"/>"};
    std::shared_ptr<DBusConnection> client_, server_;
    std::unique_ptr<DBusTestService> service_;
};

TEST_F(DBusConnectionTest, CallsTheBusItself) {
    auto names = callAndWait(DBusCall{"org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "ListNames"});
    ASSERT_TRUE(names.ok()) << names.error.message;
    auto list = names.values.at(0).asStringArray().value_or(std::vector<std::string>{});
    for (const auto& name :
         {client_->uniqueName(), server_->uniqueName(), std::string(DBusTestService::kName)})
        EXPECT_NE(std::find(list.begin(), list.end(), name), list.end()) << name;
    EXPECT_GE(client_->messagesSent(), 1u);
}

TEST_F(DBusConnectionTest, EveryTypeRoundTripsThroughAnExportedMethod) {
    const std::vector<V> values = {
        V::ofByte(0xff),
        V::ofBool(true),
        V::ofInt16(-2),
        V::ofUInt16(2),
        V::ofInt32(-3),
        V::ofUInt32(3),
        V::ofInt64(-4),
        V::ofUInt64(4),
        V::ofDouble(2.5),
        V::ofString("\xE4\xB8\xAD\xE6\x96\x87"),
        V::ofObjectPath("/a/b"),
        V::ofSignature("a{sv}"),
        V::ofBytes({0, 1, 0xfe}),
        V::stringArray({"x", ""}),
        V::propertyMap({{"k", V::ofBytes({1})}, {"l", V::stringArray({})}}),
        V::structure({V::ofInt32(1), V::variant(V::ofString("in"))}),
        V::dictionary("o", "a{sv}", {{V::ofObjectPath("/p"), V::propertyMap({})}}),
        V::variant(V::ofUInt32(9))};
    for (const auto& value : values) {
        auto reply = echoCall("Echo", "v", {value});
        ASSERT_TRUE(reply.ok()) << value.signature() << ": " << reply.error.message;
        // A variant stands for itself where a variant is expected.
        const V sent = value.type() == V::Type::Variant ? value : V::variant(value);
        EXPECT_EQ(reply.values.at(0), sent) << value.signature();
    }
}

TEST_F(DBusConnectionTest, ErrorsReachTheReplyHandlerByName) {
    struct Case {
        const char* what;
        DBusCall call;
        std::string error;
    };
    const std::string path = DBusTestService::kEchoPath;
    const std::string iface = DBusTestService::kInterface;
    const std::vector<Case> cases = {
        {"no such service",
         {"com.telvo.test.Nobody", path, iface, "Echo"},
         DBusError::kServiceUnknown},
        {"no such object",
         {DBusTestService::kName, "/nothing", iface, "Echo"},
         DBusError::kUnknownObject},
        {"no such method",
         {DBusTestService::kName, path, iface, "Shout"},
         DBusError::kUnknownMethod},
        {"arguments of another signature",
         {DBusTestService::kName, path, iface, "Echo", "s", {V::ofString("x")}},
         DBusError::kInvalidArgs},
        {"a value that does not fit its signature",
         {DBusTestService::kName, path, iface, "Echo", "v", {V()}},
         DBusError::kInvalidArgs},
        {"an error answer",
         {DBusTestService::kName, path, iface, "Fail"},
         "com.telvo.test.Error.Broken"},
        {"denied by the bus policy", {kDeniedName, "/", iface, "Echo"}, DBusError::kAccessDenied},
        {"no answer in time",
         {DBusTestService::kName, path, iface, "Never", "", {}, 0.2},
         DBusError::kNoReply},
    };
    // The denied name has an owner of its own, so that only the policy stands in the way.
    auto denied = bus_.connect();
    ASSERT_EQ(own(*denied, kDeniedName), "");
    for (const auto& c : cases) {
        auto reply = callAndWait(c.call);
        EXPECT_EQ(reply.error.name, c.error) << c.what << ": " << reply.error.message;
        EXPECT_TRUE(reply.values.empty()) << c.what;
    }
    EXPECT_EQ(echoCall("Fail").error.message, "broken");
}

TEST_F(DBusConnectionTest, ACallIsAnsweredOnceLaterFromAnyThreadOrWithAnErrorWhenDropped) {
    using Invocation = std::shared_ptr<DBusMethodInvocation>;
    struct Case {
        const char* what;
        std::function<void(Invocation&)> answer;  // on another thread
        std::string error;
    };
    const std::vector<Case> cases = {
        {"a reply, then a second one that is ignored",
         [](Invocation& call) {
             call->reply({V::ofString("done")});
             call->reply({V::ofString("twice")});
         },
         ""},
        {"a reply that does not fit the out signature",
         [](Invocation& call) { call->reply({V::ofUInt32(1)}); }, DBusError::kFailed},
        {"an error",
         [](Invocation& call) { call->replyError("com.telvo.test.Error.Late", "late"); },
         "com.telvo.test.Error.Late"},
        {"no answer at all", [](Invocation& call) { call.reset(); }, DBusError::kFailed},
    };
    for (const auto& c : cases) {
        std::optional<DBusReply> reply;
        client_->call(DBusCall{DBusTestService::kName, DBusTestService::kEchoPath,
                               DBusTestService::kInterface, "Later"},
                      [&](const DBusReply& r) { reply = r; });
        Invocation later;
        ASSERT_TRUE(until([&] { return (later = service_->takeLater()) != nullptr; }));
        EXPECT_EQ(later->sender(), client_->uniqueName());
        EXPECT_EQ(later->member(), "Later");
        std::thread([&] {
            c.answer(later);
            later.reset();
        }).join();
        ASSERT_TRUE(until([&] { return reply.has_value(); })) << c.what;
        EXPECT_EQ(reply->error.name, c.error) << c.what;
        if (c.error.empty()) {
            EXPECT_EQ(reply->values.at(0).asString(), "done");
        }
    }
}

TEST_F(DBusConnectionTest, ASlowAnswerInsideTheTimeOutArrives) {
    // Answered half a second late with a time-out of two seconds: a time-out read in another
    // unit than seconds ends the call before the answer.
    std::optional<DBusReply> reply;
    client_->call(DBusCall{DBusTestService::kName,
                           DBusTestService::kEchoPath,
                           DBusTestService::kInterface,
                           "Later",
                           "",
                           {},
                           2},
                  [&](const DBusReply& r) { reply = r; });
    std::shared_ptr<DBusMethodInvocation> later;
    ASSERT_TRUE(until([&] { return (later = service_->takeLater()) != nullptr; }));
    std::thread answer([later] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the peer's delay
        later->reply({V::ofString("slow")});
    });
    EXPECT_TRUE(until([&] { return reply.has_value(); }));
    answer.join();
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->ok()) << reply->error.name << " " << reply->error.message;
    EXPECT_EQ(reply->values.at(0).asString(), "slow");
}

TEST_F(DBusConnectionTest, PropertiesGetSetAndAnnounce) {
    const std::string name = DBusTestService::kName, path = DBusTestService::kEchoPath,
                      iface = DBusTestService::kInterface;
    auto get = propertyCall([&](auto h) { client_->getProperty(name, path, iface, "Name", h); });
    ASSERT_TRUE(get.ok()) << get.error.message;
    EXPECT_EQ(get.values.at(0).asString(), "echo");
    EXPECT_FALSE(get.values.at(0).asUInt32());  // read as another type: nothing

    auto all = propertyCall([&](auto h) { client_->getAllProperties(name, path, iface, h); });
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all.values.at(0).at("Level").asUInt32(), 3u);
    EXPECT_EQ(all.values.at(0).at("Anything").asInt32(), 0);

    std::vector<DBusSignal> changes;
    auto slot = subscribe(
        *client_, DBusMatch{name, path, "", "org.freedesktop.DBus.Properties", "PropertiesChanged"},
        changes);
    struct SetCase {
        std::string property;
        V value;
        std::string error;
    };
    const std::vector<SetCase> sets = {
        {"Level", V::ofUInt32(7), ""},
        // The value of a "v" property travels as a variant in the variant.
        {"Anything", V::variant(V::structure({V::ofString("a"), V::ofBool(true)})), ""},
        {"Anything", V::structure({V::ofString("a"), V::ofBool(true)}), DBusError::kInvalidArgs},
        {"Level", V::ofString("seven"), DBusError::kInvalidArgs},
        {"Name", V::ofString("other"), DBusError::kPropertyReadOnly},
        {"Missing", V::ofString("x"), DBusError::kUnknownProperty},
    };
    for (const auto& s : sets) {
        auto reply = propertyCall(
            [&](auto h) { client_->setProperty(name, path, iface, s.property, s.value, h); });
        EXPECT_EQ(reply.error.name, s.error) << s.property << ": " << reply.error.message;
    }
    EXPECT_EQ(service_->object->property(iface, "Level"), V::ofUInt32(7));
    ASSERT_TRUE(until([&] { return service_->writes().size() == 2; }));
    EXPECT_EQ(service_->writes()[1].first, "Anything");

    // The service's own change is announced once; an unchanged value is not.
    EXPECT_TRUE(service_->object->setProperty(iface, "Name", V::ofString("renamed")));
    EXPECT_TRUE(service_->object->setProperty(iface, "Name", V::ofString("renamed")));
    EXPECT_FALSE(service_->object->setProperty(iface, "Name", V::ofUInt32(1)));
    EXPECT_FALSE(service_->object->setProperty(iface, "Nothing", V::ofUInt32(1)));
    ASSERT_TRUE(until([&] { return changes.size() == 3; }));
    settle();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].values.at(1).at("Level").asUInt32(), 7u);
    EXPECT_EQ(changes[1].values.at(1).at("Anything").at(1).asBool(), true);
    // Each changed value in its variant; a "v" property's own variant inside that one.
    EXPECT_EQ(changes[0].values.at(1).at("Level"), V::variant(V::ofUInt32(7)));
    EXPECT_EQ(changes[1].values.at(1).at("Anything"),
              V::variant(V::variant(V::structure({V::ofString("a"), V::ofBool(true)}))));
    EXPECT_EQ(changes[1].values.at(2), V::stringArray({}));
    EXPECT_EQ(changes[2].values.at(0).asString(), iface);
    EXPECT_EQ(changes[2].values.at(1).at("Name").asString(), "renamed");
    EXPECT_EQ(changes[2].sender, server_->uniqueName());
}

TEST_F(DBusConnectionTest, MatchesSelectSignalsAndCancelledOnesHearNoMore) {
    DBusTestService second(server_, "/com/telvo/test/echo/second");
    const std::string iface = DBusTestService::kInterface;
    struct Case {
        const char* what;
        DBusMatch match;
        size_t expected;  // of the three signals below
    };
    const std::vector<Case> cases = {
        {"everything of the interface", {"", "", "", iface, ""}, 3},
        {"the well-known sender", {DBusTestService::kName, "", "", iface, ""}, 3},
        {"the unique sender", {server_->uniqueName(), "", "", iface, "Said"}, 3},
        {"another sender", {client_->uniqueName(), "", "", iface, ""}, 0},
        {"one path", {"", DBusTestService::kEchoPath, "", iface, ""}, 2},
        {"a path namespace", {"", "", "/com/telvo/test/echo/second", iface, ""}, 1},
        {"a namespace above", {"", "", "/com/telvo", iface, ""}, 3},
        {"another member", {"", "", "", iface, "Sung"}, 0},
    };
    std::vector<std::vector<DBusSignal>> heard(cases.size());
    std::vector<std::shared_ptr<DBusSlot>> slots;
    for (size_t i = 0; i < cases.size(); ++i)
        slots.push_back(subscribe(*client_, cases[i].match, heard[i]));

    ASSERT_TRUE(echoCall("Say", "s", {V::ofString("one")}).ok());
    second.object->emitSignal(iface, "Said", "s", {V::ofString("two")});
    ASSERT_TRUE(echoCall("Say", "s", {V::ofString("three")}).ok());
    ASSERT_TRUE(until([&] { return heard[0].size() == 3; }));
    settle();
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(heard[i].size(), cases[i].expected) << cases[i].what;
    ASSERT_EQ(heard[0].size(), 3u);
    EXPECT_EQ(heard[0][0].values.at(0).asString(), "one");
    EXPECT_EQ(heard[0][1].path, "/com/telvo/test/echo/second");
    EXPECT_EQ(heard[0][2].member, "Said");

    // Cancelled and dropped subscriptions hear nothing more; the others still do.
    slots[0]->cancel();
    slots[1].reset();
    ASSERT_TRUE(echoCall("Say", "s", {V::ofString("four")}).ok());
    ASSERT_TRUE(until([&] { return heard[2].size() == 4; }));
    settle();
    EXPECT_EQ(heard[0].size(), 3u);
    EXPECT_EQ(heard[1].size(), 3u);
    EXPECT_EQ(heard[2].size(), 4u);

    // An invalid match is refused at once.
    std::optional<DBusError> refused;
    auto bad = client_->subscribe(
        DBusMatch{"", "no path", "", "", ""}, [](const DBusSignal&) {},
        [&](const DBusError& e) { refused = e; });
    ASSERT_TRUE(until([&] { return refused.has_value(); }));
    EXPECT_EQ(refused->name, DBusError::kInvalidArgs);
}

TEST_F(DBusConnectionTest, CancelFromAnotherThreadIsFinal) {
    // The client hears on a queue of its own while this thread cancels.
    auto listener = bus_.connect(DispatchQueue::createSerial("test.listener"));
    ASSERT_TRUE(listener);
    std::atomic<int> heard{0};
    std::atomic<bool> cancelled{false};
    std::atomic<int> afterCancel{0};
    std::atomic<bool> installed{false};
    auto slot = listener->subscribe(
        DBusMatch{"", "", "", DBusTestService::kInterface, "Said"},
        [&](const DBusSignal&) {
            if (cancelled.load()) afterCancel.fetch_add(1);
            heard.fetch_add(1);
            std::this_thread::yield();
        },
        [&](const DBusError&) { installed = true; });
    ASSERT_TRUE(until([&] { return installed.load(); }));
    for (int i = 0; i < 200; ++i)
        server_->emitSignal(DBusTestService::kEchoPath, DBusTestService::kInterface, "Said", "s",
                            {V::ofString("burst")});
    ASSERT_TRUE(until([&] { return heard.load() > 0; }));
    slot->cancel();
    cancelled = true;
    const int atCancel = heard.load();
    // The service read the ping after its burst was sent: the rest of the burst is with the
    // listener once the ping returns.
    std::atomic<bool> pinged{false};
    listener->call(DBusCall{server_->uniqueName(), "/", "org.freedesktop.DBus.Peer", "Ping"},
                   [&](const DBusReply&) { pinged = true; });
    ASSERT_TRUE(until([&] { return pinged.load(); }));
    EXPECT_EQ(heard.load(), atCancel);
    EXPECT_EQ(afterCancel.load(), 0);
}

TEST_F(DBusConnectionTest, ObjectManagerListsAndAnnouncesObjects) {
    auto manager = server_->addObjectManager("/com/telvo/test/managed");
    std::vector<DBusSignal> announced;
    auto slot = subscribe(
        *client_,
        DBusMatch{DBusTestService::kName, "", "", "org.freedesktop.DBus.ObjectManager", ""},
        announced);
    auto managed = std::make_unique<DBusTestService>(server_, "/com/telvo/test/managed/one");
    ASSERT_TRUE(until([&] { return !announced.empty(); }));
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].member, "InterfacesAdded");
    EXPECT_EQ(announced[0].path, "/com/telvo/test/managed");
    EXPECT_EQ(announced[0].values.at(0).asObjectPath(), "/com/telvo/test/managed/one");
    EXPECT_EQ(announced[0].values.at(1).at(DBusTestService::kInterface).at("Level").asUInt32(), 3u);

    auto objects = propertyCall([&](auto h) {
        client_->getManagedObjects(DBusTestService::kName, "/com/telvo/test/managed", h);
    });
    ASSERT_TRUE(objects.ok()) << objects.error.message;
    EXPECT_EQ(objects.values.at(0)
                  .at("/com/telvo/test/managed/one")
                  .at(DBusTestService::kInterface)
                  .at("Name")
                  .asString(),
              "echo");
    // The echo object outside the managed tree is not listed.
    EXPECT_EQ(objects.values.at(0).size(), 1u);

    managed.reset();
    ASSERT_TRUE(until([&] { return announced.size() == 2; }));
    settle();
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_EQ(announced[1].member, "InterfacesRemoved");
    EXPECT_EQ(announced[1].values.at(1).asStringArray(),
              (std::vector<std::string>{DBusTestService::kInterface}));
    objects = propertyCall([&](auto h) {
        client_->getManagedObjects(DBusTestService::kName, "/com/telvo/test/managed", h);
    });
    EXPECT_EQ(objects.values.at(0).size(), 0u);
}

TEST_F(DBusConnectionTest, NamesAreOwnedOnceAndAsThePolicySays) {
    EXPECT_EQ(own(*server_, "com.telvo.test.Second"), "");
    EXPECT_EQ(own(*server_, "com.telvo.test.Second"), "");  // already the owner
    EXPECT_EQ(own(*client_, "com.telvo.test.Second"), DBusError::kFailed);
    EXPECT_EQ(own(*client_, kUnownable), DBusError::kAccessDenied);
    EXPECT_EQ(own(*client_, "not a name"), DBusError::kInvalidArgs);
}

TEST_F(DBusConnectionTest, AUnixDescriptorArgumentIsRefused) {
    sd_bus* raw = bus_.blockingConnection();
    ASSERT_NE(raw, nullptr);
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(raw, DBusTestService::kName, DBusTestService::kEchoPath,
                               DBusTestService::kInterface, "Echo", &error, &reply, "v", "h", fd);
    EXPECT_LT(r, 0);
    EXPECT_STREQ(error.name, DBusError::kNotSupported);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    ::close(fd);
}

TEST_F(DBusConnectionTest, ClosingEndsCallsInFlight) {
    // The client goes: its call in flight ends with kDisconnected.
    std::optional<DBusReply> dropped;
    auto other = bus_.connect();
    other->call(DBusCall{DBusTestService::kName, DBusTestService::kEchoPath,
                         DBusTestService::kInterface, "Never"},
                [&](const DBusReply& r) { dropped = r; });
    other.reset();
    ASSERT_TRUE(until([&] { return dropped.has_value(); }));
    EXPECT_EQ(dropped->error.name, DBusError::kDisconnected);

    // The bus goes: calls in flight end, the disconnect handler runs, later calls fail.
    std::optional<DBusReply> pending;
    bool disconnected = false;
    client_->setDisconnectHandler([&] { disconnected = true; });
    client_->call(DBusCall{DBusTestService::kName, DBusTestService::kEchoPath,
                           DBusTestService::kInterface, "Never"},
                  [&](const DBusReply& r) { pending = r; });
    bus_.stop();
    ASSERT_TRUE(until([&] { return pending.has_value() && disconnected; }));
    EXPECT_TRUE(pending->error.isSet());
    EXPECT_FALSE(client_->isConnected());
    auto after = echoCall("Echo", "v", {V::ofByte(1)});
    EXPECT_EQ(after.error.name, DBusError::kDisconnected);
}

TEST(DBusConnectionOpen, NoBusIsAnError) {
    test::TempFolder folder;
    DBusError error;
    auto connection =
        DBusConnection::openAddress("unix:path=" + (folder.path() / "none").string(), &error);
    EXPECT_EQ(connection, nullptr);
    EXPECT_TRUE(error.isSet());
    EXPECT_EQ(DBusConnection::openAddress("no address at all", &error), nullptr);
}

// python3-dbusmock's BlueZ model read through the library: a third party's view of the API.
TEST_F(DBusConnectionTest, ReadsTheBlueZModelOfDbusmock) {
    test::BusMock bluez(bus_, "bluez5", "org.bluez", "/", "org.bluez.Mock");
    ASSERT_TRUE(bluez.ok()) << bluez.error();
    std::vector<DBusSignal> added;
    auto slot = subscribe(
        *client_,
        DBusMatch{"org.bluez", "", "", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded"},
        added);
    ASSERT_TRUE(bluez.mock("AddAdapter", "ss", {V::ofString("hci0"), V::ofString("lab")}).ok());
    auto device =
        bluez.mock("AddDevice", "sss",
                   {V::ofString("hci0"), V::ofString("11:22:33:44:55:66"), V::ofString("kettle")});
    ASSERT_TRUE(device.ok()) << device.error.message;
    client_->settleWith("org.bluez");
    ASSERT_TRUE(until([&] { return added.size() >= 2; }));
    EXPECT_EQ(added[1].values.at(0).asObjectPath(), "/org/bluez/hci0/dev_11_22_33_44_55_66");

    auto objects = propertyCall([&](auto h) { client_->getManagedObjects("org.bluez", "/", h); });
    ASSERT_TRUE(objects.ok()) << objects.error.message;
    const V& tree = objects.values.at(0);
    EXPECT_EQ(tree.at("/org/bluez/hci0").at("org.bluez.Adapter1").at("Powered").asBool(), true);
    EXPECT_EQ(tree.at("/org/bluez/hci0/dev_11_22_33_44_55_66")
                  .at("org.bluez.Device1")
                  .at("Address")
                  .asString(),
              "11:22:33:44:55:66");
    // Asked as another type, or for what is not there: nothing, never a crash.
    EXPECT_FALSE(tree.at("/org/bluez/hci0").at("org.bluez.Adapter1").at("Powered").asString());
    EXPECT_FALSE(tree.at("/org/bluez/hci1").at("org.bluez.Adapter1").at("Powered").asBool());
}

}  // namespace
}  // namespace telvo

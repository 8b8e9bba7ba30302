#include <map>
#include <thread>

#include "SecondFlowFixture.h"

namespace telvo::test {
namespace {

using Dispatcher = SecondFlowFixture;

std::shared_ptr<QKBLEBaseConnect> held(uint64_t bleType) {
    auto m = QKBleConnectManagerImpl::shared();
    const std::map<uint64_t, std::shared_ptr<QKBLEBaseConnect>> byType = {
        {0, m->oneBle()},    {1, m->ble()},       {3, m->comboBle()},
        {10, m->bleRetry()}, {11, m->wiredBle()}, {12, m->specialModedBle()}};
    auto it = byType.find(bleType);
    return it == byType.end() ? nullptr : it->second;
}

// The configuration entry hands each routed type to the dispatcher: it gets a session of its
// kind, and its stop (matched by the advertised MAC) clears it; the types the entry starts by
// class name never reach the dispatcher.
TEST_F(Dispatcher, EntryRoutesEachType) {
    makeModule(2);
    auto entry = QKDeviceConfigManager::shareInstance();
    for (uint64_t type : {0, 1, 3, 10, 11, 12}) {
        SCOPED_TRACE(type);
        auto params = std::make_shared<QKDeviceBleConfigParams>(scan());
        params->bleType = type;
        params->bleSecondConfigType = 1;
        entry->startBleConfig(params, progress(), completion());
        ASSERT_TRUE(held(type));
        entry->stopBleConfig(params);
        EXPECT_FALSE(held(type));
        MainLoop::runFor(1);
    }
    for (uint64_t type : {2, 4, 98}) {
        auto params = std::make_shared<QKDeviceBleConfigParams>();
        params->bleType = type;
        entry->startBleConfig(params, nullptr, nullptr);
        for (uint64_t kind : {0, 1, 3, 10, 11, 12}) EXPECT_FALSE(held(kind)) << type;
    }
    MainLoop::runFor(200);  // the sessions made by class name have ended: no peripheral
    // Unknown types through the dispatcher itself start nothing and call no block.
    ends.clear();
    steps.clear();
    for (int64_t type : {2, 4, 98, -1, 13})
        manager()->statConfig(scan(), type, progress(), completion());
    for (uint64_t kind : {0, 1, 3, 10, 11, 12}) EXPECT_FALSE(held(kind));
    EXPECT_TRUE(ends.empty() && steps.empty());
}

// A start without a peripheral (one the app lost) on the main thread answers once, inside the
// call, whatever the type: 4085, or the network bridge's own 4170 when its family id is missing
// too. Nothing follows in the next 200 s, and no step.
TEST_F(Dispatcher, StartWithoutPeripheralAnswersOnceAtOnce) {
    struct Row {
        uint64_t type;
        bool familyId;
        int64_t code;
    };
    const Row rows[] = {{0, false, 4085},  {1, false, 4085},  {2, false, 4085},  {3, false, 4085},
                        {4, false, 4170},  {4, true, 4085},   {10, false, 4085}, {11, false, 4085},
                        {12, false, 4085}, {98, false, 4085}, {77, false, 4085}};
    auto entry = QKDeviceConfigManager::shareInstance();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.type << (row.familyId ? " family" : ""));
        clearRun();
        auto params = std::make_shared<QKDeviceBleConfigParams>(sim::SimBleHome::routerParams({}));
        params->bleType = row.type;
        params->bleSecondConfigType = 1;
        params->specialModeType = 1;
        if (row.familyId) params->familyId = "family-1";
        entry->startBleConfig(params, progress(), completion());
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].code, row.code);
        MainLoop::runFor(200);
        EXPECT_EQ(ends.size(), 1u);
        EXPECT_TRUE(steps.empty());
    }
}

// The same start made before the main loop runs, from a thread of the app's own: the types the
// dispatcher starts answer on the main queue, so only once the loop runs; those started by class
// name answer inside the call all the same. Each answers once.
TEST_F(Dispatcher, StartWithoutPeripheralBeforeTheLoopRunsAnswersOnceItRuns) {
    const std::pair<uint64_t, bool> rows[] = {{0, false}, {1, false},  {2, true},   {3, false},
                                              {4, true},  {10, false}, {11, false}, {12, false},
                                              {98, true}, {77, false}};
    std::map<uint64_t, int> inside, afterwards;
    std::map<uint64_t, bool> onTheLoopThread;
    std::thread app([&] {
        for (const auto& [type, _] : rows) {
            auto params =
                std::make_shared<QKDeviceBleConfigParams>(sim::SimBleHome::routerParams({}));
            params->bleType = type;
            params->familyId = "family-1";
            auto returned = std::make_shared<bool>(false);
            QKDeviceConfigManager::shareInstance()->startBleConfig(
                params, [](int64_t step) { ADD_FAILURE() << "step " << step; },
                [&, type = type, returned](const ErrorPtr& error, auto) {
                    EXPECT_EQ(TelvoError::codeForSDKError(error), 4085) << type;
                    ++(*returned ? afterwards : inside)[type];
                    onTheLoopThread[type] = MainLoop::isMainThread();
                });
            *returned = true;
        }
    });
    app.join();
    MainLoop::runFor(200);
    for (const auto& [type, atOnce] : rows) {
        SCOPED_TRACE(type);
        EXPECT_EQ(inside[type], atOnce ? 1 : 0);
        EXPECT_EQ(afterwards[type], atOnce ? 0 : 1);
        if (!atOnce) {
            EXPECT_TRUE(onTheLoopThread[type]);
        }
    }
}

// Second generation and retry carry a session on for the same advertised MAC (compared as exact
// text), except that a pre-connect second-generation start always gets a new one; the other
// kinds always get a new one. A replaced session reports nothing more.
TEST_F(Dispatcher, CarriesOnOrReplacesAsTheTableSays) {
    struct Case {
        uint64_t type;
        int64_t firstMode, secondMode;
        bool macCaseDiffers, kept;
    };
    const Case cases[] = {
        {1, 0, 1, false, true},  {1, 1, 1, false, true},   {1, 1, 0, false, false},
        {1, 1, 1, true, false},  {10, 0, 0, false, true},  {10, 1, 1, true, false},
        {0, 1, 1, false, false}, {11, 1, 1, false, false}, {12, 1, 1, false, false},
        {3, 1, 1, false, false},
    };
    auto m = makeModule(2);
    m->joinStages = {};
    m->cloudDelay = 1e6;
    m->mac = {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33};
    m->setAdvertisement(m->advertisement());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.firstMode << "->" << c.secondMode
                                        << (c.macCaseDiffers ? " case" : ""));
        auto params = scan();
        params.bleType = c.type;
        params.bleSecondConfigType = c.firstMode;
        int firstEnds = 0;
        manager()->statConfig(
            params, int64_t(c.type), nullptr,
            [&](const ErrorPtr&, const std::shared_ptr<QKDevice>&) { ++firstEnds; });
        MainLoop::runFor(3);
        auto first = held(c.type);
        ASSERT_TRUE(first);
        if (c.macCaseDiffers) {
            for (char& ch : first->bleDevice()->btMac)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        params.bleSecondConfigType = c.secondMode;
        const int endsBefore = firstEnds;
        manager()->statConfig(params, int64_t(c.type), nullptr, nullptr);
        EXPECT_EQ(held(c.type) == first, c.kept);
        if (!c.kept) {
            MainLoop::runFor(300);
            EXPECT_EQ(firstEnds, endsBefore);
        }
        manager()->stopConfig(params);
        EXPECT_FALSE(held(c.type));
        MainLoop::runFor(2);
    }
}

// Stop ignores case and ":" in the MAC, stops a first-generation session whatever its MAC, and
// without a peripheral stops nothing else.
TEST_F(Dispatcher, StopMatchesTheMacLoosely) {
    auto m = makeModule(2);
    m->joinStages = {};
    m->mac = {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33};
    m->setAdvertisement(m->advertisement());
    auto params = scan();
    params.bleType = 1;
    params.bleSecondConfigType = 0;
    manager()->statConfig(params, 1, nullptr, nullptr);
    manager()->statConfig(QKDeviceBleConfigParams{}, 0, nullptr, nullptr);
    ASSERT_TRUE(manager()->oneBle());
    auto second = manager()->ble();
    second->bleDevice()->btMac = "AABBCC112233";  // advertised as "aa:bb:cc:11:22:33"

    manager()->stopConfig(QKDeviceBleConfigParams{});
    EXPECT_FALSE(manager()->oneBle());
    EXPECT_EQ(manager()->ble(), second);
    manager()->stopConfig(params);
    EXPECT_FALSE(manager()->ble());
}

// Resume goes to the retry session for bleType 10 and to the second-generation one otherwise.
TEST_F(Dispatcher, ResumeRoutesByType) {
    makeModule(2);
    auto params = scan();
    params.bleType = 1;
    params.bleSecondConfigType = 0;  // pre-connect: the link stays up after the settings
    manager()->statConfig(params, 1, progress(), completion());
    ASSERT_TRUE(MainLoop::runUntil([&] { return received(0x69).size() == 1; }, 20));
    MainLoop::runFor(1);
    params.bleType = 10;
    manager()->resumeConfigWithParams(params);
    MainLoop::runFor(1);
    EXPECT_EQ(received(0x69).size(), 1u);
    params.bleType = 1;
    manager()->resumeConfigWithParams(params);
    MainLoop::runFor(1);
    EXPECT_EQ(received(0x69).size(), 2u);
}

// From another thread: the start is queued for the main queue; a refused confirmation answers
// 4100 at once on the calling thread.
TEST_F(Dispatcher, OtherThreadsQueueStartsAndGetRefusalsAtOnce) {
    makeModule(2)->joinStages = {};
    auto params = scan();
    params.bleType = 1;
    params.bleSecondConfigType = 1;
    std::thread::id answeredOn;
    int64_t refusal = -1;
    std::thread worker([&] {
        manager()->statConfig(params, 1, nullptr, nullptr);
        auto action = std::make_shared<QKConfigAction>();
        action->actionType = 1;
        manager()->doConfigureAction(
            action,
            [&](ErrorPtr error, std::shared_ptr<QKConfigStatus> status) {
                answeredOn = std::this_thread::get_id();
                refusal = status ? -2 : TelvoError::codeForSDKError(error);
            },
            nullptr);
        EXPECT_FALSE(manager()->ble());
        EXPECT_EQ(answeredOn, std::this_thread::get_id());
    });
    worker.join();
    EXPECT_EQ(refusal, 4100);
    MainLoop::drain();
    EXPECT_TRUE(manager()->ble());
}

}  // namespace
}  // namespace telvo::test

#include "discovery/DiscoveryFixture.h"

namespace telvo {
namespace {

using test::Reports;
using test::serials;

Value device(const std::string& sn, const std::string& id, const std::string& type = "0xAC",
             const std::string& ssid = "net_ac_1234") {
    Dictionary d;
    if (!sn.empty()) d.set(kQKSDKDeviceSn, sn);
    if (!id.empty()) d.set(kQKSDKDeviceId, id);
    d.set(kQKSDKDeviceType, type);
    d.set(kQKSDKDeviceSSID, ssid);
    return d;
}

std::vector<std::string> filtered(const QKBroadcastFilter& filter, const Value::Array& list) {
    return serials(*filter.filterResultListWithDeviceList(list));
}

TEST(QKBroadcastFilter, RuleTypesMatchTheirEntryIgnoringCase) {
    const Value::Array list = {
        device("S1", "1", "0xAC", "net_ac_0001"), device("S2", "2", "AC", "net_b5_0002"),
        device("S3", "3", "0XAC", "net_ac_0003"), device("S4", "4", "0xB5", "Kitchen")};
    struct Case {
        int64_t type;
        std::vector<std::string> values;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {0, {"s2", "S4"}, {"S2", "S4"}},
        {1, {"3"}, {"S3"}},
        {2, {"ac"}, {"S1", "S2"}},    // 0xAC split at 0x; AC whole; 0XAC not split
        {2, {"0xac"}, {"S1", "S3"}},  // whole type, either case
        {2, {"kitchen"}, {"S4"}},     // the SSID
        {3, {"0xac"}, {"S1", "S3"}},
        {3, {"ac"}, {"S2"}},
        {4, {"anything"}, {"S1", "S2", "S3", "S4"}},
    };
    for (const auto& c : cases) {
        QKBroadcastFilter filter;
        filter.addRulesWithFilterType(c.type, c.values);
        EXPECT_EQ(filtered(filter, list), c.expected) << "type " << c.type << " " << c.values[0];
    }
    QKBroadcastFilter none;
    EXPECT_FALSE(none.filterResultListWithDeviceList(std::nullopt));
}

TEST(QKBroadcastFilter, RuleBookkeeping) {
    const Value::Array list = {device("S1", "1", "0xAC"), device("S2", "0", "0xB5")};
    QKBroadcastFilter filter;
    filter.addRulesWithFilterType(-1, {"S1"});  // refused, as is 5
    filter.addRulesWithFilterType(5, {"S1"});
    filter.addRulesWithFilterType(0, {});
    EXPECT_TRUE(filter.mFilterDictionary().empty());

    filter.addRulesWithFilterType(0, {"S1"});
    filter.addRulesWithFilterType(0, {"S1", "S9"});
    EXPECT_EQ(filter.mFilterDictionary().at(0), (std::vector<std::string>{"S1", "S9"}));
    filter.addRulesWithFilterType(4, {"x"});
    EXPECT_EQ(filtered(filter, list), (std::vector<std::string>{"S1", "S2"}));
    filter.addRulesWithFilterType(1, {"0"});  // takes rule 4 away again
    EXPECT_FALSE(filter.mFilterDictionary().contains(4));
    EXPECT_EQ(filtered(filter, list), (std::vector<std::string>{"S1", "S2"}));

    filter.setIsCheckDeviceID(true);
    EXPECT_EQ(filtered(filter, list), (std::vector<std::string>{"S1"}));
    // Without rules the list passes whole, ID 0 included.
    QKBroadcastFilter bare;
    bare.setIsCheckDeviceID(true);
    EXPECT_EQ(filtered(bare, list), (std::vector<std::string>{"S1", "S2"}));
}

TEST(QKBroadcastFilter, DuplicatesBySerialAndIdChecks) {
    QKBroadcastFilter filter;
    filter.addRulesWithFilterType(2, {"ac", "net_ac_1234"});
    filter.setIsCheckDeviceID(true);
    // One serial in two cases counts once; a record without serial enters once per value.
    const Value::Array list = {device("abc", "7"), device("ABC", "8"), device("", "9"),
                               device("big", "4294967296"), device("junk", "x12")};
    auto out = *filter.filterResultListWithDeviceList(list);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0][kQKSDKDeviceId].text(), "7");
    EXPECT_EQ(out[1][kQKSDKDeviceId].text(), "9");
    EXPECT_EQ(out[2][kQKSDKDeviceId].text(), "9");
    EXPECT_EQ(out[3][kQKSDKDeviceId].text(), "4294967296");
    EXPECT_TRUE(QKBroadcastFilter::isDeviceListContainDevice(list, device("BIG", "")));
    EXPECT_FALSE(QKBroadcastFilter::isDeviceListContainDevice(list, device("", "9")));
}

// A dictionary passes exactly when its one-element list filters to something, whichever rule
// matches first, with several rules of several types and with the ID check.
TEST(QKBroadcastFilter, PassesAgreesWithTheResultOfAOneElementList) {
    struct Rule {
        int64_t type;
        std::vector<std::string> values;
    };
    const std::vector<std::vector<Rule>> ruleSets = {
        {},
        {{3, {"0xb5", "0xac"}}},
        {{0, {"nope"}}, {3, {"0xac"}}},
        {{0, {"s1"}}, {1, {"5"}}, {2, {"AC"}}},
        {{1, {"0"}}, {4, {"x"}}},
        {{2, {"kitchen", "net_ac_1234"}}},
    };
    const Value dictionaries[] = {device("S1", "5"), device("S2", "0"),
                                  device("S3", "6", "0xB5", "Kitchen"), device("", "", "AC"),
                                  Value("not a dictionary")};
    for (size_t r = 0; r < ruleSets.size(); ++r) {
        for (bool checkId : {false, true}) {
            QKBroadcastFilter filter;
            for (const auto& rule : ruleSets[r])
                filter.addRulesWithFilterType(rule.type, rule.values);
            filter.setIsCheckDeviceID(checkId);
            for (const Value& dic : dictionaries) {
                EXPECT_EQ(filter.passes(dic), !filter.filterResult({&dic}).empty())
                    << "rules " << r << " check " << checkId << " " << dic[kQKSDKDeviceSn].text();
            }
        }
    }
}

class ObserverTest : public ::testing::Test {
  protected:
    std::shared_ptr<QKBroadcastObserver> make(int64_t type, double timeOut,
                                              std::shared_ptr<QKBroadcastFilter> filter = nullptr) {
        return test::recordingObserver(type, timeOut, std::move(filter), &reports);
    }
    DeterministicDispatch mode_;
    Reports reports;
};

TEST_F(ObserverTest, FirstMatchReportsTheRecordsBeforeTheCurrentReplyOnceAndRetires) {
    auto observer = make(1, 30);
    observer->updateWithDeviceInfor(device("A", "1"));
    MainLoop::drain();
    EXPECT_TRUE(reports.empty());
    observer->updateWithDeviceInfor(device("A", "1"));
    EXPECT_TRUE(reports.empty());  // reports run on the main queue
    MainLoop::runFor(60);
    EXPECT_EQ(reports, (Reports{{"A"}}));
    EXPECT_FALSE(observer->isValid());
    EXPECT_TRUE(observer->devicesArray().empty());
}

TEST_F(ObserverTest, EveryMatchLosesNoApplianceAnsweringInTurnAndReportsAtTheTimeOut) {
    auto observer = make(2, 10, test::rule(3, "0xac"));
    for (const char* sn : {"A", "B", "A", "B"}) observer->updateWithDeviceInfor(device(sn, "1"));
    observer->updateWithDeviceInfor(device("C", "1", "0xB5"));  // filtered out, kept
    observer->updateWithDeviceInfor(Value("not a dictionary"));
    MainLoop::drain();
    EXPECT_EQ(reports, (Reports{{"A"}, {"B"}, {"A"}, {"B"}}));
    EXPECT_EQ(serials(observer->devicesArray()), (std::vector<std::string>{"C"}));
    MainLoop::runFor(20);
    EXPECT_EQ(reports.back(), std::vector<std::string>{});
    EXPECT_EQ(reports.size(), 5u);
    EXPECT_FALSE(observer->isValid());
}

TEST_F(ObserverTest, MergeBySerialThenIdAndAnIdZeroRecordGivesWay) {
    auto observer = make(0, 5);
    observer->updateWithDeviceInfor(device("A", "0"));
    observer->updateWithDeviceInfor(device("B", "0"));
    observer->updateWithDeviceInfor(device("A", "77"));  // replaces, moves to the end
    observer->updateWithDeviceInfor(device("B", "0"));
    observer->updateWithDeviceInfor(device("C", "5"));
    observer->updateWithDeviceInfor(device("C", "0"));  // the first stays
    observer->updateWithDeviceInfor(device("", "9"));
    observer->updateWithDeviceInfor(device("", "9"));   // no serial: merged by ID
    observer->updateWithDeviceInfor(device("a", "9"));  // serials compare exactly
    const Value::Array all = observer->devicesArray();
    EXPECT_EQ(serials(all), (std::vector<std::string>{"B", "A", "C", "", "a"}));
    EXPECT_EQ(all[1][kQKSDKDeviceId].text(), "77");
    EXPECT_EQ(all[2][kQKSDKDeviceId].text(), "5");

    observer->deviceArrayRemoveDic(device("B", "0"));
    observer->deviceArrayAddDic(device("A", "0"));  // a plain append beside the merged A
    observer->deviceArrayRemoveDic(all[1]);
    observer->updateWithDeviceInfor(device("A", "3"));  // meets the appended A (ID 0)
    EXPECT_EQ(serials(observer->devicesArray()), (std::vector<std::string>{"C", "", "a", "A"}));
    EXPECT_EQ(observer->deviceCount(), 4u);
    EXPECT_EQ(observer->devicesArray()[3][kQKSDKDeviceId].text(), "3");
    MainLoop::runFor(10);
    EXPECT_EQ(reports, (Reports{{"C", "", "a", "A"}}));
}

// A few records are found by scanning them, many through an index (built on the way, with a
// serial already held twice, and dropped once the observer is empty): the merge is the same.
TEST_F(ObserverTest, MergesAlikeWhetherItsRecordsAreScannedOrIndexed) {
    for (int fillers : {0, 12, 13, 40}) {
        SCOPED_TRACE(fillers);
        auto observer = make(0, 0);
        for (int i = 0; i < fillers; ++i)
            observer->updateWithDeviceInfor(device("F" + std::to_string(i), std::to_string(i + 1)));
        Dictionary numericId = device("", "").dictionary();
        numericId.set(kQKSDKDeviceId, Value(int64_t{9}));
        observer->updateWithDeviceInfor(device("A", "0"));
        observer->updateWithDeviceInfor(device("", "9"));
        observer->updateWithDeviceInfor(Value(numericId));   // the same ID as a number
        observer->updateWithDeviceInfor(device("A", "77"));  // replaces, moves to the end
        observer->deviceArrayAddDic(device("B", "5"));
        observer->deviceArrayAddDic(device("B", "6"));
        observer->deviceArrayRemoveDic(device("B", "5"));   // B's key now leads to the other B
        observer->updateWithDeviceInfor(device("B", "7"));  // meets B with ID 6: dropped
        const Value::Array all = observer->devicesArray();
        ASSERT_EQ(all.size(), size_t(fillers) + 3);
        std::vector<std::string> tail, ids;
        for (size_t i = size_t(fillers); i < all.size(); ++i) {
            tail.push_back(all[i][kQKSDKDeviceSn].stringValue());
            ids.push_back(all[i][kQKSDKDeviceId].stringValue());
        }
        EXPECT_EQ(tail, (std::vector<std::string>{"", "A", "B"}));
        EXPECT_EQ(ids, (std::vector<std::string>{"9", "77", "6"}));
        if (fillers > 0) {
            EXPECT_EQ(all[size_t(fillers) - 1][kQKSDKDeviceSn].text(),
                      "F" + std::to_string(fillers - 1));
        }

        for (const Value& d : all) observer->deviceArrayRemoveDic(d);
        EXPECT_EQ(observer->deviceCount(), 0u);
        observer->updateWithDeviceInfor(device("C", "0"));
        observer->updateWithDeviceInfor(device("C", "3"));
        observer->updateWithDeviceInfor(device("A", "1"));
        EXPECT_EQ(serials(observer->devicesArray()), (std::vector<std::string>{"C", "A"}));
        EXPECT_EQ(observer->devicesArray()[0][kQKSDKDeviceId].text(), "3");
    }
}

// A collecting observer against a plain list that follows the merge rules, over a long run of
// merges, replacements, removals and appends: hundreds of records of a few dozen key sets, so
// that erasures leave holes in the index's runs, among the records and in the blocks that hold
// their bytes, which are closed on the way.
TEST_F(ObserverTest, CollectsLikeAPlainListOverALongRun) {
    auto observer = make(0, 0);
    std::vector<Value> model;
    const auto keyOf = [](const Value& d) {
        const Value* sn = d.dictionary().find(kQKSDKDeviceSn);
        return sn ? "s" + sn->text() : "i" + d[kQKSDKDeviceId].stringValue();
    };
    const auto update = [&](const Value& d) {
        auto old = std::find_if(model.begin(), model.end(),
                                [&](const Value& m) { return keyOf(m) == keyOf(d); });
        if (old == model.end()) {
            model.push_back(d);
        } else if ((*old)[kQKSDKDeviceId].int64Value() == 0 && d[kQKSDKDeviceId].int64Value()) {
            model.erase(old);
            model.push_back(d);
        }
    };
    uint32_t seed = 12345;
    const auto next = [&](uint32_t below) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % below;
    };
    for (int step = 0; step < 4000; ++step) {
        const std::string sn = next(5) == 0 ? "" : "SN" + std::to_string(next(400));
        Dictionary fields =
            device(sn, std::to_string(next(3) == 0 ? 0 : 1 + next(500))).dictionary();
        fields.set("oriUdpData", Bytes(200, uint8_t(step)));
        // Records of many key sets: more than the observer shares keys for.
        if (step % 5 == 0) fields.set("extra" + std::to_string(step % 23), Value(step));
        const Value d(std::move(fields));
        const uint32_t what = next(10);
        if (what < 7) {
            observer->updateWithDeviceInfor(d);
            update(d);
        } else if (what < 9 && !model.empty()) {
            const Value gone = model[next(uint32_t(model.size()))];
            observer->deviceArrayRemoveDic(gone);
            std::erase(model, gone);
        } else {
            observer->deviceArrayAddDic(d);
            model.push_back(d);
        }
        if (step % 97 == 0 || step == 3999) {
            ASSERT_EQ(observer->devicesArray(), Value::Array(model.begin(), model.end()))
                << "step " << step;
        }
    }
    ASSERT_EQ(observer->deviceCount(), model.size());
    for (const Value& d : Value::Array(model.begin(), model.end()))
        observer->deviceArrayRemoveDic(d);
    EXPECT_EQ(observer->deviceCount(), 0u);
    observer->updateWithDeviceInfor(device("Z", "1"));
    EXPECT_EQ(serials(observer->devicesArray()), std::vector<std::string>{"Z"});
}

// An every-match observer reports and forgets alike among many kept records.
TEST_F(ObserverTest, EveryMatchAmongManyKeptRecords) {
    for (int kept : {0, 20}) {
        SCOPED_TRACE(kept);
        reports.clear();
        auto observer = make(2, 0, test::rule(3, "0xac"));
        std::vector<std::string> expectKept;
        for (int i = 0; i < kept; ++i) {
            expectKept.push_back("K" + std::to_string(i));
            observer->updateWithDeviceInfor(device(expectKept.back(), "2", "0xB5"));
        }
        for (const char* sn : {"A", "B", "A", "A", "B"})
            observer->updateWithDeviceInfor(device(sn, "1"));
        MainLoop::drain();
        // The second A in a row merges into the first, which it reports.
        EXPECT_EQ(reports, (Reports{{"A"}, {"B"}, {"A"}}));
        expectKept.push_back("B");
        EXPECT_EQ(serials(observer->devicesArray()), expectKept);
    }
}

// Every-match observers fed the same shared dictionaries, as the manager feeds them, each
// report whole records; a record that gives way to its successor with an ID is still reported.
TEST_F(ObserverTest, EveryMatchReportsWholeRecordsWhenObserversShareThem) {
    for (int observers : {1, 2}) {
        SCOPED_TRACE(observers);
        std::vector<std::vector<std::string>> seen(observers);  // serial:ID:type per record
        std::vector<std::shared_ptr<QKBroadcastObserver>> all;
        for (int o = 0; o < observers; ++o) {
            all.push_back(QKBroadcastObserver::initWithFilter(
                test::rule(3, "0xac"), 0, 2,
                std::make_shared<const QKBroadcastCompletionBlock>(
                    [&seen, o](const Value::Array& l) {
                        for (const Value& d : l) {
                            seen[o].push_back(d[kQKSDKDeviceSn].text() + ":" +
                                              d[kQKSDKDeviceId].text() + ":" +
                                              d[kQKSDKDeviceType].text());
                        }
                    })));
        }
        for (const auto& [sn, id] : std::vector<std::pair<std::string, std::string>>{
                 {"A", "0"}, {"A", "5"}, {"B", "1"}, {"C", "2"}}) {
            auto shared = std::make_shared<Value>(device(sn, id));
            for (auto& observer : all) observer->updateWithDeviceInfor(shared);
            MainLoop::drain();
        }
        for (const auto& got : seen)
            EXPECT_EQ(got, (std::vector<std::string>{"A:0:0xAC", "A:5:0xAC", "B:1:0xAC"}));
    }
}

// Records kept for a while are held packed: they come back exactly as handed in, whatever
// their values (an object handle included, which stays as it came), in order, from
// devicesArray and in the report at the time-out.
TEST_F(ObserverTest, KeptRecordsComeBackExactlyAsHandedIn) {
    auto handle = std::make_shared<int>(7);
    Dictionary nested{{"n", Value(int64_t{-3})}, {"list", Value::Array{Value(true), Value(2.5)}}};
    std::vector<Value> records;
    for (int i = 0; i < 4; ++i) {
        Dictionary d = device("SN" + std::to_string(i), std::to_string(i + 1), "0xB5").dictionary();
        d.set("oriUdpData", Bytes(150, uint8_t(i)));
        d.set("big", Value(uint64_t{0xFFFFFFFFFFFFFFFFull}));
        d.set("empty", Value(std::string()));
        d.set("nothing", Value());
        d.set("nested", Value(nested));
        if (i == 2) d.set("object", Value::object(handle));
        records.emplace_back(std::move(d));
    }
    const Value::Array all(records.begin(), records.end());
    const Value::Array kept = {records[0], records[2], records[3]};
    struct Case {
        int64_t type;
        std::shared_ptr<QKBroadcastFilter> filter;
        Value::Array atTimeOut;  // what passes the filter
    };
    for (const Case& c : {Case{0, nullptr, kept}, Case{2, test::rule(3, "0xac"), {}}}) {
        SCOPED_TRACE(c.type);
        std::vector<Value::Array> reported;
        auto observer = QKBroadcastObserver::initWithFilter(
            c.filter, 5, c.type,
            std::make_shared<const QKBroadcastCompletionBlock>(
                [&](const Value::Array& devices) { reported.push_back(devices); }));
        for (const Value& r : records) observer->updateWithDeviceInfor(r);
        EXPECT_EQ(observer->devicesArray(), all);
        observer->deviceArrayRemoveDic(records[1]);  // found among packed records
        EXPECT_EQ(observer->devicesArray(), kept);
        MainLoop::runFor(10);
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_EQ(reported[0], c.atTimeOut);
    }
}

TEST_F(ObserverTest, TimeOutsOnTheDispatchClock) {
    auto empty = make(0, 2.5);
    auto never = make(0, 0);
    never->updateWithDeviceInfor(device("A", "1"));
    auto start = Dispatch::manualClock()->monotonicNanos();
    MainLoop::runUntil([&] { return !reports.empty(); }, 100);
    EXPECT_EQ(Dispatch::manualClock()->monotonicNanos() - start, 2500000000);
    MainLoop::runFor(100);
    EXPECT_EQ(reports, (Reports{{}}));
    EXPECT_TRUE(never->isValid());

    // A released observer's time-out reports nothing; a raw-datagram observer says "timeOut".
    auto released = make(0, 1);
    released->setIsValid(false);
    Value::Array udp;
    auto raw =
        QKBroadcastObserver::initWithFilter(nullptr, 1, 0,
                                            std::make_shared<const QKBroadcastCompletionBlock>(
                                                [&](const Value::Array& a) { udp = a; }));
    raw->setIsUDPConfig(true);
    raw->updateWithudpConfig(Value(Bytes{1, 2}));
    MainLoop::drain();
    EXPECT_EQ(udp, (Value::Array{Bytes{1, 2}}));
    MainLoop::runFor(2);
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(udp, (Value::Array{Dictionary{{"timeOut", "1"}}}));
}

}  // namespace
}  // namespace telvo

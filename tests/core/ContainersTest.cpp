#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "core/QKModel.h"
#include "core/QKSafeMutableArray.h"

namespace telvo {
namespace {

TEST(SafeMutableArray, WalkMayChangeTheArrayAndRemovalIsByIdentity) {
    QKSafeMutableArray<std::shared_ptr<int>> observers;
    auto a = std::make_shared<int>(1), b = std::make_shared<int>(1), c = std::make_shared<int>(3);
    observers.addObject(a);
    observers.addObject(b);
    observers.addObject(c);
    std::vector<size_t> seen;
    observers.enumerateObjectsUsingBlock([&](const std::shared_ptr<int>& o, size_t i, bool&) {
        seen.push_back(i);
        if (o == a) observers.removeObject(b);  // re-entrant, from inside the walk
    });
    EXPECT_EQ(seen, (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(observers.allObjects(), (std::vector<std::shared_ptr<int>>{a, c}));
    EXPECT_EQ(observers.objectAtIndex(1), c);
    EXPECT_EQ(observers.objectAtIndex(2), std::nullopt);
}

TEST(SafeMutableArray, ConcurrentAppendsAllLand) {
    QKSafeMutableArray<int> numbers;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) numbers.addObject(t * 1000 + i);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(numbers.count(), 4000u);
}

struct Header {
    int8_t protocolVer = 0;
    int16_t msgType = 0;
    bool isSign = false;
    int32_t tag = 0;
    int64_t deviceID = 0;
    uint8_t flags = 0;
    std::string name;
    static const QKModelMapping<Header>& modelMapping() {
        static const auto m = QKModelMapping<Header>()
                                  .property("protocolVer", &Header::protocolVer)
                                  .property("msgType", &Header::msgType)
                                  .property("isSign", &Header::isSign)
                                  .property("tag", &Header::tag)
                                  .property("deviceID", &Header::deviceID)
                                  .property("flags", &Header::flags)
                                  .property("name", &Header::name);
        return m;
    }
};

TEST(ModelMapping, RoundTripAndWidthConversion) {
    Header h{1, 0x92, true, -7, INT64_MAX, 200, "n"};
    Value json = modelToJSONObject(h);
    EXPECT_EQ(json["msgType"].int64Value(), 146);
    EXPECT_EQ(json["deviceID"].int64Value(), INT64_MAX);
    auto back = modelWithJSON<Header>(json);
    ASSERT_TRUE(back);
    EXPECT_EQ(modelToJSONObject(*back), json);

    // Numbers take the width of the property; names not listed are ignored, missing ones
    // keep their initial value.
    auto narrowed = modelWithJSON<Header>(
        Dictionary{{"protocolVer", 300}, {"msgType", 70000}, {"flags", -1}, {"other", 5}});
    ASSERT_TRUE(narrowed);
    EXPECT_EQ(narrowed->protocolVer, 44);
    EXPECT_EQ(narrowed->msgType, 4464);
    EXPECT_EQ(narrowed->flags, 255);
    EXPECT_EQ(narrowed->deviceID, 0);
    EXPECT_EQ(modelWithJSON<Header>(Value::Array{}), nullptr);
}

}  // namespace
}  // namespace telvo

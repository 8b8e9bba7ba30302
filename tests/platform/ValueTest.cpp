#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "platform/JsonDocuments.h"
#include "platform/PropertyListDocuments.h"
#include "telvosdk/Value.h"

namespace telvo {
namespace {

TEST(ValueJson, ExactIntegersAndNulsSurviveRoundTrip) {
    const std::string json =
        R"([9223372036854775807,18446744073709551615,-9223372036854775808,"a\u0000b",1.5])";
    auto v = Value::fromJSON(json);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->at(0).int64Value(), INT64_MAX);
    EXPECT_EQ(v->at(1).uint64Value(), UINT64_MAX);
    EXPECT_EQ(v->at(2).int64Value(), INT64_MIN);
    EXPECT_EQ(v->at(3).text(), std::string("a\0b", 3));
    EXPECT_EQ(v->toJSON().value(), json);
}

TEST(ValueJson, KeyOrderKeptAndOutputCompact) {
    auto v = Value::fromJSON(R"({ "z": 1, "a": {"y": [true, null], "b": "t"} })");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->dictionary().keys(), (std::vector<std::string>{"z", "a"}));
    EXPECT_EQ(v->toJSON().value(), R"({"z":1,"a":{"y":[true,null],"b":"t"}})");
}

TEST(ValueJson, RefusesFragmentsBadUtf8AndGarbage) {
    for (const std::string& bad :
         std::vector<std::string>{"42", "\"text\"", "null", "[1,2", "{\"a\":1} x", "[\"\xC3\x28\"]",
                                  "[\"\xFF\"]", std::string(600, '[') + std::string(600, ']')}) {
        std::string error;
        EXPECT_FALSE(Value::fromJSON(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ValueJson, UnrepresentableValuesGiveNoText) {
    EXPECT_FALSE(Value(Value::Array{Value(Bytes{1, 2})}).toJSON());
    EXPECT_FALSE(Value(Value::Array{Value(std::string("\xFF"))}).toJSON());
}

TEST(ValueJson, ErrorsNameTheirReason) {
    const struct {
        std::string json, reason;
    } cases[] = {
        {"42", "JSON text must be an object or an array"},
        {"\"[\"", "JSON text must be an object or an array"},
        {"{\"a\":1} x", "invalid JSON: "},
        {"[\"\\uD800\"]", "invalid JSON: "},
        {"[\"\xC3\x28\"]", "invalid JSON: "},
        {"[1e999]", "invalid JSON: "},
        {"", "invalid JSON: "},
        {test::nestedJson(513), "JSON nesting is too deep"},
        {test::nestedJson(514, true), "JSON nesting is too deep"},
        // Garbage after the depth is passed: the nesting is what the parser meets first.
        {std::string(513, '[') + "x", "JSON nesting is too deep"},
        {"[x" + std::string(600, '['), "invalid JSON: "},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Value::fromJSON(c.json, &error)) << c.json.substr(0, 40);
        EXPECT_EQ(error.substr(0, c.reason.size()), c.reason) << c.json.substr(0, 40);
    }
}

TEST(ValueJson, NestingCountsContainersNotBracketsInTexts) {
    for (bool objects : {false, true}) {
        auto deepest = Value::fromJSON(test::nestedJson(512, objects));
        ASSERT_TRUE(deepest) << objects;
        const Value* v = &*deepest;
        size_t levels = 0;
        while (v->isArray() || v->isDictionary()) {
            ++levels;
            v = v->isArray() ? &v->at(v->count() - 1) : &(*v)["a"];
        }
        EXPECT_EQ(levels, 512u) << objects;
    }
    const std::string hidden = std::string(600, '[') + "\\\"" + std::string(600, '{') + "\\\\";
    auto v = Value::fromJSON("[\"" + hidden + "\", {\"" + hidden + "\": 1}, " +
                             test::nestedJson(511) + "]");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->at(0).text().size(), 1202u);
    EXPECT_EQ(v->at(1).count(), 1u);
}

TEST(ValueJson, IntegersMapByRangeAndDuplicateKeysKeepTheFirstPlace) {
    auto v = Value::fromJSON(
        R"({"a":9223372036854775807,"b":9223372036854775808,"c":-1,"d":1.0,"a":[],"b":2})");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->dictionary().keys(), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_TRUE((*v)["a"].isArray());
    EXPECT_EQ((*v)["b"].type(), Value::Type::Int);
    EXPECT_EQ((*v)["c"].type(), Value::Type::Int);
    EXPECT_EQ((*v)["d"].type(), Value::Type::Double);
    EXPECT_EQ(Value::fromJSON("[9223372036854775807,9223372036854775808]")->at(1).type(),
              Value::Type::UInt);
    EXPECT_EQ(Value::fromJSON("[9223372036854775807]")->at(0).type(), Value::Type::Int);

    // The same in an object large enough to keep an index.
    std::vector<std::string> keys;
    for (int i = 0; i < 100; ++i) keys.push_back("key" + std::to_string(i));
    std::string json = test::jsonObjectOfKeys(keys);
    json.back() = ',';
    auto big = Value::fromJSON(json + R"("key7":"last","key99":true})");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->dictionary().keys(), keys);
    EXPECT_EQ((*big)["key7"].text(), "last");
    EXPECT_TRUE((*big)["key99"].boolValue());
}

// Written as nlohmann's own writer writes the same document, compact and indented.
TEST(ValueJson, OutputMatchesTheLibrarysWriter) {
    std::string json =
        R"({"z":1.5,"a":{"y":[true,null,"\u00e9\n\u0001\u007f\u2028\"\\/"],"b":-3},"e":{},"f":[],)"
        R"("d":[1e100,-0.0,0.1,1.0,123456789.125,-2.5e-300],"g":[[],{},[{}],{"h":[]}],)";
    for (int i = 0; i < 300; ++i)
        json += "\"k" + std::to_string(300 - i) + "\":" + std::to_string(i) + ",";
    json += R"("big":18446744073709551615})";
    const auto reference = nlohmann::ordered_json::parse(json);
    auto v = Value::fromJSON(json);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->toJSON(), reference.dump());
    EXPECT_EQ(v->toPrettyJSON(), reference.dump(4));
}

// Documents an attacker might send: each is read or refused on a thread with a small stack.
TEST(ValueJson, HostileDocumentsReadOrRefusedOnASmallStack) {
    const auto std_hash = test::stdHashCollidingKeys(2000);
    ASSERT_EQ(std::hash<std::string>{}(std_hash.front()),
              std::hash<std::string>{}(std_hash.back()));
    const auto djb = test::djbCollidingKeys(1 << 14);
    const auto times33 = [](const std::string& key) {
        uint64_t h = 5381;
        for (unsigned char c : key) h = h * 33 + c;
        return h;
    };
    ASSERT_EQ(times33(djb.front()), times33(djb.back()));
    std::vector<std::string> ordinary;
    for (int i = 0; i < 50000; ++i) ordinary.push_back(std::to_string(i));
    const struct {
        const char* what;
        std::string json;
        size_t keys;  // of the top object read; 0: refused
    } cases[] = {
        {"keys of one std::hash", test::jsonObjectOfKeys(std_hash), std_hash.size()},
        {"keys of one times-33 hash", test::jsonObjectOfKeys(djb), djb.size()},
        {"50,000 keys", test::jsonObjectOfKeys(ordinary), ordinary.size()},
        {"one key 100,000 times", test::jsonObjectOfKeys(std::vector<std::string>(100000, "k")), 1},
        {"512 levels in an object", "{\"a\":" + test::nestedJson(511) + "}", 1},
        {"100,000 levels", test::nestedJson(100000, true), 0},
        {"100,000 open brackets", std::string(100000, '['), 0},
        {"100,000 brackets in a key", "{\"" + std::string(100000, '[') + "\":1}", 1},
    };
    for (const auto& c : cases) {
        // Read, looked up, written back and let go on the small stack.
        std::optional<size_t> entries;
        bool found = true, written = false;
        ASSERT_TRUE(test::onSmallStack([&] {
            const auto v = Value::fromJSON(c.json);
            if (!v) return;
            entries = v->count();
            const auto& d = v->dictionary();
            for (size_t i = 0; i < d.size(); i += 97)
                found = found && d.find(d.entries()[i].first) == &d.entries()[i].second;
            const auto text = v->toJSON();
            const auto again = text ? Value::fromJSON(*text) : std::nullopt;
            written = again && again->toJSON() == text;
        })) << c.what;
        EXPECT_EQ(entries, c.keys ? std::optional<size_t>(c.keys) : std::nullopt) << c.what;
        EXPECT_TRUE(found) << c.what;
        EXPECT_EQ(written, c.keys != 0) << c.what;
    }
}

struct Handle {
    int id = 3;
};

TEST(ValueAccess, WrongTypesAnswerWithDefaultsAndHandlesAreTyped) {
    Value dict = Dictionary{{"n", 7}, {"s", "12abc"}, {"b", true}, {"t", "yes"}};
    EXPECT_EQ(dict["n"].text(), "");
    EXPECT_EQ(dict["n"].stringValue(), "7");
    EXPECT_EQ(dict["s"].int64Value(), 12);
    EXPECT_TRUE(dict["t"].boolValue());
    EXPECT_EQ(dict["missing"]["deeper"].int64Value(), 0);
    EXPECT_TRUE(dict.at(3).isNull());
    EXPECT_FALSE(dict["s"].optionalText() == std::nullopt);
    EXPECT_EQ(dict["n"].optionalText(), std::nullopt);
    EXPECT_EQ(Value("-5").uint64Value(), static_cast<uint64_t>(-5));
    auto h = std::make_shared<Handle>();
    EXPECT_EQ(Value::object(h).objectAs<Handle>(), h);
    EXPECT_EQ(Value::object(h).objectAs<int>(), nullptr);
}

// A text's leading number: blanks and one sign first, digits up to the first other character,
// saturating beyond the range of the type asked for.
TEST(ValueAccess, TextsReadAsTheirLeadingNumber) {
    const struct {
        const char* text;
        int64_t asInt;
        uint64_t asUInt;
    } cases[] = {
        {"0", 0, 0},
        {"-0", 0, 0},
        {"  \t+42x", 42, 42},
        {"000000000000000000000000000000017", 17, 17},
        {"9223372036854775807", INT64_MAX, 9223372036854775807u},
        {"9223372036854775808", INT64_MAX, 9223372036854775808u},
        {"-9223372036854775807", -INT64_MAX, static_cast<uint64_t>(-INT64_MAX)},
        {"-9223372036854775808", INT64_MIN, static_cast<uint64_t>(INT64_MIN)},
        {"-9223372036854775809", INT64_MIN, static_cast<uint64_t>(INT64_MIN)},
        {"18446744073709551615", INT64_MAX, UINT64_MAX},
        {"18446744073709551616", INT64_MAX, UINT64_MAX},
        {"-123456789012345678901234567890", INT64_MIN, static_cast<uint64_t>(INT64_MIN)},
        {"x1", 0, 0},
        {"- 1", 0, 0},
        {"", 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Value(c.text).int64Value(), c.asInt) << c.text;
        EXPECT_EQ(Value(c.text).uint64Value(), c.asUInt) << c.text;
    }
}

TEST(ValueAccess, DictionaryReplacesInPlaceAndErases) {
    Dictionary d{{"a", 1}, {"b", 2}, {"c", 3}};
    d.set("a", 10);
    EXPECT_TRUE(d.erase("b"));
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(d["a"].int64Value(), 10);
}

// Sets, replacements and erases (from the middle, down below the size that keeps an index and
// up again) against a model of what the dictionary must hold, its copies independent.
TEST(ValueAccess, ManyKeysBehaveAsAFewAcrossTheIndexSize) {
    for (size_t size : {size_t{39}, size_t{40}, size_t{41}, size_t{1500}}) {
        Dictionary d;
        std::vector<std::pair<std::string, int>> model;
        const auto check = [&](const Dictionary& dict, const char* when) {
            ASSERT_EQ(dict.size(), model.size()) << size << when;
            for (size_t i = 0; i < model.size(); ++i) {
                ASSERT_EQ(dict.entries()[i].first, model[i].first) << size << when;
                ASSERT_EQ(dict[model[i].first].intValue(), model[i].second) << size << when;
            }
            EXPECT_FALSE(dict.contains("absent")) << size << when;
        };
        for (size_t i = 0; i < size; ++i) {
            const std::string key = i == 5 ? "" : "key" + std::to_string(i * 7919 % size);
            d.set(key, int(i));
            model.emplace_back(key, int(i));
        }
        for (size_t i = 0; i < size; i += 3) {
            d.set(model[i].first, -int(i));
            model[i].second = -int(i);
        }
        check(d, " set");
        const Dictionary copy = d;
        Dictionary assigned = d;
        assigned.set("more", 1);
        assigned = d;
        // Half the entries from the middle, then all but a few from the front, then back up.
        const size_t erasing = model.size() / 2;
        for (size_t i = 0; i < erasing; ++i) {
            const size_t at = model.size() / 2;
            ASSERT_TRUE(d.erase(model[at].first)) << size;
            EXPECT_FALSE(d.erase(model[at].first)) << size;
            model.erase(model.begin() + std::ptrdiff_t(at));
        }
        check(d, " erased");
        while (model.size() > 3) {
            ASSERT_TRUE(d.erase(model.front().first));
            model.erase(model.begin());
        }
        for (size_t i = 0; i < 60; ++i) {
            d.set("again" + std::to_string(i), int(i));
            model.emplace_back("again" + std::to_string(i), int(i));
        }
        check(d, " again");
        Dictionary moved = assigned;
        moved = std::move(d);
        check(moved, " moved");
        EXPECT_EQ(copy, assigned) << size;
        EXPECT_EQ(copy.size(), size) << size;
        EXPECT_EQ(copy[""].intValue(), 5) << size;
        for (size_t i = 0; i < size; i += 11)
            EXPECT_TRUE(assigned.contains(copy.entries()[i].first));
    }
}

// As an app unwraps a reply: the value, or its dictionary, replaced by a part of itself.
TEST(ValueAccess, AValueTakesOverAPartOfItself) {
    for (int size : {3, 100}) {
        Dictionary inner;
        for (int i = 0; i < size; ++i) inner.set("k" + std::to_string(i), i);
        Value copied = Dictionary{{"pad", 1}, {"data", inner}};
        copied = copied["data"];
        EXPECT_EQ(copied.dictionary(), inner) << size;
        Value moved = Dictionary{{"pad", 1}, {"data", inner}};
        Dictionary& outer = moved.mutableDictionary();
        outer = std::move(outer.find("data")->mutableDictionary());
        EXPECT_EQ(moved.dictionary(), inner) << size;
        EXPECT_EQ(moved["k2"].intValue(), 2) << size;
        Value assigned = Dictionary{{"pad", 1}, {"data", inner}};
        assigned.mutableDictionary() = assigned["data"].dictionary();
        EXPECT_EQ(assigned["k2"].intValue(), 2) << size;
    }
}

// Entries added last (as discovery adds the device id and the datagram) are found, kept in
// order and replaced like any other, in a small (scanned) dictionary and in one large enough to
// keep an index.
TEST(ValueAccess, EntriesAddedLastBehaveAsOthers) {
    for (size_t before : {size_t{0}, size_t{3}, size_t{39}, size_t{45}}) {
        Dictionary appended;
        std::vector<std::string> keys;
        for (size_t i = 0; i < before; ++i) {
            appended.set("k" + std::to_string(i), int(i));
            keys.push_back("k" + std::to_string(i));
        }
        appended.set("id", "77");
        appended.set("data", Bytes{1, 2, 3});
        keys.push_back("id");
        keys.push_back("data");
        EXPECT_EQ(appended.keys(), keys) << before;
        EXPECT_EQ(appended["id"].text(), "77") << before;
        EXPECT_EQ(appended["data"].bytes(), (Bytes{1, 2, 3})) << before;
        appended.set("id", "78");
        EXPECT_EQ(appended.size(), before + 2) << before;
        EXPECT_EQ(appended["id"].text(), "78") << before;
        EXPECT_TRUE(appended.erase("id")) << before;
        EXPECT_FALSE(appended.contains("id")) << before;
        EXPECT_EQ(appended["data"].bytes(), (Bytes{1, 2, 3})) << before;
        if (before) {
            EXPECT_EQ(appended["k0"].intValue(), 0) << before;
        }
    }
}

}  // namespace
}  // namespace telvo

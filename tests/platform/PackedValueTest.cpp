#include <cmath>
#include <limits>

#include "platform/foundation/PackedValue.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

Value deep(int levels) {
    Value v = Value::Array{};
    for (int i = 0; i < levels; ++i) v = Value::Array{std::move(v)};
    return v;
}

// Every kind of value comes back equal, the order of dictionary keys included.
TEST(PackedValue, RoundTrips) {
    Dictionary wide;
    for (int i = 60; i > 0; --i) wide.set("key" + std::to_string(i), Value(int64_t{i}));
    const struct {
        const char* what;
        Value value;
    } cases[] = {
        {"null", Value()},
        {"true", Value(true)},
        {"false", Value(false)},
        {"int extremes", Value::Array{Value(std::numeric_limits<int64_t>::min()),
                                      Value(std::numeric_limits<int64_t>::max()), Value(-1)}},
        {"uint max", Value(std::numeric_limits<uint64_t>::max())},
        {"doubles", Value::Array{Value(-0.0), Value(1e308), Value(-INFINITY), Value(0.1)}},
        {"empty text", Value(std::string())},
        {"text with a NUL, 300 bytes", Value(std::string(150, 'a') + '\0' + std::string(149, 'b'))},
        {"empty bytes", Value(Bytes{})},
        {"bytes over 16383", Value(Bytes(20000, 0xA5))},
        {"empty containers", Value::Array{Value(Value::Array{}), Value(Dictionary{})}},
        {"nested dictionary",
         Value(Dictionary{{"b", Value(Dictionary{{"x", Value(Bytes{1, 2})}})}, {"a", Value(1)}})},
        {"60 keys in their order", Value(wide)},
        {"64 levels", deep(63)},
    };
    Bytes scratch;  // one for all cases, as a holder packs value after value
    for (const auto& c : cases) {
        auto packedForm = packed::pack(c.value);
        ASSERT_TRUE(packedForm) << c.what;
        auto onePass = packed::packInto(c.value, scratch);
        ASSERT_TRUE(onePass) << c.what;
        EXPECT_EQ(Bytes(onePass->begin(), onePass->end()), *packedForm) << c.what;
        auto back = packed::unpack(*packedForm);
        ASSERT_TRUE(back) << c.what;
        EXPECT_EQ(*back, c.value) << c.what;
        if (c.value.isDictionary()) {
            EXPECT_EQ(back->dictionary().keys(), c.value.dictionary().keys());
        }
    }
    // -0.0 keeps its sign, which == does not see.
    EXPECT_TRUE(std::signbit(packed::unpack(*packed::pack(Value(-0.0)))->doubleValue()));
}

TEST(PackedValue, ObjectHandlesDoNotPack) {
    const Value object = Value::object(std::make_shared<int>(1));
    EXPECT_FALSE(packed::pack(object));
    EXPECT_FALSE(packed::pack(Value(Dictionary{{"a", Value(1)}, {"o", object}})));
    EXPECT_FALSE(packed::pack(Value::Array{Value(1), object}));
    Bytes scratch;
    EXPECT_FALSE(packed::packInto(Value::Array{Value(1), object}, scratch));
    // Past the scratch's first size too.
    EXPECT_FALSE(
        packed::packInto(Value(Dictionary{{"big", Bytes(5000, 1)}, {"o", object}}), scratch));
    EXPECT_TRUE(packed::packInto(Value(Bytes(3000, 2)), scratch));
}

// Keys packed apart: the values alone come back as the same dictionary with the keys; a
// dictionary has the keys only when they are exactly the same, in the same order.
TEST(PackedValue, KeysApartFromValues) {
    const auto make = [](const char* second) {
        return Dictionary{{"deviceSn", Value("0000AC1112223334445556667770001")},
                          {second, Value("127.0.0.1")},
                          {"big", Value(Bytes(3000, 7))},
                          {"nested", Value(Dictionary{{"n", Value(-2)}})},
                          {"", Value()},
                          {"deviceProtocolVersion", Value(2.5)}};
    };
    const Dictionary d = make("ip");
    Bytes keyScratch, scratch;
    const ByteView keyView = packed::packKeys(d, keyScratch);
    const Bytes keys(keyView.begin(), keyView.end());
    EXPECT_TRUE(packed::hasKeys(d, keys));
    auto values = packed::packValuesInto(d, scratch);
    ASSERT_TRUE(values);
    const Bytes valueBytes(values->begin(), values->end());
    auto back = packed::unpackDictionary(keys, valueBytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, Value(d));
    EXPECT_EQ(back->dictionary().keys(), d.keys());

    const auto without = [&](std::string_view key) {
        Dictionary other = d;
        other.erase(key);
        return other;
    };
    Dictionary extra = d, reordered = without("deviceSn"),
               middle = without("deviceProtocolVersion");
    extra.set("more", Value(1));
    reordered.set("deviceSn", Value("x"));
    middle.set("deviceProtocXlVersion", Value(2.5));  // the last key, one byte in its middle
    for (const Dictionary& other :
         {extra, make("iq"), make("IP"), reordered, without("big"), Dictionary{}})
        EXPECT_FALSE(packed::hasKeys(other, keys));
    Dictionary sameKeys = d;
    sameKeys.set("ip", Value(int64_t{4}));
    EXPECT_TRUE(packed::hasKeys(sameKeys, keys));

    for (size_t n = 0; n < valueBytes.size(); ++n)
        EXPECT_FALSE(packed::unpackDictionary(keys, ByteView(valueBytes).first(n))) << n;
    Bytes longer = valueBytes;
    longer.push_back(0);
    EXPECT_FALSE(packed::unpackDictionary(keys, longer));
    const Dictionary withObject{{"o", Value::object(std::make_shared<int>(1))}};
    EXPECT_FALSE(packed::packValuesInto(withObject, scratch));
}

// Values packed while the keys are checked: the same bytes as packed apart, nothing when the
// keys differ anywhere, the place of a marked text within them, and the same past the
// scratch's first size.
TEST(PackedValue, ValuesPackedWhileTheKeysAreChecked) {
    Dictionary d{{"deviceSn", Value("0000AC1112223334445556667770001")},
                 {"n", Value(int64_t{-4})},
                 {std::string(200, 'k'), Value(std::string(300, 't'))},
                 {"id", Value("77")}};
    Bytes keyScratch, scratch, apart;
    const ByteView keyView = packed::packKeys(d, keyScratch);
    const Bytes keys(keyView.begin(), keyView.end());
    for (size_t big : {size_t{0}, size_t{5000}}) {
        SCOPED_TRACE(big);
        if (big) d.set("big", Value(Bytes(big, 3)));
        const Bytes ownKeys = big ? Bytes(packed::packKeys(d, keyScratch).begin(),
                                          packed::packKeys(d, keyScratch).end())
                                  : keys;
        auto expected = packed::packValuesInto(d, apart);
        ASSERT_TRUE(expected);
        const Bytes expectedBytes(expected->begin(), expected->end());
        for (const char* mark : {"deviceSn", "id", "n"}) {
            size_t at = SIZE_MAX;
            auto values = packed::packValuesWithKeys(d, ownKeys, scratch, d.find(mark), &at);
            ASSERT_TRUE(values) << mark;
            EXPECT_EQ(Bytes(values->begin(), values->end()), expectedBytes) << mark;
            if (d.find(mark)->isText()) {
                const std::string& text = d.find(mark)->text();
                ASSERT_LE(at + text.size(), values->size()) << mark;
                EXPECT_EQ(std::string(values->begin() + at, values->begin() + at + text.size()),
                          text);
            } else {
                EXPECT_EQ(at, SIZE_MAX) << "only a text is marked";
            }
        }
        if (!big) {
            Dictionary renamed = d, fewer = d, more = d;
            renamed.erase("id");
            renamed.set("iD", Value("77"));
            fewer.erase("id");
            more.set("z", Value());
            for (const Dictionary& other : {renamed, fewer, more})
                EXPECT_FALSE(packed::packValuesWithKeys(other, keys, scratch));
        }
    }
    Dictionary withObject{{"deviceSn", Value("S")}, {"o", Value::object(std::make_shared<int>(1))}};
    const ByteView objectKeys = packed::packKeys(withObject, keyScratch);
    EXPECT_FALSE(packed::packValuesWithKeys(withObject, Bytes(objectKeys.begin(), objectKeys.end()),
                                            scratch));
}

// Anything but one whole packed value is refused: every shorter prefix, a byte more, an unknown
// tag, counts and lengths beyond the bytes, nesting deeper than 64.
TEST(PackedValue, RefusesWhatIsNotOneWholeValue) {
    const Value sample(Dictionary{{"key", Value::Array{Value(1), Value("text"), Value(Bytes{9})}},
                                  {"n", Value(2.5)}});
    const Bytes whole = *packed::pack(sample);
    for (size_t n = 0; n < whole.size(); ++n)
        EXPECT_FALSE(packed::unpack(ByteView(whole).first(n))) << n;
    Bytes longer = whole;
    longer.push_back(0);
    EXPECT_FALSE(packed::unpack(longer));
    const struct {
        const char* what;
        Bytes bytes;
    } bad[] = {
        {"unknown tag", {10}},
        {"text longer than the bytes", {6, 5, 'a', 'b'}},
        {"bytes length of 2^63", {7, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
        {"length that never ends", {6, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"array count beyond the bytes", {8, 0x7F, 0}},
        {"dictionary count beyond the bytes", {9, 3, 1, 'a', 0}},
        {"int cut short", {3, 1, 2, 3}},
    };
    for (const auto& b : bad) EXPECT_FALSE(packed::unpack(b.bytes)) << b.what;
    EXPECT_FALSE(packed::unpack(*packed::pack(deep(65))));
    EXPECT_TRUE(packed::unpack(*packed::pack(deep(64))));
}

}  // namespace
}  // namespace telvo

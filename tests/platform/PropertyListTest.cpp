#include <optional>
#include <string>
#include <vector>

#include "platform/PropertyListDocuments.h"
#include "platform/foundation/PropertyList.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

// What array 1 of sharedArraysPlist reads as: the array below it again at each place naming it.
Value expandedArrays(int levels) {
    Value v(std::string(60, 'x'));
    for (int i = 0; i < levels; ++i) v = Value::Array{v, v};
    return v;
}

// [a1, a2, ... a(length)] where array i names array i - 1 alone: a path length + 1 deep, though
// the reader meets each array first two levels down.
std::string chainNamedFromTop(int length) {
    std::string top = "\xAF\x11" + test::bigEndian(length, 2);
    std::vector<std::string> objects(1);
    for (int i = 1; i <= length; ++i) {
        top += test::bigEndian(i, 2);
        objects.push_back(i == 1 ? std::string("\xA0") : "\xA1" + test::bigEndian(i - 1, 2));
    }
    objects[0] = top;
    return test::binaryPlist(objects, 2);
}

std::string written(const Value& value, uint64_t format) {
    ErrorPtr error;
    auto bytes = PropertyListSerialization::dataWithPropertyList(value, format, 0, &error);
    EXPECT_TRUE(bytes) << (error ? error->localizedDescription() : "");
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// A binary document may name one object from many places, and each place reads as a copy of
// it: a document is refused, before any of it is read, when its copies would come to more than
// 64 objects a byte or 1 Mi objects in all, a text or data counting one object for every 64
// bytes it holds (arrays naming the next one twice, 20 and 22 deep in about 450 bytes, read as
// millions of objects; a 16 KB text named 16 Ki times in 32 KB, as 256 MB). XML names every
// object in place; its nearest shape, entities naming entities, is refused as it always was.
// Documents that repeat objects within the bound read whole: shared arrays a few levels deep,
// one list named from many keys, a long text named many times, and what the library writes for
// values that repeat equal objects (one object in its table).
TEST(PropertyListExpansion, DocumentsReadWithinTheirObjectBound) {
    const Value repeated = [] {
        Value::Array list;
        for (int i = 0; i < 300; ++i)
            list.push_back(Dictionary{{"name", "same"}, {"on", true}, {"n", 7}});
        return Value(Dictionary{{"sdkWorkMode", "10001"}, {"devices", std::move(list)}});
    }();
    const Value aliased = [] {
        Value::Array list;
        for (int i = 0; i < 100; ++i) list.push_back("element " + std::to_string(i));
        Dictionary keys;
        for (int i = 0; i < 40; ++i) keys.set("k" + std::to_string(i), list);
        return Value(std::move(keys));
    }();
    constexpr const char* kExpansion = "more objects than its size allows";
    struct Case {
        const char* name;
        std::string document;
        std::optional<Value> value;  // nullopt: refused
        const char* reason = "";
    } cases[] = {
        {"22 levels of shared arrays", test::sharedArraysPlist(22), std::nullopt, kExpansion},
        {"20 levels of shared arrays", test::sharedArraysPlist(20), std::nullopt, kExpansion},
        {"20 levels in 40 KB: under 64 a byte, over 1 Mi",
         test::sharedArraysPlist(20, {{"pad", test::binaryText(std::string(40 << 10, 'p'))}}),
         std::nullopt, kExpansion},
        {"entities naming entities, XML", test::entityLaughsPlist(22), std::nullopt,
         "not a property list"},
        {"a 16 KB text named 16 Ki times", test::repeatedTextPlist(16 << 10, 16 << 10),
         std::nullopt, kExpansion},
        {"600 deep through arrays met before", chainNamedFromTop(600), std::nullopt,
         "nested too deeply"},
        {"8 levels of shared arrays", test::sharedArraysPlist(8),
         Value(Dictionary{{"sdkWorkMode", "10001"}, {"a", expandedArrays(8)}})},
        {"one list named from 40 keys", test::aliasedListPlist(40, 100), aliased},
        {"a 1 KB text named a thousand times", test::repeatedTextPlist(1024, 1000),
         Value(Value::Array(1000, Value(std::string(1024, 't'))))},
        {"equal values written as binary", written(repeated, kPropertyListBinaryFormat), repeated},
        {"equal values written as XML", written(repeated, kPropertyListXMLFormat), repeated},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t peakBefore = test::peakResidentBytes();
        ErrorPtr error;
        auto value =
            PropertyListSerialization::propertyListWithData(c.document, 0, nullptr, &error);
        EXPECT_LT(test::peakResidentBytes() - peakBefore, size_t(16) << 20);
        EXPECT_EQ(value, c.value);
        if (c.value) {
            EXPECT_FALSE(error);
            continue;
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kNSPropertyListReadCorruptError);
        EXPECT_NE(error->userInfo()["NSDebugDescription"].text().find(c.reason), std::string::npos)
            << error->userInfo()["NSDebugDescription"].text();
    }
}

}  // namespace
}  // namespace telvo

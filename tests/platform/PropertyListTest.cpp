#include <plist/plist.h>

#include <algorithm>
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
// the reader meets each array first two levels down. An object no one names pads the document
// to 20 KB, so that its copies stay within the bound.
std::string chainNamedFromTop(int length) {
    std::string top = "\xAF\x11" + test::bigEndian(length, 2);
    std::vector<std::string> objects(1);
    for (int i = 1; i <= length; ++i) {
        top += test::bigEndian(i, 2);
        objects.push_back(i == 1 ? std::string("\xA0") : "\xA1" + test::bigEndian(i - 1, 2));
    }
    objects[0] = top;
    objects.push_back(test::binaryText(std::string(20 << 10, 'p')));
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
// 1 KiB a byte or 128 MiB in all, each object counting 64 bytes and a text or data the bytes it
// holds (arrays naming the next one twice, 20 and 22 deep in about 450 bytes, read as
// millions of objects; a 16 KB text named 16 Ki times in 32 KB, as 256 MB). XML names every
// object in place; its nearest shape, entities naming entities, is refused as it always was.
// A text counts its bytes each time it is named: 18 KB of arrays naming a 63-byte text a million
// times, within the old bound of 1 Mi objects, read as 327 MB.
// Documents that repeat objects within the bound read whole: shared arrays a few levels deep,
// one list named from many keys, a long text named many times, and what the library writes for
// values that repeat equal objects (one object in its table).
TEST(PropertyListExpansion, DocumentsReadWithinTheirByteBound) {
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
    constexpr const char* kExpansion = "more bytes than its size allows";
    struct Case {
        const char* name;
        std::string document;
        std::optional<Value> value;  // nullopt: refused
        const char* reason = "";
    } cases[] = {
        {"22 levels of shared arrays", test::sharedArraysPlist(22), std::nullopt, kExpansion},
        {"20 levels of shared arrays", test::sharedArraysPlist(20), std::nullopt, kExpansion},
        {"20 levels in 40 KB",
         test::sharedArraysPlist(20, {{"pad", test::binaryText(std::string(40 << 10, 'p'))}}),
         std::nullopt, kExpansion},
        {"20 levels in 200 KB: under 1 KiB a byte, over 128 MiB",
         test::sharedArraysPlist(20, {{"pad", test::binaryText(std::string(200 << 10, 'p'))}}),
         std::nullopt, kExpansion},
        {"a million 63-byte texts from 18 KB", test::fanOutTextPlist(), std::nullopt, kExpansion},
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
        // What is read before a refusal is within the bound.
        EXPECT_LT(test::peakResidentBytes() - peakBefore,
                  test::residentAllowance(c.document.size()));
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

// An honest reply of the largest body URL loading takes reads whole, in either form.
TEST(PropertyListExpansion, AnHonestLargestReplyReads) {
    for (uint64_t format : {kPropertyListXMLFormat, kPropertyListBinaryFormat}) {
        SCOPED_TRACE(format);
        const auto [reply, document] = test::honestReply(4 << 20, format);
        EXPECT_GT(document.size(), size_t(3800) << 10);
        EXPECT_LE(document.size(), size_t(4) << 20);
        ErrorPtr error;
        EXPECT_EQ(PropertyListSerialization::propertyListWithData(document, 0, nullptr, &error),
                  reply);
        EXPECT_FALSE(error);
    }
}

// Nesting is measured as the reader meets the tags: comments, CDATA sections, processing
// instructions, document types and quoted attribute values that hold a closing tag do not lower
// it, and nothing recurses once per level. Deep documents are refused, also on a thread with a
// small stack, and 512 levels (with markup between the tags, or binary) still read there.
TEST(PropertyListNesting, DeepDocumentsAreRefusedWhateverStandsBetweenTheirTags) {
    const std::vector<std::pair<const char*, std::string>> between = {
        {"nothing", ""},
        {"a comment", "<!--</array>-->"},
        {"a CDATA section", "<![CDATA[</array>]]>"},
        {"a processing instruction", "<?pi </array>?>"},
        {"a quoted processing instruction", "<?pi \"?></array>\"?>"},
        {"a document type", "<!DOCTYPE x [<!ENTITY e \"</array>\">]>"},
        {"an attribute", "<array a=\"></array>\"/>"},
    };
    const std::vector<std::pair<const char*, std::string>> binary = {
        {"binary, 600 levels", test::deepBinaryPlist(600)},
        {"binary, 50,000 levels", test::deepBinaryPlist(50000)},
    };
    auto read = [](const std::string& document) {
        ErrorPtr error;
        std::optional<Value> value;
        EXPECT_TRUE(test::onSmallStack([&] {
            value = PropertyListSerialization::propertyListWithData(document, 0, nullptr, &error);
        }));
        return std::pair{value, error};
    };
    auto refused = [&](const std::string& document, const char* reason) {
        auto [value, error] = read(document);
        EXPECT_FALSE(value);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kNSPropertyListReadCorruptError);
        EXPECT_NE(error->userInfo()["NSDebugDescription"].text().find(reason), std::string::npos)
            << error->userInfo()["NSDebugDescription"].text();
    };
    // Text in an array (a CDATA section's), a document type or a '<' inside an element, and a
    // closing tag after a processing instruction's end are refused where the reader meets them.
    for (const auto& [name, markup] : between) {
        const bool wellFormed =
            markup.empty() || markup.starts_with("<!--") || markup == "<?pi </array>?>";
        for (size_t levels : {513, 600, 50000, 500000}) {
            SCOPED_TRACE(std::string(name) + ", " + std::to_string(levels) + " levels");
            refused(test::deepXmlArrays(levels, markup),
                    wellFormed ? "nested too deeply" : "not a property list");
        }
    }
    for (const auto& [name, document] : binary) {
        SCOPED_TRACE(name);
        refused(document, "nested too deeply");
    }
    // The reader takes comments and processing instructions between the tags.
    for (const char* markup : {"", "<!--</array>-->", "<?pi </array>?>"}) {
        SCOPED_TRACE(markup);
        auto [value, error] = read(test::deepXmlArrays(512, markup));
        EXPECT_FALSE(error) << error->userInfo()["NSDebugDescription"].text();
        ASSERT_TRUE(value);
        size_t depth = 0;
        for (const Value* v = &*value; v->isArray(); v = &v->array()[0]) {
            ++depth;
            if (v->array().empty()) break;
        }
        EXPECT_EQ(depth, 512u);
    }
    // 512 containers of a binary document, the dictionary on top included.
    auto [binaryValue, binaryError] = read(test::deepBinaryPlist(510));
    EXPECT_FALSE(binaryError);
    ASSERT_TRUE(binaryValue);
    EXPECT_TRUE((*binaryValue)["a"].isArray());
}

// What is written reads back: nesting counts containers alike in both forms and in writing
// (a text in the innermost container is no level), and a value the reader would refuse is not
// written (3852): deeper than 512 containers, a text the form cannot carry, or, in binary form
// where one text is named from many places, more heap than its document's bound.
TEST(PropertyListWriting, WhatIsWrittenReadsBack) {
    auto nested = [](size_t depth) {
        Value v("innermost");
        for (size_t i = 0; i < depth; ++i) v = Value::Array{v};
        return v;
    };
    auto refusal = [](const Value& value, uint64_t format, uint64_t options = 0) {
        ErrorPtr error;
        auto bytes =
            PropertyListSerialization::dataWithPropertyList(value, format, options, &error);
        EXPECT_EQ(bytes.has_value(), !error);
        return error ? std::make_pair(error->code(), error->localizedDescription())
                     : std::make_pair(int64_t{0}, std::string());
    };
    const Value manyCopies(Value::Array(6000, Value(std::string(4096, 't'))));
    for (uint64_t format : {kPropertyListXMLFormat, kPropertyListBinaryFormat}) {
        SCOPED_TRACE(format);
        std::optional<Value> back;
        const std::string document = written(nested(512), format);
        ASSERT_TRUE(test::onSmallStack([&] {
            back = PropertyListSerialization::propertyListWithData(document, 0, nullptr, nullptr);
        }));
        EXPECT_EQ(back, nested(512));
        EXPECT_EQ(refusal(nested(513), format),
                  std::make_pair(kNSPropertyListWriteInvalidError,
                                 std::string("Property list nested deeper than 512 containers.")));
        // Not UTF-8, in either form.
        EXPECT_EQ(refusal(Value::Array{"\xff"}, format).first, kNSPropertyListWriteInvalidError);
        EXPECT_EQ(refusal(Value(Dictionary{{"\xc3", 1}}), format).first,
                  kNSPropertyListWriteInvalidError);
    }
    // XML holds no control character but tab and line feed (a carriage return reads back as a
    // line feed); binary does.
    for (const char* text : {"a\x01b", "a\r\nb", "\x7f"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(refusal(Value::Array{text}, kPropertyListXMLFormat).first,
                  kNSPropertyListWriteInvalidError);
        EXPECT_EQ(PropertyListSerialization::propertyListWithData(
                      written(Value::Array{text, "kept"}, kPropertyListBinaryFormat), 0, nullptr,
                      nullptr),
                  Value(Value::Array{text, "kept"}));
        auto skipped = PropertyListSerialization::dataWithPropertyList(
            Value::Array{text, "kept"}, kPropertyListXMLFormat,
            kPropertyListWriteSkippingUnrepresentable, nullptr);
        ASSERT_TRUE(skipped);
        EXPECT_EQ(PropertyListSerialization::propertyListWithData(
                      std::string(skipped->begin(), skipped->end()), 0, nullptr, nullptr),
                  Value(Value::Array{"kept"}));
    }
    EXPECT_EQ(written(Value::Array{"tab\tand\nline"}, kPropertyListXMLFormat).empty(), false);
    // One 4 KB text 6000 times: binary names it once (about 16 KB that read as 25 MB), XML
    // writes it out each time.
    EXPECT_EQ(refusal(manyCopies, kPropertyListBinaryFormat),
              std::make_pair(kNSPropertyListWriteInvalidError,
                             std::string("Property list reads into more bytes than its document "
                                         "allows.")));
    EXPECT_EQ(refusal(manyCopies, kPropertyListXMLFormat).first, 0);
}

// Should a tree deeper than the checks before parsing allow ever be parsed, it is freed without
// the library's recursion: chains of arrays and dictionaries 50,000 deep, alone, beside wide
// arrays and under many siblings, on a 256 KiB stack (the sanitized build also sees every
// node freed).
TEST(PropertyListNesting, DeepTreesAreFreedInPieces) {
    // A chain of levels containers under parent, alternating arrays and dictionaries, each
    // with extra leaves beside the next.
    auto chain = [](plist_t parent, size_t levels, int extra) {
        plist_t at = parent;
        for (size_t i = 0; i < levels; ++i) {
            plist_t next = i % 2 ? plist_new_dict() : plist_new_array();
            for (int k = 0; k < extra; ++k) {
                if (plist_get_node_type(at) == PLIST_DICT)
                    plist_dict_set_item(at, ("leaf" + std::to_string(k)).c_str(),
                                        plist_new_bool(1));
                else
                    plist_array_append_item(at, plist_new_uint(k));
            }
            if (plist_get_node_type(at) == PLIST_DICT)
                plist_dict_set_item(at, "next", next);
            else
                plist_array_append_item(at, next);
            at = next;
        }
    };
    const struct {
        const char* name;
        int chains;
        size_t levels;
        int extra;
    } cases[] = {
        {"one chain", 1, 50000, 0},
        {"one chain with leaves beside each level", 1, 50000, 3},
        {"many chains under one array", 40, 2000, 1},
        {"shallow", 5, 100, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plist_t root = plist_new_array();
        for (int i = 0; i < c.chains; ++i) {
            plist_t top = plist_new_array();
            chain(top, c.levels, c.extra);
            plist_array_append_item(root, top);
        }
        EXPECT_TRUE(test::onSmallStack([&] { detail::releaseDeepTree(root); }));
    }
}

}  // namespace
}  // namespace telvo

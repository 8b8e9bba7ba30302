#include <gtest/gtest.h>
#include <plist/plist.h>

#include <fstream>

#include "core/QKUserDefault.h"
#include "http/HttpTestSupport.h"
#include "http/QKAFHTTPSessionManager.h"
#include "platform/PropertyListDocuments.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/http/URLDownloadFile.h"
#include "sim/FakeCloud.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::FakeCloud;

// The cloud's side reads and writes property lists with libplist directly.
std::string describe(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            std::string text = "{";
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) break;
                text += std::string(key) + "=" + describe(item) + ";";
                free(key);
            }
            free(it);
            return text + "}";
        }
        case PLIST_ARRAY: {
            std::string text = "(";
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
                text += describe(plist_array_get_item(node, i)) + ",";
            return text + ")";
        }
        case PLIST_STRING: {
            char* value = nullptr;
            plist_get_string_val(node, &value);
            std::string text = "'" + std::string(value) + "'";
            free(value);
            return text;
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return std::to_string(int64_t(value));
        }
        case PLIST_BOOLEAN:
            return plist_bool_val_is_true(node) ? "true" : "false";
        case PLIST_DATA: {
            uint64_t length = 0;
            plist_get_data_ptr(node, &length);
            return "<" + std::to_string(length) + " bytes>";
        }
        default:
            return "?";
    }
}

std::string replyPlist(bool binary) {
    plist_t root = plist_new_dict();
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_uint(uint64_t(-5)));
    plist_array_append_item(list, plist_new_bool(1));
    plist_dict_set_item(root, "list", list);
    plist_dict_set_item(root, "name", plist_new_string("Zoë"));
    plist_dict_set_item(root, "raw", plist_new_data("\x00\x01\x02", 3));
    char* out = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(root, &out, &length);
    else
        plist_to_xml(root, &out, &length);
    std::string text(out, length);
    free(out);
    plist_free(root);
    return text;
}

TEST(PropertyList, BodiesBothWays) {
    DeterministicDispatch dispatch;
    FakeCloud cloud;
    for (uint64_t requestFormat : {kPropertyListXMLFormat, kPropertyListBinaryFormat}) {
        for (bool binaryReply : {false, true}) {
            SCOPED_TRACE(std::to_string(requestFormat) + (binaryReply ? " binary" : " xml"));
            cloud.setReply("/p",
                           {.body = replyPlist(binaryReply), .contentType = "application/x-plist"});
            auto manager = QKAFHTTPSessionManager::initWithBaseURL(cloud.baseURL());
            manager->setRequestSerializer(
                QKAFPropertyListRequestSerializer::serializerWithFormat(requestFormat, 0));
            manager->setResponseSerializer(QKAFPropertyListResponseSerializer::serializer());
            std::optional<Value> object;
            int calls = 0;
            manager->POST(
                "/p",
                Value(Dictionary{{"id", Value(42)},
                                 {"tags", Value(Value::Array{Value("a"), Value(false)})},
                                 {"blob", Value(Bytes(4, 9))}}),
                [&](const URLSessionTaskPtr&, const std::optional<Value>& o) {
                    ++calls;
                    object = o;
                },
                [&](const URLSessionTaskPtr&, const ErrorPtr& e) {
                    ++calls;
                    ADD_FAILURE() << e->localizedDescription();
                });
            ASSERT_TRUE(MainLoop::runUntil([&] { return calls > 0; }, 30));
            const auto request = cloud.requests().back();
            EXPECT_EQ(request.header("Content-Type"), "application/x-plist");
            plist_t root = nullptr;
            plist_from_memory(request.body.data(), uint32_t(request.body.size()), &root);
            EXPECT_EQ(root ? describe(root) : "unreadable",
                      "{id=42;tags=('a',false,);blob=<4 bytes>;}");
            plist_free(root);
            EXPECT_EQ(object, Value(Dictionary{
                                  {"list", Value(Value::Array{Value(-5), Value(true)})},
                                  {"name", Value("Zoë")},
                                  {"raw", Value(Bytes{0, 1, 2})},
                              }));
        }
    }
}

TEST(PropertyList, RequestsThatCannotBeWritten) {
    auto serializer = QKAFPropertyListRequestSerializer::serializer();
    struct Case {
        const char* name;
        uint64_t format;
        std::string method;
        Value parameters;
        int64_t errorCode;  // 0: a request
        std::string url;
    } cases[] = {
        {"null inside", kPropertyListXMLFormat, "POST", Value(Dictionary{{"a", Value()}}),
         kNSPropertyListWriteInvalidError, ""},
        {"OpenStep format", kPropertyListOpenStepFormat, "POST", Value(Dictionary{}),
         kNSPropertyListWriteInvalidError, ""},
        {"GET goes in the query", kPropertyListXMLFormat, "GET", Value(Dictionary{{"a", Value(1)}}),
         0, "http://h/p?a=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        serializer->format = c.format;
        ErrorPtr error;
        auto request = serializer->requestWithMethod(c.method, "http://h/p", c.parameters, &error);
        EXPECT_EQ(error ? error->code() : 0, c.errorCode);
        EXPECT_EQ(request.has_value(), c.errorCode == 0);
        EXPECT_EQ(request ? request->url : "", c.url);
    }
}

using test::response;

TEST(PropertyList, ResponsesFromUntrustedBytes) {
    const std::string xml = replyPlist(false);
    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 600; ++i) deep += "<array>";
    for (int i = 0; i < 600; ++i) deep += "</array>";
    deep += "</plist>";
    const std::optional<std::string> plistType = "application/x-plist";
    struct Case {
        const char* name;
        long status;
        std::optional<std::string> type;
        std::string body;
        bool object;
        int64_t errorCode;
    } cases[] = {
        {"XML", 200, plistType, xml, true, 0},
        {"binary", 200, plistType, replyPlist(true), true, 0},
        {"refused status", 500, plistType, xml, true, -1011},
        {"other type", 200, "text/xml", xml, false, -1016},
        {"empty", 200, plistType, "", false, 0},
        {"cut short", 200, plistType, xml.substr(0, xml.size() - 20), false, 3840},
        {"nested too deeply", 200, plistType, deep, false, 3840},
        {"not a property list", 200, plistType, "{\"json\":1}", false, 3840},
        // About 450 bytes that read in full as millions of objects, and the XML of that shape.
        {"arrays naming one another", 200, plistType, test::sharedArraysPlist(22), false, 3840},
        {"entities naming entities", 200, plistType, test::entityLaughsPlist(22), false, 3840},
        {"one list named from many keys", 200, plistType, test::aliasedListPlist(40, 100), true, 0},
        // 600 levels with closing tags in comments between them, and 18 KB naming a 63-byte
        // text a million times.
        {"nested deeply past comments", 200, plistType, test::deepXmlArrays(600, "<!--</array>-->"),
         false, 3840},
        {"a text named a million times", 200, plistType, test::fanOutTextPlist(), false, 3840},
    };
    auto serializer = QKAFPropertyListResponseSerializer::serializer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ErrorPtr error;
        const size_t peakBefore = test::peakResidentBytes();
        auto object = serializer->responseObjectForResponse(response(c.status, c.type),
                                                            toBytes(c.body), &error);
        // A refused reply read no more than its bound.
        EXPECT_LT(test::peakResidentBytes() - peakBefore, test::residentAllowance(c.body.size()));
        EXPECT_EQ(object.has_value(), c.object);
        EXPECT_EQ(error ? error->code() : 0, c.errorCode);
    }
}

// Any server's reply is read on the URL-loading thread or the app's: deep documents, whatever
// markup stands between their tags, are refused on a 256 KiB stack, and the honest reply of the
// largest body URL loading takes reads whole in either form.
TEST(PropertyList, DeepRepliesOnASmallStackAndTheLargestHonestReply) {
    auto serializer = QKAFPropertyListResponseSerializer::serializer();
    auto read = [&](const std::string& body, ErrorPtr* error) {
        std::optional<Value> object;
        EXPECT_TRUE(test::onSmallStack([&] {
            object = serializer->responseObjectForResponse(response(200, "application/x-plist"),
                                                           toBytes(body), error);
        }));
        return object;
    };
    for (const char* markup : {"", "<!--</array>-->", "<![CDATA[</array>]]>", "<?pi </array>?>"}) {
        for (size_t levels : {600, 50000, 500000}) {
            SCOPED_TRACE(std::string(markup) + " " + std::to_string(levels));
            ErrorPtr error;
            EXPECT_FALSE(read(test::deepXmlArrays(levels, markup), &error));
            EXPECT_EQ(error ? error->code() : 0, 3840);
        }
    }
    for (uint64_t format : {kPropertyListXMLFormat, kPropertyListBinaryFormat}) {
        const auto [reply, document] = test::honestReply(4 << 20, format);
        ErrorPtr error;
        EXPECT_EQ(read(document, &error), reply) << format;
        EXPECT_FALSE(error);
    }
}

// Documents built to hurt, through every route that reads one (the reader itself, a cloud reply,
// the settings file, download resume data), on a thread with a 256 KiB stack: each is read or
// refused alike on every route, and nothing crashes. Read: a key named again over a value 511
// containers deep (the value it replaces is freed), keys alike under a times-33 hash or libstdc++'s
// std::hash (8,192 of each), a text of 262,144 entity references, a chain of 505 arrays above a fan
// of 20,000 names of one text, and a 2,000-byte text named as often as the bound allows (2,043
// times in 4,103 bytes: 4,200,480 bytes of heap against 4,201,472). Refused: tag names that end in
// a zero byte 20,000 levels deep, the chain naming a fan of 2,000 at every level (a million texts
// from 14 KB), and the text named once more (40 bytes over).
TEST(PropertyList, HostileDocumentsThroughEveryRoute) {
    const std::vector<std::string> keys = test::djbCollidingKeys(8192);
    auto repeated = [](uint32_t times) { return test::repeatedTextPlist(2000, times); };
    std::string replaced = "<dict><key>x</key>";
    for (int i = 0; i < 510; ++i) replaced += "<array>";
    for (int i = 0; i < 510; ++i) replaced += "</array>";
    replaced += "<key>x</key><string>y</string></dict>";
    const struct {
        const char* name;
        std::string document;
        bool reads;
        bool settings = true;  // a read document holds "sdkWorkMode"
    } cases[] = {
        {"a key named again over a deep value", test::xmlWithWorkMode(replaced), true},
        {"keys alike under a times-33 hash, XML", test::dictionaryOfKeys(keys, false), true},
        {"keys alike under a times-33 hash, binary", test::dictionaryOfKeys(keys, true), true},
        {"keys alike under libstdc++'s std::hash, binary",
         test::dictionaryOfKeys(test::stdHashCollidingKeys(8192), true), true},
        {"a quarter million entity references", test::entityText(1 << 18), true},
        {"a chain above a fan", test::chainAboveFan(505, 20000, false), true},
        {"a text named as often as the bound allows", repeated(2043), true, false},
        {"tag names ending in a zero byte", test::zeroInTagNames(20000), false},
        {"a chain naming a fan at every level", test::chainAboveFan(505, 2000, true), false},
        {"a text named a little more often", repeated(2044), false},
    };
    test::TempFolder folder;
    auto serializer = QKAFPropertyListResponseSerializer::serializer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<Value> value, reply;
        ErrorPtr replyError;
        Value workMode;
        ASSERT_TRUE(test::onSmallStack([&] {
            value =
                PropertyListSerialization::propertyListWithData(c.document, 0, nullptr, nullptr);
            reply = serializer->responseObjectForResponse(response(200, "application/x-plist"),
                                                          toBytes(c.document), &replyError);
            EXPECT_FALSE(URLResumeData::decode(toBytes(c.document)));
            std::ofstream(folder.path() / "QKUserDefault.plist", std::ios::binary) << c.document;
            workMode = QKUserDefault(folder.path()).valueForKey("sdkWorkMode");
        }));
        EXPECT_EQ(value.has_value(), c.reads);
        EXPECT_EQ(reply, value);
        EXPECT_EQ(replyError ? replyError->code() : 0, c.reads ? 0 : 3840);
        EXPECT_EQ(workMode, c.reads && c.settings ? Value("10001") : Value());
    }
    // What the documents that read hold.
    auto read = [](const std::string& document) {
        return PropertyListSerialization::propertyListWithData(document, 0, nullptr, nullptr)
            .value_or(Value());
    };
    EXPECT_EQ(read(test::xmlWithWorkMode(replaced))["a"]["x"], Value("y"));
    EXPECT_EQ(read(test::dictionaryOfKeys(keys, true))["a"].dictionary().keys(), keys);
    EXPECT_EQ(read(test::entityText(1 << 18))["a"].text(), std::string(1 << 18, '&'));
    EXPECT_EQ(read(repeated(2043)).count(), 2043u);
}

TEST(CompoundSerializer, FirstObjectInListOrder) {
    auto json = [] { return QKAFJSONResponseSerializer::serializer(); };
    auto plist = [] { return QKAFPropertyListResponseSerializer::serializer(); };
    auto raw = [] { return QKAFHTTPResponseSerializer::serializer(); };
    using List = QKAFCompoundResponseSerializer::Serializers;
    const std::string jsonBody = R"({"a":1})";
    struct Case {
        const char* name;
        List serializers;
        long status;
        std::string type, body;
        std::optional<Value> object;
        int64_t errorCode;
    } cases[] = {
        {"JSON first",
         {json(), raw()},
         200,
         "application/json",
         jsonBody,
         Value(Dictionary{{"a", Value(1)}}),
         0},
        {"raw first",
         {raw(), json()},
         200,
         "application/json",
         jsonBody,
         Value(toBytes(jsonBody)),
         0},
        {"a refusing type is skipped",
         {plist(), json()},
         200,
         "application/json",
         jsonBody,
         Value(Dictionary{{"a", Value(1)}}),
         0},
        {"a serializer without an object is passed over",
         {json(), raw()},
         200,
         "text/plain",
         "not json",
         Value(toBytes("not json")),
         0},
        {"none produces one", {json()}, 200, "application/json", "{", std::nullopt, 3840},
        {"all refuse", {json(), plist()}, 404, "application/json", jsonBody, std::nullopt, -1011},
        {"empty list", {}, 500, "application/json", jsonBody, std::nullopt, -1011},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto compound = QKAFCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
            c.serializers);
        for (const auto& serializer :
             {std::static_pointer_cast<QKAFURLResponseSerialization>(compound), compound->copy()}) {
            ErrorPtr error;
            auto object = serializer->responseObjectForResponse(response(c.status, c.type),
                                                                toBytes(c.body), &error);
            EXPECT_EQ(object, c.object);
            EXPECT_EQ(error ? error->code() : 0, c.errorCode);
        }
    }
}

}  // namespace
}  // namespace telvo

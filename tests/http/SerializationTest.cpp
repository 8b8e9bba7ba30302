#include <gtest/gtest.h>

#include "http/HttpTestSupport.h"
#include "http/QKAFHTTPRequestSerializer.h"
#include "http/QKAFHTTPResponseSerializer.h"
#include "http/QKAFNetworkReachabilityManager.h"
#include "platform/PropertyListDocuments.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/NetworkReachability.h"

namespace telvo {
namespace {

using test::response;

TEST(RequestSerializer, DefaultHeadersAndBodies) {
    DeviceInfo info;
    info.executableName = "Démo";
    info.shortVersion = "1.2";
    info.model = "Linux";
    info.systemVersion = "6.1";
    info.screenScale = 2;
    info.preferredLanguages = {"a", "b", "c", "d", "e", "f", "g", "h"};
    DeviceInfo::setCurrent(info);
    auto json = QKAFJSONRequestSerializer::serializer();
    DeviceInfo::resetForTesting();
    EXPECT_EQ(json->valueForHTTPHeaderField("accept-language"),
              "a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
    EXPECT_EQ(json->valueForHTTPHeaderField("User-Agent"), "Dmo/1.2 (Linux; iOS 6.1; Scale/2.00)");

    json->setValue("x", "user-agent");
    json->setValue(std::nullopt, "Accept-Language");
    auto post = json->requestWithMethod("POST", "https://h/p", std::nullopt, nullptr);
    EXPECT_FALSE(post->httpBody);
    EXPECT_FALSE(post->valueForHTTPHeaderField("Content-Type"));
    EXPECT_FALSE(post->valueForHTTPHeaderField("Accept-Language"));
    EXPECT_EQ(post->valueForHTTPHeaderField("User-Agent"), "x");

    // 64-bit integers go out exact.
    Value parameters(
        Dictionary{{"id", Value(uint64_t(18446744073709551615ull))}, {"s", Value("é")}});
    auto body = json->requestWithMethod("POST", "https://h/p", parameters, nullptr);
    EXPECT_EQ(toString(*body->httpBody), "{\"id\":18446744073709551615,\"s\":\"é\"}");
    EXPECT_EQ(body->valueForHTTPHeaderField("Content-Type"), "application/json");
    ErrorPtr error;
    auto fragment = json->requestWithMethod("POST", "https://h/p", Value("text"), &error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(fragment && !fragment->httpBody);

    auto form = QKAFHTTPRequestSerializer::serializer();
    auto empty = form->requestWithMethod("POST", "https://h/p", std::nullopt, nullptr);
    EXPECT_EQ(empty->httpBody, Bytes{});
    EXPECT_EQ(empty->valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded");
    Value query(Dictionary{{"z", Value(Value::Array{Value(1), Value(true)})},
                           {"a b", Value("x&y")},
                           {"n", Value(Dictionary{{"k", Value(nullptr)}})}});
    auto get = form->requestWithMethod("GET", "https://h/p?q=1", query, nullptr);
    EXPECT_EQ(get->url, "https://h/p?q=1&a%20b=x%26y&n%5Bk%5D&z%5B%5D=1&z%5B%5D=1");
    form->setAuthorizationHeaderFieldWithUsername("user", "pass");
    EXPECT_EQ(form->valueForHTTPHeaderField("Authorization"), "Basic dXNlcjpwYXNz");
}

TEST(RequestSerializer, AuthorizationAndQueryStringSetters) {
    auto form = QKAFHTTPRequestSerializer::serializer();
    struct Credentials {
        std::string user, password, header;
    } credentials[] = {
        {"user", "pass", "Basic dXNlcjpwYXNz"},
        {"", "", "Basic Og=="},
        {"ü", "p:w", "Basic w7w6cDp3"},  // UTF-8 bytes; a colon in the password stays
    };
    for (const auto& c : credentials) {
        form->setAuthorizationHeaderFieldWithUsername(c.user, c.password);
        auto request = form->requestWithMethod("GET", "https://h/p", std::nullopt, nullptr);
        EXPECT_EQ(request->valueForHTTPHeaderField("Authorization"), c.header);
    }
    form->clearAuthorizationHeader();
    EXPECT_FALSE(form->valueForHTTPHeaderField("Authorization"));
    auto cleared = form->requestWithMethod("GET", "https://h/p", std::nullopt, nullptr);
    EXPECT_FALSE(cleared->valueForHTTPHeaderField("Authorization"));

    // The block replaces the default encoding for both places a query goes; its error ends
    // the request; choosing a style drops the block.
    std::vector<std::string> methodsSeen;
    form->setQueryStringSerializationWithBlock(
        [&](const URLRequest& request, const Value& parameters, ErrorPtr* error) {
            methodsSeen.push_back(request.httpMethod);
            if (parameters.isText() && parameters.text() == "refuse") {
                *error = makeError("test", 7, "refused");
                return std::optional<std::string>();
            }
            return std::optional<std::string>("custom=1");
        });
    Value parameters(Dictionary{{"a", Value("b")}});
    auto get = form->requestWithMethod("GET", "https://h/p?q=0", parameters, nullptr);
    EXPECT_EQ(get->url, "https://h/p?q=0&custom=1");
    auto post = form->requestWithMethod("POST", "https://h/p", parameters, nullptr);
    EXPECT_EQ(toString(*post->httpBody), "custom=1");
    ErrorPtr error;
    EXPECT_FALSE(form->requestWithMethod("POST", "https://h/p", Value("refuse"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 7);
    EXPECT_EQ(methodsSeen, (std::vector<std::string>{"GET", "POST", "POST"}));
    form->setQueryStringSerializationWithStyle(0);
    auto plain = form->requestWithMethod("GET", "https://h/p", parameters, nullptr);
    EXPECT_EQ(plain->url, "https://h/p?a=b");
    EXPECT_EQ(methodsSeen.size(), 3u);
}

TEST(ResponseSerializer, ValidationAndParsing) {
    auto serializer = QKAFJSONResponseSerializer::serializer();
    struct Case {
        long status;
        std::optional<std::string> mime;
        std::optional<std::string> body;
        std::optional<std::string> objectJSON;  // nullopt: no object
        int64_t errorCode;                      // 0: no error
    } cases[] = {
        {200, "application/json", "{\"a\":1}", "{\"a\":1}", 0},
        {204, std::nullopt, "", std::nullopt, 0},
        {200, "text/xml", "", std::nullopt, 0},
        {200, "text/xml", "<a/>", std::nullopt, -1016},
        {500, "application/json", "{\"a\":1}", "{\"a\":1}", -1011},
        {200, "application/json", " ", std::nullopt, 0},
        {200, "application/json", "7", std::nullopt, kNSPropertyListReadCorruptError},
        {200, "application/json", "{\"a\":", std::nullopt, kNSPropertyListReadCorruptError},
        {200, "application/json", "[9223372036854775807,-9223372036854775808]",
         "[9223372036854775807,-9223372036854775808]", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.value_or("(null)"));
        ErrorPtr error;
        std::optional<Bytes> data;
        if (c.body) data = toBytes(*c.body);
        auto object =
            serializer->responseObjectForResponse(response(c.status, c.mime), data, &error);
        EXPECT_EQ(object ? object->toJSON() : std::nullopt, c.objectJSON);
        EXPECT_EQ(error ? error->code() : 0, c.errorCode);
    }
    // Both checks failing: the status error carries the content-type error.
    ErrorPtr error;
    serializer->validateResponse(response(404, "text/xml"), toBytes("x"), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), -1011);
    EXPECT_EQ(error->localizedDescription(), "Request failed: not found (404)");
    ASSERT_TRUE(underlyingErrorOf(error));
    EXPECT_EQ(underlyingErrorOf(error)->code(), -1016);

    serializer->setRemovesKeysWithNullValues(true);
    auto object = serializer->responseObjectForResponse(
        response(200, "application/json"), toBytes(R"({"a":null,"b":[null,{"c":null}]})"), nullptr);
    EXPECT_EQ(object->toJSON(), R"({"b":[null,{}]})");
}

// JSON replies built to hurt, through the JSON response serializer (also removing null values)
// on a thread with a 256 KiB stack: read or refused, never a crash. Keys alike under a times-33
// hash, one key given 100,000 times, a key given again over a value 511 containers deep, nesting
// hidden in a text, and 512 containers read; 513 are refused.
TEST(ResponseSerializer, HostileJsonRepliesOnASmallStack) {
    std::string colliding = "{";
    for (const auto& key : test::djbCollidingKeys(40000)) colliding += "\"" + key + "\":null,";
    colliding += "\"last\":1}";
    std::string repeated = "{";
    for (int i = 0; i < 100000; ++i) repeated += "\"k\":" + std::to_string(i) + ",";
    repeated += "\"k\":-1}";
    auto nested = [](int depth, const std::string& inner) {
        return std::string(size_t(depth), '[') + inner + std::string(size_t(depth), ']');
    };
    const struct {
        const char* name;
        std::string body;
        size_t count;  // of the top container; 0: refused
    } cases[] = {
        {"keys alike under a times-33 hash", colliding, 40001},
        {"one key given 100,000 times", repeated, 1},
        {"a key given again over a deep value", "{\"k\":" + nested(511, "null") + ",\"k\":1}", 1},
        {"nesting in a text", "[\"" + std::string(100000, '[') + "\"]", 1},
        {"512 containers", nested(512, ""), 1},
        {"513 containers", nested(513, ""), 0},
    };
    for (bool removesNulls : {false, true}) {
        auto serializer = QKAFJSONResponseSerializer::serializer();
        serializer->setRemovesKeysWithNullValues(removesNulls);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (removesNulls ? ", nulls removed" : ""));
            std::optional<Value> object;
            ErrorPtr error;
            ASSERT_TRUE(test::onSmallStack([&] {
                object = serializer->responseObjectForResponse(response(200, "application/json"),
                                                               toBytes(c.body), &error);
            }));
            EXPECT_EQ(error ? error->code() : 0, c.count ? 0 : kNSPropertyListReadCorruptError);
            const size_t nulls = removesNulls && c.count == 40001 ? 40000 : 0;
            EXPECT_EQ(object ? object->count() : 0, c.count - nulls);
        }
    }
}

TEST(Reachability, FlagTable) {
    namespace F = ReachabilityFlags;
    struct Case {
        uint32_t flags;
        int64_t status;
    } cases[] = {
        {F::kReachable, 2},
        {F::kReachable | F::kIsWWAN, 1},
        {F::kReachable | F::kConnectionRequired, 0},
        {F::kReachable | F::kConnectionRequired | F::kConnectionOnTraffic, 2},
        {F::kReachable | F::kConnectionRequired | F::kConnectionOnDemand | F::kInterventionRequired,
         0},
        {0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QKAFNetworkReachabilityManager::statusForFlags(c.flags), c.status);
    EXPECT_EQ(QKAFStringFromNetworkReachabilityStatus(-1), "Unknown");
    EXPECT_EQ(QKAFStringFromNetworkReachabilityStatus(7), "Unknown");
}

TEST(Reachability, EachStartDeliversOnceOnTheMainQueue) {
    DeterministicDispatch dispatch;
    NetworkReachability::setFlags(ReachabilityFlags::kReachable | ReachabilityFlags::kIsWWAN);
    auto monitor = QKAFNetworkReachabilityManager::manager();
    std::vector<std::string> seen;
    monitor->setReachabilityStatusChangeBlock([&](int64_t status) {
        EXPECT_TRUE(DispatchQueue::main()->isCurrent());
        seen.push_back("block " + std::to_string(status));
    });
    auto token = NotificationCenter::defaultCenter()->addObserverForName(
        QKAFNetworkingReachabilityDidChangeNotification, nullptr, [&](const Notification& n) {
            EXPECT_TRUE(DispatchQueue::main()->isCurrent());
            seen.push_back(
                "note " +
                n.userInfo[QKAFNetworkingReachabilityNotificationStatusItem].stringValue());
        });
    monitor->startMonitoring();
    monitor->startMonitoring();
    EXPECT_EQ(monitor->networkReachabilityStatus(), -1);
    MainLoop::runUntil([&] { return seen.size() >= 4; }, 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"block 1", "note 1", "block 1", "note 1"}));
    EXPECT_TRUE(monitor->isReachableViaWWAN());

    NetworkReachability::setFlags(0);
    MainLoop::runUntil([&] { return seen.size() >= 6; }, 1);
    EXPECT_EQ(monitor->networkReachabilityStatus(), 0);
    monitor->stopMonitoring();
    NetworkReachability::setFlags(ReachabilityFlags::kReachable);
    MainLoop::runFor(1);
    EXPECT_EQ(seen.size(), 6u);
    NotificationCenter::defaultCenter()->removeObserver(token);
    NetworkReachability::resetForTesting();
}

}  // namespace
}  // namespace telvo

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "cloud/QKNetWorkApplianceOperation.h"
#include "cloud/QKRandomNumObject.h"
#include "core/QKUserDefault.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NetworkReachability.h"
#include "records/QKMiddleInterface.h"
#include "security/QKDataSecurity.h"
#include "sim/CloudRoute.h"
#include "sim/LogCapture.h"
#include "sim/SimCloudApi.h"
#include "sim/TempFolder.h"
#include "sim/TestPki.h"
#include "sim/TestSupport.h"
#include "telvosdk/TelvoError.h"

namespace telvo {
namespace {

using test::FakeCloud;
using test::ScriptedReply;
using test::SimCloudApi;
using Op = QKNetWorkApplianceOperation;
constexpr auto json = &SimCloudApi::json;

// What a call ended with. Every block checks that it runs on the main queue.
struct Outcome {
    int calls = 0;
    ErrorPtr error;
    std::optional<Value> reply;
    Op::SuccessBlock success() {
        return [this](const std::optional<Value>& r) {
            EXPECT_TRUE(DispatchQueue::main()->isCurrent());
            ++calls;
            error = TelvoError::sucError();
            reply = r;
        };
    }
    Op::FailedBlock failed() {
        return [this](const ErrorPtr& e) {
            ++calls;
            error = e;
        };
    }
    Op::ResultCompletion completion() {
        return [this](const ErrorPtr& e, const std::optional<Value>& r) {
            EXPECT_TRUE(DispatchQueue::main()->isCurrent());
            ++calls;
            error = e;
            reply = r;
        };
    }
};

class RefreshingDelegate : public QKRefreshDelegate {
  public:
    bool respondsToRefreshToken() const override { return responds; }
    void refreshToken(std::function<void(bool)> done) override {
        ++refreshes;
        responds = !stopAfterRefresh;
        if (grant) QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken(nextToken);
        DispatchQueue::main()->async([done, grant = grant] { done(grant); });
    }
    std::optional<std::string> smartSDKGetMasPathPrefix() override { return prefix; }
    std::optional<std::string> smartSDKGetHostWithApiPath(const std::string&) override {
        return host;
    }
    bool grant = true, responds = true, stopAfterRefresh = false;
    std::string nextToken = "token-2";
    int refreshes = 0;
    std::optional<std::string> prefix, host;
};

class CloudClientTest : public ::testing::Test {
  protected:
    CloudClientTest() {
        resetForTesting<QKMiddleInterface>();
        resetForTesting<QKUserDefault>();
        NetworkReachability::resetForTesting();
        QKNetWorkManager::resetForTesting();
        auto settings = config();
        settings->setServerHost(cloud.baseURL());
        settings->setHttpSignKey("signKey");
        settings->setHttpSignSecret("signSecret");
        settings->setAccessToken("token-1");
        settings->setAppId("app-7");
        settings->setClientId("client-9");
        settings->setAppKey("0123456789abcdef");
        api.setAccessToken("token-1");
        setMode("10001");
    }
    ~CloudClientTest() override {
        MainLoop::drain();
        QKNetWorkManager::resetForTesting();
    }
    static std::shared_ptr<QKMiddleConfig> config() {
        return QKMiddleInterface::shareInstance()->middleConfig();
    }
    static void setMode(const std::string& mode) {
        QKUserDefault::standardUserDefaults()->setValue(Value(mode), "sdkWorkMode");
    }
    static void apExists(Outcome& out) {
        Op::getApplianceDevicesnAPExistsWithDeviceSn("SN", "c", false, std::nullopt, out.success(),
                                                     out.failed());
        finish(out);
    }
    static void finish(const Outcome& out, int calls = 1) {
        ASSERT_TRUE(MainLoop::runUntil([&] { return out.calls >= calls; }, 60));
        MainLoop::drain();
        EXPECT_EQ(out.calls, calls);
    }

    DeterministicDispatch dispatch;
    FakeCloud cloud;
    SimCloudApi api{cloud, "signKey", "signSecret"};
};

// Golden vectors, made with:
//   printf '%s' 'signSecret{"reqId":"r1","stamp":"20260101000000"}4242' |
//     openssl dgst -sha256 -hmac signKey
//   K=$(printf '%s' token-1 | openssl dgst -sha256 | awk '{print substr($2,1,32)}')
//   printf '%s'
//   'POST/v2/open/sdk/device/sn/apExists{"reqId":"r1","stamp":1767225600000,"note":"ab"}' |
//     openssl dgst -sha256 -mac HMAC -macopt hexkey:$K -binary | openssl base64
TEST_F(CloudClientTest, SignaturesMatchTheGoldenVectors) {
    const std::string bodySigned =
        "06b9f7b8af1d18814bb290ff82d7f6f0bac67e6e944076b2169ffd7546fc6a01";
    const std::string openApi = "mwFFAWI4mFKCxM0SorD2hC/Xss6WY08ZprzSdZRNy/0=";
    Value body = *Value::fromJSON(R"({"reqId":"r1","stamp":"20260101000000"})");
    EXPECT_EQ(QKNetWorkManager::getHMacSignStrWithDic(body, "4242"), bodySigned);
    EXPECT_EQ(test::referenceBodySign("signKey", "signSecret", *body.toJSON(), "4242"), bodySigned);
    // The signed text drops blanks, inside texts too.
    Value open = *Value::fromJSON(R"({"reqId":"r1","stamp":1767225600000,"note":"a b"})");
    EXPECT_EQ(
        QKNetWorkManager::getKorvoOpenHMacSignStrWithDic(open, "/v2/open/sdk/device/sn/apExists"),
        openApi);
    EXPECT_EQ(test::referenceOpenApiSignature("token-1", "/v2/open/sdk/device/sn/apExists",
                                              *open.toJSON()),
              openApi);
}

TEST_F(CloudClientTest, EveryOperationInEveryWorkModeIsSignedAndRouted) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    struct Operation {
        std::string name, openPath, signedPath, keys;  // keys: the operation's body keys
        std::function<URLSessionTaskPtr(Outcome&)> call;
    };
    const std::string threshold = "/v2/open/sdk/device/getNetworkThreshold";
    const std::vector<Operation> operations = {
        {"apExists", "/v2/open/sdk/device/sn/apExists", "/v1/appliance/sn/apExists",
         "extra randomCode sn forceValidRandomCode",
         [](Outcome& o) {
             return Op::getApplianceDevicesnAPExistsWithDeviceSn(
                 "SN123", std::nullopt, true,
                 Value(Dictionary{{"extra", Value(1)}, {"randomCode", Value("x")}}), o.success(),
                 o.failed());
         }},
        {"register", "", "/v1/appliance/register", "sn applianceType",
         [](Outcome& o) {
             return Op::getDeviceIdWithDeviceSn("SN123", "0xAC", o.success(), o.failed());
         }},
        {"meshkey", "", "/v1/appliance/ble/meshkey/get", "homegroupId",
         [](Outcome& o) { return Op::getMeshkeyWithFamiyId({}, o.success(), o.failed()); }},
        {"meshAddress", "", "/v1/appliance/ble/bcaddress/batch/get",
         "homegroupId applianceCode count",
         [](Outcome& o) {
             return Op::getMeshAddressWithFamiyId("h", "d", 3, o.success(), o.failed());
         }},
        {"negotiatedKey", "/v2/open/sdk/appliance/privateKey2", "/v1/appliance/AKA/privateKey",
         "bizGroup",
         [](Outcome& o) { return Op::requestNegotiatedKeyWithCompetion(o.completion()); }},
        {"tlsCert", "/open/dca-tls/cert/pki/applyCertByP10", "/cert/pki/applyCertByP10", "p10",
         [](Outcome& o) {
             return Op::requestTLSCerWithParam(Value(Dictionary{{"p10", Value("MII")}}),
                                               o.completion());
         }},
        {"threshold", threshold, threshold, "type modelCode",
         [](Outcome& o) {
             return Op::requestNetworkThresholdWithType("t", std::nullopt, o.completion());
         }},
        {"confirmInfo", threshold, threshold, "k",
         [](Outcome& o) {
             return Op::requestDeviceIotConfirmInfo(Value(Dictionary{{"k", Value("v")}}),
                                                    o.completion());
         }},
    };
    const std::vector<std::string> signedOrder = {"random", "Content-Type", "sign", "secretVersion",
                                                  "accessToken"};
    const std::vector<std::string> openOrder = {"Authorization", "Signature",    "SignatureVersion",
                                                "ClientId",      "Content-Type", "Accept"};
    std::set<std::string> ours(openOrder.begin(), openOrder.end());
    ours.insert(signedOrder.begin(), signedOrder.end());
    config()->setIsSupportTLS(true);
    for (std::string mode : {"10001", "10002", "10003", "10004", "1"}) {
        setMode(mode);
        const bool openMode = mode == "10002" || mode == "10004";
        const bool identity = mode == "1" || mode == "10003" || mode == "10004";
        for (const auto& op : operations) {
            SCOPED_TRACE(mode + " " + op.name);
            Outcome out;
            URLSessionTaskPtr task = op.call(out);
            ASSERT_TRUE(task);
            finish(out);
            EXPECT_EQ(out.error->code(), 0);
            ASSERT_FALSE(api.seen().empty()) << "no request reached the fake cloud";
            const SimCloudApi::Seen seen = api.seen().back();
            const bool open = openMode && !op.openPath.empty();
            EXPECT_EQ(seen.request.path, open ? op.openPath : op.signedPath);
            EXPECT_EQ(seen.scheme,
                      open ? SimCloudApi::Scheme::openApi : SimCloudApi::Scheme::bodySigned);
            EXPECT_TRUE(seen.signatureValid);
            // Header order as sent, and no header of the other scheme.
            std::vector<std::string> expected = open ? openOrder : signedOrder;
            if (!open && mode == "10004") expected.insert(expected.begin(), "Authorization");
            std::vector<std::string> sent;
            for (const auto& [name, value] : task->originalRequest().headers.fields())
                if (ours.count(name)) sent.push_back(name);
            EXPECT_EQ(sent, expected);
            for (const auto& name : ours) {
                bool wanted = std::find(expected.begin(), expected.end(), name) != expected.end();
                // The URL loader sends "Accept: */*" when the request has none.
                if (name != "Accept") {
                    EXPECT_EQ(!seen.request.header(name).empty(), wanted) << name;
                }
            }
            // Body keys: the common ones of the scheme and work mode, then the operation's.
            Value body = *Value::fromJSON(seen.request.body);
            std::set<std::string> keys = {"reqId", "stamp"};
            std::istringstream words(op.keys);
            for (std::string word; words >> word;) keys.insert(word);
            if (!open && identity) keys.insert({"deviceId", "format", "appId", "clientType"});
            std::vector<std::string> got = body.dictionary().keys();
            EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), keys);
            if (op.name == "apExists") {
                EXPECT_EQ(body["randomCode"].text(), "0");
                EXPECT_EQ(body["forceValidRandomCode"], Value(true));
                EXPECT_EQ(body["sn"].text(),
                          QKDataSecurity::sensitiveDataEncryption("SN123").value_or(""));
            }
            if (op.name == "negotiatedKey") {
                EXPECT_EQ(body["bizGroup"].text(), "telvo,datakey");
            }
            if (op.name == "meshAddress") {
                EXPECT_EQ(body["count"], Value(3));
            }
        }
    }
}

// The open API's "stamp" is the clock's whole milliseconds, exactly, the fraction dropped.
TEST_F(CloudClientTest, OpenApiStampIsTheClocksMilliseconds) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    setMode("10002");
    for (auto [millis, fraction] : {std::pair<int64_t, int64_t>{0, 0},
                                    {2, 0},
                                    {5, 0},
                                    {9, 0},
                                    {25, 0},
                                    {26, 0},
                                    {999, 999999},
                                    {5, 999999}}) {
        SCOPED_TRACE(millis);
        dispatch.clock().setWallNanos((1767225600000 + millis) * 1000000 + fraction);
        Outcome out;
        apExists(out);
        ASSERT_FALSE(api.seen().empty()) << "no request reached the fake cloud";
        const std::optional<Value> body = Value::fromJSON(api.seen().back().request.body);
        ASSERT_TRUE(body && (*body)["stamp"].isNumber());
        EXPECT_EQ((*body)["stamp"].int64Value(), 1767225600000 + millis);
    }
}

TEST_F(CloudClientTest, RepliesMapToTheirErrors) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    auto server = [](int64_t src, int64_t code, std::optional<std::string> msg) {
        return TelvoError::errorWithType(3, src, code, msg)->code();
    };
    const int64_t ok = 0, malformed = 319000, transport = 319002;
    struct Case {
        ScriptedReply reply;
        int64_t bodySigned, openApi;
    };
    const std::vector<Case> cases = {
        {json(R"({"code":0,"data":{}})"), ok, ok},
        {json(R"({"code":"0"})"), ok, ok},
        {json(R"({"data":{}})"), malformed, ok},
        {json(R"({"code":1234,"msg":"m"})"), server(3, 1234, "m"), server(3, 1234, "m")},
        {json(R"({"code":9999})"), server(3, 9999, {}), server(3, 9999, {})},
        {json(R"({"code":10000,"msg":"m"})"), server(4, 10000, "m"), server(4, 10000, "m")},
        {json(R"({"code":5,"msg":7})"), malformed, server(3, 5, {})},
        {json(R"([{"code":5}])"), malformed, ok},
        {json("not json"), transport, transport},
        {{.status = 500, .body = R"({"code":0})"}, transport, transport},
        {{.body = std::string(4096, ' '), .closeAbruptly = true}, transport, transport},
    };
    for (bool open : {false, true}) {
        setMode(open ? "10002" : "10001");
        for (size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(std::to_string(i) + (open ? " open" : " signed"));
            api.script(open ? "/v2/open/sdk/device/sn/apExists" : "/v1/appliance/sn/apExists",
                       {cases[i].reply});
            Outcome out;
            apExists(out);
            EXPECT_EQ(out.error->code(), open ? cases[i].openApi : cases[i].bodySigned);
        }
    }

    // No network: the failure at once, on the caller's thread, and nothing sent.
    NetworkReachability::setFlags(0);
    const size_t sent = cloud.requestCount();
    Outcome out;
    EXPECT_EQ(Op::getMeshkeyWithFamiyId("h", out.success(), out.failed()), nullptr);
    EXPECT_EQ(out.calls, 1);
    EXPECT_EQ(out.error->code(), 319003);
    MainLoop::drain();
    EXPECT_EQ(cloud.requestCount(), sent);
}

TEST_F(CloudClientTest, CompletionOperationsExtractTheirResult) {
    const std::string threshold = "/v2/open/sdk/device/getNetworkThreshold";
    const std::string noDictionary = R"({"code":0,"data":"x"})";
    const std::string confirm = R"({"code":0,"data":{"confirmImgUrl":"u","confirmDesc":"d"}})";
    struct Case {
        std::string path, reply;
        std::function<void(Outcome&)> call;
        bool errorIsNull;
        std::optional<std::string> resultJSON;
    };
    auto key = [](Outcome& o) { Op::requestNegotiatedKeyWithCompetion(o.completion()); };
    auto limits = [](Outcome& o) { Op::requestNetworkThresholdWithType("t", "m", o.completion()); };
    auto info = [](Outcome& o) {
        Op::requestDeviceIotConfirmInfo(Value(Dictionary{}), o.completion());
    };
    const std::vector<Case> cases = {
        {"/v1/appliance/AKA/privateKey", noDictionary, key, false, noDictionary},
        {"/v1/appliance/AKA/privateKey", R"({"code":0,"data":{"k":1}})", key, false, R"({"k":1})"},
        {threshold, noDictionary, limits, false, std::nullopt},
        {threshold, R"({"code":3,"data":{"k":1}})", limits, false, std::nullopt},
        {threshold, R"({"code":0,"data":{"confirmImgUrl":"u","confirmDesc":""}})", info, false,
         std::nullopt},
        {threshold, confirm, info, true, R"({"confirmImgUrl":"u","confirmDesc":"d"})"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        api.script(cases[i].path, {json(cases[i].reply)});
        Outcome out;
        cases[i].call(out);
        finish(out);
        EXPECT_EQ(out.error == nullptr, cases[i].errorIsNull);
        EXPECT_EQ(out.reply ? out.reply->toJSON() : std::nullopt, cases[i].resultJSON);
    }
}

TEST_F(CloudClientTest, TokenInvalidCodesDependOnTheConfiguration) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    const std::string path = "/v1/appliance/register";
    struct Case {
        int64_t workmode, configured, code;
        bool tokenInvalid;
    };
    for (const Case& c : std::vector<Case>{{1, 0, 40001, true},
                                           {3, 0, 40001, false},
                                           {3, 777, 777, true},
                                           {8888, 0, 40002, true}}) {
        config()->setWorkmode(c.workmode);
        config()->setTokenInvalidErrorCode(c.configured);
        api.script(path, {json(R"({"code":)" + std::to_string(c.code) + R"(,"msg":"m"})")});
        Outcome out;
        Op::getDeviceIdWithDeviceSn("SN", "t", out.success(), out.failed());
        finish(out);
        EXPECT_EQ(out.error->domain(), c.tokenInvalid ? "NSError" : TelvoError::kDomain);
        if (c.tokenInvalid) {
            EXPECT_EQ(out.error->code(), c.code);
            EXPECT_EQ(out.error->localizedDescription(), "m");
        }
    }
}

TEST_F(CloudClientTest, TokenRefreshReplaysEachRequestOnceAndCompletesOnce) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    config()->setWorkmode(1);
    const std::string path = "/v1/appliance/ble/meshkey/get";
    auto delegate = std::make_shared<RefreshingDelegate>();
    QKNetWorkManager::shareInstance()->setTokenRefreshDelegate(delegate);

    // Two calls at once, both token-invalid, then both accepted after the refresh (whichever
    // reaches the cloud first: one's replay may arrive before the other's first try).
    auto tokenInvalid = SimCloudApi::tokenInvalid();
    api.acceptOnlyBodyToken("token-2");
    api.script(path, {json(R"({"code":0,"data":{"meshkey":"k"}})"),
                      json(R"({"code":0,"data":{"meshkey":"k"}})")});
    Outcome first, second;
    Op::getMeshkeyWithFamiyId("h", first.success(), first.failed());
    Op::getMeshkeyWithFamiyId("h", second.success(), second.failed());
    finish(first);
    finish(second);
    EXPECT_EQ(first.error->code(), 0);
    EXPECT_EQ(second.error->code(), 0);
    auto seen = api.seen();
    ASSERT_EQ(seen.size(), 4u);
    std::set<std::string> signs;
    std::multiset<std::string> tokens;
    for (const auto& request : seen) {
        EXPECT_TRUE(request.signatureValid);
        tokens.insert(request.request.header("accessToken"));
        signs.insert(request.request.header("sign"));
    }
    EXPECT_EQ(tokens, (std::multiset<std::string>{"token-1", "token-1", "token-2", "token-2"}));
    EXPECT_EQ(seen[0].request.header("accessToken"), "token-1");
    EXPECT_EQ(seen[3].request.header("accessToken"), "token-2");
    EXPECT_EQ(signs.size(), 4u);  // no request repeats another's signature

    // A second token-invalid after the replay ends the call; so does a refused refresh.
    struct Case {
        bool grant;
        size_t requests;
    };
    for (const Case& c : {Case{true, 2}, Case{false, 1}}) {
        delegate->grant = c.grant;
        const size_t before = api.seen().size();
        api.script(path, {tokenInvalid, tokenInvalid});
        Outcome out;
        Op::getMeshkeyWithFamiyId("h", out.success(), out.failed());
        finish(out);
        EXPECT_EQ(out.error->domain(), "NSError");
        EXPECT_EQ(out.error->code(), 40001);
        EXPECT_EQ(api.seen().size() - before, c.requests);
        EXPECT_EQ(QKNetWorkManager::shareInstance()->pendingRequestCount(), 0u);
    }

    // An open-API request reports the token-invalid error at once, whatever the refresh.
    setMode("10002");
    api.setAccessToken("token-2");
    delegate->grant = true;
    api.script("/v2/open/sdk/device/sn/apExists", {tokenInvalid});
    Outcome open;
    apExists(open);
    EXPECT_EQ(open.error->code(), 40001);

    // A delegate that stops refreshing by the time it reports has the shared slot replayed,
    // to nobody, signed again over its path.
    delegate->stopAfterRefresh = true;
    api.script("/v2/open/sdk/device/sn/apExists", {json(R"({"code":0})"), tokenInvalid});
    Outcome reset;  // a success clears the slot's count
    apExists(reset);
    const size_t before = api.seen().size();
    Outcome last;
    apExists(last);
    ASSERT_TRUE(MainLoop::runUntil([&] { return api.seen().size() == before + 2; }, 60));
    ASSERT_FALSE(api.seen().empty()) << "no request reached the fake cloud";
    EXPECT_TRUE(api.seen().back().signatureValid);
    MainLoop::drain();
    EXPECT_EQ(last.calls, 1);
}

TEST_F(CloudClientTest, UrlBuildingUsesTheDelegatesPrefixAndHost) {
    auto delegate = std::make_shared<RefreshingDelegate>();
    auto client = QKNetWorkManager::shareInstance();
    client->setTokenRefreshDelegate(delegate);
    const std::string host = cloud.baseURL();
    struct Case {
        std::optional<std::string> prefix, host;
        std::string path, url;
    };
    for (const Case& c : std::vector<Case>{
             {"/mas", "https://h", "/v1/x", "https://h/mas/v1/x"},
             {"", std::nullopt, "/v1/x", host + "/v1/x"},
             {"/mas", "https://h", "http://full/v1/x", "http://full/v1/x"},
         }) {
        delegate->prefix = c.prefix;
        delegate->host = c.host;
        EXPECT_EQ(client->getAllRequestUrlWithPath(c.path), c.url);
    }
}

TEST_F(CloudClientTest, DownloadKeepsTheFileOnlyForStatus200) {
    test::TempFolder folder;
    cloud.setReply("/file", {.body = "payload", .contentType = "application/octet-stream"});
    cloud.setReply("/missing", {.status = 404, .body = "gone", .contentType = "text/plain"});
    for (std::string name : {"file", "missing"}) {
        const std::string target = (folder.path() / name).string();
        Outcome out;
        QKNetWorkManager::shareInstance()->downLoadFileWithURL(cloud.url("/" + name), target,
                                                               out.failed());
        finish(out);
        EXPECT_EQ(test::readFile(target), name == "file" ? "payload" : "");
        // Status 404 reaches the completion as the session layer's error.
        EXPECT_EQ(out.error->code(), name == "file" ? 0 : -1011);
    }
}

TEST_F(CloudClientTest, RandomCodeMovesARepeatedAWithinTwoMinutes) {
    // MD5 of the BSSID bytes and the password, made with:
    //   printf '\x0a\x0b\x0c\x0d\x0e\x0fpass' | openssl md5
    const std::string digest = std::string("89b61fcfbcccc3f6d6469ba06ae3d60e").substr(0, 28);
    struct Case {
        int32_t a, b;
        double after;  // seconds since the previous call
        std::string prefix;
        int32_t aAfter;
    };
    QKRandomNumObject::resetForTesting();
    auto generator = QKRandomNumObject::sharedManager();
    for (const Case& c : std::vector<Case>{{0x12, 0x34, 0, "1234", 0x12},
                                           {0x12, 0x34, 121, "1234", 0x12},
                                           {0x12, 0x34, 30, "1334", 0x13},
                                           {0xff, 0x34, 10, "ff34", 0xff},
                                           {0xff, 0x34, 10, "fe34", 0xfe},
                                           {0x01, 0x02, 10, "0102", 0x01},
                                           // The largest A wraps without overflow.
                                           {INT32_MAX, 0x02, 10, "7fffffff02", INT32_MAX},
                                           {INT32_MAX, 0x02, 10, "8000000002", INT32_MIN}}) {
        dispatch.clock().advance(c.after);
        int32_t a = c.a, b = c.b;
        EXPECT_EQ(generator->produceRandomNumWithRandomA(a, b, "a:b:c:d:e:f", "ssid", "pass"),
                  c.prefix + digest);
        EXPECT_EQ(a, c.aAfter);
    }
    // The SSID takes no part; leading zeros of the BSSID do not matter.
    int32_t a = 9, b = 9;
    EXPECT_EQ(generator->produceRandomNumWithRandomA(a, b, "0a:0b:0c:0d:0e:0f", "other", "pass"),
              "0909" + digest);
}

// Over HTTPS, configured as an app would: the cloud's roots, pins and the permissive choice in
// QKMiddleConfig. A refused server never sees the request, nor its token and signature.
TEST_F(CloudClientTest, TheCloudsCertificateIsVerifiedByDefault) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    using Tls = FakeCloud::Tls;
    const auto& pki = test::TestPki::shared();
    const Bytes& root = pki.root().certificate;
    const Bytes& leaf = pki.server().certificate;
    const int64_t transport = 319002;
    auto log = std::make_shared<test::LogLines>();
    QKUserDefault::standardUserDefaults()->setBool(true, "logenable");
    QKMiddleInterface::shareInstance()->setCustomLogDelegate(log);
    auto warnings = [&] {
        return std::count_if(log->lines.begin(), log->lines.end(), [](const std::string& line) {
            return line.find("allows invalid cloud certificates") != std::string::npos;
        });
    };
    struct Case {
        const char* name;
        Tls tls;
        std::vector<Bytes> roots;  // the app's roots for the cloud (empty: the system's)
        std::vector<Bytes> pins;   // mode 1 with these certificates' keys
        bool permissive;
        bool accepted;
    } cases[] = {
        {"good chain to the app's root", Tls::trusted, {root}, {}, false, true},
        {"good chain, system roots only", Tls::trusted, {}, {}, false, false},
        {"self-signed", Tls::selfSigned, {root}, {}, false, false},
        {"another host's certificate", Tls::otherHost, {root}, {}, false, false},
        {"expired", Tls::expired, {root}, {}, false, false},
        {"client purpose", Tls::clientPurpose, {root}, {}, false, false},
        {"an RSA key of 1024 bits", Tls::rsa1024, {root}, {}, false, false},
        {"signed over SHA-1", Tls::sha1Signed, {root}, {}, false, false},
        {"chain to another root", Tls::attacker, {root}, {}, false, false},
        {"pinned leaf on a good chain", Tls::trusted, {root}, {leaf}, false, true},
        {"pin missing from a good chain",
         Tls::trusted,
         {root},
         {pki.unrelatedRoot().certificate},
         false,
         false},
        {"pinned root the server does not send", Tls::withoutRoot, {root}, {root}, false, true},
        {"pinned self-signed, not permissive",
         Tls::selfSigned,
         {root},
         {pki.selfSignedServer().certificate},
         false,
         false},
        {"permissive, self-signed", Tls::selfSigned, {}, {}, true, true},
        {"permissive, a pin still applies", Tls::selfSigned, {}, {leaf}, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeCloud secure(c.tls);
        SimCloudApi secureApi{secure, "signKey", "signSecret"};
        QKNetWorkManager::resetForTesting();
        config()->setServerHost(secure.baseURL());
        config()->setCloudRootCers(c.roots);
        config()->setSSLPinningMode(c.pins.empty() ? 0 : 1);
        config()->setCers(c.pins);
        config()->setAllowInvalidCloudCertificates(c.permissive);
        log->lines.clear();
        for (int request = 0; request < 2; ++request) {
            Outcome out;
            apExists(out);
            EXPECT_EQ(out.error->code(), c.accepted ? 0 : transport);
        }
        EXPECT_EQ(secure.requestCount(), c.accepted ? 2u : 0u);
        // One warning for the permissive choice, however many requests follow.
        EXPECT_EQ(warnings(), c.permissive ? 1 : 0);
    }
}

// The app's security choices are read at each request, not once: roots and pins set after the
// first request apply to the next, and a download meets the same roots, pins and permissive
// choice as the signed requests.
TEST_F(CloudClientTest, SecurityChoicesMadeLaterApplyToRequestsAndDownloads) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    using Tls = FakeCloud::Tls;
    const auto& pki = test::TestPki::shared();
    const Bytes& root = pki.root().certificate;
    const int64_t transport = 319002;
    FakeCloud secure(Tls::trusted), selfSigned(Tls::selfSigned);
    SimCloudApi secureApi{secure, "signKey", "signSecret"};
    secure.setReply("/file", {.body = "payload", .contentType = "application/octet-stream"});
    selfSigned.setReply("/file", {.body = "payload", .contentType = "application/octet-stream"});
    config()->setServerHost(secure.baseURL());
    struct Step {
        const char* name;
        std::vector<Bytes> roots, pins;
        bool permissive;
        bool accepted;
    } steps[] = {
        {"system roots only", {}, {}, false, false},
        {"the app's root set later", {root}, {}, false, true},
        {"a pin missing from the chain set later",
         {root},
         {pki.unrelatedRoot().certificate},
         false,
         false},
        {"the pin taken away again", {root}, {}, false, true},
    };
    test::TempFolder folder;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        config()->setCloudRootCers(step.roots);
        config()->setSSLPinningMode(step.pins.empty() ? 0 : 1);
        config()->setCers(step.pins);
        const size_t before = secure.requestCount();
        Outcome out;
        apExists(out);
        EXPECT_EQ(out.error->code(), step.accepted ? 0 : transport);
        const std::string target = (folder.path() / "file").string();
        Outcome download;
        QKNetWorkManager::shareInstance()->downLoadFileWithURL(secure.url("/file"), target,
                                                               download.failed());
        finish(download);
        EXPECT_EQ(download.error->code() == 0, step.accepted);
        EXPECT_EQ(secure.requestCount() - before, step.accepted ? 2u : 0u);
    }
    // The permissive choice reaches downloads too, and a pin still narrows it.
    config()->setCloudRootCers({});
    config()->setAllowInvalidCloudCertificates(true);
    for (bool pinned : {false, true}) {
        SCOPED_TRACE(pinned ? "permissive, pinned elsewhere" : "permissive");
        config()->setSSLPinningMode(pinned ? 1 : 0);
        config()->setCers(pinned ? std::vector<Bytes>{root} : std::vector<Bytes>{});
        Outcome download;
        QKNetWorkManager::shareInstance()->downLoadFileWithURL(
            selfSigned.url("/file"), (folder.path() / "self").string(), download.failed());
        finish(download);
        EXPECT_EQ(download.error->code() == 0, !pinned);
    }
}

}  // namespace
}  // namespace telvo

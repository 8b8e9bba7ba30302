#include <gtest/gtest.h>
#include <poll.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/http/URLLoader.h"
#include "platform/http/URLSession.h"
#include "sim/FakeCloud.h"
#include "sim/LoopbackTcpPeer.h"
#include "sim/TestPki.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::FakeCloud;
using test::ScriptedReply;

// Writes down every event in order; checks that they arrive on the delegate queue.
class Recorder : public URLSessionDelegate {
  public:
    bool didReceiveServerTrustChallenge(const URLSessionTaskPtr& task, SecTrust& trust,
                                        const std::string& host) override {
        challengedHosts.push_back(host);
        if (trustAnswer) return *trustAnswer;
        return URLSessionDelegate::didReceiveServerTrustChallenge(task, trust, host);
    }
    void didReceiveResponse(const URLSessionTaskPtr&, const HTTPURLResponsePtr& response) override {
        EXPECT_TRUE(queue->isCurrent());
        events.push_back("response " + std::to_string(response->statusCode));
    }
    void didReceiveData(const URLSessionTaskPtr&, const Bytes& data) override {
        EXPECT_TRUE(queue->isCurrent());
        if (events.empty() || events.back() != "data") events.push_back("data");
        body.append(data.begin(), data.end());
    }
    void didCompleteWithError(const URLSessionTaskPtr&, const ErrorPtr& error) override {
        EXPECT_TRUE(queue->isCurrent());
        events.push_back("complete " + std::to_string(error ? error->code() : 0));
        ++completions;
    }

    std::shared_ptr<OperationQueue> queue = OperationQueue::create("test delegate");
    std::vector<std::string> events;
    std::string body;
    int completions = 0;
    std::optional<bool> trustAnswer;
    std::vector<std::string> challengedHosts;
};

// The text as a zlib stream (the "deflate" content coding).
std::string zlibOf(const std::string& text) {
    uLongf size = compressBound(uLong(text.size()));
    std::string out(size, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(out.data()), &size,
                       reinterpret_cast<const Bytef*>(text.data()), uLong(text.size())),
              Z_OK);
    out.resize(size);
    return out;
}

class URLSessionTest : public ::testing::Test {
  protected:
    URLSessionTaskPtr start(const std::string& url, std::string method = "GET",
                            std::optional<Bytes> body = std::nullopt, double timeout = 10,
                            bool download = false) {
        URLRequest request;
        request.url = url;
        request.httpMethod = std::move(method);
        request.httpBody = std::move(body);
        request.timeoutInterval = timeout;
        auto task = download ? session->downloadTaskWithRequest(std::move(request))
                             : session->dataTaskWithRequest(std::move(request));
        task->resume();
        return task;
    }
    void waitForCompletion(int count = 1) {
        ASSERT_TRUE(MainLoop::runUntil([&] { return recorder->completions >= count; }, 60));
    }

    DeterministicDispatch dispatch;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<URLSession> session = URLSession::create(
        URLSessionConfiguration::defaultSessionConfiguration(), recorder, recorder->queue);
};

TEST_F(URLSessionTest, EventsArriveInOrderAndRequestGoesOutAsWritten) {
    FakeCloud cloud;
    cloud.setReply("/a", {.status = 201, .body = std::string(100000, 'x')});
    auto task = start(cloud.url("/a"), "POST", Bytes{'{', '}'});
    waitForCompletion();
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"response 201", "data", "complete 0"}));
    EXPECT_EQ(recorder->body.size(), 100000u);
    EXPECT_EQ(task->state(), URLSessionTaskState::completed);
    EXPECT_EQ(task->response()->MIMEType, "application/json");
    EXPECT_EQ(task->response()->valueForHTTPHeaderField("content-TYPE"), "application/json");
    auto requests = cloud.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "{}");
    EXPECT_EQ(requests[0].header("Expect"), "");
    EXPECT_EQ(requests[0].header("Content-Type"), "");
}

TEST_F(URLSessionTest, HeaderFieldsCannotSmuggleLinesIntoTheRequest) {
    FakeCloud cloud;
    cloud.setReply("/a", {});
    URLRequest request;
    request.url = cloud.url("/a");
    request.setValue("t\r\nX-Injected: 1", "Token");
    request.setValue("1", "X-Name\r\nX-Smuggled");
    request.setValue("kept", "X-Kept");
    session->dataTaskWithRequest(request)->resume();
    waitForCompletion();
    auto requests = cloud.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("X-Injected"), "");
    EXPECT_EQ(requests[0].header("X-Smuggled"), "");
    EXPECT_EQ(requests[0].header("X-Kept"), "kept");
}

// A lost connection and a time-out are in the HTTP layer's reply matrix.
TEST_F(URLSessionTest, TransportFailuresMapToThePlatformCodes) {
    int closedPort;
    {
        FakeCloud gone;
        closedPort = gone.port();
    }
    const std::pair<std::string, int64_t> cases[] = {
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/", URLError::cannotConnectToHost},
        {"ftp://127.0.0.1/", URLError::unsupportedURL},
        {"gopher://127.0.0.1/", URLError::unsupportedURL},
        {"file:///etc/hosts", URLError::badURL},
        {"http://[::1/", URLError::badURL},
        {"not a URL", URLError::badURL},
    };
    for (const auto& [url, code] : cases) {
        SCOPED_TRACE(url);
        recorder->completions = 0;
        auto task = start(url);
        waitForCompletion();
        ASSERT_TRUE(task->error());
        EXPECT_EQ(task->error()->domain(), kNSURLErrorDomain);
        EXPECT_EQ(task->error()->code(), code);
    }
}

TEST_F(URLSessionTest, AnUnboundedTimeOutNeverExpires) {
    FakeCloud cloud;
    cloud.setReply("/a", {});
    for (double timeout : {double(INFINITY), 1e300}) {
        recorder->completions = 0;
        auto task = start(cloud.url("/a"), "GET", std::nullopt, timeout);
        waitForCompletion();
        EXPECT_EQ(task->error() ? task->error()->code() : 0, 0) << timeout;
    }
}

TEST_F(URLSessionTest, ARedirectWithoutATargetIsTheResponse) {
    FakeCloud cloud;
    cloud.setReply("/r", {.status = 302, .headers = {{"Location", ""}}});
    start(cloud.url("/r"));
    waitForCompletion();
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"response 302", "data", "complete 0"}));
}

// Two servers on loopback, two origins: a redirect leaves https only for https, and a request
// with credentials only for its own origin; a redirect not followed is the reply.
TEST_F(URLSessionTest, RedirectsKeepCredentialsAndHttpsWhereTheyBelong) {
    URLSession::setSystemAnchorCertificates(
        {SecCertificate::createWithData(test::TestPki::shared().root().certificate)});
    FakeCloud plainA, plainB, secureA(FakeCloud::Tls::trusted), secureB(FakeCloud::Tls::trusted);
    for (FakeCloud* cloud : {&plainA, &plainB, &secureA, &secureB}) cloud->setReply("/end", {});
    struct Case {
        const char* name;
        FakeCloud& from;
        std::string location;
        std::optional<std::string> credential;  // a header field that carries one
        FakeCloud* reached;                     // null: the redirect is the reply
    } cases[] = {
        {"http to another origin", plainA, plainB.url("/end"), std::nullopt, &plainB},
        {"token to another origin", plainA, plainB.url("/end"), "accessToken", nullptr},
        {"signature to another origin", plainA, plainB.url("/end"), "sign", nullptr},
        {"authorization to another origin", plainA, plainB.url("/end"), "Authorization", nullptr},
        {"token within its origin", plainA, "/end", "accessToken", &plainA},
        {"https to http", secureA, plainB.url("/end"), std::nullopt, nullptr},
        {"https to https", secureA, secureB.url("/end"), std::nullopt, &secureB},
        {"https to another scheme", secureA, "ftp://127.0.0.1/end", std::nullopt, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.from.setReply("/go", {.status = 302, .headers = {{"Location", c.location}}});
        std::map<FakeCloud*, size_t> before;
        for (FakeCloud* cloud : {&plainA, &plainB, &secureA, &secureB})
            before[cloud] = cloud->requestCount();
        recorder->completions = 0;
        recorder->events.clear();
        URLRequest request;
        request.url = c.from.url("/go");
        if (c.credential) request.setValue("secret", *c.credential);
        auto task = session->dataTaskWithRequest(request);
        task->resume();
        waitForCompletion();
        EXPECT_EQ(task->error(), nullptr);
        EXPECT_EQ(recorder->events.front(), c.reached ? "response 200" : "response 302");
        for (FakeCloud* cloud : {&plainA, &plainB, &secureA, &secureB}) {
            size_t expected = size_t(cloud == &c.from) + size_t(cloud == c.reached);
            EXPECT_EQ(cloud->requestCount() - before[cloud], expected);
        }
    }
    URLSession::setSystemAnchorCertificates({});
}

// A redirect to another origin takes none of the caller's header fields along, whatever their
// names, and no body: one that would send the body again (307, 308) is the reply. Within the
// origin both go on.
TEST_F(URLSessionTest, ARedirectToAnotherOriginCarriesNoBodyAndNoCallerFields) {
    FakeCloud home, other;
    home.setReply("/end", {});
    other.setReply("/end", {});
    struct Case {
        const char* name;
        long status;
        std::string location;
        std::optional<Bytes> body;  // a POST when set
        FakeCloud* reached;         // null: the redirect is the reply
        bool fieldsKept;
    } cases[] = {
        {"307 to another origin", 307, other.url("/end"), std::nullopt, &other, false},
        {"302 to another origin", 302, other.url("/end"), std::nullopt, &other, false},
        {"307 within the origin", 307, "/end", std::nullopt, &home, true},
        {"307 with a body to another origin", 307, other.url("/end"), Bytes{'b', 'o', 'd', 'y'},
         nullptr, false},
        {"308 with a body to another origin", 308, other.url("/end"), Bytes{'b', 'o', 'd', 'y'},
         nullptr, false},
        {"307 with a body within the origin", 307, "/end", Bytes{'b', 'o', 'd', 'y'}, &home, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        home.setReply("/go", {.status = int(c.status), .headers = {{"Location", c.location}}});
        const size_t homeBefore = home.requestCount(), otherBefore = other.requestCount();
        recorder->completions = 0;
        recorder->events.clear();
        URLRequest request;
        request.url = home.url("/go");
        if (c.body) {
            request.httpMethod = "POST";
            request.httpBody = c.body;
        }
        request.setValue("t-0a1b2c3d", "X-Auth-Token");
        request.setValue("t-4e5f6a7b", "token");
        request.setValue("", "X-Empty");
        request.setValue("text/x-caller", "Accept");
        session->dataTaskWithRequest(request)->resume();
        waitForCompletion();
        EXPECT_EQ(recorder->events.front(),
                  c.reached ? "response 200" : "response " + std::to_string(c.status));
        EXPECT_EQ(other.requestCount() - otherBefore, size_t(c.reached == &other));
        EXPECT_EQ(home.requestCount() - homeBefore, 1 + size_t(c.reached == &home));
        if (!c.reached) continue;
        const auto followed = c.reached->requests().back();
        EXPECT_EQ(followed.path, "/end");
        EXPECT_EQ(followed.header("X-Auth-Token"), c.fieldsKept ? "t-0a1b2c3d" : "");
        EXPECT_EQ(followed.header("token"), c.fieldsKept ? "t-4e5f6a7b" : "");
        EXPECT_EQ(followed.body, c.body && c.fieldsKept ? "body" : "");
        // The caller's field is left out, not turned into the removal of the client's own.
        EXPECT_EQ(followed.header("Accept"), c.fieldsKept ? "text/x-caller" : "*/*");
    }
}

// A response whose header lines go over the library's limits (fields in one response, bytes in
// all) ends its task with badServerResponse, whatever libcurl itself would take.
TEST_F(URLSessionTest, ResponseHeadersAreCapped) {
    FakeCloud cloud;
    auto fields = [](size_t count, size_t valueBytes) {
        std::vector<std::pair<std::string, std::string>> out;
        for (size_t i = 0; i < count; ++i)
            out.emplace_back("X-Field-" + std::to_string(i), std::string(valueBytes, 'v'));
        return out;
    };
    const size_t manyBytes = kMaximumResponseHeaderBytes / 50 + 1;
    struct Case {
        const char* name;
        ScriptedReply reply;
        int64_t code;
    } cases[] = {
        {"many fields within the limits",
         {.headers = fields(kMaximumResponseHeaderFields - 10, 8)},
         0},
        {"too many fields",
         {.headers = fields(kMaximumResponseHeaderFields + 1, 8)},
         URLError::badServerResponse},
        {"too many bytes", {.headers = fields(50, manyBytes)}, URLError::badServerResponse},
        {"too many bytes over a redirect and its target",
         {.status = 302,
          .headers =
              [&] {
                  auto out = fields(25, manyBytes);
                  out.emplace_back("Location", "/big");
                  return out;
              }()},
         URLError::badServerResponse},
    };
    cloud.setReply("/big", {.headers = fields(25, manyBytes)});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cloud.setReply("/h", c.reply);
        recorder->completions = 0;
        recorder->events.clear();
        auto task = start(cloud.url("/h"));
        waitForCompletion();
        EXPECT_EQ(task->error() ? task->error()->code() : 0, c.code);
        if (c.code) {
            ASSERT_TRUE(task->error());
            EXPECT_NE(task->error()->localizedDescription().find("header"), std::string::npos);
        }
    }
}

// The second connection's trust is checked for the host it reached, not the first one's.
TEST_F(URLSessionTest, TrustIsCheckedForTheHostARedirectReached) {
    URLSession::setSystemAnchorCertificates(
        {SecCertificate::createWithData(test::TestPki::shared().root().certificate)});
    FakeCloud first(FakeCloud::Tls::trusted), second(FakeCloud::Tls::trusted);
    second.setReply("/end", {});
    first.setReply("/go", {.status = 307, .headers = {{"Location", second.url("/end")}}});
    start("https://localhost:" + std::to_string(first.port()) + "/go");
    waitForCompletion();
    EXPECT_EQ(recorder->challengedHosts, (std::vector<std::string>{"localhost", "127.0.0.1"}));
    EXPECT_EQ(second.requestCount(), 1u);
    URLSession::setSystemAnchorCertificates({});
}

// A reply body over the limit, counted after decompression, ends the task; memory stays bounded
// even when a small compressed body would inflate to a gibibyte.
TEST_F(URLSessionTest, ReplyBodiesAreBounded) {
    FakeCloud cloud;
    const auto limit = size_t(kMaximumReplyBodyBytes);
    const std::string bomb = test::gzipOfZeros(1024);
    struct Case {
        const char* name;
        ScriptedReply reply;
        int64_t code;
        size_t delivered;  // at most
    } cases[] = {
        {"at the limit", {.body = std::string(limit, 'x')}, 0, limit},
        // A download task writes its body to a file: the bound is not its.
        {"a download over the limit", {.body = std::string(limit + 1, 'x')}, 0, limit + 1},
        {"one byte over",
         {.body = std::string(limit + 1, 'x')},
         URLError::dataLengthExceedsMaximum,
         limit},
        {"a gibibyte inflated from a mebibyte",
         {.body = bomb,
          .contentType = "application/octet-stream",
          .headers = {{"Content-Encoding", "gzip"}}},
         URLError::dataLengthExceedsMaximum,
         limit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cloud.setReply("/big", c.reply);
        recorder->completions = 0;
        recorder->body.clear();
        recorder->body.shrink_to_fit();
        const size_t peakBefore = test::peakResidentBytes();
        const bool download = c.delivered > limit;
        auto task = start(cloud.url("/big"), "GET", std::nullopt, 10, download);
        waitForCompletion();
        EXPECT_EQ(task->error() ? task->error()->code() : 0, c.code);
        EXPECT_LE(recorder->body.size(), c.delivered);
        EXPECT_LE(size_t(task->countOfBytesReceived()), c.delivered);
        // Far below the inflated gibibyte, with room for the sanitizers' shadow memory.
        EXPECT_LT(test::peakResidentBytes() - peakBefore, size_t(256) << 20);
    }
}

TEST_F(URLSessionTest, OnlyTheCodingsTheReplyDecodingHandlesAreOffered) {
    FakeCloud cloud;
    std::string json = "{\"data\":[";
    for (int i = 0; i < 200; ++i) json += std::string(i ? "," : "") + "{\"online\":true}";
    json += "]}";
    struct Case {
        const char* name;
        ScriptedReply reply;
        std::string coding;  // the reply's Content-Encoding
    } cases[] = {
        // The server codes a compressible reply in the best coding the request offers.
        {"json coded by the server", {.body = json}, "gzip"},
        {"deflate coded beforehand",
         {.body = zlibOf(json),
          .contentType = "application/octet-stream",
          .headers = {{"Content-Encoding", "deflate"}}},
         "deflate"},
        {"not coded", {.body = json, .contentType = "application/octet-stream"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = cloud.requests().size();
        cloud.setReply("/coded", c.reply);
        recorder->completions = 0;
        recorder->body.clear();
        auto task = start(cloud.url("/coded"));
        waitForCompletion();
        EXPECT_EQ(task->error(), nullptr);
        EXPECT_EQ(recorder->body, json);
        EXPECT_EQ(task->response()->valueForHTTPHeaderField("Content-Encoding").value_or(""),
                  c.coding);
        auto requests = cloud.requests();
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_EQ(requests.back().header("Accept-Encoding"), "gzip, deflate");
    }
}

TEST_F(URLSessionTest, CancelCompletesOnceWithCancelled) {
    FakeCloud cloud;
    cloud.setReply("/slow", {.neverAnswer = true});
    auto running = start(cloud.url("/slow"));
    URLRequest request;
    request.url = cloud.url("/slow");
    auto idle = session->dataTaskWithRequest(request);
    running->cancel();
    idle->cancel();
    running->cancel();
    waitForCompletion(2);
    MainLoop::drain();
    EXPECT_EQ(recorder->completions, 2);
    EXPECT_EQ(running->error()->code(), URLError::cancelled);
    EXPECT_EQ(idle->error()->code(), URLError::cancelled);
}

TEST_F(URLSessionTest, ResumeAndSuspendCallTheHookOnlyOnAChange) {
    std::vector<std::pair<uint64_t, bool>> calls;
    URLSessionTask::setStateChangeHook([&](const URLSessionTaskPtr& task, bool resumed) {
        calls.emplace_back(task->taskIdentifier(), resumed);
    });
    FakeCloud cloud;
    cloud.setReply("/", {.neverAnswer = true});
    URLRequest request;
    request.url = cloud.url("/");
    auto task = session->dataTaskWithRequest(request);
    task->suspend();
    task->resume();
    task->resume();
    task->suspend();
    task->suspend();
    task->resume();
    task->cancel();
    waitForCompletion();
    URLSessionTask::setStateChangeHook(nullptr);
    auto id = task->taskIdentifier();
    EXPECT_EQ(calls, (std::vector<std::pair<uint64_t, bool>>{{id, true}, {id, false}, {id, true}}));
}

TEST_F(URLSessionTest, ServerTrustGoesThroughTheDelegate) {
    const auto& pki = test::TestPki::shared();
    FakeCloud cloud(FakeCloud::Tls::trusted);
    cloud.setReply("/", {});
    struct Case {
        bool anchored;
        std::optional<bool> answer;
        int64_t code;
    } cases[] = {{true, std::nullopt, 0},
                 {false, std::nullopt, URLError::cancelled},
                 {false, true, 0},
                 {true, false, URLError::cancelled}};
    for (const auto& c : cases) {
        recorder->completions = 0;
        recorder->trustAnswer = c.answer;
        URLSession::setSystemAnchorCertificates(
            c.anchored ? std::vector{SecCertificate::createWithData(pki.root().certificate)}
                       : std::vector<SecCertificateRef>{});
        auto task = start(cloud.url("/"));
        waitForCompletion();
        EXPECT_EQ(task->error() ? task->error()->code() : 0, c.code);
        EXPECT_EQ(recorder->challengedHosts.back(), "127.0.0.1");
    }
    URLSession::setSystemAnchorCertificates({});
}

}  // namespace
}  // namespace telvo

namespace telvo {
namespace {

// A cloud that answers in virtual time through the in-process URL protocol: each reply comes at
// its virtual time, once, with the events in order; a silent cloud meets the request's own
// time-out; nothing is counted as outside work, so time moves while requests are out.
TEST_F(URLSessionTest, VirtualTimeCloudAnswersAtItsTimes) {
    using Events = std::vector<std::string>;
    struct Case {
        const char* name;
        ScriptedReply reply;
        double timeout;
        Events events;
        double at;
    } cases[] = {
        {"at once",
         {.status = 201, .body = "{\"a\":1}"},
         10,
         {"response 201", "data", "complete 0"},
         0},
        {"after 20 s",
         {.body = "{}", .delaySeconds = 20},
         30,
         {"response 200", "data", "complete 0"},
         20},
        {"after the time-out", {.delaySeconds = 20}, 10, {"complete -1001"}, 10},
        {"never", {.neverAnswer = true}, 30, {"complete -1001"}, 30},
        {"connection lost", {.delaySeconds = 3, .closeAbruptly = true}, 30, {"complete -1005"}, 3},
        {"empty body", {.status = 204, .body = ""}, 10, {"response 204", "complete 0"}, 0},
        {"body over the size limit",
         {.body = std::string(size_t(kMaximumReplyBodyBytes) + 1, 'x')},
         10,
         {"complete -1103"},
         0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        recorder = std::make_shared<Recorder>();
        session = URLSession::create(URLSessionConfiguration::defaultSessionConfiguration(),
                                     recorder, recorder->queue);
        FakeCloud cloud;
        cloud.answerInVirtualTime();
        cloud.setReply("/v", k.reply);
        const double t0 = Clock::now();
        auto task = start(cloud.url("/v?x=1"), "POST", Bytes{'{', '}'}, k.timeout);
        waitForCompletion();
        EXPECT_DOUBLE_EQ(Clock::now() - t0, k.at);
        EXPECT_EQ(Dispatch::outsideWorkInFlight(), 0);
        MainLoop::runFor(60);
        EXPECT_EQ(recorder->events, k.events);
        EXPECT_EQ(recorder->body, k.events.size() == 3 ? k.reply.body : "");
        ASSERT_EQ(cloud.requestCount(), 1u);
        const auto seen = cloud.requests()[0];
        EXPECT_EQ(seen.method, "POST");
        EXPECT_EQ(seen.path, "/v");
        EXPECT_EQ(seen.query, "x=1");
        EXPECT_EQ(seen.body, "{}");
        if (k.events.size() == 3) {
            EXPECT_EQ(task->response()->MIMEType, "application/json");
            EXPECT_EQ(task->response()->expectedContentLength, int64_t(k.reply.body.size()));
        }
    }
}

// Cancelling and suspending a request that waits for its virtual-time reply.
TEST_F(URLSessionTest, VirtualTimeCloudCancelAndSuspend) {
    FakeCloud cloud;
    cloud.answerInVirtualTime();
    cloud.setReply("/slow", {.body = "{}", .delaySeconds = 5});
    auto cancelled = start(cloud.url("/slow"));
    MainLoop::runFor(1);
    cancelled->cancel();
    cancelled->cancel();
    MainLoop::runFor(10);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"complete -999"}));

    // A suspended task holds its reply back, its time-out stopped, until it is resumed.
    recorder->events.clear();
    auto held = start(cloud.url("/slow"), "GET", std::nullopt, 10);
    MainLoop::runFor(1);
    held->suspend();
    MainLoop::runFor(30);
    EXPECT_TRUE(recorder->events.empty());
    const double resumed = Clock::now();
    held->resume();
    waitForCompletion(2);
    EXPECT_DOUBLE_EQ(Clock::now(), resumed);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"response 200", "data", "complete 0"}));
}

}  // namespace
}  // namespace telvo

namespace telvo {
namespace {

// Writes down each task's events; checks that they arrive on the delegate queue and, on a queue
// that runs one operation at a time, never two at once.
class BurstRecorder : public URLSessionDelegate {
  public:
    explicit BurstRecorder(int width) : serial(width == 1) {
        queue->setMaxConcurrentOperationCount(width);
    }
    void didReceiveResponse(const URLSessionTaskPtr& task, const HTTPURLResponsePtr& r) override {
        note(task, "response " + std::to_string(r->statusCode));
    }
    void didReceiveData(const URLSessionTaskPtr& task, const Bytes& data) override {
        // Counted before the waiters are told.
        bytes.fetch_add(data.size());
        note(task, "data");
    }
    void didCompleteWithError(const URLSessionTaskPtr& task, const ErrorPtr& error) override {
        note(task, "complete " + std::to_string(error ? error->code() : 0));
    }
    void didBecomeInvalidWithError(const std::shared_ptr<URLSession>&, const ErrorPtr&) override {
        std::lock_guard lock(mutex);
        invalid = true;
        changed.notify_all();
    }
    void note(const URLSessionTaskPtr& task, const std::string& what) {
        EXPECT_TRUE(queue->isCurrent());
        const int inside = ++running;
        EXPECT_TRUE(!serial || inside == 1);
        {
            std::lock_guard lock(mutex);
            auto& list = events[task->taskIdentifier()];
            if (what != "data" || list.empty() || list.back() != "data") list.push_back(what);
            if (what.starts_with("complete")) ++completions;
            changed.notify_all();
        }
        --running;
    }
    // Deterministic mode runs the loop until then; threaded mode waits for the queue.
    bool waitUntil(const std::function<bool()>& done) {
        if (Dispatch::isDeterministic())
            return MainLoop::runUntil(
                [&] {
                    std::lock_guard lock(mutex);
                    return done();
                },
                60);
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60), done);
    }

    const bool serial;
    std::shared_ptr<OperationQueue> queue = OperationQueue::create("burst delegate");
    std::mutex mutex;
    std::condition_variable changed;
    std::map<uint64_t, std::vector<std::string>> events;
    int completions = 0;
    bool invalid = false;
    std::atomic<int> running{0};
    std::atomic<size_t> bytes{0};
};

// Many requests at once, some cancelled while out, on a serial delegate queue and on one that
// runs four operations at once, with the loop on the test thread and on the library's threads:
// each task hears its response, its data and one completion in that order, the invalidation
// comes after every completion, and with the loop on the test thread, time stands still until
// the last completion has been delivered.
TEST(URLSessionBurst, EveryTaskHearsItsEventsInOrderAndCompletesOnce) {
    const std::vector<std::string> answered = {"response 200", "data", "complete 0"};
    struct Case {
        const char* name;
        bool deterministic;
        int width;
        int cancelEvery;  // 0: none
    } cases[] = {
        {"threaded, serial queue", false, 1, 0},
        {"threaded, serial queue, some cancelled", false, 1, 3},
        {"threaded, four at once, some cancelled", false, 4, 3},
        {"test thread, serial queue", true, 1, 0},
        {"test thread, serial queue, some cancelled", true, 1, 4},
        {"test thread, four at once", true, 4, 0},
    };
    constexpr int kTasks = 60;
    const std::string body(3000, 'b');
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        std::optional<DeterministicDispatch> dispatch;
        if (k.deterministic) dispatch.emplace();
        FakeCloud cloud;
        cloud.setReply("/burst", {.body = body});
        auto recorder = std::make_shared<BurstRecorder>(k.width);
        auto session = URLSession::create(URLSessionConfiguration::defaultSessionConfiguration(),
                                          recorder, recorder->queue);
        const double t0 = Clock::now();
        std::vector<URLSessionTaskPtr> tasks;
        for (int i = 0; i < kTasks; ++i) {
            URLRequest request;
            request.url = cloud.url("/burst");
            tasks.push_back(session->dataTaskWithRequest(std::move(request)));
            tasks.back()->resume();
        }
        int cancelled = 0;
        for (int i = 0; k.cancelEvery && i < kTasks; i += k.cancelEvery, ++cancelled)
            tasks[size_t(i)]->cancel();
        ASSERT_TRUE(recorder->waitUntil([&] { return recorder->completions >= kTasks; }));
        EXPECT_EQ(k.deterministic ? Clock::now() : t0, t0);
        session->finishTasksAndInvalidate();
        ASSERT_TRUE(recorder->waitUntil([&] { return recorder->invalid; }));

        std::lock_guard lock(recorder->mutex);
        EXPECT_EQ(recorder->completions, kTasks);
        ASSERT_EQ(recorder->events.size(), size_t(kTasks));
        int whole = 0;
        for (size_t i = 0; i < tasks.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& seen = recorder->events[tasks[i]->taskIdentifier()];
            EXPECT_EQ(tasks[i]->state(), URLSessionTaskState::completed);
            if (seen == answered) {
                ++whole;
                continue;
            }
            // Only a cancelled task may end otherwise: the start of the answer, then its
            // cancellation.
            EXPECT_TRUE(k.cancelEvery && i % size_t(k.cancelEvery) == 0);
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back(), "complete -999");
            const std::vector<std::string> begun(seen.begin(), seen.end() - 1);
            EXPECT_TRUE(std::equal(begun.begin(), begun.end(), answered.begin()));
        }
        EXPECT_GE(whole, kTasks - cancelled);
        EXPECT_GE(recorder->bytes.load(), size_t(whole) * body.size());
    }
}

// Each request meets its own time-out of inactivity, whatever the others out beside it wait
// for: a short one started after a long one ends on time, and so does one that was suspended
// (its clock stopped) once it is resumed; none ends before its time.
TEST(URLSessionTimeOut, EachRequestMeetsItsOwnTimeOutBesideLongerOnes) {
    using Clock = std::chrono::steady_clock;
    FakeCloud cloud;
    cloud.setReply("/silent", {.neverAnswer = true});
    auto recorder = std::make_shared<BurstRecorder>(1);
    auto session = URLSession::create(URLSessionConfiguration::defaultSessionConfiguration(),
                                      recorder, recorder->queue);
    auto make = [&](double timeout) {
        URLRequest request;
        request.url = cloud.url("/silent");
        request.timeoutInterval = timeout;
        return session->dataTaskWithRequest(std::move(request));
    };
    auto endedWith = [&](const URLSessionTaskPtr& task, const std::string& event) {
        return recorder->waitUntil([&] {
            auto it = recorder->events.find(task->taskIdentifier());
            return it != recorder->events.end() && !it->second.empty() &&
                   it->second.back() == event;
        });
    };
    constexpr double kShort = 0.3;
    auto longer = make(600), shorter = make(kShort), held = make(kShort);
    longer->resume();
    const auto started = Clock::now();
    shorter->resume();
    held->resume();
    held->suspend();
    ASSERT_TRUE(endedWith(shorter, "complete -1001"));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - started).count(), kShort);

    const auto resumed = Clock::now();
    held->resume();
    ASSERT_TRUE(endedWith(held, "complete -1001"));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - resumed).count(), kShort);

    EXPECT_EQ(longer->state(), URLSessionTaskState::running);
    longer->cancel();
    ASSERT_TRUE(endedWith(longer, "complete -999"));
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(recorder->waitUntil([&] { return recorder->invalid; }));
    std::lock_guard lock(recorder->mutex);
    EXPECT_EQ(recorder->completions, 3);
}

}  // namespace
}  // namespace telvo

namespace telvo {
namespace {

// A reply that comes in pieces, over a connection the test drives: each piece reaches the
// delegate while the reply is still open (events held back to go with the completion are
// handed on in time), and the events stay in order with one completion.
TEST(URLSessionPieces, EachPieceReachesTheDelegateWhileTheReplyIsOpen) {
    struct Case {
        const char* name;
        int pieces;        // parts of the body sent after the header block, one at a time
        bool withHeaders;  // one more part goes out with the header block
        bool cancel;       // cancelled once everything sent has arrived (else the body ends)
        std::vector<std::string> expected;
    } cases[] = {
        {"the header block, then the body",
         1,
         false,
         false,
         {"response 200", "data", "complete 0"}},
        {"the header block with a part, then two more",
         2,
         true,
         false,
         {"response 200", "data", "complete 0"}},
        {"the header block alone, then cancelled",
         0,
         false,
         true,
         {"response 200", "complete -999"}},
        {"the header block with a part, then cancelled",
         0,
         true,
         true,
         {"response 200", "data", "complete -999"}},
    };
    const std::string body(3000, 'p');
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        test::LoopbackTcpPeer peer;
        auto recorder = std::make_shared<BurstRecorder>(1);
        auto session = URLSession::create(URLSessionConfiguration::defaultSessionConfiguration(),
                                          recorder, recorder->queue);
        URLRequest request;
        request.url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/pieces";
        auto task = session->dataTaskWithRequest(std::move(request));
        task->resume();
        pollfd listener{peer.listener(), POLLIN, 0};
        ASSERT_EQ(::poll(&listener, 1, 60000), 1);
        ASSERT_TRUE(peer.accept());

        const int parts = k.pieces + (k.withHeaders ? 1 : 0);
        const size_t part = parts ? body.size() / size_t(parts) : 0;
        const size_t length = k.cancel ? part * size_t(parts) + 1 : part * size_t(parts);
        size_t sent = 0;
        auto seenEverythingSent = [&] {
            auto it = recorder->events.find(task->taskIdentifier());
            return it != recorder->events.end() && !it->second.empty() &&
                   recorder->bytes.load() >= sent;
        };
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(length) + "\r\nConnection: close\r\n\r\n";
        if (k.withHeaders) {
            head += body.substr(0, part);
            sent = part;
        }
        peer.send(head);
        ASSERT_TRUE(recorder->waitUntil(seenEverythingSent));
        for (int i = 0; i < k.pieces; ++i) {
            peer.send(body.substr(sent, part));
            sent += part;
            if (i + 1 < k.pieces || k.cancel) {
                ASSERT_TRUE(recorder->waitUntil(seenEverythingSent));
            }
        }
        if (k.cancel) task->cancel();
        ASSERT_TRUE(recorder->waitUntil([&] { return recorder->completions == 1; }));
        EXPECT_NE(peer.receiveAvailable().find("GET /pieces"), std::string::npos);
        peer.close();
        session->finishTasksAndInvalidate();
        ASSERT_TRUE(recorder->waitUntil([&] { return recorder->invalid; }));
        std::lock_guard lock(recorder->mutex);
        EXPECT_EQ(recorder->events[task->taskIdentifier()], k.expected);
        EXPECT_EQ(recorder->bytes.load(), sent);
        EXPECT_EQ(recorder->completions, 1);
    }
}

// What a header block says of its body: media type and text encoding (either case, spaces,
// a quoted charset), and the length only when it is a plain number.
TEST(URLResponseFields, TypeEncodingAndLengthComeFromTheirFields) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> fields;
        std::optional<std::string> mime, encoding;
        int64_t length;
    };
    const Case cases[] = {
        {{{"content-type", " Application/JSON ; Charset=\"UTF-8\""}, {"Content-Length", "2048"}},
         "application/json",
         "utf-8",
         2048},
        {{{"Content-Type", "text/plain;charset= ISO-8859-1 "}}, "text/plain", "iso-8859-1", -1},
        {{{"Content-Type", "application/octet-stream"}, {"Content-Length", "12x"}},
         "application/octet-stream",
         std::nullopt,
         -1},
        {{{"Content-Type", "; charset=utf-8"}, {"Content-Length", "-1"}},
         std::nullopt,
         "utf-8",
         -1},
        {{{"X-Charset", "charset=utf-8"}}, std::nullopt, std::nullopt, -1},
    };
    for (const Case& c : cases) {
        HTTPHeaderFields fields;
        for (const auto& [name, value] : c.fields) fields.add(name, value);
        auto response = makeResponse("http://127.0.0.1/x", 200, fields);
        EXPECT_EQ(response->MIMEType, c.mime) << c.fields.front().second;
        EXPECT_EQ(response->textEncodingName, c.encoding) << c.fields.front().second;
        EXPECT_EQ(response->expectedContentLength, c.length) << c.fields.front().second;
        EXPECT_EQ(response->headers.fields(), fields.fields());
    }
}

}  // namespace
}  // namespace telvo

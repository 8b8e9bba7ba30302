#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/InputStream.h"
#include "platform/http/URLLoader.h"
#include "platform/http/URLSession.h"
#include "sim/FakeCloud.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::FakeCloud;

// Records what the redirection hook is shown (and follows every redirect), the first response
// and the completion.
class RedirectRecorder : public URLSessionDelegate {
  public:
    bool willPerformHTTPRedirection(const URLSessionTaskPtr&, const HTTPURLResponsePtr&,
                                    const URLRequest& request) override {
        std::lock_guard<std::mutex> lock(mutex);
        shown.push_back(request);
        return true;
    }
    std::shared_ptr<InputStream> needNewBodyStream(const URLSessionTaskPtr&) override {
        return newStream ? newStream() : nullptr;
    }
    void didReceiveResponse(const URLSessionTaskPtr&, const HTTPURLResponsePtr& response) override {
        status = response->statusCode;
    }
    void didCompleteWithError(const URLSessionTaskPtr&, const ErrorPtr& e) override {
        error = e;
        ++completions;
    }

    std::shared_ptr<OperationQueue> queue = OperationQueue::create("test delegate");
    std::mutex mutex;
    std::vector<URLRequest> shown;
    // The body stream a redirect that sends the body again reads.
    std::function<std::shared_ptr<InputStream>()> newStream;
    long status = 0;
    ErrorPtr error;
    std::atomic<int> completions{0};
};

class URLRedirectTest : public ::testing::Test {
  protected:
    void run(URLRequest request) {
        recorder->completions = 0;
        recorder->status = 0;
        recorder->error = nullptr;
        recorder->shown.clear();
        session->dataTaskWithRequest(std::move(request))->resume();
        ASSERT_TRUE(MainLoop::runUntil([&] { return recorder->completions > 0; }, 60));
        MainLoop::drain();
    }

    DeterministicDispatch dispatch;
    std::shared_ptr<RedirectRecorder> recorder = std::make_shared<RedirectRecorder>();
    std::shared_ptr<URLSession> session = URLSession::create(
        URLSessionConfiguration::defaultSessionConfiguration(), recorder, recorder->queue);
};

// Every method through every redirect status, within its origin and to another: 303 makes
// anything but HEAD a GET without a body, 301 and 302 make a POST one, everything else goes on
// with its method and body. A body is never sent again to another origin (the redirect is the
// reply then), nor the caller's own fields. The second server receives exactly what the hook
// was shown.
TEST_F(URLRedirectTest, MethodsAndBodiesFollowEachRedirectStatus) {
    FakeCloud home, other;
    home.setReply("/end", {});
    other.setReply("/end", {});
    const std::string body = "{\"state\":\"on\"}";
    for (const std::string method : {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE"}) {
        const bool hasBody = method != "GET" && method != "HEAD";
        for (int status : {301, 302, 303, 307, 308}) {
            for (bool crossOrigin : {false, true}) {
                SCOPED_TRACE(method + " " + std::to_string(status) +
                             (crossOrigin ? " to another origin" : " within the origin"));
                FakeCloud& target = crossOrigin ? other : home;
                home.setReply("/go",
                              {.status = status, .headers = {{"Location", target.url("/end")}}});
                URLRequest request;
                request.url = home.url("/go");
                request.httpMethod = method;
                request.setValue("kept", "X-Caller");
                if (hasBody) {
                    request.httpBody = Bytes(body.begin(), body.end());
                    request.setValue("application/json", "Content-Type");
                }
                const size_t before = target.requestCount();
                run(request);
                const bool toGet =
                    (status == 303 && method != "HEAD") || (status <= 302 && method == "POST");
                const bool keepsBody = hasBody && !toGet;
                const bool followed = !(crossOrigin && keepsBody);
                EXPECT_EQ(recorder->error, nullptr);
                EXPECT_EQ(recorder->status, followed ? 200 : status);
                EXPECT_EQ(target.requestCount() - before, size_t(followed) + size_t(!crossOrigin));
                if (!followed) {
                    EXPECT_TRUE(recorder->shown.empty());
                    continue;
                }
                const auto received = target.requests().back();
                const std::string expectedMethod = toGet ? "GET" : method;
                EXPECT_EQ(received.path, "/end");
                EXPECT_EQ(received.method, expectedMethod);
                EXPECT_EQ(received.body, keepsBody ? body : "");
                EXPECT_EQ(received.header("Content-Type"), keepsBody ? "application/json" : "");
                EXPECT_EQ(received.header("X-Caller"), crossOrigin ? "" : "kept");
                ASSERT_EQ(recorder->shown.size(), 1u);
                const URLRequest& shown = recorder->shown[0];
                EXPECT_EQ(shown.url, target.url("/end"));
                EXPECT_EQ(shown.httpMethod, expectedMethod);
                EXPECT_EQ(shown.httpBody.has_value(), keepsBody);
                if (shown.httpBody) {
                    EXPECT_EQ(std::string(shown.httpBody->begin(), shown.httpBody->end()), body);
                }
                EXPECT_EQ(shown.headers.value("Content-Type").value_or(""),
                          received.header("Content-Type"));
                EXPECT_EQ(shown.headers.value("X-Caller").value_or(""),
                          received.header("X-Caller"));
            }
        }
    }
}

// A body streamed without a length goes out chunked; the GET a redirect makes of its request
// leaves the framing behind with the body, so the server does not wait for a body that never
// comes. The redirects that send the body again send it chunked again.
TEST_F(URLRedirectTest, ChunkedBodiesLeaveTheirFramingWithTheBody) {
    FakeCloud cloud;
    cloud.setReply("/end", {});
    const std::string body = "streamed without a length";
    for (int status : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(status);
        cloud.setReply("/go", {.status = status, .headers = {{"Location", "/end"}}});
        URLRequest request;
        request.url = cloud.url("/go");
        request.httpMethod = "POST";
        request.timeoutInterval = 10;
        request.httpBodyStream = InputStream::inputStreamWithData(Bytes(body.begin(), body.end()));
        recorder->newStream = [&] {
            return InputStream::inputStreamWithData(Bytes(body.begin(), body.end()));
        };
        run(request);
        EXPECT_EQ(recorder->error, nullptr);
        EXPECT_EQ(recorder->status, 200);
        const auto requests = cloud.requests();
        ASSERT_GE(requests.size(), 2u);
        EXPECT_EQ(requests[requests.size() - 2].header("Transfer-Encoding"), "chunked");
        const auto& received = requests.back();
        const bool keepsBody = status > 303;
        EXPECT_EQ(received.method, keepsBody ? "POST" : "GET");
        EXPECT_EQ(received.body, keepsBody ? body : "");
        EXPECT_EQ(received.header("Transfer-Encoding"), keepsBody ? "chunked" : "");
    }
}

// A chain of redirects: a POST that a 302 made a GET stays a GET through a 307 after it, and
// the hook sees it so; past the most redirects a task follows, it ends with
// httpTooManyRedirects, and the hook is never shown the redirect it does not follow.
TEST_F(URLRedirectTest, ChainsKeepWhatEachStepMadeAndStopAtTheLimit) {
    FakeCloud cloud;
    cloud.setReply("/a", {.status = 302, .headers = {{"Location", "/b"}}});
    cloud.setReply("/b", {.status = 307, .headers = {{"Location", "/end"}}});
    cloud.setReply("/end", {});
    URLRequest request;
    request.url = cloud.url("/a");
    request.httpMethod = "POST";
    request.httpBody = Bytes{'x'};
    run(request);
    EXPECT_EQ(recorder->error, nullptr);
    auto requests = cloud.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].method, "GET");
    EXPECT_EQ(requests[2].body, "");
    ASSERT_EQ(recorder->shown.size(), 2u);
    EXPECT_EQ(recorder->shown[1].httpMethod, "GET");
    EXPECT_FALSE(recorder->shown[1].httpBody);

    cloud.setReply("/loop", {.status = 308, .headers = {{"Location", "/loop"}}});
    request.url = cloud.url("/loop");
    const size_t before = cloud.requestCount();
    run(request);
    ASSERT_TRUE(recorder->error);
    EXPECT_EQ(recorder->error->code(), URLError::httpTooManyRedirects);
    EXPECT_EQ(cloud.requestCount() - before, size_t(kMaximumRedirects) + 1);
    EXPECT_EQ(recorder->shown.size(), size_t(kMaximumRedirects));
}

// One header line over what libcurl reads ends the request as the other header overruns do,
// with badServerResponse, and leaves nothing of it in memory.
TEST_F(URLRedirectTest, AHeaderLineOverTheLimitIsABadServerResponse) {
    FakeCloud cloud;
    cloud.setReply("/long", {.headers = {{"X-Long", std::string(150 * 1024, 'h')}}});
    URLRequest request;
    request.url = cloud.url("/long");
    const size_t heapBefore = test::heapInUse();
    run(request);
    ASSERT_TRUE(recorder->error);
    EXPECT_EQ(recorder->error->code(), URLError::badServerResponse);
    EXPECT_NE(recorder->error->localizedDescription().find("header"), std::string::npos);
    // Nothing of the line is held once the request has ended.
    EXPECT_LT(test::heapInUse(), heapBefore + (size_t(2) << 20));
}

}  // namespace
}  // namespace telvo

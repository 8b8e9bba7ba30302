#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "http/QKAFHTTPSessionManager.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/FakeCloud.h"
#include "sim/TempFolder.h"
#include "sim/TestPki.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::FakeCloud;
using test::ScriptedReply;

// What one call ended with; every block also checks that it runs on the main queue.
struct Outcome {
    int calls = 0;
    bool succeeded = false;
    std::optional<Value> object;
    ErrorPtr error;
    URLSessionTaskPtr task;
};

class SessionManagerTest : public ::testing::Test {
  protected:
    std::shared_ptr<QKAFHTTPSessionManager> makeManager(const std::string& base) {
        auto manager = QKAFHTTPSessionManager::initWithBaseURL(base);
        manager->setRequestSerializer(QKAFJSONRequestSerializer::serializer());
        manager->requestSerializer()->setTimeoutInterval(10);
        return manager;
    }
    URLSessionTaskPtr post(QKAFHTTPSessionManager& manager, const std::string& path, Outcome& out,
                           std::optional<Value> parameters = Value(Dictionary{{"k", Value(1)}})) {
        return manager.POST(
            path, parameters, nullptr,
            [&out](const URLSessionTaskPtr& task, const std::optional<Value>& object) {
                EXPECT_TRUE(DispatchQueue::main()->isCurrent());
                ++out.calls;
                out.succeeded = true;
                out.object = object;
                out.task = task;
            },
            [&out](const URLSessionTaskPtr& task, const ErrorPtr& error) {
                EXPECT_TRUE(DispatchQueue::main()->isCurrent());
                ++out.calls;
                out.error = error;
                out.task = task;
            });
    }
    void wait(const Outcome& out) {
        ASSERT_TRUE(MainLoop::runUntil([&] { return out.calls > 0; }, 60));
        MainLoop::drain();
        EXPECT_EQ(out.calls, 1);
    }

    DeterministicDispatch dispatch;
};

TEST_F(SessionManagerTest, RepliesReachTheRightBlockOverHttpAndHttps) {
    URLSession::setSystemAnchorCertificates(
        {SecCertificate::createWithData(test::TestPki::shared().root().certificate)});
    for (auto tls : {FakeCloud::Tls::none, FakeCloud::Tls::trusted}) {
        FakeCloud cloud(tls);
        const std::string ok = R"({"code":0,"id":9007199254740993})";
        const std::string cocoa = kNSCocoaErrorDomain, url = kNSURLErrorDomain,
                          http = QKAFURLResponseSerializationErrorDomain;
        const ScriptedReply lost{.body = std::string(4096, 'x'), .closeAbruptly = true};
        struct Case {
            std::string path;
            ScriptedReply reply;
            std::optional<std::string> objectJSON;
            std::string errorDomain;  // empty: the success block
            int64_t errorCode;
        } cases[] = {
            {"ok", {.body = ok}, ok, "", 0},
            {"fail", {.status = 500, .body = R"({"code":1})"}, {}, http, -1011},
            {"space", {.body = " "}, {}, "", 0},
            {"fragment", {.body = "\"text\""}, {}, cocoa, kNSPropertyListReadCorruptError},
            {"invalid", {.body = "{\"code\":"}, {}, cocoa, kNSPropertyListReadCorruptError},
            {"lost", lost, {}, url, URLError::networkConnectionLost},
            {"/api/silent", {.neverAnswer = true}, {}, url, URLError::timedOut},
        };
        // A base URL with a path and no trailing slash: relative paths resolve below it.
        auto manager = makeManager(cloud.url("/api"));
        manager->requestSerializer()->setTimeoutInterval(1);
        for (const auto& c : cases) {
            SCOPED_TRACE(cloud.baseURL() + " " + c.path);
            cloud.setReply(c.path[0] == '/' ? c.path : "/api/" + c.path, c.reply);
            Outcome out;
            auto task = post(*manager, c.path, out);
            wait(out);
            EXPECT_EQ(out.task, task);
            EXPECT_EQ(out.succeeded, c.errorDomain.empty());
            EXPECT_EQ(out.object ? out.object->toJSON() : std::nullopt, c.objectJSON);
            EXPECT_EQ(out.error ? out.error->domain() : "", c.errorDomain);
            EXPECT_EQ(out.error ? out.error->code() : 0, c.errorCode);
        }
        auto requests = cloud.requests();
        ASSERT_EQ(requests.size(), 7u);
        EXPECT_EQ(requests[0].path, "/api/ok");
        EXPECT_EQ(requests[0].method, "POST");
        EXPECT_EQ(requests[0].body, R"({"k":1})");
        EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
        EXPECT_NE(requests[0].header("User-Agent"), "");
    }
    URLSession::setSystemAnchorCertificates({});
}

TEST_F(SessionManagerTest, ACallCompletesAfterTheAppDropsItsManager) {
    FakeCloud cloud;
    cloud.setReply("/api/ok", {.body = R"({"code":0})"});
    Outcome out;
    post(*makeManager(cloud.url("/api/")), "ok", out);
    wait(out);
    EXPECT_TRUE(out.succeeded);
}

TEST_F(SessionManagerTest, PinningMatrixOnRealHandshakes) {
    const auto& pki = test::TestPki::shared();
    URLSession::setSystemAnchorCertificates(
        {SecCertificate::createWithData(pki.root().certificate)});
    std::map<FakeCloud::Tls, std::unique_ptr<FakeCloud>> clouds;
    for (auto tls : {FakeCloud::Tls::trusted, FakeCloud::Tls::selfSigned, FakeCloud::Tls::otherHost,
                     FakeCloud::Tls::attacker}) {
        clouds[tls] = std::make_unique<FakeCloud>(tls);
        clouds[tls]->setReply("/", {});
    }
    using T = FakeCloud::Tls;
    const Bytes& leaf = pki.server().certificate;
    const Bytes& intermediate = pki.intermediate().certificate;
    const Bytes& root = pki.root().certificate;
    const Bytes& stranger = pki.unrelatedRoot().certificate;
    const std::set<Bytes> selfSignedAndJunk = {pki.selfSignedServer().certificate, {1, 2, 3}};
    struct Case {
        const char* name;
        T tls;
        uint64_t mode;
        bool allowInvalid;
        bool validatesDomain;
        std::set<Bytes> pinned;
        bool accepted;
    } cases[] = {
        {"mode 0, trusted chain", T::trusted, 0, false, true, {}, true},
        {"mode 0, self-signed", T::selfSigned, 0, false, true, {}, false},
        {"mode 0, self-signed allowed", T::selfSigned, 0, true, false, {}, true},
        {"mode 0, self-signed allowed, domain checked", T::selfSigned, 0, true, true, {}, false},
        {"mode 0, other host, domain checked", T::otherHost, 0, false, true, {}, false},
        {"mode 0, other host, domain not checked", T::otherHost, 0, false, false, {}, true},
        {"mode 1, leaf pinned", T::trusted, 1, false, true, {leaf}, true},
        {"mode 1, intermediate pinned", T::trusted, 1, false, true, {intermediate}, true},
        {"mode 1, wrong pin", T::trusted, 1, false, true, {stranger}, false},
        {"mode 1, nothing pinned", T::trusted, 1, false, true, {}, false},
        {"mode 1, self-signed pinned", T::selfSigned, 1, true, false, selfSignedAndJunk, true},
        {"mode 1, attacker carries the pin", T::attacker, 1, true, false, {intermediate}, false},
        {"mode 2, root pinned", T::trusted, 2, false, true, {root}, true},
        {"mode 2, wrong pin", T::trusted, 2, false, true, {stranger}, false},
        {"mode 2, attacker carries the pin", T::attacker, 2, true, false, {intermediate}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto manager = makeManager(clouds[c.tls]->baseURL());
        auto policy = QKAFSecurityPolicy::policyWithPinningMode(c.mode, c.pinned);
        policy->setAllowInvalidCertificates(c.allowInvalid);
        policy->setValidatesDomainName(c.validatesDomain);
        manager->setSecurityPolicy(policy);
        Outcome out;
        post(*manager, "/", out);
        wait(out);
        EXPECT_EQ(out.succeeded, c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(out.error ? out.error->code() : 0, URLError::cancelled);
        }
    }
    URLSession::setSystemAnchorCertificates({});
}

TEST_F(SessionManagerTest, TaskNotificationsOncePerResumeAndOnlyForOwnTasks) {
    FakeCloud cloud;
    cloud.setReply("/", {.neverAnswer = true});
    auto mine = makeManager(cloud.baseURL());
    auto other = makeManager(cloud.baseURL());
    std::vector<std::pair<std::string, void*>> seen;
    // This test's tasks: an earlier test of the process may leave notifications of its own
    // tasks on the main queue.
    std::vector<void*> ours;
    auto center = NotificationCenter::defaultCenter();
    std::vector<NotificationObserverToken> tokens;
    for (const char* name :
         {QKAFNetworkingTaskDidResumeNotification, QKAFNetworkingTaskDidSuspendNotification,
          QKAFNetworkingTaskDidCompleteNotification}) {
        tokens.push_back(
            center->addObserverForName(name, nullptr, [&seen, &ours, name](const Notification& n) {
                EXPECT_TRUE(DispatchQueue::main()->isCurrent());
                if (std::find(ours.begin(), ours.end(), n.object.get()) != ours.end())
                    seen.emplace_back(name, n.object.get());
            }));
    }
    Outcome out;
    auto failure = [&out](const URLSessionTaskPtr&, const ErrorPtr& error) {
        ++out.calls;
        out.error = error;
    };
    auto task =
        mine->dataTaskWithHTTPMethod("POST", "/", std::nullopt, nullptr, nullptr, nullptr, failure);
    ours.push_back(task.get());
    task->resume();
    task->resume();
    task->suspend();
    task->resume();
    task->cancel();
    task->cancel();
    wait(out);
    EXPECT_EQ(out.error->code(), URLError::cancelled);
    // Another manager's task: its own manager announces it, once.
    Outcome foreignOut;
    auto foreign = other->dataTaskWithHTTPMethod(
        "POST", "/", std::nullopt, nullptr, nullptr, nullptr,
        [&foreignOut](const URLSessionTaskPtr&, const ErrorPtr&) { ++foreignOut.calls; });
    ours.push_back(foreign.get());
    foreign->resume();
    foreign->cancel();
    wait(foreignOut);
    MainLoop::runUntil([&] { return seen.size() >= 6; }, 1);
    using Seen = std::vector<std::pair<std::string, void*>>;
    EXPECT_EQ(seen, (Seen{{QKAFNetworkingTaskDidResumeNotification, task.get()},
                          {QKAFNetworkingTaskDidSuspendNotification, task.get()},
                          {QKAFNetworkingTaskDidResumeNotification, task.get()},
                          {QKAFNetworkingTaskDidCompleteNotification, task.get()},
                          {QKAFNetworkingTaskDidResumeNotification, foreign.get()},
                          {QKAFNetworkingTaskDidCompleteNotification, foreign.get()}}));
    for (auto& token : tokens) center->removeObserver(token);
}

TEST_F(SessionManagerTest, DownloadMovesTheBodyToTheDestination) {
    FakeCloud cloud;
    cloud.setReply("/file", {.body = "payload", .contentType = "application/octet-stream"});
    test::TempFolder folder;
    auto manager = QKAFURLSessionManager::initWithSessionConfiguration(std::nullopt);
    URLRequest request;
    request.url = cloud.url("/file");
    std::optional<Value> object;
    int calls = 0;
    std::string destination = (folder.path() / "saved.bin").string();
    auto task = manager->downloadTaskWithRequest(
        request, nullptr,
        [&](const std::string& temporary, const HTTPURLResponsePtr& response) {
            EXPECT_EQ(response->statusCode, 200);
            EXPECT_EQ(test::readFile(temporary), "payload");
            return std::optional<std::string>(destination);
        },
        [&](const HTTPURLResponsePtr&, const std::optional<Value>& result, const ErrorPtr&) {
            ++calls;
            object = result;
        });
    task->resume();
    ASSERT_TRUE(MainLoop::runUntil([&] { return calls > 0; }, 60));
    EXPECT_EQ(object, Value(destination));
    EXPECT_EQ(test::readFile(destination), "payload");
}

// A plain request redirected to https meets the session's policy there, as a request to https
// would: its roots, its pins and its choice to allow invalid certificates.
TEST_F(SessionManagerTest, AnHttpToHttpsRedirectMeetsTheSessionsPolicy) {
    using T = FakeCloud::Tls;
    const auto& pki = test::TestPki::shared();
    const Bytes& root = pki.root().certificate;
    FakeCloud plain, trusted(T::trusted), selfSigned(T::selfSigned);
    trusted.setReply("/end", {});
    selfSigned.setReply("/end", {});
    struct Case {
        const char* name;
        FakeCloud& target;
        std::set<Bytes> roots;
        std::set<Bytes> pinnedRoots;  // mode 2
        bool allowInvalid;
        bool accepted;
    } cases[] = {
        {"the session's root", trusted, {root}, {}, false, true},
        {"the system's roots only", trusted, {}, {}, false, false},
        {"a pin the chain holds", trusted, {root}, {root}, false, true},
        {"a pin the chain lacks", trusted, {root}, {pki.unrelatedRoot().certificate}, false, false},
        {"self-signed, allowed", selfSigned, {}, {}, true, true},
        {"self-signed", selfSigned, {root}, {}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plain.setReply("/go", {.status = 302, .headers = {{"Location", c.target.url("/end")}}});
        auto manager = makeManager(plain.baseURL());
        auto policy = c.pinnedRoots.empty()
                          ? QKAFSecurityPolicy::defaultPolicy()
                          : QKAFSecurityPolicy::policyWithPinningMode(2, c.pinnedRoots);
        if (!c.roots.empty()) policy->setAnchorCertificates(c.roots);
        policy->setAllowInvalidCertificates(c.allowInvalid);
        policy->setValidatesDomainName(!c.allowInvalid);
        manager->setSecurityPolicy(policy);
        const size_t before = c.target.requestCount();
        Outcome out;
        post(*manager, "/go", out);
        wait(out);
        EXPECT_EQ(out.succeeded, c.accepted);
        EXPECT_EQ(c.target.requestCount() - before, c.accepted ? 1u : 0u);
        if (!c.accepted) {
            EXPECT_EQ(out.error ? out.error->code() : 0, URLError::cancelled);
        }
    }
}

// The redirection hook sees the redirect and the request that follows it, and decides whether
// the task follows; without a hook every redirect the session allows is followed.
TEST_F(SessionManagerTest, RedirectionHookDecidesWhetherToFollow) {
    FakeCloud cloud;
    cloud.setReply("/end", {.body = "{}"});
    cloud.setReply("/go", {.status = 302, .headers = {{"Location", "/end"}}});
    using Hook = QKAFURLSessionManager::TaskWillPerformHTTPRedirectionBlock;
    struct Seen {
        long status = 0;
        std::string from, to, method;
        bool bodyless = false;
        URLSessionTaskPtr task;
    };
    auto proposed = [](Seen* seen) -> Hook {
        return [seen](const std::shared_ptr<URLSession>&, const URLSessionTaskPtr& task,
                      const HTTPURLResponsePtr& response, const URLRequest& request) {
            *seen = {response->statusCode,
                     response->url,
                     request.url,
                     request.httpMethod,
                     !request.httpBody && !request.httpBodyStream,
                     task};
            return std::optional<URLRequest>(request);
        };
    };
    Seen seen;
    struct Case {
        const char* name;
        Hook hook;
        long status;  // of the reply the task ends with
    } cases[] = {
        {"no hook", nullptr, 200},
        {"the proposed request", proposed(&seen), 200},
        {"null", [](auto&&...) { return std::optional<URLRequest>(); }, 302},
        {"another URL",
         [&](auto&&, auto&&, auto&&, const URLRequest& request) {
             URLRequest elsewhere = request;
             elsewhere.url = cloud.url("/other");
             return std::optional<URLRequest>(elsewhere);
         },
         302},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto manager = makeManager(cloud.baseURL());
        manager->setResponseSerializer(QKAFHTTPResponseSerializer::serializer());
        manager->setTaskWillPerformHTTPRedirectionBlock(c.hook);
        const size_t before = cloud.requestCount();
        Outcome out;
        URLSessionTaskPtr task = post(*manager, "/go", out);
        wait(out);
        ASSERT_TRUE(task->response());
        EXPECT_EQ(task->response()->statusCode, c.status);
        EXPECT_EQ(out.succeeded, c.status == 200);
        EXPECT_EQ(cloud.requestCount() - before, c.status == 200 ? 2u : 1u);
    }
    // A POST answered with 302 goes on as a GET without a body.
    EXPECT_EQ(seen.status, 302);
    EXPECT_EQ(seen.from, cloud.url("/go"));
    EXPECT_EQ(seen.to, cloud.url("/end"));
    EXPECT_EQ(seen.method, "GET");
    EXPECT_TRUE(seen.bodyless);
    EXPECT_TRUE(seen.task);
}

void twoHundredRequests() {
    FakeCloud cloud;
    std::atomic<int> served{0};
    cloud.setHandler("/n", [&](const test::RecordedRequest& request) {
        ++served;
        return ScriptedReply{.body = request.body};
    });
    auto manager = QKAFHTTPSessionManager::initWithBaseURL(cloud.baseURL());
    manager->setRequestSerializer(QKAFJSONRequestSerializer::serializer());
    manager->operationQueue()->setMaxConcurrentOperationCount(2);
    constexpr int kCount = 200;
    std::vector<int> completions(kCount, 0);
    int done = 0;
    for (int i = 0; i < kCount; ++i) {
        manager->POST(
            "/n", Value(Dictionary{{"i", Value(i)}}), nullptr,
            [&, i](const URLSessionTaskPtr&, const std::optional<Value>& object) {
                EXPECT_EQ((*object)["i"].intValue(), i);
                ++completions[size_t(i)];
                ++done;
            },
            [&, i](const URLSessionTaskPtr&, const ErrorPtr& error) {
                ADD_FAILURE() << i << ": " << error->localizedDescription();
                ++completions[size_t(i)];
                ++done;
            });
    }
    ASSERT_TRUE(MainLoop::runUntil([&] { return done == kCount; }, 120));
    MainLoop::drain();
    EXPECT_EQ(served.load(), kCount);
    EXPECT_EQ(std::count(completions.begin(), completions.end(), 1), kCount);
}

TEST_F(SessionManagerTest, TwoHundredConcurrentRequestsCompleteOnceEach) {
    twoHundredRequests();
}

TEST(SessionManagerThreaded, TwoHundredConcurrentRequestsCompleteOnceEach) {
    twoHundredRequests();
}

}  // namespace
}  // namespace telvo

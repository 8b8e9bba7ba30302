#include <gtest/gtest.h>

#include <condition_variable>

#include "http/QKAFHTTPSessionManager.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/FakeCloud.h"

namespace telvo {
namespace {

using test::FakeCloud;
using test::ScriptedReply;
using Tasks = std::vector<URLSessionTaskPtr>;

// Holds the cloud's answers until released, and tells the main queue of every arrival.
class Gate {
  public:
    ~Gate() { release(); }
    ScriptedReply pass() {
        DispatchQueue::main()->async([this] { ++arrived; });
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait(lock, [&] { return open_; });
        return {.body = R"({"ok":1})"};
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    int arrived = 0;  // main queue

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// Four requests wait in the cloud when the session is invalidated: each completes exactly once
// (cancelled, or with its answer), the session says it is invalid once, after the last
// completion, and no request can start any more.
void invalidateWithTasksInFlight(bool cancel) {
    SCOPED_TRACE(cancel ? "cancelling" : "letting the tasks finish");
    // The gate outlives the cloud, whose threads may still be waking in it when the test ends;
    // it opens before the cloud joins them.
    Gate gate;
    FakeCloud cloud;
    struct OpenFirst {
        Gate& gate;
        ~OpenFirst() { gate.release(); }
    } openFirst{gate};
    cloud.setHandler("/hold", [&](const test::RecordedRequest&) { return gate.pass(); });
    auto manager = QKAFHTTPSessionManager::initWithBaseURL(cloud.baseURL());
    manager->operationQueue()->setMaxConcurrentOperationCount(2);
    std::mutex mutex;
    std::vector<std::string> log;  // from the operation queue
    auto note = [&](std::string entry) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(std::move(entry));
    };
    manager->setTaskDidCompleteBlock([&](const URLSessionTaskPtr&, const ErrorPtr& error) {
        note(error ? "failed " + std::to_string(error->code()) : "completed");
    });
    manager->setSessionDidBecomeInvalidBlock(
        [&](const std::shared_ptr<URLSession>&, const ErrorPtr&) { note("hook"); });
    auto token = NotificationCenter::defaultCenter()->addObserverForName(
        QKAFURLSessionDidInvalidateNotification, manager->session(),
        [&](const Notification&) { note("invalid"); });

    constexpr int kTasks = 4;
    std::vector<int> calls(kTasks + 1);
    std::vector<ErrorPtr> errors(kTasks + 1);
    auto post = [&](int i) {
        return manager->POST(
            "/hold", std::nullopt, [&, i](const URLSessionTaskPtr&, const auto&) { ++calls[i]; },
            [&, i](const URLSessionTaskPtr&, const ErrorPtr& error) {
                ++calls[i];
                errors[i] = error;
            });
    };
    for (int i = 0; i < kTasks; ++i) ASSERT_TRUE(post(i));
    ASSERT_TRUE(MainLoop::runUntil([&] { return gate.arrived == kTasks; }, 30));
    manager->invalidateSessionCancelingTasks(cancel);
    MainLoop::drain();
    EXPECT_FALSE(post(kTasks));
    if (!cancel) gate.release();
    auto logSize = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return log.size();
    };
    ASSERT_TRUE(MainLoop::runUntil(
        [&] {
            return logSize() == kTasks + 2 && std::count(calls.begin(), calls.end(), 1) > kTasks;
        },
        60));
    MainLoop::drain();
    gate.release();
    NotificationCenter::defaultCenter()->removeObserver(token);

    for (int i = 0; i < kTasks; ++i) {
        EXPECT_EQ(calls[i], 1) << i;
        EXPECT_EQ(errors[i] ? errors[i]->code() : 0, cancel ? URLError::cancelled : 0) << i;
    }
    EXPECT_EQ(calls[kTasks], 1);
    EXPECT_EQ(errors[kTasks] ? errors[kTasks]->code() : 0, URLError::cancelled);
    const std::string each = cancel ? "failed " + std::to_string(URLError::cancelled) : "completed";
    std::vector<std::string> expected(kTasks, each);
    expected.insert(expected.end(), {"hook", "invalid"});
    EXPECT_EQ(log, expected);
    EXPECT_TRUE(manager->tasks().empty());
    EXPECT_TRUE(manager->session()->isInvalidated());
}

TEST(SessionLifecycle, InvalidationWithTasksInFlight) {
    DeterministicDispatch dispatch;
    invalidateWithTasksInFlight(false);
    invalidateWithTasksInFlight(true);
}

TEST(SessionLifecycleThreaded, InvalidationWithTasksInFlight) {
    invalidateWithTasksInFlight(false);
    invalidateWithTasksInFlight(true);
}

TEST(SessionLifecycle, TaskListsAndProgressByKind) {
    DeterministicDispatch dispatch;
    auto manager = QKAFURLSessionManager::initWithSessionConfiguration(std::nullopt);
    URLRequest request;
    request.url = "http://127.0.0.1:9/";
    int done = 0;
    auto count = [&](const HTTPURLResponsePtr&, const std::optional<Value>&, const ErrorPtr&) {
        ++done;
    };
    auto data = manager->dataTaskWithRequest(request, count);
    auto upload = manager->uploadTaskWithRequestFromData(request, toBytes("12345"), nullptr, count);
    auto download = manager->downloadTaskWithRequest(request, nullptr, nullptr, count);
    EXPECT_EQ(manager->tasks(), (Tasks{data, upload, download}));
    EXPECT_EQ(manager->dataTasks(), Tasks{data});
    EXPECT_EQ(manager->downloadTasks(), Tasks{download});
    // Asked on the operation queue itself, the session answers at once.
    Tasks inside;
    bool ran = false;
    manager->operationQueue()->addOperationWithBlock([&] {
        inside = manager->uploadTasks();
        ran = true;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return ran; }, 10));
    EXPECT_EQ(inside, Tasks{upload});

    EXPECT_EQ(manager->uploadProgressForTask(upload)->totalUnitCount, 5);
    EXPECT_EQ(manager->uploadProgressForTask(data)->totalUnitCount, 0);
    EXPECT_EQ(manager->downloadProgressForTask(download)->totalUnitCount, -1);
    // Cancelling through the progress object cancels the task.
    manager->downloadProgressForTask(download)->cancel();
    data->cancel();
    upload->cancel();
    ASSERT_TRUE(MainLoop::runUntil([&] { return done == 3; }, 10));
    EXPECT_EQ(download->state(), URLSessionTaskState::completed);
    EXPECT_TRUE(manager->tasks().empty());
    EXPECT_FALSE(manager->uploadProgressForTask(upload));
}

TEST(SessionLifecycle, DescriptionsAndCopies) {
    DeterministicDispatch dispatch;
    URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 12;
    auto manager = QKAFHTTPSessionManager::initWithBaseURL("http://127.0.0.1:9/api", configuration);
    // Addresses vary from run to run.
    auto masked = [](std::string text) {
        for (size_t at = text.find("0x"); at != std::string::npos; at = text.find("0x", at + 2)) {
            size_t end = text.find_first_not_of("0123456789abcdef", at + 2);
            text.replace(at, end - at, "0x?");
        }
        return text;
    };
    const std::string tail =
        ", session: <URLSession: 0x?>, operationQueue: <OperationQueue: 0x?>"
        "{name = 'QKAFURLSessionManager operation queue'}>";
    EXPECT_EQ(masked(manager->description()),
              "<QKAFHTTPSessionManager: 0x?, baseURL: http://127.0.0.1:9/api/" + tail);
    auto plain = QKAFURLSessionManager::initWithSessionConfiguration(configuration);
    EXPECT_EQ(masked(plain->description()), "<QKAFURLSessionManager: 0x?" + tail);

    manager->requestSerializer()->setValue("v", "X-Custom");
    manager->requestSerializer()->setTimeoutInterval(7);
    auto json = QKAFJSONResponseSerializer::serializer();
    json->setRemovesKeysWithNullValues(true);
    manager->setResponseSerializer(json);
    manager->setSecurityPolicy(QKAFSecurityPolicy::policyWithPinningMode(2));

    auto copy = std::dynamic_pointer_cast<QKAFHTTPSessionManager>(manager->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->baseURL(), "http://127.0.0.1:9/api/");
    EXPECT_EQ(copy->sessionConfiguration().timeoutIntervalForRequest, 12);
    EXPECT_NE(copy->session(), manager->session());
    // Copies, not the same objects: changing the copy leaves the original alone.
    auto requestCopy = copy->requestSerializer();
    ASSERT_NE(requestCopy, manager->requestSerializer());
    EXPECT_EQ(requestCopy->valueForHTTPHeaderField("X-Custom"), "v");
    EXPECT_EQ(requestCopy->timeoutInterval(), 7);
    requestCopy->setValue("w", "X-Custom");
    EXPECT_EQ(manager->requestSerializer()->valueForHTTPHeaderField("X-Custom"), "v");
    auto jsonCopy =
        std::dynamic_pointer_cast<QKAFJSONResponseSerializer>(copy->responseSerializer());
    ASSERT_TRUE(jsonCopy);
    EXPECT_NE(jsonCopy, json);
    EXPECT_TRUE(jsonCopy->removesKeysWithNullValues);
    EXPECT_NE(copy->securityPolicy(), manager->securityPolicy());
    EXPECT_EQ(copy->securityPolicy()->SSLPinningMode(), 2u);

    auto plainCopy = plain->copy();
    EXPECT_FALSE(std::dynamic_pointer_cast<QKAFHTTPSessionManager>(plainCopy));
    EXPECT_EQ(plainCopy->sessionConfiguration().timeoutIntervalForRequest, 12);
}

}  // namespace
}  // namespace telvo

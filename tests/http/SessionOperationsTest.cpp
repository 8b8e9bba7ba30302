#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "http/QKAFURLSessionManager.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"
#include "sim/FakeCloud.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::FakeCloud;
using test::ScriptedReply;
using Disposition = URLSessionResponseDisposition;

// How one task's completion handler was called.
struct Ended {
    int calls = 0;
    std::optional<Value> object;
    ErrorPtr error;
};

class SessionOperationsTest : public ::testing::Test {
  protected:
    static QKAFURLSessionManager::CompletionHandler recordInto(Ended& ended) {
        return [&ended](const HTTPURLResponsePtr&, const std::optional<Value>& object,
                        const ErrorPtr& error) {
            ++ended.calls;
            ended.object = object;
            ended.error = error;
        };
    }
    static void waitFor(const Ended& ended) {
        ASSERT_TRUE(MainLoop::runUntil([&] { return ended.calls > 0; }, 60));
        MainLoop::drain();
        EXPECT_EQ(ended.calls, 1);
    }
    static URLRequest get(const std::string& url) {
        URLRequest request;
        request.url = url;
        request.timeoutInterval = 10;
        return request;
    }
    static int64_t code(const ErrorPtr& error) { return error ? error->code() : 0; }
    // Download files in the library's download folder now.
    static size_t downloadFiles() {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(*URLDownloadFile::folder()))
            count += entry.path().filename().string().starts_with("URLDownload.");
        return count;
    }

    DeterministicDispatch dispatch;
    test::TempFolder folder;
    // Download files are made in the cache folder, here the test's own: other test programs
    // running at the same time make and remove theirs in the user's.
    test::ScopedEnvironment tmpdir{"TMPDIR", folder.path().string()};
    test::ScopedEnvironment cache{"XDG_CACHE_HOME", folder.path().string()};
};

// A manager's own group holds each completion from the task's end until its block has run: with
// the completion queue held up, the group stays busy after every task has ended, and a wait
// on it returns once all the blocks ran (threaded, as an app runs).
TEST(SessionCompletionGroup, WaitsForEveryCompletionBlock) {
    FakeCloud cloud;
    cloud.setReply("/fast", {.body = R"({"a":1})"});
    cloud.setReply("/fail", {.status = 500});
    auto manager = QKAFURLSessionManager::initWithSessionConfiguration(std::nullopt);
    auto group = DispatchGroup::create();
    manager->setCompletionGroup(group);
    auto queue = DispatchQueue::createSerial("completions");
    manager->setCompletionQueue(queue);
    Semaphore release;
    queue->async([&] { release.wait(); });
    std::atomic<int> completed{0};
    // Signalled on other threads up to their last step: held by them too.
    auto ended = std::make_shared<Semaphore>();
    manager->setTaskDidCompleteBlock(
        [ended](const URLSessionTaskPtr&, const ErrorPtr&) { ended->signal(); });
    constexpr int kTasks = 6;
    for (int i = 0; i < kTasks; ++i) {
        URLRequest request;
        request.url = cloud.url(i % 2 ? "/fast" : "/fail");
        manager
            ->dataTaskWithRequest(request,
                                  [&](const HTTPURLResponsePtr&, const std::optional<Value>&,
                                      const ErrorPtr&) { ++completed; })
            ->resume();
    }
    for (int i = 0; i < kTasks; ++i) ASSERT_TRUE(ended->wait(60));
    EXPECT_FALSE(group->wait(0.05)) << "the blocks wait behind the held queue";
    EXPECT_EQ(completed, 0);
    release.signal();
    EXPECT_TRUE(group->wait(60));
    EXPECT_EQ(completed, kTasks);
    auto notified = std::make_shared<Semaphore>();
    group->notify(queue, [notified] { notified->signal(); });
    EXPECT_TRUE(notified->wait(60));
}

// The response hook's answer decides what becomes of the body, over HTTP and answered in the
// process alike: cancel ends the task once with -999 and no body; allow lets it through; a
// download disposition gives the body to a new download task, whose file the manager moves.
TEST_F(SessionOperationsTest, ResponseHookDispositions) {
    const std::string body = R"({"code":0,"list":[1,2,3]})";
    for (bool inProcess : {false, true}) {
        FakeCloud cloud;
        if (inProcess) cloud.answerInVirtualTime();
        cloud.setReply("/r", {.body = body});
        for (Disposition answer :
             {Disposition::cancel, Disposition::allow, Disposition::becomeDownload}) {
            SCOPED_TRACE(std::to_string(int(answer)) + (inProcess ? " in process" : " over HTTP"));
            auto manager = QKAFURLSessionManager::initWithSessionConfiguration(std::nullopt);
            std::vector<std::string> events;
            URLSessionTaskPtr became;
            manager->setDataTaskDidReceiveResponseBlock(
                [&](const URLSessionTaskPtr&, const HTTPURLResponsePtr& response) {
                    events.push_back("response " + std::to_string(response->statusCode));
                    return answer;
                });
            manager->setDataTaskDidReceiveDataBlock(
                [&](const URLSessionTaskPtr&, const Bytes&) { events.push_back("data"); });
            manager->setDataTaskDidBecomeDownloadTaskBlock(
                [&](const URLSessionTaskPtr& data, const URLSessionTaskPtr& download) {
                    events.push_back("became download");
                    became = download;
                    EXPECT_NE(data->taskIdentifier(), download->taskIdentifier());
                    EXPECT_EQ(download->kind(), URLSessionTaskKind::download);
                });
            const std::string saved = (folder.path() / "saved.json").string();
            manager->setDownloadTaskDidFinishDownloadingBlock(
                [&](const URLSessionTaskPtr&, const std::string& temporary) {
                    events.push_back("downloaded");
                    EXPECT_EQ(test::readFile(temporary), body);
                    return std::optional<std::string>(saved);
                });
            int completions = 0;
            manager->setTaskDidCompleteBlock(
                [&](const URLSessionTaskPtr&, const ErrorPtr&) { ++completions; });
            Ended ended;
            auto task = manager->dataTaskWithRequest(get(cloud.url("/r")), recordInto(ended));
            task->resume();
            waitFor(ended);
            EXPECT_EQ(completions, 1);
            switch (answer) {
                case Disposition::cancel:
                    EXPECT_EQ(events, std::vector<std::string>{"response 200"});
                    EXPECT_EQ(code(ended.error), URLError::cancelled);
                    break;
                case Disposition::allow:
                    EXPECT_EQ(events, (std::vector<std::string>{"response 200", "data"}));
                    EXPECT_EQ(code(ended.error), 0);
                    EXPECT_EQ(ended.object->toJSON(), body);
                    break;
                case Disposition::becomeDownload:
                    EXPECT_EQ(events, (std::vector<std::string>{"response 200", "became download",
                                                                "downloaded"}));
                    ASSERT_TRUE(became);
                    EXPECT_EQ(code(ended.error), 0);
                    EXPECT_EQ(ended.object, Value(saved));
                    EXPECT_EQ(test::readFile(saved), body);
                    EXPECT_EQ(became->state(), URLSessionTaskState::completed);
                    break;
            }
            EXPECT_EQ(task->state(), URLSessionTaskState::completed);
        }
    }
}

// A download cancelled with resume data goes on from where its file ended: the server sees a
// range request under the first reply's tag, and the file comes out byte for byte. When the
// tag no longer matches, the server sends the whole body again and the file starts over.
TEST_F(SessionOperationsTest, CancelledDownloadResumesFromItsFile) {
    std::string body(3 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char((i * 131 + i / 7919) & 0xff);
    const std::string other = "a new body under a new tag";
    for (bool tagChanges : {false, true}) {
        SCOPED_TRACE(tagChanges ? "the tag changed" : "same tag");
        FakeCloud cloud;
        const ScriptedReply first{.body = body,
                                  .contentType = "application/octet-stream",
                                  .headers = {{"ETag", "\"v1\""}},
                                  .stallAfterBytes = 1 << 20};
        cloud.setReply("/fw", first);
        auto manager = QKAFURLSessionManager::initWithSessionConfiguration(std::nullopt);
        std::atomic<int64_t> written{0};
        manager->setDownloadTaskDidWriteDataBlock(
            [&](const URLSessionTaskPtr&, int64_t, int64_t total, int64_t) { written = total; });
        Ended cancelled;
        auto task = manager->downloadTaskWithRequest(get(cloud.url("/fw")), nullptr, nullptr,
                                                     recordInto(cancelled));
        task->resume();
        ASSERT_TRUE(MainLoop::runUntil([&] { return written == (1 << 20); }, 60));
        std::optional<Bytes> resumeData;
        int handlerCalls = 0;
        task->cancelByProducingResumeData([&](const std::optional<Bytes>& data) {
            ++handlerCalls;
            resumeData = data;
        });
        waitFor(cancelled);
        EXPECT_EQ(handlerCalls, 1);
        ASSERT_TRUE(resumeData);
        EXPECT_EQ(code(cancelled.error), URLError::cancelled);
        EXPECT_EQ(cancelled.error->userInfo()[kNSURLSessionDownloadTaskResumeData],
                  Value(*resumeData));

        ScriptedReply second = first;
        second.stallAfterBytes = 0;
        if (tagChanges) {
            second.body = other;
            second.headers = {{"ETag", "\"v2\""}};
        }
        const std::string expected = tagChanges ? other : body;
        cloud.setReply("/fw", second);
        std::vector<int64_t> resumedAt;
        manager->setDownloadTaskDidResumeBlock(
            [&](const URLSessionTaskPtr&, int64_t offset, int64_t total) {
                resumedAt = {offset, total};
            });
        const std::string saved = (folder.path() / "fw.bin").string();
        Ended resumed;
        auto again = manager->downloadTaskWithResumeData(
            *resumeData, nullptr,
            [&](const std::string&, const HTTPURLResponsePtr&) {
                return std::optional<std::string>(saved);
            },
            recordInto(resumed));
        ASSERT_TRUE(again);
        again->resume();
        waitFor(resumed);
        EXPECT_EQ(code(resumed.error), 0);
        EXPECT_TRUE(test::readFile(saved) == expected);
        const std::vector<int64_t> at = {tagChanges ? 0 : 1 << 20, -1};
        EXPECT_EQ(resumedAt, at);
        auto requests = cloud.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].header("Range"), "");
        EXPECT_EQ(requests[1].header("Range"), "bytes=1048576-");
        EXPECT_EQ(requests[1].header("If-Range"), "\"v1\"");
    }
    // Resume data of another form, or a file that went away, gives no download.
    auto manager = QKAFURLSessionManager::initWithSessionConfiguration(std::nullopt);
    EXPECT_FALSE(manager->downloadTaskWithResumeData(Bytes{1, 2, 3}, nullptr, nullptr, nullptr));
    Ended gone;
    auto task = manager->downloadTaskWithResumeData(
        URLResumeData{"http://127.0.0.1:1/x", *URLDownloadFile::folder() + "/URLDownload.gone00",
                      "\"v\"", 5}
            .encode(),
        nullptr, nullptr, recordInto(gone));
    ASSERT_TRUE(task);
    task->resume();
    waitFor(gone);
    EXPECT_EQ(code(gone.error), URLError::fileDoesNotExist);
}

// A download decompresses into its file up to the limit its session was given: a gibibyte of
// zeros from a megabyte of gzip stops there, leaves no file, and the body never waits in
// memory, even for a delegate that takes its time.
TEST_F(SessionOperationsTest, DownloadStopsAtItsLimitInBoundedMemory) {
    FakeCloud cloud;
    cloud.setReply("/bomb", {.body = test::gzipOfZeros(1024),
                             .contentType = "application/octet-stream",
                             .headers = {{"Content-Encoding", "gzip"}}});
    URLSessionConfiguration configuration;
    configuration.maximumDownloadBytes = int64_t(96) << 20;
    auto manager = QKAFURLSessionManager::initWithSessionConfiguration(configuration);
    const size_t base = test::heapInUse();
    size_t peak = base;
    int64_t written = 0;
    std::string temporary;
    manager->setDownloadTaskDidWriteDataBlock(
        [&](const URLSessionTaskPtr&, int64_t, int64_t total, int64_t) {
            peak = std::max(peak, test::heapInUse());
            written = total;
        });
    bool destinationAsked = false;
    Ended ended;
    auto task = manager->downloadTaskWithRequest(
        get(cloud.url("/bomb")), nullptr,
        [&](const std::string&, const HTTPURLResponsePtr&) {
            destinationAsked = true;
            return std::nullopt;
        },
        recordInto(ended));
    const size_t peakBefore = test::peakResidentBytes();
    const size_t filesBefore = downloadFiles();
    task->resume();
    waitFor(ended);
    EXPECT_EQ(code(ended.error), URLError::dataLengthExceedsMaximum);
    EXPECT_FALSE(destinationAsked);
    EXPECT_LE(written, configuration.maximumDownloadBytes);
    EXPECT_GT(written, configuration.maximumDownloadBytes / 2);
    EXPECT_LT(peak - base, size_t(16) << 20) << "heap growth while downloading";
    EXPECT_LT(test::peakResidentBytes() - peakBefore, size_t(64) << 20);
    EXPECT_EQ(downloadFiles(), filesBefore) << "a download file was left behind";
}

}  // namespace
}  // namespace telvo

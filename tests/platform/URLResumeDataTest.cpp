#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/PropertyListDocuments.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/http/URLDownloadFile.h"
#include "platform/http/URLSession.h"
#include "sim/FakeCloud.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::FakeCloud;
using test::ScriptedReply;

// A download's events: the bytes written so far, the finished file's bytes (read before the
// file goes with the event), the completion.
class DownloadRecorder : public URLSessionDelegate {
  public:
    void didWriteData(const URLSessionTaskPtr&, int64_t, int64_t total, int64_t) override {
        written = total;
    }
    void didFinishDownloadingToURL(const URLSessionTaskPtr&, const std::string& path) override {
        finished = test::readFile(path);
    }
    void didCompleteWithError(const URLSessionTaskPtr&, const ErrorPtr& e) override {
        error = e;
        ++completions;
    }

    std::shared_ptr<OperationQueue> queue = OperationQueue::create("test delegate");
    std::atomic<int64_t> written{0};
    std::optional<std::string> finished;
    ErrorPtr error;
    std::atomic<int> completions{0};
};

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class URLResumeDataTest : public ::testing::Test {
  protected:
    // Download files are made under the test's own folder, its cache folder.
    URLResumeDataTest() { downloads = *URLDownloadFile::folder(); }
    std::shared_ptr<URLSession> newSession() {
        return URLSession::create(URLSessionConfiguration::defaultSessionConfiguration(), recorder,
                                  recorder->queue);
    }
    void waitForCompletion() {
        ASSERT_TRUE(MainLoop::runUntil([&] { return recorder->completions > 0; }, 60));
        MainLoop::drain();
    }
    // A download of body cancelled for resume data once a mebibyte is in its file.
    Bytes cancelledDownload(FakeCloud& cloud, const std::string& body) {
        cloud.setReply("/file", {.body = body,
                                 .contentType = "application/octet-stream",
                                 .headers = {{"ETag", "\"v1\""}},
                                 .stallAfterBytes = 1 << 20});
        URLRequest request;
        request.url = cloud.url("/file");
        auto task = newSession()->downloadTaskWithRequest(request);
        task->resume();
        EXPECT_TRUE(MainLoop::runUntil([&] { return recorder->written == (1 << 20); }, 60));
        std::optional<Bytes> data;
        task->cancelByProducingResumeData([&](const std::optional<Bytes>& d) { data = d; });
        waitForCompletion();
        recorder->completions = 0;
        EXPECT_TRUE(data);
        return data.value_or(Bytes{});
    }

    DeterministicDispatch dispatch;
    test::TempFolder root;
    test::ScopedEnvironment tmpdir{"TMPDIR", root.path().string()};
    test::ScopedEnvironment cache{"XDG_CACHE_HOME", root.path().string()};
    std::string downloads;
    std::shared_ptr<DownloadRecorder> recorder = std::make_shared<DownloadRecorder>();
};

// Resume data edited to name another file is refused, whatever way the path takes out of the
// download folder, and the file it names stays byte for byte as it was: nothing is cut,
// written, replaced or removed, with a server that answers or with none at all.
TEST_F(URLResumeDataTest, TamperedResumeDataTouchesNoFile) {
    FakeCloud cloud;
    cloud.setReply("/file", {.body = std::string(4096, 'S'),
                             .contentType = "application/octet-stream",
                             .headers = {{"ETag", "\"v1\""}}});
    int closedPort;
    {
        FakeCloud gone;
        closedPort = gone.port();
    }
    const std::string closedURL = "http://127.0.0.1:" + std::to_string(closedPort) + "/file";
    // Named as the library names its own files, outside its folder.
    const std::string victim = (root.path() / "URLDownload.victim").string();
    const std::string victimBytes = "the app's own file, not a download: " + std::string(200, 'v');
    std::filesystem::create_symlink(root.path(), downloads + "/outside");
    std::filesystem::create_symlink(victim, downloads + "/URLDownload.link01");
    struct Case {
        const char* name;
        std::string path;
        std::string target;  // the file that must stay as it is
        int64_t offset;
        bool closedPort;
    };
    std::vector<Case> cases = {
        {"a path outside the folder", victim, victim, 10, false},
        {"dot-dot out of the folder", downloads + "/../URLDownload.victim", victim, 10, false},
        {"through a linked folder", downloads + "/outside/URLDownload.victim", victim, 10, false},
        {"a link as the file", downloads + "/URLDownload.link01", victim, 10, false},
        {"the null device", "/dev/null", victim, 0, false},
        {"a relative path", "URLDownload.victim", victim, 10, false},
        {"a second name of another file", downloads + "/URLDownload.hard01", victim, 10, false},
        {"an offset past the file's end", downloads + "/URLDownload.short1",
         downloads + "/URLDownload.short1", 1000, false},
        {"outside, at a closed port", victim, victim, 10, true},
        {"a link as the file, at a closed port", downloads + "/URLDownload.link01", victim, 10,
         true},
    };
    if (::geteuid() == 0) {
        cases.push_back({"another user's file", downloads + "/URLDownload.other1",
                         downloads + "/URLDownload.other1", 10, false});
    }
    // The same data answered inside the process, where the answer replaces the file: refused
    // the same way.
    FakeCloud local;
    local.setReply("/file", {.body = std::string(4096, 'L')});
    local.answerInVirtualTime();
    for (bool inProcess : {false, true}) {
        for (const auto& c : cases) {
            if (inProcess && c.closedPort) continue;
            SCOPED_TRACE(std::string(c.name) + (inProcess ? ", answered in the process" : ""));
            writeFile(victim, victimBytes);
            writeFile(downloads + "/URLDownload.short1", "short");
            writeFile(downloads + "/URLDownload.other1", victimBytes);
            if (::geteuid() == 0) {
                ASSERT_EQ(::chown((downloads + "/URLDownload.other1").c_str(), 65534, 65534), 0);
            }
            std::filesystem::remove(downloads + "/URLDownload.hard01");
            std::filesystem::create_hard_link(victim, downloads + "/URLDownload.hard01");
            const std::string before = test::readFile(c.target);
            const size_t requestsBefore = cloud.requestCount();
            recorder->completions = 0;
            recorder->error = nullptr;
            const std::string url = inProcess      ? local.url("/file")
                                    : c.closedPort ? closedURL
                                                   : cloud.url("/file");
            auto data = URLResumeData{url, c.path, "\"v1\"", c.offset}.encode();
            auto task = newSession()->downloadTaskWithResumeData(data);
            if (task) {
                task->resume();
                waitForCompletion();
                ASSERT_TRUE(recorder->error);
                EXPECT_EQ(recorder->error->code(), URLError::fileDoesNotExist);
            }
            EXPECT_EQ(cloud.requestCount(), requestsBefore) << "the download went ahead";
            ASSERT_TRUE(std::filesystem::exists(c.target));
            EXPECT_TRUE(test::readFile(c.target) == before) << "the file changed";
        }
    }
}

// Genuine resume data goes on in a session made afresh, as after a restart of the process:
// the file comes out byte for byte from a range request under the first reply's tag.
TEST_F(URLResumeDataTest, GenuineResumeDataGoesOnInANewSession) {
    std::string body(3 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char((i * 151 + i / 4093) & 0xff);
    FakeCloud cloud;
    Bytes data = cancelledDownload(cloud, body);
    cloud.setReply(
        "/file",
        {.body = body, .contentType = "application/octet-stream", .headers = {{"ETag", "\"v1\""}}});
    auto task = newSession()->downloadTaskWithResumeData(data);
    ASSERT_TRUE(task);
    task->resume();
    waitForCompletion();
    EXPECT_EQ(recorder->error, nullptr);
    ASSERT_TRUE(recorder->finished);
    EXPECT_TRUE(*recorder->finished == body);
    auto requests = cloud.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("Range"), "bytes=1048576-");
    EXPECT_EQ(requests[1].header("If-Range"), "\"v1\"");
}

// With no download folder of the user's own to be had (no cache folder, and a temporary folder
// that is a file), a download ends with cannotCreateFile saying so, with no file delivered.
TEST_F(URLResumeDataTest, ADownloadWithoutAFolderSaysSo) {
    FakeCloud cloud, local;
    cloud.setReply("/file", {.body = "body"});
    local.setReply("/file", {.body = "body"});
    local.answerInVirtualTime();
    const std::string notAFolder = (root.path() / "not-a-folder").string();
    writeFile(notAFolder, "x");
    test::ScopedEnvironment xdg("XDG_CACHE_HOME", std::nullopt), home("HOME", std::nullopt),
        temp("TMPDIR", notAFolder);
    ASSERT_FALSE(URLDownloadFile::folder());
    auto expectFolderError = [&](const std::string& url) {
        SCOPED_TRACE(url);
        URLRequest request;
        request.url = url;
        newSession()->downloadTaskWithRequest(request)->resume();
        waitForCompletion();
        ASSERT_TRUE(recorder->error);
        EXPECT_EQ(recorder->error->code(), URLError::cannotCreateFile);
        EXPECT_EQ(recorder->error->localizedDescription(),
                  "The download folder could not be made.");
        EXPECT_EQ(recorder->error->userInfo()[kNSURLErrorFailingURLStringErrorKey].text(), url);
        EXPECT_FALSE(recorder->finished);
        recorder->completions = 0;
    };
    expectFolderError(cloud.url("/file"));
    // Answered inside the process.
    expectFolderError(local.url("/file"));
}

// Resume data is read under the bound of every property list: arrays under a key of its own
// that name one another past it (22 and 20 levels in about 600 bytes) refuse the data in
// bounded memory; a few levels of them leave good data good.
TEST_F(URLResumeDataTest, ResumeDataNamingObjectsManyTimes) {
    auto file = URLDownloadFile::create(1 << 20);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->write(reinterpret_cast<const uint8_t*>("0123456789"), 10),
              URLDownloadFile::Write::written);
    file->keep();
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"telvo.resumeData", test::binaryInteger(1)},
        {"url", test::binaryText("http://127.0.0.1:9/file")},
        {"path", test::binaryText(file->path())},
        {"validator", test::binaryText("\"v1\"")},
        {"offset", test::binaryInteger(10)}};
    for (const auto& [levels, readable] : {std::pair{22, false}, {20, false}, {6, true}}) {
        SCOPED_TRACE(levels);
        const size_t peakBefore = test::peakResidentBytes();
        auto task = newSession()->downloadTaskWithResumeData(
            toBytes(test::sharedArraysPlist(levels, entries)));
        EXPECT_LT(test::peakResidentBytes() - peakBefore, size_t(16) << 20);
        EXPECT_EQ(task != nullptr, readable);
    }
}

// Resume data is read where the app hands it over, perhaps on a thread with a small stack: deep
// documents past comments between their tags, and 18 KB naming a 63-byte text a million times,
// are refused on a 256 KiB stack; good data beside an honest 4 MiB reply still reads.
TEST(URLResumeDataDecode, DeepOrExpandingDataOnASmallStack) {
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"telvo.resumeData", test::binaryInteger(1)},
        {"url", test::binaryText("http://127.0.0.1:9/file")},
        {"path", test::binaryText("/tmp/URLDownload.abc123")},
        {"validator", test::binaryText("\"v1\"")},
        {"offset", test::binaryInteger(10)}};
    Dictionary withReply = test::honestReply(4 << 20, kPropertyListBinaryFormat).first.dictionary();
    withReply.set("telvo.resumeData", 1);
    withReply.set("url", "http://127.0.0.1:9/file");
    withReply.set("path", "/tmp/URLDownload.abc123");
    withReply.set("validator", "\"v1\"");
    withReply.set("offset", 10);
    const struct {
        const char* name;
        std::string data;
        bool reads;
    } cases[] = {
        {"600 levels past comments", test::deepXmlArrays(600, "<!--</array>-->"), false},
        {"50,000 levels past comments", test::deepXmlArrays(50000, "<!--</array>-->"), false},
        {"500,000 levels past CDATA", test::deepXmlArrays(500000, "<![CDATA[</array>]]>"), false},
        {"a text named a million times", test::fanOutTextPlist(fields), false},
        {"a few arrays naming the text", test::fanOutTextPlist(fields, 2, 4, 10), true},
        {"beside an honest 4 MiB reply", test::writtenPlist(withReply, kPropertyListBinaryFormat),
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<URLResumeData> decoded;
        ASSERT_TRUE(test::onSmallStack([&] { decoded = URLResumeData::decode(toBytes(c.data)); }));
        ASSERT_EQ(decoded.has_value(), c.reads);
        if (c.reads) {
            EXPECT_EQ(decoded->path, "/tmp/URLDownload.abc123");
        }
    }
}

// The download folder is "telvo-downloads" in the user's cache folder ($XDG_CACHE_HOME when
// absolute, else ~/.cache), made when missing, for the user alone; a cache folder others can
// write to, or a link in the folder's place, gives way to the next, and the last resort is the
// user's own folder in the temporary folder.
TEST_F(URLResumeDataTest, DownloadFolderIsTheUsersOwn) {
    namespace fs = std::filesystem;
    const fs::path base = fs::canonical(root.path());
    fs::create_directories(base / "home");
    fs::create_directories(base / "shared");
    fs::permissions(base / "shared", fs::perms::all);
    fs::create_directories(base / "linked");
    fs::create_directory_symlink(base / "home", base / "linked/telvo-downloads");
    const fs::path temp = base / ("telvo-downloads-" + std::to_string(::geteuid()));
    struct Case {
        const char* name;
        std::optional<std::string> xdg, home;
        fs::path expected;
    };
    const Case cases[] = {
        {"a cache folder made afresh", (base / "made").string(), std::nullopt,
         base / "made/telvo-downloads"},
        {"the home's cache folder", std::nullopt, (base / "home").string(),
         base / "home/.cache/telvo-downloads"},
        {"a relative cache folder", "relative", (base / "home").string(),
         base / "home/.cache/telvo-downloads"},
        {"a cache folder others can write to", (base / "shared").string(), std::nullopt, temp},
        {"the home's after one others can write to", (base / "shared").string(),
         (base / "home").string(), base / "home/.cache/telvo-downloads"},
        {"a link in the folder's place", (base / "linked").string(), std::nullopt, temp},
        {"no cache folder at all", std::nullopt, std::nullopt, temp},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScopedEnvironment xdg("XDG_CACHE_HOME", c.xdg), home("HOME", c.home);
        EXPECT_EQ(URLDownloadFile::folder(), c.expected.string());
        struct stat info {};
        ASSERT_EQ(::lstat(c.expected.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        auto file = URLDownloadFile::create(1);
        ASSERT_TRUE(file);
        EXPECT_EQ(fs::path(file->path()).parent_path(), c.expected);
    }
}

// The handler of a cancel for resume data runs exactly once in every state of the task, never
// inside the call, on the delegate queue: with data for a download that can go on, nullopt
// for anything else.
TEST_F(URLResumeDataTest, EveryCancelForResumeDataAnswersOnce) {
    FakeCloud cloud;
    cloud.setReply("/small", {});
    cloud.setReply("/file", {.body = std::string(2 << 20, 'd'),
                             .contentType = "application/octet-stream",
                             .headers = {{"ETag", "\"v1\""}},
                             .stallAfterBytes = 1 << 20});
    auto session = newSession();
    auto request = [&](const char* path) {
        URLRequest r;
        r.url = cloud.url(path);
        return r;
    };
    auto running = [&] {
        recorder->written = 0;
        auto task = session->downloadTaskWithRequest(request("/file"));
        task->resume();
        EXPECT_TRUE(MainLoop::runUntil([&] { return recorder->written == (1 << 20); }, 60));
        return task;
    };
    struct Answer {
        int calls = 0;
        bool onDelegateQueue = true;
        bool withData = false;
        // Whether a first cancel asked for the data.
        bool asked = false;
    };
    struct Case {
        const char* name;
        std::function<URLSessionTaskPtr()> make;
        // Done to the task first (a cancel, or a cancel for resume data of its own).
        std::function<void(const URLSessionTaskPtr&, Answer&)> before;
        bool withData;
    };
    auto noop = [](const URLSessionTaskPtr&, Answer&) {};
    const Case cases[] = {
        {"a completed task",
         [&] {
             auto task = session->dataTaskWithRequest(request("/small"));
             task->resume();
             EXPECT_TRUE(MainLoop::runUntil([&] { return recorder->completions > 0; }, 60));
             return task;
         },
         noop, false},
        {"a task not yet started",
         [&] { return session->downloadTaskWithRequest(request("/file")); }, noop, false},
        {"a running data task",
         [&] {
             auto task = session->dataTaskWithRequest(request("/file"));
             task->resume();
             return task;
         },
         noop, false},
        {"a running download", running, noop, true},
        {"a download already cancelling", running,
         [](const URLSessionTaskPtr& task, Answer&) { task->cancel(); }, false},
        {"a download whose first cancel asked for the data", running,
         [&](const URLSessionTaskPtr& task, Answer& first) {
             first.asked = true;
             task->cancelByProducingResumeData([&first](const std::optional<Bytes>& data) {
                 ++first.calls;
                 first.withData = data.has_value();
             });
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recorder->completions = 0;
        auto task = c.make();
        Answer first, answer;
        c.before(task, first);
        task->cancelByProducingResumeData([&](const std::optional<Bytes>& data) {
            ++answer.calls;
            answer.onDelegateQueue = answer.onDelegateQueue && recorder->queue->isCurrent();
            answer.withData = data.has_value();
        });
        EXPECT_EQ(answer.calls, 0) << "answered inside the call";
        ASSERT_TRUE(MainLoop::runUntil([&] { return answer.calls > 0; }, 60));
        MainLoop::runUntil([&] { return recorder->completions > 0; }, 60);
        MainLoop::drain();
        EXPECT_EQ(answer.calls, 1);
        EXPECT_TRUE(answer.onDelegateQueue);
        EXPECT_EQ(answer.withData, c.withData);
        if (first.asked) {
            EXPECT_EQ(first.calls, 1);
            EXPECT_TRUE(first.withData) << "the first cancel keeps its data";
        }
        EXPECT_EQ(task->state(), URLSessionTaskState::completed);
    }
}

}  // namespace
}  // namespace telvo

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "http/QKAFHTTPSessionManager.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/FakeCloud.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::FakeCloud;
using test::RecordedPart;

// Writes size bytes of a seeded pattern; answers their SHA-256 (hex), computed on the way.
std::string writePattern(const std::filesystem::path& path, size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::ofstream out(path, std::ios::binary);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<char> chunk(1 << 20);
    for (size_t written = 0; written < size;) {
        size_t count = std::min(chunk.size(), size - written);
        for (size_t i = 0; i < count; ++i) chunk[i] = char(rng());
        out.write(chunk.data(), std::streamsize(count));
        EVP_DigestUpdate(context, chunk.data(), count);
        written += count;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    return test::toHex(ByteView(digest, length));
}

// One task's end, and its upload progress as the blocks saw it (on the operation queue).
struct Upload {
    int calls = 0;
    std::optional<Value> object;
    ErrorPtr error;
    std::vector<std::pair<int64_t, int64_t>> progress;  // (completed, total)

    QKAFURLSessionManager::ProgressBlock onProgress() {
        return [this](const QKAFProgress& p) {
            progress.emplace_back(p.completedUnitCount.load(), p.totalUnitCount.load());
        };
    }
    QKAFURLSessionManager::CompletionHandler onCompletion() {
        return [this](const HTTPURLResponsePtr&, const std::optional<Value>& o, const ErrorPtr& e) {
            ++calls;
            object = o;
            error = e;
        };
    }
    void wait() {
        ASSERT_TRUE(MainLoop::runUntil([&] { return calls > 0; }, 120));
        MainLoop::drain();
        EXPECT_EQ(calls, 1);
    }
    // Progress rose step by step to the whole body (of a size known before, or not: -1).
    void expectProgressTo(int64_t total, bool sizeKnown = true) {
        ASSERT_FALSE(progress.empty());
        for (size_t i = 1; i < progress.size(); ++i)
            EXPECT_LE(progress[i - 1].first, progress[i].first);
        EXPECT_EQ(progress.back(), std::make_pair(total, sizeKnown ? total : -1));
    }
};

class UploadTest : public ::testing::Test {
  protected:
    UploadTest() {
        cloud.setReply("/up", {.body = R"({"ok":true})"});
        manager->setResponseSerializer(QKAFJSONResponseSerializer::serializer());
    }
    URLRequest post(const std::string& path) {
        URLRequest request;
        request.url = cloud.url(path);
        request.httpMethod = "POST";
        return request;
    }
    // Runs the multipart POST to /up and answers what the cloud received.
    test::RecordedRequest postForm(Upload& upload, const std::optional<Value>& parameters,
                                   QKAFHTTPSessionManager::ConstructingBodyBlock block) {
        URLSessionTaskPtr task = manager->POSTConstructingBodyWithBlock(
            "/up", parameters, std::move(block), upload.onProgress(),
            [&](const URLSessionTaskPtr&, const std::optional<Value>& object) {
                ++upload.calls;
                upload.object = object;
            },
            [&](const URLSessionTaskPtr&, const ErrorPtr& error) {
                ++upload.calls;
                upload.error = error;
            });
        upload.wait();
        EXPECT_FALSE(upload.error) << upload.error->localizedDescription();
        auto requests = cloud.requests();
        EXPECT_EQ(requests.size(), 1u);
        if (requests.empty()) return {};
        // Every byte the headers announced went out, and no more.
        const int64_t length = std::stoll(requests[0].header("Content-Length"));
        EXPECT_EQ(task->countOfBytesSent(), length);
        EXPECT_EQ(task->countOfBytesExpectedToSend(), length);
        upload.expectProgressTo(length);
        EXPECT_TRUE(requests[0].bodyComplete);
        return requests[0];
    }

    DeterministicDispatch dispatch;
    test::TempFolder folder;
    FakeCloud cloud;
    std::shared_ptr<QKAFHTTPSessionManager> manager =
        QKAFHTTPSessionManager::initWithBaseURL(cloud.baseURL());
};

TEST_F(UploadTest, MultipartFormReachesTheServerPartByPart) {
    const auto scan = folder.path() / "scan.bin";
    const std::string digest = writePattern(scan, 300001, 7);
    Upload upload;
    auto received =
        postForm(upload, Value(Dictionary{{"title", Value("Ünïcode ✓")}, {"n", Value(7)}}),
                 [&](QKAFStreamingMultipartFormData& form) {
                     ErrorPtr error;
                     EXPECT_TRUE(form.appendPartWithFileURL(scan.string(), "scan", &error));
                     form.appendPartWithFileData(toBytes(R"({"a":1})"), "meta", "meta.json",
                                                 "application/json");
                 });
    EXPECT_EQ(upload.object, Value(Dictionary{{"ok", Value(true)}}));
    EXPECT_TRUE(
        received.header("Content-Type").starts_with("multipart/form-data; boundary=Boundary+"));
    struct Expected {
        std::string name, fileName, contentType, content;
        uint64_t size;
    } expected[] = {
        {"n", "", "", "7", 1},
        {"title", "", "", "Ünïcode ✓", std::string("Ünïcode ✓").size()},
        {"scan", "scan.bin", "application/octet-stream", "", 300001},
        {"meta", "meta.json", "application/json", R"({"a":1})", 7},
    };
    ASSERT_EQ(received.parts.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const RecordedPart& part = received.parts[i];
        SCOPED_TRACE(part.name);
        EXPECT_EQ(part.name, expected[i].name);
        EXPECT_EQ(part.fileName, expected[i].fileName);
        EXPECT_EQ(part.contentType, expected[i].contentType);
        EXPECT_EQ(part.size, expected[i].size);
        if (part.name != "scan") {
            EXPECT_EQ(part.content, expected[i].content);
        }
    }
    EXPECT_EQ(received.parts[2].sha256, digest);
}

// A file part of 64 MiB goes out a piece at a time: the heap never holds more than a small
// part of it (sampled at every progress report while the body is on its way). How many reports
// come depends on how often libcurl polls; postForm checks what every upload guarantees.
TEST_F(UploadTest, SixtyFourMebibyteFilePartStreamsInBoundedMemory) {
    constexpr size_t kSize = 64u << 20;
    const auto big = folder.path() / "big.bin";
    const std::string digest = writePattern(big, kSize, 64);
    const size_t base = test::heapInUse();
    size_t peak = base;
    Upload upload;
    manager->setTaskDidSendBodyDataBlock([&](const URLSessionTaskPtr&, int64_t, int64_t, int64_t) {
        peak = std::max(peak, test::heapInUse());
    });
    auto received = postForm(upload, std::nullopt, [&](QKAFStreamingMultipartFormData& form) {
        EXPECT_TRUE(form.appendPartWithFileURL(big.string(), "big", nullptr));
    });
    ASSERT_EQ(received.parts.size(), 1u);
    EXPECT_EQ(received.parts[0].size, kSize);
    EXPECT_EQ(received.parts[0].sha256, digest);
    EXPECT_LT(peak - base, size_t(8) << 20) << "peak heap growth while uploading";
}

TEST_F(UploadTest, UploadTaskBodies) {
    const std::string bytes = std::string(100000, 'u') + "end";
    const auto file = folder.path() / "body.txt";
    std::ofstream(file, std::ios::binary) << bytes;
    auto withLength = [&](int64_t length) {
        URLRequest request = post("/up");
        request.setValue(std::to_string(length), "Content-Length");
        return request;
    };
    auto stream = [&](std::string text) { return InputStream::inputStreamWithData(toBytes(text)); };
    struct Case {
        const char* name;
        std::function<URLSessionTaskPtr(Upload&)> make;
        int64_t errorCode;  // 0: the body arrives whole
        bool chunked;
    } cases[] = {
        {"from data",
         [&](Upload& u) {
             return manager->uploadTaskWithRequestFromData(post("/up"), toBytes(bytes),
                                                           u.onProgress(), u.onCompletion());
         },
         0, false},
        {"from a path",
         [&](Upload& u) {
             return manager->uploadTaskWithRequestFromFile(post("/up"), file.string(),
                                                           u.onProgress(), u.onCompletion());
         },
         0, false},
        {"from a file URL",
         [&](Upload& u) {
             return manager->uploadTaskWithRequestFromFile(post("/up"), "file://" + file.string(),
                                                           u.onProgress(), u.onCompletion());
         },
         0, false},
        {"streamed with a length",
         [&](Upload& u) {
             URLRequest request = withLength(int64_t(bytes.size()));
             request.httpBodyStream = stream(bytes);
             return manager->uploadTaskWithStreamedRequest(request, u.onProgress(),
                                                           u.onCompletion());
         },
         0, false},
        {"streamed without a length",
         [&](Upload& u) {
             URLRequest request = post("/up");
             request.httpBodyStream = stream(bytes);
             return manager->uploadTaskWithStreamedRequest(request, u.onProgress(),
                                                           u.onCompletion());
         },
         0, true},
        {"bytes with a wrong length of the caller's",
         [&](Upload& u) {
             URLRequest request = withLength(5);
             request.httpBody = toBytes(bytes);
             return manager->dataTaskWithRequest(request, u.onProgress(), nullptr,
                                                 u.onCompletion());
         },
         0, false},
        {"no such file",
         [&](Upload& u) {
             return manager->uploadTaskWithRequestFromFile(post("/up"), file.string() + ".none",
                                                           u.onProgress(), u.onCompletion());
         },
         URLError::fileDoesNotExist, false},
        {"a folder",
         [&](Upload& u) {
             return manager->uploadTaskWithRequestFromFile(post("/up"), folder.path().string(),
                                                           u.onProgress(), u.onCompletion());
         },
         URLError::fileIsDirectory, false},
        {"a stream shorter than its length",
         [&](Upload& u) {
             URLRequest request = withLength(int64_t(bytes.size()) + 10);
             request.httpBodyStream = stream(bytes);
             return manager->uploadTaskWithStreamedRequest(request, u.onProgress(),
                                                           u.onCompletion());
         },
         URLError::requestBodyStreamExhausted, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = cloud.requestCount();
        Upload upload;
        auto task = c.make(upload);
        ASSERT_TRUE(task);
        task->resume();
        upload.wait();
        if (c.errorCode) {
            ASSERT_TRUE(upload.error);
            EXPECT_EQ(upload.error->code(), c.errorCode);
            continue;
        }
        EXPECT_FALSE(upload.error);
        auto requests = cloud.requests();
        ASSERT_EQ(requests.size(), before + 1);
        const auto& received = requests.back();
        EXPECT_EQ(received.body, bytes);
        EXPECT_EQ(received.header("Transfer-Encoding") == "chunked", c.chunked);
        if (!c.chunked) {
            EXPECT_EQ(received.header("Content-Length"), std::to_string(bytes.size()));
        }
        upload.expectProgressTo(int64_t(bytes.size()), !c.chunked);
    }
}

// A 307 sends the body again: a multipart body copies itself, a platform stream cannot unless
// the app hands over a new one.
TEST_F(UploadTest, RedirectedUploadReadsItsBodyAgain) {
    cloud.setReply("/old", {.status = 307, .headers = {{"Location", "/up"}}});
    auto streamRequest = [&] {
        URLRequest request = post("/old");
        request.setValue("5", "Content-Length");
        request.httpBodyStream = InputStream::inputStreamWithData(toBytes("hello"));
        return request;
    };
    auto multipart = [&] {
        auto form = manager->requestSerializer()->multipartFormRequestWithMethod(
            "POST", cloud.url("/old"), Value(Dictionary{{"k", Value("hello")}}), nullptr, nullptr);
        return *form;
    };
    struct Case {
        const char* name;
        std::function<URLRequest()> request;
        bool newStreamHook;
        int64_t errorCode;
    } cases[] = {
        {"multipart", multipart, false, 0},
        {"platform stream", streamRequest, false, URLError::requestBodyStreamExhausted},
        {"platform stream, new one from the app", streamRequest, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        manager->setTaskNeedNewBodyStreamBlock(
            c.newStreamHook
                ? QKAFURLSessionManager::TaskNeedNewBodyStreamBlock([](const URLSessionTaskPtr&) {
                      return InputStream::inputStreamWithData(toBytes("hello"));
                  })
                : nullptr);
        size_t before = cloud.requestCount();
        Upload upload;
        manager->uploadTaskWithStreamedRequest(c.request(), nullptr, upload.onCompletion())
            ->resume();
        upload.wait();
        EXPECT_EQ(upload.error ? upload.error->code() : 0, c.errorCode);
        if (c.errorCode) continue;
        auto requests = cloud.requests();
        ASSERT_EQ(requests.size(), before + 2);
        const auto& again = requests.back();
        EXPECT_EQ(again.path, "/up");
        EXPECT_TRUE(again.bodyComplete);
        EXPECT_EQ(again.parts.empty() ? again.body : again.parts.at(0).content, "hello");
    }
}

TEST_F(UploadTest, ThrottledBodyArrivesWhole) {
    const auto file = folder.path() / "t.bin";
    const std::string digest = writePattern(file, 40000, 3);
    Upload upload;
    auto received = postForm(upload, std::nullopt, [&](QKAFStreamingMultipartFormData& form) {
        form.appendPartWithFileURL(file.string(), "t", nullptr);
        form.throttleBandwidthWithPacketSize(8192, 0.005);
    });
    ASSERT_EQ(received.parts.size(), 1u);
    EXPECT_EQ(received.parts[0].sha256, digest);
}

}  // namespace
}  // namespace telvo

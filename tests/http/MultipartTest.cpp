#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "http/QKAFHTTPRequestSerializer.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/FoundationErrors.h"
#include "security/ScriptedRandom.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Everything a stream gives, read chunk bytes at a time; "<error>" when it fails.
std::string drain(InputStream& stream, size_t chunk) {
    stream.open();
    std::string out;
    std::vector<uint8_t> buffer(chunk);
    for (;;) {
        ptrdiff_t count = stream.read(buffer.data(), chunk);
        if (count < 0) return "<error>";
        if (count == 0) return out;
        EXPECT_LE(size_t(count), chunk);
        out.append(reinterpret_cast<const char*>(buffer.data()), size_t(count));
    }
}

std::string bytesText(const URLRequest& request) {
    return drain(*request.httpBodyStream, 4096);
}

class MultipartTest : public ::testing::Test {
  protected:
    test::RandomScope random{
        std::make_shared<test::ScriptedRandom>(false, std::vector<uint32_t>{0x2A, 0xBEEF})};
    test::TempFolder folder;
    std::shared_ptr<QKAFHTTPRequestSerializer> serializer = QKAFHTTPRequestSerializer::serializer();
};

TEST_F(MultipartTest, BodyBytesAndLengthHoldForEveryReadSize) {
    const auto photo = folder.path() / "photo.PNG";
    writeFile(photo, "PNGDATA");
    Value parameters(Dictionary{{"name", Value("Zoë")},
                                {"count", Value(3)},
                                {"raw", Value(Bytes{0x00, 0xFF})},
                                {"none", Value()}});
    ErrorPtr error;
    auto request = serializer->multipartFormRequestWithMethod(
        "POST", "http://127.0.0.1/up", parameters,
        [&](QKAFStreamingMultipartFormData& form) {
            form.appendPartWithFileData(toBytes("hello"), "doc", "a\"b\r\n.txt", "text/plain");
            EXPECT_TRUE(form.appendPartWithFileURL("file://" + photo.string(), "image", &error));
        },
        &error);
    ASSERT_TRUE(request) << (error ? error->localizedDescription() : "");
    const std::string b = "--Boundary+0000002A0000BEEF";
    const std::string expected =
        b + "\r\nContent-Disposition: form-data; name=\"count\"\r\n\r\n3\r\n" + b +
        "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nZoë\r\n" + b +
        "\r\nContent-Disposition: form-data; name=\"none\"\r\n\r\n\r\n" + b +
        "\r\nContent-Disposition: form-data; name=\"raw\"\r\n\r\n" + std::string("\0\xFF", 2) +
        "\r\n" + b +
        "\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"a%22b%0D%0A.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nhello\r\n" +
        b +
        "\r\nContent-Disposition: form-data; name=\"image\"; filename=\"photo.PNG\"\r\n"
        "Content-Type: image/png\r\n\r\nPNGDATA\r\n" +
        b + "--\r\n";
    EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"),
              "multipart/form-data; boundary=Boundary+0000002A0000BEEF");
    EXPECT_EQ(request->valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
    EXPECT_FALSE(request->httpBody);
    for (size_t chunk : {size_t(1), size_t(3), size_t(7), size_t(64), size_t(65536)}) {
        SCOPED_TRACE(chunk);
        // Every reading starts from the first byte: a copy of the stream.
        auto copy = request->httpBodyStream->copy();
        ASSERT_TRUE(copy);
        EXPECT_EQ(drain(*copy, chunk), expected);
    }
    EXPECT_EQ(bytesText(*request), expected);
}

TEST_F(MultipartTest, FilePartsThatCannotBeSentAreRefused) {
    const auto file = folder.path() / "report.pdf";
    writeFile(file, "%PDF");
    struct Case {
        std::string url;
        std::optional<std::string> reason;  // nullopt: accepted
        std::string fileName, type;
    } cases[] = {
        {file.string(), std::nullopt, "report.pdf", "application/pdf"},
        {"file://" + file.string(), std::nullopt, "report.pdf", "application/pdf"},
        {"file://localhost" + file.string(), std::nullopt, "report.pdf", "application/pdf"},
        {"http://127.0.0.1/report.pdf", "Expected URL to be a file URL", "", ""},
        {"file://elsewhere" + file.string(), "Expected URL to be a file URL", "", ""},
        {(folder.path() / "missing.bin").string(), "File URL not reachable.", "", ""},
        {folder.path().string(), "File URL not reachable.", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        URLRequest request;
        QKAFStreamingMultipartFormData form(request, 4);
        ErrorPtr error;
        bool appended = form.appendPartWithFileURL(c.url, "f", &error);
        EXPECT_EQ(appended, !c.reason);
        if (c.reason) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain(), QKAFURLRequestSerializationErrorDomain);
            EXPECT_EQ(error->code(), -1000);
            EXPECT_EQ(error->userInfo()[NSLocalizedFailureReasonErrorKey].stringValue(), *c.reason);
            EXPECT_TRUE(form.bodyStream()->isEmpty());
            continue;
        }
        const auto& headers = form.bodyStream()->HTTPBodyParts().at(0)->headers;
        EXPECT_EQ(headers.value("Content-Disposition"),
                  "form-data; name=\"f\"; filename=\"" + c.fileName + "\"");
        EXPECT_EQ(headers.value("Content-Type"), c.type);
    }
}

// A body that does not match the length it declared must fail, never hang the server or send
// bytes beyond the declared length.
TEST_F(MultipartTest, BodiesAreExactlyTheirDeclaredLength) {
    const auto file = folder.path() / "data.bin";
    struct Case {
        const char* name;
        std::string fileBefore, fileAfter;  // the file when appended, when read
        std::string streamBytes;
        int64_t streamLength;
        bool fails;
        std::string body;  // the part's body when it does not fail
    } cases[] = {
        {"file as appended", "0123456789", "0123456789", "", -1, false, "0123456789"},
        {"file grew", "01234", "0123456789", "", -1, false, "01234"},
        {"file shrank", "0123456789", "01234", "", -1, true, ""},
        {"stream as long as said", "", "", "abcdef", 6, false, "abcdef"},
        {"stream longer than said", "", "", "abcdef", 3, false, "abc"},
        {"stream shorter than said", "", "", "abc", 6, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QKAFStreamingMultipartFormData form(URLRequest{}, 4);
        if (c.streamLength < 0) {
            writeFile(file, c.fileBefore);
            ASSERT_TRUE(form.appendPartWithFileURL(file.string(), "f", "f", "x/y", nullptr));
            writeFile(file, c.fileAfter);
        } else {
            form.appendPartWithInputStream(InputStream::inputStreamWithData(toBytes(c.streamBytes)),
                                           "f", "f", c.streamLength, "x/y");
        }
        URLRequest request = form.requestByFinalizingMultipartFormData();
        std::string body = bytesText(request);
        if (c.fails) {
            EXPECT_EQ(body, "<error>");
            EXPECT_EQ(request.httpBodyStream->streamStatus(), StreamStatus::error);
            EXPECT_TRUE(request.httpBodyStream->streamError());
            continue;
        }
        EXPECT_EQ(std::to_string(body.size()), request.valueForHTTPHeaderField("Content-Length"));
        EXPECT_NE(body.find("\r\n\r\n" + c.body + "\r\n--Boundary"), std::string::npos) << body;
    }
}

TEST_F(MultipartTest, ThrottlingAndCopies) {
    QKAFStreamingMultipartFormData form(URLRequest{}, 4);
    form.appendPartWithFormData(toBytes(std::string(100, 'x')), "a");
    form.throttleBandwidthWithPacketSize(QKkAFUploadStream3GSuggestedPacketSize,
                                         QKkAFUploadStream3GSuggestedDelay);
    EXPECT_EQ(QKkAFUploadStream3GSuggestedPacketSize, 16384u);
    form.throttleBandwidthWithPacketSize(16, 0.2);
    URLRequest request = form.requestByFinalizingMultipartFormData();
    auto& stream = *request.httpBodyStream;
    stream.open();
    uint8_t buffer[64];
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(stream.readableAt(), std::chrono::steady_clock::time_point{});
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 16);
    // The next packet is due a fifth of a second after this one.
    EXPECT_GE(stream.readableAt(), before + std::chrono::milliseconds(200));

    // A part over a stream the platform cannot copy makes the whole body uncopyable.
    QKAFStreamingMultipartFormData streamed(URLRequest{}, 4);
    streamed.appendPartWithInputStream(InputStream::inputStreamWithData(toBytes("abc")), "s", "s",
                                       3, "x/y");
    EXPECT_FALSE(streamed.requestByFinalizingMultipartFormData().httpBodyStream->copy());
}

TEST_F(MultipartTest, WritingTheBodyToAFile) {
    DeterministicDispatch dispatch;
    const auto source = folder.path() / "in.bin";
    writeFile(source, std::string(200000, 'q'));
    auto request = serializer->multipartFormRequestWithMethod(
        "POST", "http://127.0.0.1/up", Value(Dictionary{{"k", Value("v")}}),
        [&](QKAFStreamingMultipartFormData& form) {
            form.appendPartWithFileURL(source.string(), "f", nullptr);
        },
        nullptr);
    ASSERT_TRUE(request);
    const std::string expected = drain(*request->httpBodyStream->copy(), 4096);
    struct Case {
        const char* name;
        bool withStream;
        std::string fileURL;
        std::optional<std::string> reason;
    } cases[] = {
        {"written", true, "file://" + (folder.path() / "out.bin").string(), std::nullopt},
        {"no body stream", false, (folder.path() / "none.bin").string(),
         "Expected a request with a body stream"},
        {"not a file URL", true, "http://127.0.0.1/out.bin", "Expected URL to be a file URL"},
        {"folder missing", true, (folder.path() / "no/such/out.bin").string(), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        URLRequest in = *request;
        if (c.withStream)
            in.httpBodyStream = request->httpBodyStream->copy();
        else
            in.httpBodyStream.reset();
        int calls = 0;
        ErrorPtr error;
        URLRequest out =
            serializer->requestWithMultipartFormRequest(in, c.fileURL, [&](const ErrorPtr& e) {
                EXPECT_TRUE(MainLoop::isMainThread());
                ++calls;
                error = e;
            });
        EXPECT_FALSE(out.httpBodyStream);
        EXPECT_EQ(out.valueForHTTPHeaderField("Content-Length"),
                  request->valueForHTTPHeaderField("Content-Length"));
        ASSERT_TRUE(MainLoop::runUntil([&] { return calls > 0; }, 10));
        MainLoop::drain();
        EXPECT_EQ(calls, 1);
        if (c.reason) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), -1000);
            EXPECT_EQ(error->userInfo()[NSLocalizedFailureReasonErrorKey].stringValue(), *c.reason);
        } else if (std::string(c.name) == "written") {
            EXPECT_FALSE(error);
            EXPECT_EQ(test::readFile(*filePathOfURL(c.fileURL)), expected);
        } else {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain(), NSPOSIXErrorDomain);
            EXPECT_EQ(error->code(), ENOENT);
        }
    }
}

}  // namespace
}  // namespace telvo

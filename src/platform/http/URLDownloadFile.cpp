#include "platform/http/URLDownloadFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/foundation/PropertyList.h"

namespace telvo {

namespace {
// Marks resume data of this library's own form; another number is not read.
constexpr const char* kResumeFormatKey = "telvo.resumeData";
constexpr int64_t kResumeFormat = 1;
}  // namespace

std::unique_ptr<URLDownloadFile> URLDownloadFile::create(int64_t limit) {
    std::error_code error;
    std::string pattern =
        (std::filesystem::temp_directory_path(error) / "URLDownload.XXXXXX").string();
    if (error) return nullptr;
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::unique_ptr<URLDownloadFile>(new URLDownloadFile(pattern, fd, 0, limit));
}

std::unique_ptr<URLDownloadFile> URLDownloadFile::reopen(const std::string& path, int64_t offset,
                                                         int64_t limit) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (offset < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < offset ||
        ::ftruncate(fd, offset) != 0 || ::lseek(fd, offset, SEEK_SET) != offset) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<URLDownloadFile>(new URLDownloadFile(path, fd, offset, limit));
}

URLDownloadFile::~URLDownloadFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlink(path_.c_str());
}

URLDownloadFile::Write URLDownloadFile::write(const uint8_t* data, size_t length) {
    if (fd_ < 0) return Write::failed;
    if (size_ + int64_t(length) > limit_) return Write::overLimit;
    while (length > 0) {
        ssize_t n = ::write(fd_, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Write::failed;
        data += n;
        length -= size_t(n);
        size_ += n;
    }
    return Write::written;
}

bool URLDownloadFile::truncate() {
    if (fd_ < 0 || ::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return false;
    size_ = 0;
    return true;
}

void URLDownloadFile::keep() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    kept_ = true;
}

Bytes URLResumeData::encode() const {
    Dictionary plist{{kResumeFormatKey, Value(kResumeFormat)},
                     {"url", Value(url)},
                     {"path", Value(path)},
                     {"validator", Value(validator)},
                     {"offset", Value(offset)}};
    ErrorPtr error;
    return PropertyListSerialization::dataWithPropertyList(Value(std::move(plist)),
                                                           kPropertyListBinaryFormat, 0, &error)
        .value_or(Bytes{});
}

std::optional<URLResumeData> URLResumeData::decode(const Bytes& data) {
    ErrorPtr error;
    auto plist = PropertyListSerialization::propertyListWithData(
        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), 0, nullptr,
        &error);
    if (!plist || !plist->isDictionary()) return std::nullopt;
    const Dictionary& d = plist->dictionary();
    auto text = [&](const char* key) -> const std::string* {
        const Value& v = d[key];
        return v.isText() ? &v.text() : nullptr;
    };
    const Value& format = d[kResumeFormatKey];
    const Value& offset = d["offset"];
    if (!format.isInteger() || format.int64Value() != kResumeFormat || !offset.isInteger() ||
        offset.int64Value() < 0 || !text("url") || !text("path") || !text("validator"))
        return std::nullopt;
    return URLResumeData{*text("url"), *text("path"), *text("validator"), offset.int64Value()};
}

}  // namespace telvo

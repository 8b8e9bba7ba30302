#include "platform/http/URLDownloadFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "platform/foundation/PropertyList.h"
#include "platform/http/URLSession.h"

namespace telvo {

namespace {
// Marks resume data of this library's own form; another number is not read.
constexpr const char* kResumeFormatKey = "telvo.resumeData";
constexpr int64_t kResumeFormat = 1;

constexpr std::string_view kFilePrefix = "URLDownload.";
constexpr std::string_view kFileTemplate = "XXXXXX";

// A name mkostemp makes from the file template: the prefix and six letters or digits.
bool isOwnName(std::string_view name) {
    if (name.size() != kFilePrefix.size() + kFileTemplate.size() || !name.starts_with(kFilePrefix))
        return false;
    return std::all_of(name.begin() + kFilePrefix.size(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

std::optional<std::string> realPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

// Whether path names a file this library would have made in folder (a real path).
bool isOwnPathIn(const std::string& path, const std::string& folder) {
    const std::filesystem::path given(path);
    if (!given.is_absolute() || !isOwnName(given.filename().string())) return false;
    auto parent = realPath(given.parent_path().string());
    return parent && *parent == folder;
}

// The file of path in the download folder, opened for writing without following a link or
// waiting on a pipe: a regular file of this user with no other name; -1 otherwise.
int openOwnFile(const std::string& path, std::string& resolved) {
    auto folder = URLDownloadFile::folder();
    if (!folder || !isOwnPathIn(path, *folder)) return -1;
    int dir = ::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return -1;
    const std::string name = std::filesystem::path(path).filename().string();
    int fd = ::openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(dir);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        info.st_nlink != 1 || ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return -1;
    }
    resolved = *folder + "/" + name;
    return fd;
}

// path as a folder that only this user can write to, made when missing if make; its real path.
std::optional<std::string> privateBase(const std::string& path, bool make) {
    if (make && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 022) != 0)
        return std::nullopt;
    return realPath(path);
}

// name in base, made when missing: a folder of this user alone, not a link; its real path.
std::optional<std::string> ownFolder(const std::string& base, const std::string& name) {
    const std::string path = base + "/" + name;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    // Someone else's folder, or a link, under that name is not ours.
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return std::nullopt;
    if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) return std::nullopt;
    return realPath(path);
}

// "telvo-downloads" in the cache folder base, when base is absolute and only this user can
// write to it.
std::optional<std::string> inCache(const char* base) {
    auto cache = base && *base == '/' ? privateBase(base, true) : std::nullopt;
    return cache ? ownFolder(*cache, "telvo-downloads") : std::nullopt;
}

}  // namespace

std::optional<std::string> URLDownloadFile::folder() {
    if (auto own = inCache(std::getenv("XDG_CACHE_HOME"))) return own;
    const char* home = std::getenv("HOME");
    if (home && *home == '/' && privateBase(home, false))
        if (auto own = inCache((std::string(home) + "/.cache").c_str())) return own;
    // Without a cache folder of our own, a folder of this user's in the shared one.
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return std::nullopt;
    return ownFolder(base.string(), "telvo-downloads-" + std::to_string(::geteuid()));
}

bool URLDownloadFile::isOwnPath(const std::string& path) {
    auto folder = URLDownloadFile::folder();
    return folder && isOwnPathIn(path, *folder);
}

std::unique_ptr<URLDownloadFile> URLDownloadFile::create(int64_t limit) {
    auto folder = URLDownloadFile::folder();
    if (!folder) return nullptr;
    std::string pattern = *folder + "/" + std::string(kFilePrefix) + std::string(kFileTemplate);
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::unique_ptr<URLDownloadFile>(new URLDownloadFile(pattern, fd, 0, limit));
}

ErrorPtr URLDownloadFile::creationError(const std::string& url) {
    const char* text = folder() ? "The download file could not be made in the download folder."
                                : "The download folder could not be made.";
    return makeError(kNSURLErrorDomain, URLError::cannotCreateFile, text,
                     Dictionary{{kNSURLErrorFailingURLStringErrorKey, Value(url)}});
}

std::unique_ptr<URLDownloadFile> URLDownloadFile::reopen(const std::string& path, int64_t offset,
                                                         int64_t limit) {
    if (offset < 0) return nullptr;
    std::string resolved;
    int fd = openOwnFile(path, resolved);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size < offset || ::ftruncate(fd, offset) != 0 ||
        ::lseek(fd, offset, SEEK_SET) != offset) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<URLDownloadFile>(new URLDownloadFile(resolved, fd, offset, limit));
}

bool URLDownloadFile::discard(const std::string& path, int64_t offset) {
    std::string resolved;
    int fd = offset < 0 ? -1 : openOwnFile(path, resolved);
    if (fd < 0) return false;
    struct stat info {};
    const bool resumable = ::fstat(fd, &info) == 0 && info.st_size >= offset;
    ::close(fd);
    return resumable && ::unlink(resolved.c_str()) == 0;
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

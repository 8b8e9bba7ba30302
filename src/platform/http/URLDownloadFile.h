#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telvosdk/Bytes.h"

namespace telvo {

// Internal to URL loading: the file a download task's body is written to as it arrives, open
// for the whole transfer. It counts what it holds and refuses to grow past its limit. The file
// is removed when the object goes, unless it was kept (resume data names it).
class URLDownloadFile {
  public:
    // A new empty file in the temporary folder; null when none can be made.
    static std::unique_ptr<URLDownloadFile> create(int64_t limit);
    // The file of a paused download, cut back to offset (its bytes beyond that were never
    // vouched for); null when it is gone or shorter than offset.
    static std::unique_ptr<URLDownloadFile> reopen(const std::string& path, int64_t offset,
                                                   int64_t limit);
    ~URLDownloadFile();
    URLDownloadFile(const URLDownloadFile&) = delete;
    URLDownloadFile& operator=(const URLDownloadFile&) = delete;

    enum class Write { written, overLimit, failed };
    Write write(const uint8_t* data, size_t length);
    // Empties the file (a server that sends the whole body again).
    bool truncate();
    const std::string& path() const { return path_; }
    int64_t size() const { return size_; }
    // Closes the file and leaves it on disk when the object goes.
    void keep();

  private:
    URLDownloadFile(std::string path, int fd, int64_t size, int64_t limit)
        : path_(std::move(path)), fd_(fd), size_(size), limit_(limit) {}
    std::string path_;
    int fd_;
    int64_t size_;
    const int64_t limit_;
    bool kept_ = false;
};

// What a cancelled download needs to go on later: its file, URL, validator and how much of
// the body the file holds. Written as a binary property list that this library reads back.
struct URLResumeData {
    std::string url;
    std::string path;
    // The first reply's "ETag", or its "Last-Modified" without one.
    std::string validator;
    int64_t offset = 0;

    Bytes encode() const;
    static std::optional<URLResumeData> decode(const Bytes& data);
};

}  // namespace telvo

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

// Internal to URL loading: the file a download task's body is written to as it arrives, open
// for the whole transfer. It counts what it holds and refuses to grow past its limit. The file
// is removed when the object goes, unless it was kept (resume data names it).
//
// Every such file lives in the library's own download folder, made for this user alone:
// "telvo-downloads" in the user's cache folder ($XDG_CACHE_HOME, else ~/.cache) when only this
// user can write to that, else "telvo-downloads-<uid>" in the temporary folder; a path from
// elsewhere (resume data) is taken only when it names a file of that folder that this library
// made there.
class URLDownloadFile {
  public:
    // The download folder's real path (links resolved), made when missing; nullopt when there
    // is none this user owns alone.
    static std::optional<std::string> folder();
    // Whether path names a file this library would have made in its download folder: a name
    // it chooses, in that folder after links are resolved. The file need not exist.
    static bool isOwnPath(const std::string& path);
    // A new empty file in the download folder; null when none can be made.
    static std::unique_ptr<URLDownloadFile> create(int64_t limit);
    // The error a download of url ends with when create gave null: cannotCreateFile, its text
    // saying whether the download folder or the file in it could not be made.
    static ErrorPtr creationError(const std::string& url);
    // The file of a paused download, cut back to offset (its bytes beyond that were never
    // vouched for); null, with no file touched, unless path is the library's own (isOwnPath)
    // and names a regular file of this user, not a link, holding at least offset bytes.
    static std::unique_ptr<URLDownloadFile> reopen(const std::string& path, int64_t offset,
                                                   int64_t limit);
    // Removes the file of a paused download that will not go on, on the same terms as reopen;
    // false, with no file touched, when it is not such a file.
    static bool discard(const std::string& path, int64_t offset);
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

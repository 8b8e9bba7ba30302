#include "platform/foundation/InputStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/foundation/FoundationErrors.h"

namespace telvo {

namespace {

class DataInputStream : public InputStream {
  public:
    explicit DataInputStream(std::shared_ptr<const Bytes> data) : data_(std::move(data)) {}
    void open() override {
        if (status_ == StreamStatus::notOpen) status_ = StreamStatus::open;
    }
    void close() override { status_ = StreamStatus::closed; }
    ptrdiff_t read(uint8_t* buffer, size_t maxLength) override {
        if (status_ != StreamStatus::open && status_ != StreamStatus::atEnd) return -1;
        size_t count = std::min(maxLength, data_->size() - offset_);
        if (count > 0) std::memcpy(buffer, data_->data() + offset_, count);
        offset_ += count;
        if (offset_ == data_->size()) status_ = StreamStatus::atEnd;
        return ptrdiff_t(count);
    }
    bool hasBytesAvailable() const override {
        return status_ == StreamStatus::open && offset_ < data_->size();
    }
    StreamStatus streamStatus() const override { return status_; }
    ErrorPtr streamError() const override { return nullptr; }

  private:
    const std::shared_ptr<const Bytes> data_;
    size_t offset_ = 0;
    StreamStatus status_ = StreamStatus::notOpen;
};

class FileInputStream : public InputStream {
  public:
    explicit FileInputStream(std::string path) : path_(std::move(path)) {}
    ~FileInputStream() override { close(); }
    void open() override {
        if (status_ != StreamStatus::notOpen) return;
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return fail(errno);
        status_ = StreamStatus::open;
    }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (status_ != StreamStatus::error) status_ = StreamStatus::closed;
    }
    ptrdiff_t read(uint8_t* buffer, size_t maxLength) override {
        if (status_ == StreamStatus::atEnd) return 0;
        if (status_ != StreamStatus::open) return -1;
        ssize_t count;
        do {
            count = ::read(fd_, buffer, maxLength);
        } while (count < 0 && errno == EINTR);
        if (count < 0) {
            fail(errno);
            return -1;
        }
        if (count == 0 && maxLength > 0) status_ = StreamStatus::atEnd;
        return count;
    }
    bool hasBytesAvailable() const override { return status_ == StreamStatus::open; }
    StreamStatus streamStatus() const override { return status_; }
    ErrorPtr streamError() const override { return error_; }

  private:
    void fail(int err) {
        error_ = posixError(err, path_);
        status_ = StreamStatus::error;
    }

    const std::string path_;
    int fd_ = -1;
    StreamStatus status_ = StreamStatus::notOpen;
    ErrorPtr error_;
};

}  // namespace

std::shared_ptr<InputStream> InputStream::inputStreamWithData(Bytes data) {
    return inputStreamWithData(std::make_shared<const Bytes>(std::move(data)));
}

std::shared_ptr<InputStream> InputStream::inputStreamWithData(std::shared_ptr<const Bytes> data) {
    return std::make_shared<DataInputStream>(data ? std::move(data)
                                                  : std::make_shared<const Bytes>());
}

std::shared_ptr<InputStream> InputStream::inputStreamWithFileAtPath(std::string path) {
    return std::make_shared<FileInputStream>(std::move(path));
}

}  // namespace telvo

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "http/QKAFHTTPBodyPart.h"
#include "platform/foundation/InputStream.h"

namespace telvo {

// A multipart body as a stream: its parts one after another, read a packet at a time. Copies
// read the same bytes again (a redirected upload asks for one). One reader at a time.
class QKAFMultipartBodyStream : public InputStream {
  public:
    explicit QKAFMultipartBodyStream(uint64_t stringEncoding = 4)
        : stringEncoding(stringEncoding) {}

    const uint64_t stringEncoding;
    // Throttling: a read returns at most numberOfBytesInPacket bytes, and after a packet the
    // stream asks its reader (readableAt()) to wait delay seconds.
    size_t numberOfBytesInPacket = std::numeric_limits<size_t>::max();
    double delay = 0;

    // The first part opens with the first boundary, the last one closes the body.
    void setInitialAndFinalBoundaries();
    void appendHTTPBodyPart(std::shared_ptr<QKAFHTTPBodyPart> part);
    const std::vector<std::shared_ptr<QKAFHTTPBodyPart>>& HTTPBodyParts() const { return parts_; }
    bool isEmpty() const { return parts_.empty(); }
    uint64_t contentLength() const;

    void open() override;
    void close() override;
    ptrdiff_t read(uint8_t* buffer, size_t maxLength) override;
    bool hasBytesAvailable() const override { return status_ == StreamStatus::open; }
    StreamStatus streamStatus() const override { return status_; }
    ErrorPtr streamError() const override { return error_; }
    std::shared_ptr<InputStream> copy() const override;
    std::chrono::steady_clock::time_point readableAt() const override { return readableAt_; }

  private:
    std::vector<std::shared_ptr<QKAFHTTPBodyPart>> parts_;
    size_t current_ = 0;
    StreamStatus status_ = StreamStatus::notOpen;
    ErrorPtr error_;
    std::chrono::steady_clock::time_point readableAt_{};
};

}  // namespace telvo

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

enum class StreamStatus { notOpen, opening, open, reading, writing, atEnd, closed, error };

// A source of bytes read in pieces (NSInputStream). One reader at a time: a stream is not
// thread-safe, but it may be handed from the thread that made it to the thread that reads it.
class InputStream {
  public:
    virtual ~InputStream() = default;

    virtual void open() = 0;
    virtual void close() = 0;
    // Up to maxLength bytes into buffer: the count read, 0 at the end, -1 on failure (then
    // streamError() says why). Never blocks for long: files and memory only.
    virtual ptrdiff_t read(uint8_t* buffer, size_t maxLength) = 0;
    virtual bool hasBytesAvailable() const = 0;
    virtual StreamStatus streamStatus() const = 0;
    virtual ErrorPtr streamError() const = 0;

    // A new, unopened stream over the same bytes from the first; null when this stream cannot
    // be copied (the platform's streams cannot; a multipart body can).
    virtual std::shared_ptr<InputStream> copy() const { return nullptr; }
    // A throttled stream's pace: the earliest time its next bytes should be read. Readers
    // that pace themselves wait until then; read() itself never waits. The default: now.
    virtual std::chrono::steady_clock::time_point readableAt() const { return {}; }

    static std::shared_ptr<InputStream> inputStreamWithData(Bytes data);
    // Reads the bytes in place, without a copy of them.
    static std::shared_ptr<InputStream> inputStreamWithData(std::shared_ptr<const Bytes> data);
    // Opening fails (status error, POSIX error) when the file cannot be read.
    static std::shared_ptr<InputStream> inputStreamWithFileAtPath(std::string path);
};

}  // namespace telvo

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/InputStream.h"
#include "platform/http/URLSession.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

// One part of a multipart body, read in order: its boundary line, its header fields, its body
// and, for the last part, the closing boundary. Not thread-safe: one reader at a time.
class QKAFHTTPBodyPart {
  public:
    uint64_t stringEncoding = 4;
    HTTPHeaderFields headers;
    std::string boundary;
    // The body: bytes, a file (by path), or a stream; exactly bodyContentLength bytes of it
    // are sent.
    std::shared_ptr<const Bytes> bodyData;
    std::optional<std::string> bodyFile;
    std::shared_ptr<InputStream> bodyStream;
    uint64_t bodyContentLength = 0;
    bool hasInitialBoundary = false;
    bool hasFinalBoundary = false;

    // Every byte the part reads out.
    uint64_t contentLength() const;
    bool hasBytesAvailable() const { return phase_ != Phase::done && !error_; }
    // The part's next bytes: the count (less than maxLength only when the part ends), 0 when
    // it has ended, -1 when its body could not be read or ended short of bodyContentLength
    // (then error() says why).
    ptrdiff_t read(uint8_t* buffer, size_t maxLength);
    ErrorPtr error() const { return error_; }
    // The same part, unread; null when its body is a stream that cannot be copied.
    std::shared_ptr<QKAFHTTPBodyPart> copy() const;
    // Lets go of the body's source.
    void close();

  private:
    enum class Phase { encapsulationBoundary, header, body, finalBoundary, done };
    std::string textOf(Phase phase) const;
    ptrdiff_t readBody(uint8_t* buffer, size_t maxLength);
    ptrdiff_t fail(ErrorPtr error);

    Phase phase_ = Phase::encapsulationBoundary;
    // Where reading stands within a phase's text, or within the body.
    uint64_t phaseOffset_ = 0;
    std::shared_ptr<InputStream> source_;
    ErrorPtr error_;
};

}  // namespace telvo

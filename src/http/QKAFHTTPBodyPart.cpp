#include "http/QKAFHTTPBodyPart.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/foundation/FoundationErrors.h"

namespace telvo {

namespace {
constexpr const char* kCRLF = "\r\n";
}  // namespace

std::string QKAFHTTPBodyPart::textOf(Phase phase) const {
    switch (phase) {
        case Phase::encapsulationBoundary:
            return (hasInitialBoundary ? "--" : std::string(kCRLF) + "--") + boundary + kCRLF;
        case Phase::header: {
            std::string text;
            for (const auto& [name, value] : headers.fields()) text += name + ": " + value + kCRLF;
            return text + kCRLF;
        }
        case Phase::finalBoundary:
            return hasFinalBoundary ? std::string(kCRLF) + "--" + boundary + "--" + kCRLF : "";
        case Phase::body:
        case Phase::done:
            break;
    }
    return {};
}

uint64_t QKAFHTTPBodyPart::contentLength() const {
    return textOf(Phase::encapsulationBoundary).size() + textOf(Phase::header).size() +
           bodyContentLength + textOf(Phase::finalBoundary).size();
}

ptrdiff_t QKAFHTTPBodyPart::read(uint8_t* buffer, size_t maxLength) {
    if (error_) return -1;
    size_t total = 0;
    while (total < maxLength && phase_ != Phase::done) {
        size_t count;
        if (phase_ == Phase::body) {
            ptrdiff_t n = readBody(buffer + total, maxLength - total);
            if (n < 0) return -1;
            count = size_t(n);
        } else {
            // The texts are a few hundred bytes at most: made again for each piece.
            const std::string text = textOf(phase_);
            count = std::min<size_t>(maxLength - total, text.size() - phaseOffset_);
            std::memcpy(buffer + total, text.data() + phaseOffset_, count);
            phaseOffset_ += count;
            if (phaseOffset_ == text.size()) {
                phase_ = phase_ == Phase::encapsulationBoundary ? Phase::header
                         : phase_ == Phase::header              ? Phase::body
                                                                : Phase::done;
                phaseOffset_ = 0;
            }
        }
        total += count;
    }
    return ptrdiff_t(total);
}

ptrdiff_t QKAFHTTPBodyPart::readBody(uint8_t* buffer, size_t maxLength) {
    if (phaseOffset_ == bodyContentLength) {
        close();
        phase_ = Phase::finalBoundary;
        phaseOffset_ = 0;
        return 0;
    }
    if (!source_) {
        source_ = bodyData   ? InputStream::inputStreamWithData(bodyData)
                  : bodyFile ? InputStream::inputStreamWithFileAtPath(*bodyFile)
                             : bodyStream;
        if (!source_) return fail(posixError(EINVAL, "The part has no body."));
        source_->open();
        if (source_->streamStatus() == StreamStatus::error) return fail(source_->streamError());
    }
    size_t want = size_t(std::min<uint64_t>(maxLength, bodyContentLength - phaseOffset_));
    ptrdiff_t count = source_->read(buffer, want);
    if (count < 0) return fail(source_->streamError());
    // The length went out in the request's headers: a body that stops short would leave the
    // server waiting for bytes that never come.
    if (count == 0) return fail(posixError(EIO, "The part's body ended before its length."));
    phaseOffset_ += uint64_t(count);
    return count;
}

ptrdiff_t QKAFHTTPBodyPart::fail(ErrorPtr error) {
    error_ = error ? std::move(error) : posixError(EIO, "The part's body could not be read.");
    close();
    return -1;
}

void QKAFHTTPBodyPart::close() {
    if (source_) source_->close();
    source_.reset();
}

std::shared_ptr<QKAFHTTPBodyPart> QKAFHTTPBodyPart::copy() const {
    auto part = std::make_shared<QKAFHTTPBodyPart>();
    part->stringEncoding = stringEncoding;
    part->headers = headers;
    part->boundary = boundary;
    part->bodyData = bodyData;
    part->bodyFile = bodyFile;
    part->bodyContentLength = bodyContentLength;
    part->hasInitialBoundary = hasInitialBoundary;
    part->hasFinalBoundary = hasFinalBoundary;
    if (bodyStream) {
        part->bodyStream = bodyStream->copy();
        if (!part->bodyStream) return nullptr;
    }
    return part;
}

}  // namespace telvo

#include "http/QKAFMultipartBodyStream.h"

#include <algorithm>

namespace telvo {

void QKAFMultipartBodyStream::setInitialAndFinalBoundaries() {
    for (size_t i = 0; i < parts_.size(); ++i) {
        parts_[i]->hasInitialBoundary = i == 0;
        parts_[i]->hasFinalBoundary = i + 1 == parts_.size();
    }
}

void QKAFMultipartBodyStream::appendHTTPBodyPart(std::shared_ptr<QKAFHTTPBodyPart> part) {
    if (part) parts_.push_back(std::move(part));
}

uint64_t QKAFMultipartBodyStream::contentLength() const {
    uint64_t length = 0;
    for (const auto& part : parts_) length += part->contentLength();
    return length;
}

void QKAFMultipartBodyStream::open() {
    if (status_ != StreamStatus::notOpen) return;
    setInitialAndFinalBoundaries();
    status_ = parts_.empty() ? StreamStatus::atEnd : StreamStatus::open;
}

void QKAFMultipartBodyStream::close() {
    for (const auto& part : parts_) part->close();
    if (status_ != StreamStatus::error) status_ = StreamStatus::closed;
}

ptrdiff_t QKAFMultipartBodyStream::read(uint8_t* buffer, size_t maxLength) {
    if (status_ == StreamStatus::atEnd) return 0;
    if (status_ != StreamStatus::open) return -1;
    const size_t limit = std::min(maxLength, numberOfBytesInPacket);
    size_t total = 0;
    while (total < limit && current_ < parts_.size()) {
        ptrdiff_t count = parts_[current_]->read(buffer + total, limit - total);
        if (count < 0) {
            error_ = parts_[current_]->error();
            status_ = StreamStatus::error;
            return -1;
        }
        if (count == 0) {
            ++current_;
            continue;
        }
        total += size_t(count);
    }
    if (current_ == parts_.size() && total == 0 && limit > 0) status_ = StreamStatus::atEnd;
    if (total > 0 && delay > 0)
        readableAt_ = std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(delay));
    return ptrdiff_t(total);
}

std::shared_ptr<InputStream> QKAFMultipartBodyStream::copy() const {
    auto stream = std::make_shared<QKAFMultipartBodyStream>(stringEncoding);
    stream->numberOfBytesInPacket = numberOfBytesInPacket;
    stream->delay = delay;
    for (const auto& part : parts_) {
        auto copied = part->copy();
        if (!copied) return nullptr;
        stream->parts_.push_back(std::move(copied));
    }
    stream->setInitialAndFinalBoundaries();
    return stream;
}

}  // namespace telvo

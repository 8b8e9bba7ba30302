#include "blecore/QKBLEProtocol.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>

#include "core/QKTool.h"
#include "security/QKDataSecurity.h"

namespace telvo {
namespace {

constexpr uint8_t kHead0 = 0xAA;
constexpr uint8_t kHead1 = 0x55;
constexpr int64_t kPlainType = 0x10;
constexpr size_t kCounterSize = 2;
constexpr size_t kCcmOverhead = 13 + 16;

std::atomic<int> gMsgId{1};

// A frame is long when the version with its lowest bit cleared is 2.
bool isLong(int64_t protocolType) {
    return (protocolType & ~int64_t{1}) == 2;
}

// Offset of the payload; also the smallest length field a frame can have.
size_t headerSize(bool longFrame) {
    return longFrame ? 6 : 5;
}
size_t minimumLength(bool longFrame) {
    return longFrame ? 6 : 4;
}

// The length field; the data must hold at least 3 (short) or 4 (long) bytes.
size_t lengthField(ByteView data, bool longFrame) {
    return longFrame ? size_t{data[2]} | size_t{data[3]} << 8 : data[2];
}

uint8_t negatedSum(ByteView bytes) {
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint8_t>(0u - sum);
}

uint16_t xmodem(ByteView bytes) {
    return QKTool::crc16(bytes.data(), static_cast<int>(bytes.size()));
}

bool startsFrame(ByteView data) {
    return data.size() >= 2 && data[0] == kHead0 && data[1] == kHead1;
}

}  // namespace

uint32_t crc32(uint32_t crc, const uint8_t* buf, size_t len) {
    if (len == 0) return crc;
    return static_cast<uint32_t>(::crc32_z(crc, buf, len));
}

uint32_t QKBLEProtocol::crc32(ByteView data) {
    return telvo::crc32(0, data.data(), data.size());
}

int QKBLEProtocol::currentMsgId() {
    return gMsgId.load();
}

void QKBLEProtocol::resetMsgIdForTesting() {
    gMsgId.store(1);
}

Bytes QKBLEProtocol::getAntiReplayCntData(int64_t value) {
    const auto v = static_cast<uint64_t>(value);
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}

std::optional<Bytes> QKBLEProtocol::getProtocolDataWithMsgBody(ByteView body, ByteView keyData,
                                                               int64_t msgType,
                                                               int64_t protocolType,
                                                               int64_t antiCnt) {
    const bool longFrame = isLong(protocolType);
    const bool ccm = protocolType == 3;
    const bool plain = msgType == kPlainType;

    std::optional<Bytes> payload;
    size_t payloadSize = 0;
    if (!ccm) {
        payload =
            plain ? Bytes(body.begin(), body.end()) : QKDataSecurity::aesEncryptData(body, keyData);
        if (!payload) return std::nullopt;
        payloadSize = payload->size();
    } else {
        payloadSize = body.size() + kCounterSize + (plain ? 0 : kCcmOverhead);
    }
    const size_t length = payloadSize + (longFrame ? 6 : 4);
    if (length > (longFrame ? 0xFFFFu : 0xFFu)) return std::nullopt;

    Bytes frame(length + 2);
    frame[0] = kHead0;
    frame[1] = kHead1;
    frame[2] = static_cast<uint8_t>(length);
    if (longFrame) frame[3] = static_cast<uint8_t>(length >> 8);
    const size_t seqAt = longFrame ? 4 : 3;
    int current = gMsgId.load();
    while (!gMsgId.compare_exchange_weak(current, current <= 254 ? current + 1 : 1)) {
    }
    frame[seqAt] = static_cast<uint8_t>(current <= 254 ? current + 1 : 1);
    frame[seqAt + 1] = static_cast<uint8_t>(msgType);

    if (ccm) {
        Bytes content = getAntiReplayCntData(antiCnt);
        content.insert(content.end(), body.begin(), body.end());
        payload =
            plain ? std::move(content)
                  : QKDataSecurity::aesCCMEncryptData(content, keyData, ByteView(frame).first(6));
        if (!payload || payload->size() != payloadSize) return std::nullopt;
    }
    const size_t payloadAt = headerSize(longFrame);
    std::copy(payload->begin(), payload->end(), frame.begin() + static_cast<ptrdiff_t>(payloadAt));

    const ByteView checked = ByteView(frame).subspan(2, length - (longFrame ? 2 : 1));
    if (longFrame) {
        const uint16_t crc = xmodem(checked);
        frame[length] = static_cast<uint8_t>(crc);
        frame[length + 1] = static_cast<uint8_t>(crc >> 8);
    } else {
        frame[length + 1] = negatedSum(checked);
    }
    return frame;
}

std::shared_ptr<QKBLEProtocol> QKBLEProtocol::initProtocolData(ByteView frame, ByteView keyData,
                                                               int64_t protocolType) {
    if (frame.size() < 6) return nullptr;
    const bool longFrame = isLong(protocolType);
    const size_t length = lengthField(frame, longFrame);
    if (length < minimumLength(longFrame)) return nullptr;
    const size_t payloadAt = headerSize(longFrame);
    const size_t payloadSize = length - (longFrame ? 6 : 4);
    if (frame.size() < payloadAt + payloadSize) return nullptr;

    auto parsed = std::make_shared<QKBLEProtocol>();
    parsed->msgID_ = frame[payloadAt - 2];
    parsed->msgType_ = frame[payloadAt - 1];
    const ByteView payload = frame.subspan(payloadAt, payloadSize);
    parsed->encrptMsgBody_.assign(payload.begin(), payload.end());

    if (parsed->msgType_ == kPlainType)
        parsed->decrptMsgBody_ = parsed->encrptMsgBody_;
    else if (protocolType == 3)
        parsed->decrptMsgBody_ =
            QKDataSecurity::aesCCMDecryptData(payload, keyData, frame.first(6));
    else
        parsed->decrptMsgBody_ = QKDataSecurity::aesDecryptData(payload, keyData);

    // The counter comes off the front of every version-3 body; an empty body still carries it.
    auto& body = parsed->decrptMsgBody_;
    if (protocolType == 3 && body && body->size() >= kCounterSize) {
        parsed->cntId_ = (*body)[0] | (*body)[1] << 8;
        body->erase(body->begin(), body->begin() + kCounterSize);
    }
    return parsed;
}

bool QKBLEProtocol::checkNumWithData(ByteView frame, int64_t protocolType) {
    const bool longFrame = isLong(protocolType);
    if (frame.size() < (longFrame ? 4u : 3u)) return false;
    const size_t length = lengthField(frame, longFrame);
    if (frame.size() - 2 != length || length < minimumLength(longFrame)) return false;
    if (longFrame) {
        const uint16_t crc = xmodem(frame.subspan(2, length - 2));
        return (frame[length] | frame[length + 1] << 8) == crc;
    }
    return frame[length + 1] == negatedSum(frame.subspan(2, length - 1));
}

void QKBLEProtocol::parseReceiveData(const std::optional<Bytes>& data, int64_t protocolType,
                                     const ReceiveBlock& block) {
    if (!block) return;
    if (!data || data->empty()) {
        block(kReceiveNoData, std::nullopt);
        return;
    }
    const bool longFrame = isLong(protocolType);
    ByteView rest(*data);
    while (true) {
        if (!startsFrame(rest)) {
            block(kReceiveContinuation, Bytes(rest.begin(), rest.end()));
            return;
        }
        if (rest.size() < (longFrame ? 4u : 3u)) {
            block(kReceiveFrameStart, Bytes(rest.begin(), rest.end()));
            return;
        }
        const size_t expected = lengthField(rest, longFrame) + 2;
        if (rest.size() < expected) {
            block(kReceiveFrameStart, Bytes(rest.begin(), rest.end()));
            return;
        }
        const ByteView frame = rest.first(expected);
        if (checkNumWithData(frame, protocolType))
            block(kReceiveFrame, Bytes(frame.begin(), frame.end()));
        rest = rest.subspan(expected);
        if (rest.empty()) return;
    }
}

std::optional<Dictionary> QKBLEProtocol::dicForAesKeyReplyWithData(ByteView body) {
    if (body.size() < 3) return std::nullopt;
    if (body[0] == 2)
        return Dictionary{
            {"subCmd", 2}, {"encodeType", unsigned{body[1]}}, {"result", body[2] == 0}};
    if (body[0] == 1 && body[1] == 2 && body.size() - 2 >= 64)
        return Dictionary{{"subCmd", 1},
                          {"encodeType", 2},
                          {"devicePublicKey", Bytes(body.begin() + 2, body.begin() + 66)}};
    return std::nullopt;
}

namespace {
// The length of the frame the bytes begin with, once whole and its check value holds.
std::optional<size_t> wholeFrameAtStart(ByteView bytes, int64_t protocolType) {
    const bool longFrame = isLong(protocolType);
    if (!startsFrame(bytes) || bytes.size() < (longFrame ? 4u : 3u)) return std::nullopt;
    const size_t length = lengthField(bytes, longFrame);
    if (length < minimumLength(longFrame) || bytes.size() < length + 2) return std::nullopt;
    if (!QKBLEProtocol::checkNumWithData(bytes.first(length + 2), protocolType))
        return std::nullopt;
    return length + 2;
}

// Whether more bytes could still make the frame the bytes begin with whole.
bool couldGrowIntoFrame(ByteView bytes, int64_t protocolType) {
    const bool longFrame = isLong(protocolType);
    if (!startsFrame(bytes)) return false;
    if (bytes.size() < (longFrame ? 4u : 3u)) return true;
    const size_t length = lengthField(bytes, longFrame);
    return length >= minimumLength(longFrame) && bytes.size() < length + 2;
}

// The CRC-16/XMODEM register (QKTool::crc16, byte by byte) is linear: after the bytes B from a
// value R it holds R·x^(8·|B|) + crc16(B), modulo the polynomial. So the check value of any
// stretch of a stream follows from the register before and after it.
constexpr uint16_t kCrcPolynomial = 0x1021;

uint16_t crcTimesX(uint16_t value) {
    return value & 0x8000 ? uint16_t(value << 1 ^ kCrcPolynomial) : uint16_t(value << 1);
}

uint16_t crcStep(uint16_t crc, uint8_t byte) {
    crc ^= uint16_t(byte << 8);
    for (int bit = 0; bit < 8; ++bit) crc = crcTimesX(crc);
    return crc;
}

// a·b modulo the polynomial.
uint16_t crcMultiply(uint16_t a, uint16_t b) {
    uint16_t product = 0;
    for (int bit = 15; bit >= 0; --bit) {
        product = crcTimesX(product);
        if (b >> bit & 1) product ^= a;
    }
    return product;
}

// What the register holds after `count` zero bytes from `crc`: crc·x^(8·count).
uint16_t crcAfterZeros(uint16_t crc, size_t count) {
    // x^(8·2^i) for every bit a count up to the assembler's capacity can have.
    static const auto powers = [] {
        std::array<uint16_t, 17> p{};
        p[0] = 0x0100;
        for (size_t i = 1; i < p.size(); ++i) p[i] = crcMultiply(p[i - 1], p[i - 1]);
        return p;
    }();
    static_assert(QKBLEFrameAssembler::kCapacity < size_t{1} << 17);
    for (size_t i = 0; count != 0; ++i, count >>= 1)
        if (count & 1) crc = crcMultiply(crc, powers[i]);
    return crc;
}
}  // namespace

void QKBLEFrameAssembler::keep(ByteView data) {
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    for (uint8_t byte : data) crcs_.push_back(crcStep(crcs_.back(), byte));
}

void QKBLEFrameAssembler::consume(size_t count) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(count));
    crcs_.erase(crcs_.begin(), crcs_.begin() + static_cast<ptrdiff_t>(count));
}

Bytes QKBLEFrameAssembler::takeBuffer() {
    crcs_.assign(1, 0);
    return std::exchange(buffer_, Bytes());
}

uint16_t QKBLEFrameAssembler::crcOf(size_t from, size_t to) const {
    return crcs_[to] ^ crcAfterZeros(crcs_[from], to - from);
}

size_t QKBLEFrameAssembler::heldSize() const {
    size_t held = buffer_.size();
    for (const Bytes& reading : readings_) held += reading.size();
    return held;
}

bool QKBLEFrameAssembler::offer(Bytes reading, size_t length, int64_t protocolType,
                                const FrameSink& onFrame) {
    if (!onFrame(Bytes(reading.begin(), reading.begin() + static_cast<ptrdiff_t>(length))))
        return false;
    readings_.clear();
    takeBuffer();
    take(ByteView(reading).subspan(length), protocolType, onFrame);
    return true;
}

void QKBLEFrameAssembler::receive(ByteView data, int64_t protocolType, const FrameSink& onFrame) {
    // A notification that begins with AA 55 while a frame is incomplete is read both ways: as
    // a new frame (so that a length field that lied holds back no later frame) and as the next
    // piece of the incomplete one (whose sealed bytes may begin with AA 55 by chance, in more
    // than one piece). The oldest reading that first makes a whole frame whose check value
    // holds and that opens is kept; one that does not open is dropped and the next one tried.
    for (Bytes& reading : readings_) reading.insert(reading.end(), data.begin(), data.end());
    for (size_t i = 0; i < readings_.size();) {
        const auto length = wholeFrameAtStart(readings_[i], protocolType);
        if (!length) {
            ++i;
            continue;
        }
        Bytes reading = std::move(readings_[i]);
        readings_.erase(readings_.begin() + static_cast<ptrdiff_t>(i));
        if (offer(std::move(reading), *length, protocolType, onFrame)) return;
    }
    std::erase_if(readings_, [protocolType](const Bytes& reading) {
        return !couldGrowIntoFrame(reading, protocolType) || reading.size() > kCapacity;
    });
    if (startsFrame(data) && couldGrowIntoFrame(buffer_, protocolType)) {
        Bytes continued = takeBuffer();
        continued.insert(continued.end(), data.begin(), data.end());
        if (const auto length = wholeFrameAtStart(continued, protocolType)) {
            if (offer(std::move(continued), *length, protocolType, onFrame)) return;
        } else if (couldGrowIntoFrame(continued, protocolType) && continued.size() <= kCapacity) {
            if (readings_.size() == kMaxReadings) readings_.erase(readings_.begin());
            readings_.push_back(std::move(continued));
        }
    }
    take(data, protocolType, onFrame);
}

void QKBLEFrameAssembler::take(ByteView data, int64_t protocolType, const FrameSink& onFrame) {
    while (!data.empty()) {
        const size_t room = kCapacity - buffer_.size();
        const ByteView piece = data.first(std::min(room, data.size()));
        keep(piece);
        data = data.subspan(piece.size());
        drain(protocolType, onFrame);
    }
}

void QKBLEFrameAssembler::drain(int64_t protocolType, const FrameSink& onFrame) {
    const bool longFrame = isLong(protocolType);
    size_t start = 0;
    while (true) {
        // Resynchronise on the next AA 55 (a lone trailing AA may start one).
        while (start < buffer_.size() &&
               !(buffer_[start] == kHead0 &&
                 (start + 1 == buffer_.size() || buffer_[start + 1] == kHead1)))
            ++start;
        const ByteView rest = ByteView(buffer_).subspan(start);
        if (rest.size() < (longFrame ? 4u : 3u)) break;
        const size_t length = lengthField(rest, longFrame);
        if (length < minimumLength(longFrame)) {
            ++start;
            continue;
        }
        if (rest.size() < length + 2) break;
        const ByteView frame = rest.first(length + 2);
        // checkNumWithData's check, a long frame's CRC (over the bytes after the length field,
        // little-endian after them) from the running values.
        const bool checked =
            longFrame ? (frame[length] | frame[length + 1] << 8) == crcOf(start + 2, start + length)
                      : QKBLEProtocol::checkNumWithData(frame, protocolType);
        if (!checked) {
            ++start;
            continue;
        }
        start += frame.size();
        // A frame that opens settles which reading was right; one that does not leaves the
        // other readings to be tried.
        if (onFrame(Bytes(frame.begin(), frame.end()))) readings_.clear();
    }
    consume(start);
}

}  // namespace telvo

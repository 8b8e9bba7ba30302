#include "protocol/QKProtocol.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "logging/QKLog.h"
#include "platform/crypto/Crypto.h"
#include "platform/dispatch/Clock.h"
#include "security/QKDataSecurity.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo {

namespace {

constexpr size_t kHeaderSize = 40;
constexpr size_t kSlotSize = 16;
constexpr size_t kMinFrame = kHeaderSize + kSlotSize + 1;
constexpr size_t kNonceSize = 13;
constexpr size_t kTagSize = 16;
constexpr size_t kWrapperSize = 8;

void putLe(Bytes& buffer, size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) buffer[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t readLe(ByteView data, size_t at, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= uint64_t{data[at + i]} << (8 * i);
    return v;
}

// The frame time stamp: milliseconds, seconds with the two high millisecond bits, minute,
// hour, day, month, year modulo 100, century; local time of the one clock.
void writeTimeStamp(Bytes& buffer) {
    Clock& clock = Clock::current();
    const int64_t nanos = clock.wallNanos();
    int64_t seconds = nanos / 1000000000;
    int64_t millis = (nanos / 1000000) % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    const std::tm tm = Clock::localTime(clock, static_cast<double>(seconds));
    const int year = tm.tm_year + 1900;
    buffer[12] = static_cast<uint8_t>(millis & 0xFF);
    buffer[13] = static_cast<uint8_t>((tm.tm_sec & 0x3F) | ((millis >> 8) & 3) << 6);
    buffer[14] = static_cast<uint8_t>(tm.tm_min);
    buffer[15] = static_cast<uint8_t>(tm.tm_hour);
    buffer[16] = static_cast<uint8_t>(tm.tm_mday);
    buffer[17] = static_cast<uint8_t>(tm.tm_mon + 1);
    buffer[18] = static_cast<uint8_t>(year % 100);
    buffer[19] = static_cast<uint8_t>(year / 100);
}

// A sealed body opened into room: the tag sits either before the 16-byte slot or, in an
// unsigned frame, at the very end; the one that authenticates wins.
std::optional<ByteView> openSealedBody(ByteView data, ByteView header, bool isSign, ByteView key,
                                       std::span<uint8_t> room) {
    const size_t sealedEnds[] = {data.size() - kSlotSize, data.size()};
    for (size_t end : sealedEnds) {
        if (end == data.size() && isSign) break;
        const ByteView sealed = data.subspan(kHeaderSize, end - kHeaderSize);
        if (sealed.size() < kNonceSize + kTagSize) continue;
        const std::span<uint8_t> out = room.first(sealed.size() - kNonceSize - kTagSize);
        if (QKDataSecurity::aesCCMDecryptDataInto(sealed, key, header, out)) return out;
    }
    return std::nullopt;
}

// An appliance that is not yet authorised says so in every frame it sends. The line goes out
// for the first such frame and then at most once a second, with the count of the frames since
// the line before; frames from any number of threads.
void noteUnauthorised() {
    static std::mutex mutex;
    static std::optional<double> lastLine;
    static size_t since = 0;
    const double now = Clock::now();
    size_t unlogged;
    {
        std::lock_guard lock(mutex);
        if (lastLine && now >= *lastLine && now - *lastLine < 1.0) {
            ++since;
            return;
        }
        lastLine = now;
        unlogged = std::exchange(since, 0);
    }
    if (unlogged == 0)
        QKSDKLOG("设备未确权");
    else
        QKSDKLOG("设备未确权 (%zu more frames since the last line)", unlogged);
}

std::string defaultKey() {
    return QKMiddleInterface::shareInstance()->middleConfig()->apConfigDefaultKey();
}

}  // namespace

QKProtocol::QKProtocol() {
    protocolVer_ = 1;
    encryptType_ = 0;
    isSign_ = true;
    protocolHead_ = 0x5A5A;
    messageArray_ = Bytes{};
}

QKProtocol::QKProtocol(int8_t protocolVer, std::optional<ByteView> ecdhSessionKey, int64_t cntId) {
    protocolVer_ = protocolVer;
    ecdhSessionKey_.assign(ecdhSessionKey);
    cntId_ = cntId;
    setEncryptTypeByVerison();
    protocolHead_ = 0x5A5A;
    messageArray_ = Bytes{};
}

void QKProtocol::setEncryptTypeByVerison() {
    if (protocolVer_ == 1) {
        encryptType_ = 1;
        isSign_ = true;
    } else if (protocolVer_ == 3) {
        encryptType_ = 2;
        isSign_ = false;
    } else {
        encryptType_ = 0;
        isSign_ = false;
    }
}

bool QKProtocol::refuse(const char* what) {
    QKSDKLOG("LAN message 0x%02x refused: %s", static_cast<unsigned>(msgType_ & 0xFFFF), what);
    refused_ = true;
    setOriMessageArray(std::nullopt);
    return false;
}

void QKProtocol::setBody(Bytes body) {
    refused_ = false;
    setOriMessageArray(std::move(body));
}

// The protocol-3 counter leads the plain body whatever the encryption; one an earlier write left
// aside joins the body unless this write seals it aside again.
inline void QKProtocol::placeCounter() {
    if (counterOnWire_ && (protocolVer_ != 3 || encryptType_ != 2))
        leadWithCounter(*counterOnWire_);
    if (protocolVer_ == 3) {
        const auto counter = static_cast<uint16_t>(cntId_);
        if (counterLeads_) {
            putLe(*oriMessageArray_, 0, counter, 2);
        } else if (encryptType_ == 2) {
            counterOnWire_ = counter;
        } else {
            leadWithCounter(counter);
        }
    }
}

// The body as it goes on the wire when it is not sealed into the frame: plain, or encrypted with
// the default key.
inline bool QKProtocol::preparePlainBody(const std::string& key) {
    if (encryptType_ == 1) {
        auto sealed = QKDataSecurity::localMessageBodyEncryption(*oriMessageArray_,
                                                                 QKDataSecurity::getMD5_128(key));
        if (!sealed) {
            QKSDKLOG("LAN frame 0x%02x not written: body encryption failed",
                     static_cast<unsigned>(msgType_ & 0xFFFF));
            return false;
        }
        messageArray_ = std::move(*sealed);
    } else {
        messageArray_ = oriMessageArray_;
    }
    return true;
}

inline void QKProtocol::writeHeader(Bytes& buffer, size_t total) const {
    buffer[0] = buffer[1] = 0x5A;
    buffer[2] = static_cast<uint8_t>(protocolVer_);
    buffer[3] = static_cast<uint8_t>((isSign_ ? 0x10 : 0) | (encryptType_ & 0x0F));
    putLe(buffer, 4, total, 2);
    putLe(buffer, 6, static_cast<uint16_t>(msgType_), 2);
    putLe(buffer, 8, static_cast<uint32_t>(tag_), 4);
    writeTimeStamp(buffer);
    putLe(buffer, 20, static_cast<uint64_t>(deviceID_), 6);
}

// What a sealed write seals: the counter it keeps aside, if any, then the body.
inline size_t QKProtocol::sealedPlainSize() const {
    return (counterOnWire_ ? 2 : 0) + (oriMessageArray_ ? oriMessageArray_->size() : 0);
}

void QKProtocol::writeSealedPlain(std::span<uint8_t> into) const {
    size_t at = 0;
    if (counterOnWire_) {
        into[0] = static_cast<uint8_t>(*counterOnWire_);
        into[1] = static_cast<uint8_t>(*counterOnWire_ >> 8);
        at = 2;
    }
    if (oriMessageArray_ && !oriMessageArray_->empty())
        std::memcpy(into.data() + at, oriMessageArray_->data(), oriMessageArray_->size());
}

// Counter and body are put where their ciphertext goes and sealed there, behind the header they
// are authenticated with.
inline bool QKProtocol::sealInto(Bytes& buffer, std::span<uint8_t> body, ByteView sessionKey) {
    const std::span<uint8_t> plain = body.subspan(kNonceSize, body.size() - kNonceSize - kTagSize);
    writeSealedPlain(plain);
    if (!QKDataSecurity::aesCCMEncryptDataInto(plain, sessionKey,
                                               ByteView(buffer).first(kHeaderSize), body)) {
        QKSDKLOG("LAN frame 0x%02x not written: sealing failed",
                 static_cast<unsigned>(msgType_ & 0xFFFF));
        return false;
    }
    messageArray_.reset();
    sealedBody_.emplace();
    std::memcpy(sealedBody_->header.data(), buffer.data(), kHeaderSize);
    std::memcpy(sealedBody_->nonce.data(), body.data(), kNonceSize);
    return true;
}

void QKProtocol::resealBody() const {
    const SealedBody sealed = *sealedBody_;
    sealedBody_.reset();
    // Sealed in place, as the write did.
    Bytes body(kNonceSize + sealedPlainSize() + kTagSize);
    std::copy(sealed.nonce.begin(), sealed.nonce.end(), body.begin());
    const std::span<uint8_t> plain =
        std::span(body).subspan(kNonceSize, body.size() - kNonceSize - kTagSize);
    writeSealedPlain(plain);
    const std::optional<ByteView> key = ecdhSessionKey_.view();
    if (key && crypto::aesCcm(true, *key, sealed.nonce, sealed.header, kTagSize, plain,
                              std::span(body).subspan(kNonceSize)))
        messageArray_ = std::move(body);
}

// The MD5 of header, body and key in the frame's last slot.
inline bool QKProtocol::sign(Bytes& buffer, size_t bodyLen, const std::string& key) const {
    Bytes input(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(kHeaderSize + bodyLen));
    bool ascii = true;
    for (unsigned char c : key) ascii = ascii && c < 0x80;
    if (!ascii || key.size() > 36)
        QKSDKLOG("KORVO_SIGNSTR getCString 失败");
    else
        input.insert(input.end(), key.begin(), key.end());
    const Bytes digest = crypto::digest(crypto::DigestAlgorithm::MD5, input);
    if (digest.size() != kSlotSize) {
        QKSDKLOG("LAN frame 0x%02x not written: signing failed",
                 static_cast<unsigned>(msgType_ & 0xFFFF));
        return false;
    }
    std::memcpy(buffer.data() + kHeaderSize + bodyLen, digest.data(), kSlotSize);
    return true;
}

Bytes QKProtocol::getByteStream() {
    // The body of the last sealed write is made again only when this write sends messageArray as
    // it stands; a write that makes its body anew replaces it unmade.
    if (sealedBody_ && encryptType_ != 2 && !oriMessageArray_) resealBody();
    if (refused_) {
        QKSDKLOG("LAN frame 0x%02x not written: its builder refused the input",
                 static_cast<unsigned>(msgType_ & 0xFFFF));
        return {};
    }
    std::string key;
    if (encryptType_ == 1 || isSign_) key = defaultKey();
    if (encryptType_ == 1 && key.empty()) {
        QKSDKLOG("LAN frame 0x%02x not written: no apConfigDefaultKey",
                 static_cast<unsigned>(msgType_ & 0xFFFF));
        return {};
    }
    const std::optional<ByteView> sessionKey = ecdhSessionKey_.view();
    if (encryptType_ == 2 && (!sessionKey || sessionKey->empty())) {
        QKSDKLOG("LAN frame 0x%02x not written: no session key",
                 static_cast<unsigned>(msgType_ & 0xFFFF));
        return {};
    }
    placeCounter();
    if (encryptType_ != 2 && oriMessageArray_) {
        sealedBody_.reset();
        if (!preparePlainBody(key)) return {};
    }

    const size_t bodyLen = encryptType_ == 2 ? kNonceSize + sealedPlainSize() + kTagSize
                                             : (messageArray_ ? messageArray_->size() : 0);
    const size_t total = kHeaderSize + bodyLen + kSlotSize;
    if (total > 0xFFFF) {
        QKSDKLOG("LAN frame 0x%02x not written: %zu bytes",
                 static_cast<unsigned>(msgType_ & 0xFFFF), total);
        return {};
    }
    messageLen_ = static_cast<int16_t>(total);

    Bytes buffer(total, 0);
    writeHeader(buffer, total);
    const std::span<uint8_t> body = std::span(buffer).subspan(kHeaderSize, bodyLen);
    if (encryptType_ == 2) {
        if (!sealInto(buffer, body, *sessionKey)) return {};
    } else if (bodyLen) {
        std::memcpy(body.data(), messageArray_->data(), bodyLen);
    }
    if (isSign_ && !sign(buffer, bodyLen, key)) return {};
    return buffer;
}

void QKProtocol::leadWithCounter(uint16_t counter) const {
    if (!oriMessageArray_) oriMessageArray_.emplace();
    oriMessageArray_->insert(oriMessageArray_->begin(), 2, 0);
    putLe(*oriMessageArray_, 0, counter, 2);
    counterLeads_ = true;
    counterOnWire_.reset();
}

std::shared_ptr<QKProtocol> QKProtocol::initWithNSData(ByteView data) {
    return initWithNSData(data, std::nullopt);
}

bool QKProtocol::isSSTPacketWithData(ByteView data) {
    return data.size() >= 2 && data[0] == 0x83 && data[1] == 0x70;
}

Bytes QKProtocol::unpackWithData(ByteView data) {
    if (data.size() <= kWrapperSize) return {};
    return Bytes(data.begin() + kWrapperSize, data.end());
}

std::shared_ptr<QKProtocol> QKProtocol::initWithNSData(ByteView data,
                                                       std::optional<ByteView> ecdhSessionKey) {
    struct Made : QKProtocol {
        Made() : QKProtocol(Bare{}) {}
    };
    std::shared_ptr<QKProtocol> frame = std::make_shared<Made>();
    if (data.size() < kMinFrame) return frame;
    if (isSSTPacketWithData(data)) {
        data = data.subspan(kWrapperSize);
        if (data.size() < kMinFrame) return frame;
    }
    if (data[0] != 0x5A || data[1] != 0x5A) return nullptr;

    frame->ecdhSessionKey_.assign(ecdhSessionKey);
    frame->protocolVer_ = static_cast<int8_t>(data[2]);
    frame->encryptType_ = static_cast<int8_t>(data[3] & 0x0F);
    frame->isSign_ = data[3] > 15;
    frame->msgType_ = data[6];
    frame->tag_ = static_cast<int32_t>(readLe(data, 8, 4));
    frame->timeStampData_.emplace();
    std::copy_n(data.begin() + 12, frame->timeStampData_->size(), frame->timeStampData_->begin());
    frame->deviceID_ = static_cast<int64_t>(readLe(data, 20, 6));
    if (data[35] >= 0xC0) {
        frame->isAuthentication_ = false;
        noteUnauthorised();
    } else {
        frame->isAuthentication_ = true;
    }

    const ByteView header = data.first(kHeaderSize);
    const size_t bodyLen = data.size() - (frame->isSign_ ? kHeaderSize + kSlotSize : kHeaderSize);
    const ByteView body = data.subspan(kHeaderSize, bodyLen);
    // The plain body, the version-3 counter included: opened into a buffer of this call, or
    // decrypted into one of its own, or the received bytes themselves.
    std::optional<ByteView> plain;
    std::array<uint8_t, 512> openedHere;
    Bytes openedOnHeap;
    std::optional<Bytes> decrypted;
    if (frame->encryptType_ == 2) {
        const std::optional<ByteView> key = frame->ecdhSessionKey();
        if (key && !key->empty()) {
            const size_t most =
                body.size() > kNonceSize + kTagSize ? body.size() - kNonceSize - kTagSize : 0;
            std::span<uint8_t> room(openedHere);
            if (most > room.size()) {
                openedOnHeap.resize(most);
                room = openedOnHeap;
            }
            plain = openSealedBody(data, header, frame->isSign_, *key, room);
        }
    } else if (frame->encryptType_ == 1) {
        decrypted = QKDataSecurity::localMessageBodyDecryption(body);
        if (decrypted) plain = *decrypted;
    } else {
        plain = body;
    }
    if (!plain) return frame;

    // Version 3 content starts with the counter; a counter alone is an empty body.
    size_t counterBytes = 0;
    if (frame->protocolVer_ == 3 && plain->size() >= 2) {
        frame->cntId_ = (*plain)[0] + 256 * (*plain)[1];
        counterBytes = 2;
    }
    if (decrypted && counterBytes == 0)
        frame->messageArray_ = std::move(decrypted);
    else
        frame->messageArray_.emplace(plain->begin() + counterBytes, plain->end());
    return frame;
}

}  // namespace telvo

#include "sim/SimBleCodec.h"

#include <openssl/rand.h>

#include <algorithm>

#include "sim/SimLanCodec.h"

namespace telvo::sim {
namespace {

uint16_t crcXmodem(ByteView bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? static_cast<uint16_t>(crc << 1 ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

uint8_t sumCheck(ByteView bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    return static_cast<uint8_t>(0x100 - sum);
}

std::optional<SimBleFrame> fail(std::string* why, const char* reason) {
    if (why) *why = reason;
    return std::nullopt;
}

}  // namespace

Bytes SimBleCodec::write(const SimBleFrame& frame, std::optional<Bytes> nonce) const {
    const size_t header = longFrame() ? 6 : 5;
    Bytes out(header, 0);
    out[0] = 0xAA;
    out[1] = 0x55;
    out[header - 2] = frame.sequence;
    out[header - 1] = frame.msgType;
    Bytes content = frame.body;
    if (version_ == 3)
        content.insert(content.begin(), {static_cast<uint8_t>(frame.counter),
                                         static_cast<uint8_t>(frame.counter >> 8)});

    size_t payloadSize = content.size();
    if (frame.msgType != 0x10)
        payloadSize = version_ == 3 ? content.size() + 29 : (content.size() / 16 + 1) * 16;
    const size_t length = payloadSize + (longFrame() ? 6 : 4);
    out[2] = static_cast<uint8_t>(length);
    if (longFrame()) out[3] = static_cast<uint8_t>(length >> 8);

    Bytes payload = content;
    if (frame.msgType != 0x10) {
        const ByteView key16 = ByteView(key_).first(std::min<size_t>(16, key_.size()));
        if (version_ == 3) {
            if (!nonce) {
                nonce = Bytes(13);
                RAND_bytes(nonce->data(), 13);
            }
            payload =
                crypto::ccmSeal(key16, *nonce, ByteView(out).first(6), content).value_or(Bytes{});
        } else {
            payload = crypto::ecb(true, key16, content).value_or(Bytes{});
        }
    }
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(out.size() + (longFrame() ? 2 : 1));
    return refreshCheck(std::move(out));
}

Bytes SimBleCodec::refreshCheck(Bytes frame) const {
    const size_t check = longFrame() ? 2 : 1;
    if (frame.size() < 2 + check) return frame;
    const ByteView covered = ByteView(frame).subspan(2, frame.size() - 2 - check);
    if (longFrame()) {
        const uint16_t crc = crcXmodem(covered);
        frame[frame.size() - 2] = static_cast<uint8_t>(crc);
        frame[frame.size() - 1] = static_cast<uint8_t>(crc >> 8);
    } else {
        frame.back() = sumCheck(covered);
    }
    return frame;
}

std::optional<SimBleFrame> SimBleCodec::read(ByteView in, std::string* why) const {
    const size_t header = longFrame() ? 6 : 5;
    if (in.size() < header + (longFrame() ? 2 : 1)) return fail(why, "short");
    if (in[0] != 0xAA || in[1] != 0x55) return fail(why, "magic");
    const size_t length = longFrame() ? (in[2] | in[3] << 8) : in[2];
    if (length + 2 != in.size()) return fail(why, "length field");
    if (longFrame()) {
        if ((in[in.size() - 2] | in[in.size() - 1] << 8) != crcXmodem(in.subspan(2, in.size() - 4)))
            return fail(why, "crc");
    } else if (in.back() != sumCheck(in.subspan(2, in.size() - 3))) {
        return fail(why, "checksum");
    }
    SimBleFrame frame;
    frame.sequence = in[header - 2];
    frame.msgType = in[header - 1];
    const ByteView payload = in.subspan(header, in.size() - header - (longFrame() ? 2 : 1));
    std::optional<Bytes> content = Bytes(payload.begin(), payload.end());
    if (frame.msgType != 0x10) {
        const ByteView key16 = ByteView(key_).first(std::min<size_t>(16, key_.size()));
        content = version_ == 3 ? crypto::ccmOpen(key16, in.first(6), payload)
                                : crypto::ecb(false, key16, payload);
        if (!content) return fail(why, "decrypt");
    }
    if (version_ == 3) {
        if (content->size() < 2) return fail(why, "counter");
        frame.counter = static_cast<uint16_t>((*content)[0] | (*content)[1] << 8);
        content->erase(content->begin(), content->begin() + 2);
    }
    frame.body = std::move(*content);
    return frame;
}

}  // namespace telvo::sim

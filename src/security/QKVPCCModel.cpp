#include "security/QKVPCCModel.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>

#include "core/HexText.h"
#include "logging/QKLog.h"

namespace telvo {
namespace {

constexpr size_t kAesBlock = crypto::kAesBlockSize;
// Counter blocks encrypted per platform call.
constexpr size_t kKeystreamBlocks = 128;

// Byte order swap between host and big-endian (its own inverse).
inline uint64_t toBigEndian(uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(v);
    return v;
}

// dst = a xor b over length bytes; dst may be a.
inline void xorTo(uint8_t* dst, const uint8_t* a, const uint8_t* b, size_t length) {
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        x ^= y;
        std::memcpy(dst + i, &x, 8);
    }
    for (; i < length; ++i) dst[i] = a[i] ^ b[i];
}

}  // namespace

const char* QKVPCCModel::messageFor(int64_t number) {
    switch (number) {
        case QKVPCCModel::kInvalidTag:
            return "Invalid TAG";
        case QKVPCCModel::kCipherTextTooShort:
            return "Cipher text is too short";
        case QKVPCCModel::kInvalidAdataLength:
            return "Invalid adata length. Should be <= 65279";
        case QKVPCCModel::kAesEncryptionError:
            return "AES128 Encryption Error";
        default:
            return "Invalid key, nonce, tag or payload length";
    }
}

QKVPCCModel::QKVPCCModel(ByteView key, ByteView iv, ByteView adata, int64_t tagLength,
                         uint64_t fileSize)
    : bytesLeft_(fileSize), fileSize_(fileSize), adataSize_(static_cast<int64_t>(adata.size())) {
    if (int64_t error = check(key.size(), iv.size(), adata.size(), tagLength, fileSize)) {
        // A bad key fails where the cipher is made, after the other parameters are kept.
        if (error != kAesEncryptionError) {
            setError(error);
            return;
        }
    }
    tagLength_ = static_cast<size_t>(tagLength);
    ivSize_ = iv.size();
    const size_t L = 15 - ivSize_;
    cipher_ = crypto::AesBlockCipher::create(key);
    if (!cipher_) {
        setError(kAesEncryptionError);
        return;
    }

    // A_0: flags L - 1, the nonce, a zero counter. S0 = E(K, A_0) is computed with the
    // first keystream batch (or by the tag when there is no payload).
    ctr_[0] = static_cast<uint8_t>(L - 1);
    std::memcpy(&ctr_[1], iv.data(), ivSize_);

    // B_0 (flags, the nonce, the payload length big-endian in the last L bytes), then the
    // associated data (a two-byte length, the data, zeros up to a whole block), through the
    // CBC-MAC in runs of whole blocks.
    alignas(16) uint8_t header[kKeystreamBlocks * kAesBlock];
    header[0] =
        static_cast<uint8_t>((adata.empty() ? 0 : 0x40) | ((tagLength_ - 2) / 2) << 3 | (L - 1));
    std::memcpy(&header[1], iv.data(), ivSize_);
    for (size_t i = 0; i < L; ++i) header[15 - i] = static_cast<uint8_t>(fileSize >> (8 * i));
    size_t used = kAesBlock;
    if (!adata.empty()) {
        header[used++] = static_cast<uint8_t>(adata.size() >> 8);
        header[used++] = static_cast<uint8_t>(adata.size());
        for (size_t offset = 0; offset < adata.size();) {
            size_t n = std::min(sizeof(header) - used, adata.size() - offset);
            std::memcpy(header + used, adata.data() + offset, n);
            used += n;
            offset += n;
            if (used == sizeof(header)) {
                macBlocks(header, used / kAesBlock);
                used = 0;
            }
        }
        size_t tail = used % kAesBlock;
        if (tail) {
            std::memset(header + used, 0, kAesBlock - tail);
            used += kAesBlock - tail;
        }
    }
    if (used) macBlocks(header, used / kAesBlock);
}

QKVPCCModel::~QKVPCCModel() {
    crypto::cleanse(Y_.data(), Y_.size());
    crypto::cleanse(S0_.data(), S0_.size());
}

void QKVPCCModel::setError(int64_t number) {
    if (errorNumber_) return;
    errorNumber_ = number;
    errorMessage_ = messageFor(number);
}

void QKVPCCModel::macBlocks(const uint8_t* blocks, size_t count) {
    if (ok() && !cipher_->chainBlocks(blocks, count, Y_.data())) setError(kAesEncryptionError);
}

void QKVPCCModel::macPayload(const uint8_t* bytes, size_t length) {
    size_t whole = length / kAesBlock, tail = length % kAesBlock;
    if (whole) macBlocks(bytes, whole);
    if (tail) {
        alignas(16) uint8_t padded[kAesBlock] = {};
        std::memcpy(padded, bytes + whole * kAesBlock, tail);
        macBlocks(padded, 1);
    }
}

bool QKVPCCModel::encryptBlock(const uint8_t* in, uint8_t* out, size_t length) {
    return process(in, out, length, true);
}

bool QKVPCCModel::decryptBlock(const uint8_t* in, uint8_t* out, size_t length, int64_t* exitNext) {
    bool done = process(in, out, length, false);
    if (exitNext) *exitNext = exitNext_;
    return done;
}

bool QKVPCCModel::process(const uint8_t* in, uint8_t* out, size_t length, bool encrypting) {
    if (!ok()) return false;
    if (length == 0) return true;
    if (partialSeen_ || length > bytesLeft_) {
        setError(kInvalidParameters);
        return false;
    }
    alignas(16) uint8_t keystream[kKeystreamBlocks * kAesBlock];

    while (length) {
        // A_0 rides along in the first batch.
        const size_t first = s0Ready_ ? 0 : 1;
        size_t blocks = std::min(kKeystreamBlocks - first, (length + kAesBlock - 1) / kAesBlock);
        size_t bytes = std::min(length, blocks * kAesBlock);
        // A_i for the batch, then one platform call for all of them.
        if (first) std::memcpy(keystream, ctr_.data(), kAesBlock);
        // The counter i fits the last L bytes, which are zero in A_0: the low 8 bytes of
        // A_i are those of A_0 with i or'ed in.
        uint64_t high, lowBase;
        std::memcpy(&high, ctr_.data(), 8);
        std::memcpy(&lowBase, ctr_.data() + 8, 8);
        lowBase = toBigEndian(lowBase);
        for (size_t b = first; b < first + blocks; ++b) {
            uint8_t* a = keystream + b * kAesBlock;
            uint64_t low = toBigEndian(lowBase | ++counter_);
            std::memcpy(a, &high, 8);
            std::memcpy(a + 8, &low, 8);
        }
        if (!cipher_->encryptBlocks(keystream, keystream, first + blocks)) {
            setError(kAesEncryptionError);
            return false;
        }
        if (first) {
            std::memcpy(S0_.data(), keystream, kAesBlock);
            s0Ready_ = true;
        }
        const uint8_t* pad = keystream + first * kAesBlock;
        // Encrypting, the plaintext enters the MAC before out (which may be in) is written;
        // decrypting, the recovered plaintext does.
        if (encrypting) macPayload(in, bytes);
        xorTo(out, in, pad, bytes);
        if (!encrypting) macPayload(out, bytes);
        if (bytes % kAesBlock) partialSeen_ = true;
        in += bytes;
        out += bytes;
        length -= bytes;
        bytesLeft_ -= bytes;
        exitNext_ = partialSeen_ || bytesLeft_ == 0 ? 1 : 0;
    }
    return ok();
}

std::optional<Bytes> QKVPCCModel::getTag() {
    if (!ok() || bytesLeft_ != 0) return std::nullopt;
    if (!s0Ready_) {
        if (!cipher_->encryptBlock(ctr_.data(), S0_.data())) {
            setError(kAesEncryptionError);
            return std::nullopt;
        }
        s0Ready_ = true;
    }
    Bytes tag(tagLength_);
    for (size_t i = 0; i < tagLength_; ++i) tag[i] = Y_[i] ^ S0_[i];
    return tag;
}

bool QKVPCCModel::verifyTag(ByteView tag) {
    auto expected = getTag();
    if (!expected) return false;
    bool equal = crypto::constantTimeEquals(*expected, tag);
    crypto::cleanse(expected->data(), expected->size());
    if (!equal) setError(kInvalidTag);
    return equal;
}

bool QKVPCCModel::verifyTagWithData(ByteView sealed) {
    if (sealed.size() < tagLength_ || sealed.size() - tagLength_ != bytesLeft_) {
        setError(kInvalidTag);
        return false;
    }
    const size_t length = sealed.size() - tagLength_;
    alignas(16) uint8_t scratch[16384];
    for (size_t offset = 0; offset < length; offset += sizeof scratch) {
        size_t n = std::min(sizeof scratch, length - offset);
        if (!process(sealed.data() + offset, scratch, n, false)) break;
    }
    crypto::cleanse(scratch, sizeof scratch);
    return ok() && verifyTag(sealed.subspan(length));
}

bool QKVPCCModel::verifyTagWithFileURL(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(file, ec);
    if (!in || ec || size < tagLength_ || size - tagLength_ != bytesLeft_) {
        setError(kInvalidTag);
        return false;
    }
    alignas(16) uint8_t piece[16384], scratch[16384];
    uint64_t left = size - tagLength_;
    while (left && ok()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof piece, left));
        if (!in.read(reinterpret_cast<char*>(piece), static_cast<std::streamsize>(n))) {
            setError(kInvalidTag);
            break;
        }
        process(piece, scratch, n, false);
        left -= n;
    }
    crypto::cleanse(scratch, sizeof scratch);
    uint8_t tag[16];
    if (!ok() || !in.read(reinterpret_cast<char*>(tag), static_cast<std::streamsize>(tagLength_))) {
        setError(kInvalidTag);
        return false;
    }
    return verifyTag(ByteView(tag, tagLength_));
}

void QKVPCCModel::PrintHex(const uint8_t* bytes, size_t length) {
    QKSDKLOG("%s", hextext::encode(ByteView(bytes, length), false).c_str());
}

}  // namespace telvo

#include "security/QKVPCCMCrypt.h"

#include <algorithm>

#include "platform/Crypto.h"
#include "security/QKVPCCModel.h"

namespace telvo {

QKVPCCMCrypt::QKVPCCMCrypt(ByteView key, ByteView iv, ByteView adata, int64_t tagLength)
    : tagLength_(tagLength),
      key_(key.begin(), key.end()),
      iv_(iv.begin(), iv.end()),
      adata_(adata.begin(), adata.end()) {}

QKVPCCMCrypt::~QKVPCCMCrypt() {
    crypto::cleanse(key_.data(), key_.size());
}

std::optional<Bytes> QKVPCCMCrypt::encryptDataWithData(ByteView plaintext) {
    if (tagLength_ < 0) return std::nullopt;
    QKVPCCModel model(key_, iv_, adata_, tagLength_, plaintext.size());
    if (!model.ok()) return std::nullopt;
    Bytes out(plaintext.size() + static_cast<size_t>(tagLength_));
    const size_t piece = static_cast<size_t>(bufferSize_);
    bytesLeft_ = static_cast<int64_t>(plaintext.size());
    for (size_t offset = 0; offset < plaintext.size(); offset += piece) {
        size_t n = std::min(piece, plaintext.size() - offset);
        if (!model.encryptBlock(plaintext.data() + offset, out.data() + offset, n))
            return std::nullopt;
        bytesLeft_ -= static_cast<int64_t>(n);
    }
    auto tag = model.getTag();
    if (!tag) return std::nullopt;
    std::copy(tag->begin(), tag->end(), out.begin() + static_cast<ptrdiff_t>(plaintext.size()));
    return out;
}

std::optional<Bytes> QKVPCCMCrypt::decryptDataWithData(ByteView sealed) {
    if (tagLength_ < 0 || sealed.size() < static_cast<size_t>(tagLength_)) return std::nullopt;
    const size_t length = sealed.size() - static_cast<size_t>(tagLength_);
    QKVPCCModel model(key_, iv_, adata_, tagLength_, length);
    if (!model.ok()) return std::nullopt;
    Bytes out(length);
    const size_t piece = static_cast<size_t>(bufferSize_);
    bytesLeft_ = static_cast<int64_t>(length);
    for (size_t offset = 0; offset < length; offset += piece) {
        size_t n = std::min(piece, length - offset);
        if (!model.decryptBlock(sealed.data() + offset, out.data() + offset, n)) {
            crypto::cleanse(out.data(), out.size());
            return std::nullopt;
        }
        bytesLeft_ -= static_cast<int64_t>(n);
    }
    if (!model.verifyTag(sealed.subspan(length))) {
        crypto::cleanse(out.data(), out.size());
        return std::nullopt;
    }
    return out;
}

}  // namespace telvo

#pragma once

#include <cstdint>
#include <optional>

#include "telvosdk/Bytes.h"

namespace telvo {

// AES-CCM (RFC 3610) over a whole message in memory: key (16, 24 or 32 bytes), nonce (7 to
// 13 bytes), associated data (below 65280 bytes, may be empty) and tag length (4, 6, ...,
// 16). The payload is processed in pieces of bufferSize bytes. One message at a time; runs on
// the caller's thread. Only the one-shot forms exist.
class QKVPCCMCrypt {
  public:
    QKVPCCMCrypt(ByteView key, ByteView iv, ByteView adata, int64_t tagLength);
    ~QKVPCCMCrypt();
    QKVPCCMCrypt(const QKVPCCMCrypt&) = delete;
    QKVPCCMCrypt& operator=(const QKVPCCMCrypt&) = delete;

    // ciphertext || tag (plaintext length + tagLength bytes); nothing on invalid parameters
    // or an engine error.
    std::optional<Bytes> encryptDataWithData(ByteView plaintext);
    // The plaintext of ciphertext || tag, only when the tag verifies; nothing when the input
    // is shorter than the tag, the tag does not match or the parameters are invalid.
    std::optional<Bytes> decryptDataWithData(ByteView sealed);

    int64_t tagLength() const { return tagLength_; }
    int64_t bufferSize() const { return bufferSize_; }
    int64_t blockSize() const { return blockSize_; }

  private:
    int64_t tagLength_;
    int64_t bufferSize_ = 16384;
    int64_t blockSize_ = 16;
    int64_t bytesLeft_ = 0;
    Bytes key_;
    Bytes iv_;
    Bytes adata_;
};

}  // namespace telvo

#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "security/QKVPCCModel.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

// AES-CCM (RFC 3610): key (16, 24 or 32 bytes), nonce (7 to 13 bytes), associated data
// (below 65280 bytes, may be empty) and tag length (4, 6, ..., 16). The payload is processed
// in pieces of bufferSize bytes. The one-shot forms run on the caller's thread; the
// asynchronous, stream and file forms copy the parameters, run on a new serial queue
// "com.vpccm.bgqueue" per call and call their blocks there, never before returning. Each of
// those calls ends with exactly one call of its finished block (file and data forms) or of its
// error block; a stream form's data block may run several times before.
class QKVPCCMCrypt {
  public:
    // Error domain of the error objects handed to the error blocks; their codes are
    // QKVPCCModel's.
    static constexpr const char* kErrorDomain = "com.qkvpccmcrypt.CryptError";

    using FinishedBlock = std::function<void(Bytes result)>;
    using DataBlock = std::function<void(Bytes piece)>;
    using DoneBlock = std::function<void()>;
    using ErrorBlock = std::function<void(ErrorPtr error)>;

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

    // The one-shot forms on the queue. Decrypting, input shorter than the tag gives
    // kCipherTextTooShort and a tag that does not verify kInvalidTag.
    void encryptDataWithData(ByteView plaintext, FinishedBlock finished, ErrorBlock error);
    void decryptDataWithData(ByteView sealed, FinishedBlock finished, ErrorBlock error);

    // A file read in pieces of bufferSize bytes, each processed piece handed to dataBlock; the
    // encrypting form hands the tag last. The decrypting form first checks the tag stored at
    // the end of the file (QKVPCCModel::kInvalidTag; a file shorter than the tag gives
    // kCipherTextTooShort) and hands out nothing when it fails. An unreadable file gives
    // kFileError. At most one piece is held at a time.
    void encryptStreamWithUrl(const std::filesystem::path& url, DataBlock dataBlock,
                              ErrorBlock error);
    void decryptStreamWithUrl(const std::filesystem::path& url, DataBlock dataBlock,
                              ErrorBlock error);
    // The stream forms writing every piece to destUrl (created or truncated once the input is
    // readable and, decrypting, its tag verified), then finished. On a failure after the
    // destination was opened, it is removed.
    void encryptFileToFileWithSourceURL(const std::filesystem::path& sourceUrl,
                                        const std::filesystem::path& destUrl, DoneBlock finished,
                                        ErrorBlock error);
    void decryptFileToFileWithSourceURL(const std::filesystem::path& sourceUrl,
                                        const std::filesystem::path& destUrl, DoneBlock finished,
                                        ErrorBlock error);

    // An error of kErrorDomain with the message as its description.
    static ErrorPtr createErrorObject(const std::string& message, int64_t errorNumber);

    int64_t tagLength() const { return tagLength_; }
    int64_t bufferSize() const { return bufferSize_; }
    int64_t blockSize() const { return blockSize_; }
    int64_t bytesLeft() const { return bytesLeft_; }
    ByteView key() const { return {bytes(), keySize_}; }
    ByteView iv() const { return {bytes() + keySize_, ivSize_}; }
    ByteView adata() const { return {bytes() + keySize_ + ivSize_, adataSize_}; }

  private:
    const uint8_t* bytes() const { return heap_ ? heap_.get() : inline_; }

    int64_t tagLength_;
    int64_t bufferSize_ = 16384;
    int64_t blockSize_ = 16;
    int64_t bytesLeft_ = 0;
    // Key, nonce and associated data one after the other: in the object when they fit, as
    // those of a LAN or BLE message do, else in one block of the heap.
    static constexpr size_t kInlineBytes = 96;
    static constexpr size_t kShortKey = 32;
    size_t keySize_, ivSize_, adataSize_;
    std::unique_ptr<uint8_t[]> heap_;
    uint8_t inline_[kInlineBytes];
};

}  // namespace telvo

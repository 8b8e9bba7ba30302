#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/crypto/Crypto.h"
#include "telvosdk/Bytes.h"

namespace telvo {

// The AES-CCM block machine for one message (RFC 3610): B0 and associated-data formatting,
// the CBC-MAC, the counter-mode keystream and the tag. Used by QKVPCCMCrypt; one message per
// object, one thread at a time.
//
// Parameters: key of 16, 24 or 32 bytes (AES-128/192/256); nonce of 7 to 13 bytes; tag
// length 4, 6, ..., 16; associated data below 65280 bytes; a payload length that the
// L = 15 - nonce length bytes of B0 can express. Anything else leaves the model in error and
// every later step refuses. The model copies what it needs: the inputs may go away after the
// constructor.
class QKVPCCModel {
  public:
    // Error codes; the first error met is kept. kFileError is the file forms' of QKVPCCMCrypt.
    enum : int64_t {
        kInvalidTag = 1,
        kCipherTextTooShort = 2,
        kInvalidAdataLength = 3,
        kAesEncryptionError = 4,
        kInvalidParameters = 5,
        kFileError = 6,
    };
    static constexpr size_t kMaxAdataLength = 65279;

    // Formats B0 and the associated data and runs the CBC-MAC over them; computes S0.
    QKVPCCModel(ByteView key, ByteView iv, ByteView adata, int64_t tagLength, uint64_t fileSize);
    // The error a model made with these parameters would be in from the start (0: none), without
    // making one.
    static int64_t check(size_t keyLength, size_t ivLength, size_t adataLength, int64_t tagLength,
                         uint64_t fileSize) {
        const bool validTag = tagLength >= 4 && tagLength <= 16 && tagLength % 2 == 0;
        if (!validTag || ivLength < 7 || ivLength > 13) return kInvalidParameters;
        const size_t L = 15 - ivLength;  // 2..8 bytes of length field
        if (L < 8 && (fileSize >> (8 * L)) != 0) return kInvalidParameters;
        if (adataLength > kMaxAdataLength) return kInvalidAdataLength;
        if (keyLength != 16 && keyLength != 24 && keyLength != 32) return kAesEncryptionError;
        return 0;
    }
    static const char* messageFor(int64_t errorNumber);
    ~QKVPCCModel();
    QKVPCCModel(const QKVPCCModel&) = delete;
    QKVPCCModel& operator=(const QKVPCCModel&) = delete;

    // One piece of the payload, in order; every piece but the last must be a whole number of
    // blocks, and the pieces together must be fileSize bytes. out receives length bytes and
    // may be in itself. false (and the model in error) otherwise.
    bool encryptBlock(const uint8_t* in, uint8_t* out, size_t length);
    // The same for ciphertext; the CBC-MAC runs over the recovered plaintext. exitNext, when
    // given, receives exitNext() after the piece.
    bool decryptBlock(const uint8_t* in, uint8_t* out, size_t length, int64_t* exitNext = nullptr);

    // The first M bytes of Y xor S0, once the whole payload went through; nothing otherwise.
    std::optional<Bytes> getTag();
    // Compares a received tag with getTag() in constant time; a mismatch sets kInvalidTag.
    bool verifyTag(ByteView tag);
    // For a fresh model whose fileSize is the ciphertext length: runs the CBC-MAC over the
    // deciphered ciphertext of sealed (ciphertext || tag) without handing out plaintext, then
    // verifyTag with its last tagLength bytes.
    bool verifyTagWithData(ByteView sealed);
    // The same over a file holding ciphertext || tag, read in pieces of 16384 bytes. An
    // unreadable or short file is a failure (kInvalidTag).
    bool verifyTagWithFileURL(const std::filesystem::path& file);

    // -1 before the first payload piece, 0 after it, 1 once a partial block or the last full
    // block went through.
    int64_t exitNext() const { return exitNext_; }
    int64_t tagLength() const { return static_cast<int64_t>(tagLength_); }
    int64_t blockSize() const { return 16; }
    int64_t ivSize() const { return static_cast<int64_t>(ivSize_); }
    int64_t adataSize() const { return adataSize_; }
    int64_t bytesLeft() const { return static_cast<int64_t>(bytesLeft_); }
    int64_t fileSize() const { return static_cast<int64_t>(fileSize_); }

    // Writes length bytes as hex to the library's log, one line.
    static void PrintHex(const uint8_t* bytes, size_t length);

    bool ok() const { return errorNumber_ == 0; }
    int64_t errorNumber() const { return errorNumber_; }
    const std::string& errorMessage() const { return errorMessage_; }

  private:
    bool process(const uint8_t* in, uint8_t* out, size_t length, bool encrypting);
    // CBC-MAC over whole blocks.
    void macBlocks(const uint8_t* blocks, size_t count);
    // CBC-MAC over payload bytes; a last partial block enters zero-padded.
    void macPayload(const uint8_t* bytes, size_t length);
    void setError(int64_t number);

    std::optional<crypto::AesBlockCipher> cipher_;
    size_t tagLength_ = 0;
    size_t ivSize_ = 0;
    uint64_t bytesLeft_ = 0;
    uint64_t fileSize_ = 0;
    int64_t adataSize_ = 0;
    int64_t exitNext_ = -1;
    uint64_t counter_ = 0;  // index i of the last counter block A_i used
    bool partialSeen_ = false;
    bool s0Ready_ = false;
    std::array<uint8_t, 16> ctr_{};  // A_0 with the nonce; the counter field is rewritten per block
    std::array<uint8_t, 16> Y_{};
    std::array<uint8_t, 16> S0_{};
    int64_t errorNumber_ = 0;
    std::string errorMessage_;
};

}  // namespace telvo

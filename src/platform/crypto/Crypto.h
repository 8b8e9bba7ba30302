#pragma once

// The platform's symmetric crypto services (digests, HMAC, PBKDF2, AES, base64) on OpenSSL 3.
//
// Every one-shot function reads byte spans and either returns the whole result or nothing:
// never a partial output. Every function may run on any thread. An AesBlockCipher object
// serves one thread at a time.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "telvosdk/Bytes.h"

struct evp_cipher_ctx_st;

namespace telvo::crypto {

enum class DigestAlgorithm { MD5, SHA1, SHA224, SHA256, SHA384, SHA512 };

// 16, 20, 28, 32, 48 or 64.
size_t digestLength(DigestAlgorithm algorithm);

// The digest of data; empty only when the platform call fails.
Bytes digest(DigestAlgorithm algorithm, ByteView data);
// HMAC of data under key (any length, empty included); empty only on a platform failure.
Bytes hmac(DigestAlgorithm algorithm, ByteView key, ByteView data);
// PBKDF2 with HMAC over the given digest; length bytes, or empty when rounds or length is 0
// or the platform call fails.
Bytes pbkdf2(DigestAlgorithm prf, ByteView password, ByteView salt, uint32_t rounds, size_t length);

// Compares in time that depends on the lengths only. Unequal lengths compare unequal.
bool constantTimeEquals(ByteView a, ByteView b);

// Overwrites the bytes with zeros in a way the compiler keeps.
inline void cleanse(void* bytes, size_t count) {
    if (!bytes || !count) return;
    std::memset(bytes, 0, count);
    // The zeros count as read by what follows, so the compiler keeps them.
    asm volatile("" : : "r"(bytes) : "memory");
}
// Key material and passwords at the end of their session: cleansed in place, then emptied (an
// optional one becomes nullopt).
void wipe(Bytes& bytes);
void wipe(std::string& text);
void wipe(std::optional<Bytes>& bytes);
void wipe(std::optional<std::string>& text);

// AES with a 16-, 24- or 32-byte key (AES-128, -192, -256).
enum class AesMode { ECB, CBC };
enum class AesPadding { None, PKCS7 };
constexpr size_t kAesBlockSize = 16;

// One CCCrypt-style call. CBC needs a 16-byte IV; ECB ignores iv. Without padding the input
// must be a whole number of blocks. Nothing on a bad key or IV length, a misaligned input or
// a bad padding at decryption.
std::optional<Bytes> aesEncrypt(AesMode mode, AesPadding padding, ByteView key, ByteView iv,
                                ByteView input);
std::optional<Bytes> aesDecrypt(AesMode mode, AesPadding padding, ByteView key, ByteView iv,
                                ByteView input);

// The raw AES block function with its key expanded once: encryption of whole 16-byte blocks,
// independently of each other (ECB, no padding). For block-mode engines built on top of it.
class AesBlockCipher {
  public:
    // Nothing when the key is not 16, 24 or 32 bytes long or the platform refuses it.
    static std::optional<AesBlockCipher> create(ByteView key);

    AesBlockCipher(AesBlockCipher&&) noexcept;
    AesBlockCipher& operator=(AesBlockCipher&&) noexcept;
    ~AesBlockCipher();

    // Encrypts blocks * 16 bytes from in to out; in and out may be the same buffer or must
    // not overlap otherwise. false when the platform call fails.
    bool encryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks);
    bool encryptBlock(const uint8_t* in, uint8_t* out) { return encryptBlocks(in, out, 1); }

    // Chained encryption for a CBC-MAC: for each block in turn, state = E(K, state xor block).
    // The state is zero when the object is made and carries over from call to call; the new
    // state is written to state (16 bytes). A long run of blocks costs one platform call (the
    // platform's CBC mode), not one call per block.
    bool chainBlocks(const uint8_t* in, size_t blocks, uint8_t* state);

    size_t keyLength() const { return keyLength_; }

  private:
    AesBlockCipher(evp_cipher_ctx_st* ecb, evp_cipher_ctx_st* chain, size_t keyLength);
    void release();

    // Owned. Contexts are recycled for later objects of the same thread (re-keyed before
    // use), which is why they are not held by unique_ptr.
    evp_cipher_ctx_st* ctx_ = nullptr;    // ECB
    evp_cipher_ctx_st* chain_ = nullptr;  // CBC from a zero IV
    size_t keyLength_ = 0;
};

// AES-CCM (RFC 3610) of one whole message in one pass, the platform's own CCM: key of 16, 24
// or 32 bytes, nonce of 7 to 13 bytes, tag of 4, 6, ..., 16 bytes, associated data and a
// payload the length field of the nonce's size can express, each below 2^31 bytes. Sealing,
// out receives ciphertext || tag; opening (input ciphertext || tag), the plaintext, only when
// the tag verifies. false on any failure, with out empty. A thread keeps one context per key
// length, with the schedule of the key it last used until its next message or its end.
bool aesCcm(bool seal, ByteView key, ByteView nonce, ByteView associatedData, size_t tagLength,
            ByteView input, Bytes& out);
// The same into out, which has room for the output (input plus tag, or input less tag): false
// when it has not or the run fails, with those bytes of out wiped. input may be out itself
// (sealed or opened in place), never overlap it otherwise.
bool aesCcm(bool seal, ByteView key, ByteView nonce, ByteView associatedData, size_t tagLength,
            ByteView input, std::span<uint8_t> out);

// Base64 (RFC 4648 alphabet, "=" padding) with the platform's options.
struct Base64EncodingOptions {
    // 0: one line; else 64 or 76 characters a line (any positive value works).
    size_t lineLength = 0;
    // Written between lines, never after the last one.
    std::string_view lineEnding = "\r\n";
};
std::string base64Encode(ByteView data, const Base64EncodingOptions& options = {});

// Decodes padded base64. With ignoreUnknownCharacters, every character outside the alphabet
// and "=" (line breaks included) is skipped first; otherwise any such character fails.
// Nothing when the remaining text is not a whole number of 4-character groups or "=" appears
// other than as the last one or two characters.
std::optional<Bytes> base64Decode(std::string_view text, bool ignoreUnknownCharacters);

}  // namespace telvo::crypto

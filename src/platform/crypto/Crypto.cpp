#include "platform/crypto/Crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/crypto/OpenSSLLibrary.h"
#include "platform/crypto/OpenSSLPtr.h"

namespace telvo::crypto {
namespace {

// Algorithms are fetched once: an implicit fetch on every call costs a lock and a lookup.
const EVP_MD* fetchedDigest(DigestAlgorithm algorithm) {
    static const EvpMdPtr digests[] = {
        EvpMdPtr(EVP_MD_fetch(nullptr, "MD5", nullptr)),
        EvpMdPtr(EVP_MD_fetch(nullptr, "SHA1", nullptr)),
        EvpMdPtr(EVP_MD_fetch(nullptr, "SHA224", nullptr)),
        EvpMdPtr(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
        EvpMdPtr(EVP_MD_fetch(nullptr, "SHA384", nullptr)),
        EvpMdPtr(EVP_MD_fetch(nullptr, "SHA512", nullptr)),
    };
    return digests[static_cast<size_t>(algorithm)].get();
}

const EVP_CIPHER* fetchedAes(AesMode mode, size_t keyLength) {
    static const EvpCipherPtr ciphers[2][3] = {
        {EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr)),
         EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-192-ECB", nullptr)),
         EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr))},
        {EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr)),
         EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr)),
         EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr))},
    };
    size_t index;
    switch (keyLength) {
        case 16:
            index = 0;
            break;
        case 24:
            index = 1;
            break;
        case 32:
            index = 2;
            break;
        default:
            return nullptr;
    }
    return ciphers[mode == AesMode::CBC ? 1 : 0][index].get();
}

size_t keyIndex(size_t keyLength) {
    return keyLength == 16 ? 0 : keyLength == 24 ? 1 : 2;
}

// A cipher context this thread keeps for its next call of the same kind, with the key and the
// settings (lengths, padding) it was set up with: a call with the same ones skips the key
// expansion. The key stays in memory until the next call of the kind or the thread's end.
struct KeptContext {
    EVP_CIPHER_CTX* ctx = nullptr;
    uint8_t key[32] = {};
    size_t keyLength = 0;
    uint64_t settings = 0;
    bool keyed = false;

    bool matches(ByteView k, uint64_t s) const {
        return keyed && settings == s && keyLength == k.size() && holds(k);
    }
    // Whether k (of keyLength bytes: 16, 24 or 32) is the key kept, in time that depends on the
    // length only.
    bool holds(ByteView k) const {
        auto differs = [&](size_t at) {
            uint64_t kept, given;
            std::memcpy(&kept, key + at, 8);
            std::memcpy(&given, k.data() + at, 8);
            return kept ^ given;
        };
        uint64_t difference = differs(0) | differs(8);
        if (keyLength > 16) difference |= differs(16);
        if (keyLength > 24) difference |= differs(24);
        return difference == 0;
    }
    void remember(ByteView k, uint64_t s) {
        std::memcpy(key, k.data(), k.size());
        keyLength = k.size();
        settings = s;
        keyed = true;
    }
    void drop() {
        EVP_CIPHER_CTX_free(std::exchange(ctx, nullptr));
        cleanse(key, sizeof key);
        keyed = false;
    }
};

struct KeptContexts {
    KeptContext ccm[2][3];       // by direction (sealing) and key length
    KeptContext block[2][2][3];  // by direction (encrypting), mode and key length
    ~KeptContexts() {
        alive = false;
        for (auto& byDirection : ccm)
            for (auto& kept : byDirection) kept.drop();
        for (auto& byDirection : block)
            for (auto& byMode : byDirection)
                for (auto& kept : byMode) kept.drop();
    }
    static thread_local bool alive;
};
thread_local bool KeptContexts::alive = true;
thread_local KeptContexts keptContexts;

// Runs use with the thread's kept context of the kind (a fresh one once the thread's contexts
// are gone, in its last static destructors). use returns whether it succeeded and leaves the
// context remembered; a context that failed midway starts afresh next time.
template <class Use>
[[gnu::always_inline]] inline bool withKeptContext(KeptContext& kept, Use use) {
    if (KeptContexts::alive) {
        const bool done = use(kept);
        if (!done) kept.drop();
        return done;
    }
    KeptContext own;
    const bool done = use(own);
    own.drop();
    return done;
}

// OpenSSL reads no byte through a pointer with a zero length, but some calls treat a null
// pointer as "keep the previous value".
const uint8_t* nonNull(ByteView bytes) {
    static const uint8_t empty = 0;
    return bytes.empty() ? &empty : bytes.data();
}

std::optional<Bytes> aesCrypt(bool encrypt, AesMode mode, AesPadding padding, ByteView key,
                              ByteView iv, ByteView input) {
    const EVP_CIPHER* cipher = fetchedAes(mode, key.size());
    if (!cipher) return std::nullopt;
    if (mode == AesMode::CBC && iv.size() != kAesBlockSize) return std::nullopt;
    if (input.size() > static_cast<size_t>(INT_MAX) - 2 * kAesBlockSize) return std::nullopt;
    const uint8_t* ivBytes = mode == AesMode::CBC ? iv.data() : nullptr;
    const uint64_t settings = padding == AesPadding::PKCS7 ? 1 : 0;
    Bytes out(input.size() + kAesBlockSize);
    int moved = 0, last = 0;
    auto& kept = keptContexts.block[encrypt][mode == AesMode::CBC][keyIndex(key.size())];
    const bool ok = withKeptContext(kept, [&](KeptContext& c) {
        const bool same = c.matches(key, settings);
        c.keyed = false;
        if (!c.ctx && !(c.ctx = EVP_CIPHER_CTX_new())) return false;
        if (same) {
            // The same key: a new IV and the state of a fresh message.
            if (EVP_CipherInit_ex2(c.ctx, nullptr, nullptr, ivBytes, encrypt ? 1 : 0, nullptr) != 1)
                return false;
        } else if (EVP_CipherInit_ex2(c.ctx, cipher, key.data(), ivBytes, encrypt ? 1 : 0,
                                      nullptr) != 1 ||
                   EVP_CIPHER_CTX_set_padding(c.ctx, int(settings)) != 1) {
            return false;
        }
        if (EVP_CipherUpdate(c.ctx, out.data(), &moved, nonNull(input),
                             static_cast<int>(input.size())) != 1 ||
            EVP_CipherFinal_ex(c.ctx, out.data() + moved, &last) != 1)
            return false;
        c.remember(key, settings);
        return true;
    });
    if (!ok) {
        cleanse(out.data(), out.size());
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(moved) + static_cast<size_t>(last));
    return out;
}

bool isBase64Alphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

size_t digestLength(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::MD5:
            return 16;
        case DigestAlgorithm::SHA1:
            return 20;
        case DigestAlgorithm::SHA224:
            return 28;
        case DigestAlgorithm::SHA256:
            return 32;
        case DigestAlgorithm::SHA384:
            return 48;
        case DigestAlgorithm::SHA512:
            return 64;
    }
    return 0;
}

Bytes digest(DigestAlgorithm algorithm, ByteView data) {
    const EVP_MD* md = fetchedDigest(algorithm);
    if (!md) return {};
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(nonNull(data), data.size(), out.data(), &length, md, nullptr) != 1) return {};
    out.resize(length);
    return out;
}

Bytes hmac(DigestAlgorithm algorithm, ByteView key, ByteView data) {
    const EVP_MD* md = fetchedDigest(algorithm);
    if (!md || key.size() > static_cast<size_t>(INT_MAX)) return {};
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (!HMAC(md, nonNull(key), static_cast<int>(key.size()), nonNull(data), data.size(),
              out.data(), &length))
        return {};
    out.resize(length);
    return out;
}

Bytes pbkdf2(DigestAlgorithm prf, ByteView password, ByteView salt, uint32_t rounds,
             size_t length) {
    const EVP_MD* md = fetchedDigest(prf);
    constexpr size_t kIntMax = static_cast<size_t>(INT_MAX);
    if (!md || rounds == 0 || length == 0 || rounds > kIntMax || length > kIntMax ||
        password.size() > kIntMax || salt.size() > kIntMax)
        return {};
    Bytes out(length);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(nonNull(password)),
                          static_cast<int>(password.size()), nonNull(salt),
                          static_cast<int>(salt.size()), static_cast<int>(rounds), md,
                          static_cast<int>(length), out.data()) != 1) {
        cleanse(out.data(), out.size());
        return {};
    }
    return out;
}

bool constantTimeEquals(ByteView a, ByteView b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void wipe(Bytes& bytes) {
    cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

void wipe(std::string& text) {
    cleanse(text.data(), text.size());
    text.clear();
}

void wipe(std::optional<Bytes>& bytes) {
    if (bytes) wipe(*bytes);
    bytes.reset();
}

void wipe(std::optional<std::string>& text) {
    if (text) wipe(*text);
    text.reset();
}

std::optional<Bytes> aesEncrypt(AesMode mode, AesPadding padding, ByteView key, ByteView iv,
                                ByteView input) {
    return aesCrypt(true, mode, padding, key, iv, input);
}

std::optional<Bytes> aesDecrypt(AesMode mode, AesPadding padding, ByteView key, ByteView iv,
                                ByteView input) {
    return aesCrypt(false, mode, padding, key, iv, input);
}

namespace {

// Spare cipher contexts of this thread, by mode and key length. Making a context and its
// provider state costs about as much as sealing a short message, so contexts of objects that
// go away are kept for the next object on the same thread. A spare is re-keyed before any
// use, but keeps the schedule of its last key in memory until then or until the thread ends.
struct SpareContexts {
    static constexpr size_t kPerKind = 4;
    std::vector<EVP_CIPHER_CTX*> spares[2][3];
    ~SpareContexts() {
        alive = false;
        for (auto& byMode : spares)
            for (auto& list : byMode)
                for (EVP_CIPHER_CTX* ctx : list) EVP_CIPHER_CTX_free(ctx);
    }
    static thread_local bool alive;
};
thread_local bool SpareContexts::alive = true;
thread_local SpareContexts spareContexts;

// A context of the given kind keyed with key (and a zero IV for CBC), or null.
EVP_CIPHER_CTX* keyedContext(AesMode mode, ByteView key) {
    static const uint8_t zeroIv[kAesBlockSize] = {};
    const uint8_t* iv = mode == AesMode::CBC ? zeroIv : nullptr;
    if (SpareContexts::alive) {
        auto& list = spareContexts.spares[mode == AesMode::CBC][keyIndex(key.size())];
        if (!list.empty()) {
            EVP_CIPHER_CTX* ctx = list.back();
            list.pop_back();
            if (EVP_EncryptInit_ex2(ctx, nullptr, key.data(), iv, nullptr) == 1) return ctx;
            EVP_CIPHER_CTX_free(ctx);
            return nullptr;
        }
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx && EVP_EncryptInit_ex2(ctx, fetchedAes(mode, key.size()), key.data(), iv, nullptr) == 1)
        return ctx;
    EVP_CIPHER_CTX_free(ctx);
    return nullptr;
}

void retire(AesMode mode, size_t keyLength, EVP_CIPHER_CTX* ctx) {
    if (!ctx) return;
    if (SpareContexts::alive) {
        auto& list = spareContexts.spares[mode == AesMode::CBC][keyIndex(keyLength)];
        if (list.size() < SpareContexts::kPerKind) {
            list.push_back(ctx);
            return;
        }
    }
    EVP_CIPHER_CTX_free(ctx);
}

}  // namespace

AesBlockCipher::AesBlockCipher(EVP_CIPHER_CTX* ecb, EVP_CIPHER_CTX* chain, size_t keyLength)
    : ctx_(ecb), chain_(chain), keyLength_(keyLength) {}

AesBlockCipher::AesBlockCipher(AesBlockCipher&& other) noexcept
    : ctx_(std::exchange(other.ctx_, nullptr)),
      chain_(std::exchange(other.chain_, nullptr)),
      keyLength_(other.keyLength_) {}

AesBlockCipher& AesBlockCipher::operator=(AesBlockCipher&& other) noexcept {
    if (this != &other) {
        release();
        ctx_ = std::exchange(other.ctx_, nullptr);
        chain_ = std::exchange(other.chain_, nullptr);
        keyLength_ = other.keyLength_;
    }
    return *this;
}

AesBlockCipher::~AesBlockCipher() {
    release();
}

void AesBlockCipher::release() {
    retire(AesMode::ECB, keyLength_, std::exchange(ctx_, nullptr));
    retire(AesMode::CBC, keyLength_, std::exchange(chain_, nullptr));
}

std::optional<AesBlockCipher> AesBlockCipher::create(ByteView key) {
    if (!fetchedAes(AesMode::ECB, key.size()) || !fetchedAes(AesMode::CBC, key.size()))
        return std::nullopt;
    // Only whole blocks ever go through Update and Final is never called: the padding
    // setting does not matter.
    AesBlockCipher cipher(keyedContext(AesMode::ECB, key), nullptr, key.size());
    if (!cipher.ctx_) return std::nullopt;
    cipher.chain_ = keyedContext(AesMode::CBC, key);
    if (!cipher.chain_) return std::nullopt;
    return cipher;
}

bool AesBlockCipher::encryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks) {
    if (!ctx_) return false;
    while (blocks) {
        // Whole blocks only: the context never holds a partial block between calls.
        size_t now = std::min<size_t>(blocks, (INT_MAX / kAesBlockSize) & ~size_t{0xff});
        int moved = 0;
        int length = static_cast<int>(now * kAesBlockSize);
        if (EVP_EncryptUpdate(ctx_, out, &moved, in, length) != 1 || moved != length) return false;
        in += length;
        out += length;
        blocks -= now;
    }
    return true;
}

bool AesBlockCipher::chainBlocks(const uint8_t* in, size_t blocks, uint8_t* state) {
    if (!chain_) return false;
    if (blocks == 0) return true;
    // The CBC output is a by-product; only its last block (the new state) is kept.
    constexpr size_t kScratchBlocks = 128;
    alignas(16) uint8_t scratch[kScratchBlocks * kAesBlockSize];
    while (blocks) {
        size_t now = std::min(blocks, kScratchBlocks);
        int length = static_cast<int>(now * kAesBlockSize), moved = 0;
        if (EVP_EncryptUpdate(chain_, scratch, &moved, in, length) != 1 || moved != length)
            return false;
        in += length;
        blocks -= now;
        if (!blocks) std::memcpy(state, scratch + length - kAesBlockSize, kAesBlockSize);
    }
    return true;
}

namespace {

const EVP_CIPHER* fetchedCcm(size_t keyLength) {
    static const EvpCipherPtr ciphers[3] = {
        EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr)),
        EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-192-CCM", nullptr)),
        EvpCipherPtr(EVP_CIPHER_fetch(nullptr, "AES-256-CCM", nullptr))};
    return keyLength == 16 || keyLength == 24 || keyLength == 32
               ? ciphers[keyIndex(keyLength)].get()
               : nullptr;
}

// The contexts are kept by direction: a context keyed for sealing does not open. A context set
// up for the same key length, nonce and tag lengths takes a new key alone, and under the key it
// holds a new nonce alone (and, opening, the tag): the cipher, the lengths and, sealing, the
// tag's length stay in the context.
bool runCcm(KeptContext& kept, bool seal, ByteView key, ByteView nonce, ByteView ad,
            size_t tagLength, ByteView input, uint8_t* out) {
    const size_t length = seal ? input.size() : input.size() - tagLength;
    const uint64_t settings = uint64_t(nonce.size()) << 8 | tagLength;
    const bool sameSettings =
        kept.keyed && kept.settings == settings && kept.keyLength == key.size();
    const bool sameKey = sameSettings && kept.holds(key);
    kept.keyed = false;
    if (!kept.ctx && !(kept.ctx = EVP_CIPHER_CTX_new())) return false;
    EVP_CIPHER_CTX* ctx = kept.ctx;
    uint8_t* tag = seal ? nullptr : const_cast<uint8_t*>(input.data() + length);
    // The payload step needs an output pointer even for no bytes: without one it would count
    // as associated data, and an empty message's tag would go unchecked.
    static const uint8_t none = 0;
    uint8_t nowhere = 0;
    uint8_t* payloadOut = length ? out : &nowhere;
    int n = 0;
    if (sameSettings) {
        // Opening, the tag goes in after the direction that governs it.
        OSSL_PARAM expected[] = {
            OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, tagLength), OSSL_PARAM_END};
        if (EVP_CipherInit_ex2(ctx, nullptr, sameKey ? nullptr : key.data(), nonce.data(), seal,
                               nullptr) != 1 ||
            (!seal && EVP_CIPHER_CTX_set_params(ctx, expected) != 1))
            return false;
    } else if (const EVP_CIPHER* cipher = fetchedCcm(key.size());
               !cipher || EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, seal, nullptr) != 1 ||
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, int(nonce.size()), nullptr) != 1 ||
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, int(tagLength), tag) != 1 ||
               EVP_CipherInit_ex2(ctx, nullptr, key.data(), nonce.data(), seal, nullptr) != 1) {
        return false;
    }
    auto update = seal ? EVP_EncryptUpdate : EVP_DecryptUpdate;
    if (update(ctx, nullptr, &n, nullptr, int(length)) != 1) return false;
    if (!ad.empty() && update(ctx, nullptr, &n, ad.data(), int(ad.size())) != 1) return false;
    if (update(ctx, payloadOut, &n, length ? input.data() : &none, int(length)) != 1) return false;
    if (seal) {
        OSSL_PARAM sealedTag[] = {
            OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, out + length, tagLength),
            OSSL_PARAM_END};
        if (EVP_CipherFinal_ex(ctx, out + length, &n) != 1 ||
            EVP_CIPHER_CTX_get_params(ctx, sealedTag) != 1)
            return false;
    }
    if (sameKey)
        kept.keyed = true;
    else
        kept.remember(key, settings);
    return true;
}

}  // namespace

namespace {

// The output length of a CCM run the engine takes, or nothing.
std::optional<size_t> ccmOutputLength(bool seal, ByteView key, ByteView nonce,
                                      ByteView associatedData, size_t tagLength, ByteView input) {
    constexpr size_t kIntMax = static_cast<size_t>(INT_MAX);
    // The cipher itself is fetched when a context is set up.
    const size_t keyLength = key.size();
    if ((keyLength != 16 && keyLength != 24 && keyLength != 32) || nonce.size() < 7 ||
        nonce.size() > 13 || tagLength < 4 || tagLength > 16 || tagLength % 2 != 0 ||
        associatedData.size() >= kIntMax || input.size() >= kIntMax - tagLength ||
        (!seal && input.size() < tagLength))
        return std::nullopt;
    const size_t length = seal ? input.size() : input.size() - tagLength;
    const size_t lengthBytes = 15 - nonce.size();
    if (lengthBytes < 8 && (uint64_t(length) >> (8 * lengthBytes)) != 0) return std::nullopt;
    return seal ? length + tagLength : length;
}

}  // namespace

namespace {

// A run whose parameters were checked, into length bytes of out (wiped on failure).
[[gnu::always_inline]] inline bool checkedCcm(bool seal, ByteView key, ByteView nonce,
                                              ByteView associatedData, size_t tagLength,
                                              ByteView input, uint8_t* out, size_t length) {
    const bool done =
        withKeptContext(keptContexts.ccm[seal][keyIndex(key.size())], [&](KeptContext& c) {
            return runCcm(c, seal, key, nonce, associatedData, tagLength, input, out);
        });
    if (!done) cleanse(out, length);
    return done;
}

}  // namespace

bool aesCcm(bool seal, ByteView key, ByteView nonce, ByteView associatedData, size_t tagLength,
            ByteView input, std::span<uint8_t> out) {
    const auto length = ccmOutputLength(seal, key, nonce, associatedData, tagLength, input);
    if (!length || out.size() < *length) return false;
    return checkedCcm(seal, key, nonce, associatedData, tagLength, input, out.data(), *length);
}

bool aesCcm(bool seal, ByteView key, ByteView nonce, ByteView associatedData, size_t tagLength,
            ByteView input, Bytes& out) {
    out.clear();
    const auto length = ccmOutputLength(seal, key, nonce, associatedData, tagLength, input);
    if (!length) return false;
    out.resize(*length);
    const bool done =
        checkedCcm(seal, key, nonce, associatedData, tagLength, input, out.data(), *length);
    if (!done) out.clear();
    return done;
}

std::string base64Encode(ByteView data, const Base64EncodingOptions& options) {
    std::string plain;
    size_t encodedLength = 4 * ((data.size() + 2) / 3);
    plain.resize(encodedLength + 1);
    // EVP_EncodeBlock takes an int count: encode in pieces of whole 3-byte groups.
    constexpr size_t kChunk = 3 * (1u << 20);
    size_t written = 0;
    for (size_t offset = 0; offset < data.size(); offset += kChunk) {
        size_t n = std::min(kChunk, data.size() - offset);
        written += static_cast<size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(plain.data() + written),
                            data.data() + offset, static_cast<int>(n)));
    }
    plain.resize(written);
    if (options.lineLength == 0 || plain.size() <= options.lineLength) return plain;

    std::string lines;
    lines.reserve(plain.size() + (plain.size() / options.lineLength) * options.lineEnding.size());
    for (size_t offset = 0; offset < plain.size(); offset += options.lineLength) {
        if (offset) lines.append(options.lineEnding);
        lines.append(plain, offset, options.lineLength);
    }
    return lines;
}

std::optional<Bytes> base64Decode(std::string_view text, bool ignoreUnknownCharacters) {
    std::string groups;
    groups.reserve(text.size());
    size_t padding = 0;
    for (unsigned char c : text) {
        if (c == '=') {
            ++padding;
            groups.push_back('A');  // decodes to zero bits; the padded bytes are dropped below
        } else if (isBase64Alphabet(c)) {
            if (padding) return std::nullopt;  // "=" only at the very end
            groups.push_back(static_cast<char>(c));
        } else if (!ignoreUnknownCharacters) {
            return std::nullopt;
        }
    }
    if (groups.size() % 4 != 0 || padding > 2) return std::nullopt;
    Bytes out;
    out.resize(groups.size() / 4 * 3);
    constexpr size_t kChunk = 4 * (1u << 20);
    size_t written = 0;
    for (size_t offset = 0; offset < groups.size(); offset += kChunk) {
        size_t n = std::min(kChunk, groups.size() - offset);
        int moved = EVP_DecodeBlock(out.data() + written,
                                    reinterpret_cast<const unsigned char*>(groups.data() + offset),
                                    static_cast<int>(n));
        if (moved < 0) return std::nullopt;
        written += static_cast<size_t>(moved);
    }
    out.resize(written - padding);
    return out;
}

}  // namespace telvo::crypto

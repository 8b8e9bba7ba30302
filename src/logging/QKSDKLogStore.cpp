#include "logging/QKSDKLogStore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/crypto/Crypto.h"

namespace telvo {

namespace {

constexpr uint8_t kHeaderStart = 0x0F;
constexpr uint8_t kHeaderEnd = 0x0E;
constexpr uint8_t kSectionStart = 0x01;
constexpr uint8_t kSectionEnd = 0x00;
constexpr size_t kBlock = 16;
constexpr size_t kMaxHeader = 1024;

bool isDayName(const std::string& name) {
    if (name.size() != 10) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        bool dash = i == 4 || i == 7;
        if (dash ? name[i] != '-' : (name[i] < '0' || name[i] > '9')) return false;
    }
    return true;
}

bool initDeflate(z_stream& strm) {
    std::memset(&strm, 0, sizeof strm);
    // windowBits 15 + 16: a gzip wrapper around the deflate stream.
    return deflateInit2_(&strm, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY,
                         ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) == Z_OK;
}

// Runs deflate over input with the given flush mode, appending all output.
bool deflateInto(z_stream& strm, std::string_view input, int flush, Bytes& out) {
    strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    strm.avail_in = static_cast<uInt>(input.size());
    uint8_t chunk[4096];
    for (;;) {
        strm.next_out = chunk;
        strm.avail_out = sizeof chunk;
        int rc = deflate(&strm, flush);
        if (rc == Z_STREAM_ERROR) return false;
        out.insert(out.end(), chunk, chunk + (sizeof chunk - strm.avail_out));
        if (flush == Z_FINISH ? rc == Z_STREAM_END : strm.avail_out != 0) return true;
        if (rc == Z_BUF_ERROR && strm.avail_in == 0 && flush != Z_FINISH) return true;
    }
}

void padPkcs7(Bytes& data) {
    const size_t pad = kBlock - data.size() % kBlock;
    data.insert(data.end(), pad, static_cast<uint8_t>(pad));
}

void putBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t getBE32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Inflates a gzip stream as far as it goes, at most limit bytes; a cut or damaged tail ends the
// output there.
std::string inflatePrefix(ByteView data, size_t limit) {
    z_stream strm;
    std::memset(&strm, 0, sizeof strm);
    if (inflateInit2_(&strm, 15 + 16, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK)
        return {};
    strm.next_in = const_cast<Bytef*>(data.data());
    strm.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char chunk[4096];
    for (;;) {
        strm.next_out = reinterpret_cast<Bytef*>(chunk);
        strm.avail_out = sizeof chunk;
        int rc = inflate(&strm, Z_SYNC_FLUSH);
        out.append(chunk, std::min(sizeof chunk - strm.avail_out, limit - out.size()));
        if (rc != Z_OK || out.size() == limit || (strm.avail_in == 0 && strm.avail_out != 0)) break;
    }
    inflateEnd(&strm);
    return out;
}

// AES-128-CBC without padding over whole blocks, from iv.
std::optional<Bytes> cbcEncrypt(ByteView key, ByteView iv, ByteView blocks) {
    return crypto::aesEncrypt(crypto::AesMode::CBC, crypto::AesPadding::None, key, iv, blocks);
}

}  // namespace

struct QKSDKLogStore::Section {
    std::string day;
    z_stream strm{};
    bool deflating = false;
    uint8_t iv[kBlock];  // the chain: the last ciphertext block so far
    Bytes pending;       // compressed bytes not yet encrypted (less than a block between lines)

    ~Section() {
        if (deflating) deflateEnd(&strm);
    }
};

QKSDKLogStore::QKSDKLogStore(std::filesystem::path root, Bytes key, Bytes iv)
    : root_(std::move(root)), key_(std::move(key)), iv_(std::move(iv)) {}

QKSDKLogStore::~QKSDKLogStore() {
    flush();
    if (mapped_) ::munmap(cache_, kCacheSize);
}

bool QKSDKLogStore::openCache() {
    if (cache_) return true;
    std::error_code ec;
    std::filesystem::create_directories(cachePath().parent_path(), ec);
    int fd = ::open(cachePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 &&
            (static_cast<size_t>(st.st_size) == kCacheSize || ::ftruncate(fd, kCacheSize) == 0)) {
            void* p = ::mmap(nullptr, kCacheSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) {
                cache_ = static_cast<uint8_t*>(p);
                mapped_ = true;
            }
        }
        ::close(fd);
    }
    if (!cache_) {
        // Without the file the store still works; only crash recovery is lost.
        heapCache_.reset(new uint8_t[kCacheSize]());
        cache_ = heapCache_.get();
    }
    recover();
    return true;
}

size_t QKSDKLogStore::dataOffset() const {
    return 3 + (size_t{cache_[1]} << 8 | cache_[2]) + 1 + 4;
}

uint32_t QKSDKLogStore::dataLength() const {
    return getBE32(cache_ + dataOffset() - 4);
}

void QKSDKLogStore::setDataLength(uint32_t length) {
    putBE32(cache_ + dataOffset() - 4, length);
}

void QKSDKLogStore::writeHeader(const std::string& day) {
    // Compact, keys in this order: {"logan_version":3,"file":"yyyy-MM-dd"}.
    const std::string json = nlohmann::ordered_json{{"logan_version", 3}, {"file", day}}.dump();
    const size_t length = json.size();
    cache_[0] = kHeaderStart;
    cache_[1] = static_cast<uint8_t>(length >> 8);
    cache_[2] = static_cast<uint8_t>(length);
    std::memcpy(cache_ + 3, json.data(), length);
    cache_[3 + length] = kHeaderEnd;
    setDataLength(0);
}

void QKSDKLogStore::recover() {
    const auto clear = [this] { std::memset(cache_, 0, 8); };
    if (cache_[0] != kHeaderStart) return clear();
    const size_t headerLength = size_t{cache_[1]} << 8 | cache_[2];
    if (headerLength > kMaxHeader || cache_[3 + headerLength] != kHeaderEnd) return clear();
    const uint32_t length = dataLength();
    if (length == 0 || length % kBlock != 0 || dataOffset() + length > kCacheSize) return clear();

    const auto header =
        nlohmann::json::parse(cache_ + 3, cache_ + 3 + headerLength, nullptr, false);
    std::string day;
    if (header.is_object()) {
        const auto file = header.find("file");
        if (file != header.end() && file->is_string()) day = file->get<std::string>();
    }
    if (!isDayName(day)) return clear();

    const auto plain = crypto::aesDecrypt(crypto::AesMode::CBC, crypto::AesPadding::None, key_, iv_,
                                          ByteView(cache_ + dataOffset(), length));
    std::string text = plain ? inflatePrefix(*plain, kMaxRecoveredText) : std::string();
    text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    if (!text.empty())
        if (auto sealed = sealSection(text, key_, iv_)) appendToDayFile(day, *sealed);
    clear();
}

bool QKSDKLogStore::begin(const std::string& day) {
    auto section = std::make_unique<Section>();
    section->day = day;
    if (!initDeflate(section->strm)) return false;
    section->deflating = true;
    std::memcpy(section->iv, iv_.data(), kBlock);
    writeHeader(day);
    section_ = std::move(section);
    return true;
}

bool QKSDKLogStore::encryptAndCache(bool final) {
    Bytes& pending = section_->pending;
    if (final) padPkcs7(pending);
    const size_t n = pending.size() / kBlock * kBlock;
    const uint32_t length = dataLength();
    if (dataOffset() + length + n > kCacheSize) return false;
    if (n > 0) {
        const auto sealed = cbcEncrypt(key_, section_->iv, ByteView(pending.data(), n));
        if (!sealed || sealed->size() != n) return false;
        std::memcpy(cache_ + dataOffset() + length, sealed->data(), n);
        std::memcpy(section_->iv, sealed->data() + n - kBlock, kBlock);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(n));
    setDataLength(length + static_cast<uint32_t>(n));
    return true;
}

bool QKSDKLogStore::write(std::string_view line, const std::string& day) {
    if (key_.size() != kBlock || iv_.size() != kBlock || !isDayName(day)) return false;
    openCache();
    if (section_ && section_->day != day) flush();
    if (!section_ && !begin(day)) return false;
    std::string text(line.substr(0, kMaxLineLength));
    text.push_back('\n');
    if (!deflateInto(section_->strm, text, Z_SYNC_FLUSH, section_->pending) ||
        !encryptAndCache(false)) {
        // The section cannot go on; what it holds is lost rather than written damaged.
        section_.reset();
        std::memset(cache_, 0, 8);
        return false;
    }
    if (dataLength() >= kSectionLimit) flush();
    return true;
}

void QKSDKLogStore::flush() {
    if (!section_) return;
    bool ok = deflateInto(section_->strm, {}, Z_FINISH, section_->pending) && encryptAndCache(true);
    if (ok) appendToDayFile(section_->day, ByteView(cache_ + dataOffset(), dataLength()));
    section_.reset();
    std::memset(cache_, 0, 8);
}

bool QKSDKLogStore::appendToDayFile(const std::string& day, ByteView ciphertext) {
    std::error_code ec;
    std::filesystem::create_directories(logFolder(), ec);
    int fd = ::open((logFolder() / day).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    Bytes frame;
    frame.reserve(ciphertext.size() + 6);
    frame.push_back(kSectionStart);
    frame.resize(5);
    putBE32(frame.data() + 1, static_cast<uint32_t>(ciphertext.size()));
    frame.insert(frame.end(), ciphertext.begin(), ciphertext.end());
    frame.push_back(kSectionEnd);
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::write(fd, frame.data() + done, frame.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == frame.size();
}

std::optional<Bytes> QKSDKLogStore::sealSection(std::string_view text, ByteView key, ByteView iv) {
    if (key.size() != kBlock || iv.size() != kBlock) return std::nullopt;
    z_stream strm;
    if (!initDeflate(strm)) return std::nullopt;
    Bytes data;
    bool ok = deflateInto(strm, text, Z_FINISH, data);
    deflateEnd(&strm);
    if (!ok) return std::nullopt;
    padPkcs7(data);
    return cbcEncrypt(key, iv, data);
}

}  // namespace telvo

#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "telvosdk/Bytes.h"

namespace telvo {

// The engine of the encrypted log store. Lines go into the open section: a gzip stream,
// flushed after every line, encrypted with AES-128-CBC as it grows and kept in the
// memory-mapped cache "logan_cache/logan.mmap2" until the section closes. A closed section
// (gzip finished, PKCS#7 padding, last block encrypted) is appended to the day file
// "KorvoSDKLog/yyyy-MM-dd" as
//
//   0x01 | length (4 bytes, big-endian) | ciphertext | 0x00
//
// Every section starts afresh from the host's key and IV, so each one decrypts and inflates on
// its own. A section closes when it reaches kSectionLimit bytes, when the day changes and on
// flush(). After a crash, the cached part of the open section is recovered (decrypted and
// inflated up to its last whole line, at most kMaxRecoveredText bytes) into a new section of the
// day file it belongs to.
//
// Not thread-safe: QKSDKLog runs it on its one serial queue.
class QKSDKLogStore {
  public:
    static constexpr size_t kCacheSize = 150 * 1024;
    static constexpr size_t kSectionLimit = 16 * 1024;
    static constexpr size_t kMaxLineLength = 32 * 1024;
    // A damaged or crafted cache cannot make recovery inflate more than this; what lies beyond
    // is dropped (a section of real log lines holds far less).
    static constexpr size_t kMaxRecoveredText = 4 * 1024 * 1024;

    // root holds "KorvoSDKLog" and "logan_cache"; key and IV are 16 bytes each.
    QKSDKLogStore(std::filesystem::path root, Bytes key, Bytes iv);
    ~QKSDKLogStore();
    QKSDKLogStore(const QKSDKLogStore&) = delete;
    QKSDKLogStore& operator=(const QKSDKLogStore&) = delete;

    // Appends one line (a final "\n" is added; longer lines are cut at kMaxLineLength) to the
    // section of the given day ("yyyy-MM-dd"). False when it could not be stored.
    bool write(std::string_view line, const std::string& day);
    // Closes the open section into its day file.
    void flush();

    std::filesystem::path logFolder() const { return root_ / "KorvoSDKLog"; }
    std::filesystem::path cachePath() const { return root_ / "logan_cache" / "logan.mmap2"; }

    // A complete section (gzip, PKCS#7, AES-128-CBC) of the given text, without framing.
    static std::optional<Bytes> sealSection(std::string_view text, ByteView key, ByteView iv);

  private:
    struct Section;
    bool openCache();
    void recover();
    bool begin(const std::string& day);
    bool encryptAndCache(bool final);
    bool appendToDayFile(const std::string& day, ByteView ciphertext);
    void writeHeader(const std::string& day);
    void setDataLength(uint32_t length);
    size_t dataOffset() const;
    uint32_t dataLength() const;

    const std::filesystem::path root_;
    const Bytes key_, iv_;
    uint8_t* cache_ = nullptr;
    bool mapped_ = false;
    std::unique_ptr<uint8_t[]> heapCache_;
    std::unique_ptr<Section> section_;
};

}  // namespace telvo

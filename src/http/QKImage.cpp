#include "telvosdk/QKImage.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace telvo {

namespace {

enum class Format { Png, Jpeg, Gif, Tiff, Ico, Bmp, Xbm };

// The decoder that the leading bytes name, or none when they name none of the formats decoded
// here: the data's own signature decides, never a declared type, so that no other decoder the
// system has installed (SVG, XPM, ...) ever sees untrusted bytes.
std::optional<Format> formatOf(const Bytes& data) {
    auto startsWith = [&](std::string_view magic) {
        return data.size() >= magic.size() &&
               std::memcmp(data.data(), magic.data(), magic.size()) == 0;
    };
    using namespace std::string_view_literals;
    if (startsWith("\x89PNG\r\n\x1a\n"sv)) return Format::Png;
    if (startsWith("\xff\xd8\xff"sv)) return Format::Jpeg;
    if (startsWith("GIF87a"sv) || startsWith("GIF89a"sv)) return Format::Gif;
    if (startsWith("II*\0"sv) || startsWith("MM\0*"sv)) return Format::Tiff;
    if (startsWith("\0\0\1\0"sv) || startsWith("\0\0\2\0"sv)) return Format::Ico;
    if (startsWith("BM"sv)) return Format::Bmp;
    if (startsWith("#define"sv)) return Format::Xbm;
    return std::nullopt;
}

const char* nameOf(Format format) {
    static constexpr const char* kNames[] = {"png", "jpeg", "gif", "tiff", "ico", "bmp", "xbm"};
    return kNames[int(format)];
}

std::atomic<uint64_t> gMaximumPixelCount{QKImage::kMaximumPixelCount};

// No format bounded by it codes more pixels a byte than one-bit PNG under deflate's best ratio (a
// 258-byte match in 2 bits): 8 x 1032.
constexpr uint64_t kMostPixelsPerByte = 8 * 1032;
// Blocks a GIF may have before its first frame, and marker segments a JPEG may have: a few are
// usual, and the decoders spend time on each that grows with their number.
constexpr size_t kMostBlocks = 4096;
// Scans of a JPEG: its decoder redraws the whole image after each one. Encoders write at most a
// dozen.
constexpr size_t kMostJpegScans = 32;
// The decoder is fed in pieces: the GIF decoder moves what it has not read yet after every block,
// so its cost grows with the square of a piece's blocks.
constexpr size_t kPieceBytes = 64 * 1024;
constexpr size_t kGifPieceBytes = 1024;

uint32_t le16(const Bytes& data, size_t at) {
    return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8;
}

uint32_t le32(const Bytes& data, size_t at) {
    return le16(data, at) | le16(data, at + 2) << 16;
}

uint32_t be16(const Bytes& data, size_t at) {
    return uint32_t(data[at]) << 8 | data[at + 1];
}

uint32_t be32(const Bytes& data, size_t at) {
    return be16(data, at) << 16 | be16(data, at + 2);
}

bool withinBound(int64_t width, int64_t height, uint64_t mostPixels) {
    return width > 0 && height > 0 && uint64_t(height) <= mostPixels / uint64_t(width);
}

std::string tooLarge(const char* what, int64_t width, int64_t height, size_t dataSize,
                     uint64_t limit) {
    const std::string image =
        what + (" of " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
    if (width <= 0 || height <= 0) return image + " has no pixels";
    if (!withinBound(width, height, limit))
        return image + " is over the limit of " + std::to_string(limit) + " pixels";
    return image + " is more than its " + std::to_string(dataSize) + " bytes can encode";
}

// What the bytes say before any decoder sees them.
struct Survey {
    std::string refusal;      // set: the data is refused without decoding
    size_t end = 0;           // the decoder reads the data up to here: its first image, whole
    bool gifTrailer = false;  // and then a GIF's trailer
    bool arithmetic = false;  // a JPEG coded arithmetically
    // Ranges [first, second) before `end`, in order, that the decoder is not given.
    std::vector<std::pair<size_t, size_t>> withheld;
};

Survey refused(std::string why) {
    Survey survey;
    survey.refusal = std::move(why);
    return survey;
}

Survey truncated(Format format, const std::string& where) {
    return refused(std::string("truncated ") + nameOf(format) + " image: " + where);
}

Survey corrupt(Format format, const std::string& what) {
    return refused(std::string("corrupt ") + nameOf(format) + " image: " + what);
}

// A file cut short and a corrupt one look the same from their headers.
Survey pointsPastItsEnd(Format format) {
    return refused(std::string("truncated or corrupt ") + nameOf(format) +
                   " image: it points past its end");
}

// The decoder reads the data up to `end`, and then a GIF's trailer when it is one.
Survey readTo(size_t end, bool gifTrailer = false) {
    Survey survey;
    survey.end = end;
    survey.gifTrailer = gifTrailer;
    return survey;
}

// The pixels of the rows an uncompressed BMP holds: its decoder takes rows past the end as blank.
uint64_t bmpPixelsHeld(const Bytes& data) {
    if (data.size() < 34 || le32(data, 14) < 40 || le32(data, 10) > data.size())
        return QKImage::kMaximumPixelCount;  // OS/2 headers and the corrupt: the decoder's to judge
    const uint32_t compression = le32(data, 30);
    if (compression != 0 && compression != 3 && compression != 6)
        return QKImage::kMaximumPixelCount;  // run-length coded and the rest
    const uint64_t width = uint64_t(std::max<int32_t>(int32_t(le32(data, 18)), 0));
    const uint64_t bits = le16(data, 28);
    const uint64_t stride = (width * bits + 31) / 32 * 4;
    if (stride == 0) return QKImage::kMaximumPixelCount;
    return width * ((data.size() - le32(data, 10)) / stride);
}

// The most pixels the data can encode. TIFF (fax, JBIG, LZMA and Zstandard codings) and
// arithmetic-coded JPEG code a blank image in far fewer bytes: only the pixel bound holds them.
uint64_t encodablePixels(Format format, const Bytes& data, bool arithmetic) {
    const uint64_t held = format == Format::Bmp ? bmpPixelsHeld(data) : QKImage::kMaximumPixelCount;
    if (format == Format::Tiff || arithmetic ||
        data.size() > QKImage::kMaximumPixelCount / kMostPixelsPerByte)
        return held;
    return std::min(held, data.size() * kMostPixelsPerByte);
}

// ---- PNG: the chunks up to IEND; an interlaced image's data must hold all seven passes.

// The bytes the image data of an interlaced PNG inflates to: the rows of its seven passes, each a
// filter byte and the row's bits.
uint64_t interlacedBytes(uint64_t width, uint64_t height, uint64_t bitsPerPixel) {
    static constexpr uint64_t kX[] = {0, 4, 0, 2, 0, 1, 0}, kY[] = {0, 0, 4, 0, 2, 0, 1},
                              kDx[] = {8, 8, 4, 4, 2, 2, 1}, kDy[] = {8, 8, 8, 4, 4, 2, 2};
    uint64_t total = 0;
    for (int pass = 0; pass < 7; ++pass) {
        const uint64_t columns =
            width > kX[pass] ? (width - kX[pass] + kDx[pass] - 1) / kDx[pass] : 0;
        const uint64_t rows =
            height > kY[pass] ? (height - kY[pass] + kDy[pass] - 1) / kDy[pass] : 0;
        if (columns > 0) total += rows * (1 + (columns * bitsPerPixel + 7) / 8);
    }
    return total;
}

// Whether the zlib stream across the IDAT chunks of the PNG, whose chunks up to `end` (past its
// IEND) were walked, inflates to `needed` bytes. Only as much is inflated.
bool pngDataInflatesTo(const Bytes& data, size_t end, uint64_t needed) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    std::array<uint8_t, 16384> sink;
    uint64_t inflated = 0;
    int status = Z_OK;
    for (size_t at = 8; status == Z_OK && inflated < needed && at < end;) {
        const uint32_t length = be32(data, at);
        if (std::memcmp(&data[at + 4], "IDAT", 4) == 0) {
            stream.next_in = const_cast<uint8_t*>(&data[at + 8]);
            stream.avail_in = length;
            while (status == Z_OK && stream.avail_in > 0 && inflated < needed) {
                stream.next_out = sink.data();
                stream.avail_out = uInt(sink.size());
                status = inflate(&stream, Z_NO_FLUSH);
                inflated += sink.size() - stream.avail_out;
            }
            if (status == Z_BUF_ERROR && stream.avail_in == 0) status = Z_OK;  // wants the next
        }
        at += 12 + size_t(length);
    }
    inflateEnd(&stream);
    return inflated >= needed;
}

// An interlaced image's rows all come with its first pass, so its decoder cannot tell a stream
// cut short: what the stream holds is counted here.
bool interlacedPngWhole(const Bytes& data, size_t header, size_t end, uint64_t mostPixels) {
    static constexpr uint8_t kChannels[] = {1, 0, 3, 1, 2, 0, 4};
    const uint32_t width = be32(data, header), height = be32(data, header + 4);
    const uint8_t depth = data[header + 8], colour = data[header + 9];
    if (data[header + 12] != 1 || colour > 6 || kChannels[colour] == 0 ||
        !withinBound(width, height, mostPixels))
        return true;  // not interlaced, or the decoder's to refuse
    return pngDataInflatesTo(data, end,
                             interlacedBytes(width, height, uint64_t(depth) * kChannels[colour]));
}

// The decoder inflates each compressed text chunk (zTXt, iTXt) to up to 8 MB and keeps it: a
// hundred of them in a few kilobytes would take seconds and gigabytes. Text holds no pixels: the
// text chunks after the header are not given to the decoder.
Survey surveyPng(const Bytes& data, uint64_t mostPixels) {
    std::optional<size_t> header;
    std::vector<std::pair<size_t, size_t>> text;
    for (size_t at = 8;;) {
        if (data.size() - at < 12 || be32(data, at) > data.size() - at - 12)
            return truncated(Format::Png, "it ends before its IEND chunk");
        const uint32_t length = be32(data, at);
        const std::string_view type(reinterpret_cast<const char*>(&data[at + 4]), 4);
        if (type == "IHDR" && length >= 13 && !header) header = at + 8;
        const size_t chunk = at;
        at += 12 + size_t(length);
        if (header && (type == "zTXt" || type == "iTXt")) {
            if (!text.empty() && text.back().second == chunk)
                text.back().second = at;
            else
                text.emplace_back(chunk, at);
        }
        if (type != "IEND") continue;
        if (header && !interlacedPngWhole(data, *header, at, mostPixels))
            return truncated(Format::Png, "its interlaced image data ends early");
        Survey survey = readTo(at);
        survey.withheld = std::move(text);
        return survey;
    }
}

// ---- JPEG: the marker segments and the coded data between them, up to EOI.

bool isStartOfFrame(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Where the coded data of a scan that starts at `at` ends: at the next marker that is not a
// restart marker.
size_t endOfCodedData(const Bytes& data, size_t at) {
    for (;;) {
        const void* found = std::memchr(data.data() + at, 0xFF, data.size() - at);
        if (!found) return data.size();
        at = size_t(static_cast<const uint8_t*>(found) - data.data());
        if (at + 1 >= data.size()) return data.size();
        const uint8_t next = data[at + 1];
        if (next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7)) return at;
        ++at;
    }
}

Survey surveyJpeg(const Bytes& data) {
    Survey survey;
    bool framed = false;
    size_t segments = 0, scans = 0, at = 2;
    for (;;) {
        // The decoder passes over stray bytes and fill bytes before a marker.
        while (at < data.size() &&
               (data[at] != 0xFF || (at + 1 < data.size() && data[at + 1] == 0xFF)))
            ++at;
        if (data.size() - at < 2) return truncated(Format::Jpeg, "it ends before its EOI marker");
        const uint8_t marker = data[at + 1];
        at += 2;
        if (marker == 0xD9) break;
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
        if (data.size() - at < 2 || be16(data, at) > data.size() - at)
            return truncated(Format::Jpeg, "it ends inside a marker segment");
        if (be16(data, at) < 2)
            return corrupt(Format::Jpeg, "a marker segment is shorter than its length");
        if (++segments > kMostBlocks)
            return refused("jpeg image of more than " + std::to_string(kMostBlocks) +
                           " marker segments");
        if (isStartOfFrame(marker) && !framed) framed = true, survey.arithmetic = marker >= 0xC9;
        at += be16(data, at);
        if (marker != 0xDA) continue;
        if (++scans > kMostJpegScans)
            return refused("jpeg image of more than " + std::to_string(kMostJpegScans) + " scans");
        at = endOfCodedData(data, at);
    }
    survey.end = at;
    return survey;
}

// ---- GIF: the blocks up to the end of the first frame, and what its LZW codes hold.

// The codes of an LZW stream laid out in GIF's sub-blocks, least significant bit first.
class SubBlockCodes {
  public:
    SubBlockCodes(const Bytes& data, size_t at) : data_(data), at_(at) {}
    // The next code of `width` bits; none once the sub-blocks end.
    std::optional<uint32_t> next(int width) {
        while (count_ < width) {
            if (left_ == 0) {
                if (at_ >= data_.size() || data_[at_] == 0) return std::nullopt;
                left_ = data_[at_++];
            }
            if (at_ >= data_.size()) return std::nullopt;
            bits_ |= uint32_t(data_[at_++]) << count_;
            count_ += 8;
            --left_;
        }
        const uint32_t code = bits_ & ((1u << width) - 1);
        bits_ >>= width;
        count_ -= width;
        return code;
    }

  private:
    const Bytes& data_;
    size_t at_;
    size_t left_ = 0;
    uint32_t bits_ = 0;
    int count_ = 0;
};

// The pixels the LZW stream of a frame yields, counted up to `wanted`: the decoder leaves the
// pixels that a stream cut short does not reach blank, and says nothing.
uint64_t lzwPixels(const Bytes& data, size_t at, int minimumCodeSize, uint64_t wanted) {
    if (minimumCodeSize < 1 || minimumCodeSize > 11) return 0;
    constexpr uint32_t kNone = UINT32_MAX;  // no string yet to extend
    const uint32_t clear = 1u << minimumCodeSize, end = clear + 1;
    std::vector<uint32_t> length(4096, 1);  // of each code's string
    SubBlockCodes codes(data, at);
    int width = minimumCodeSize + 1;
    uint32_t next = clear + 2, previous = kNone;
    uint64_t pixels = 0;
    while (pixels < wanted) {
        const std::optional<uint32_t> read = codes.next(width);
        if (!read || *read == end) break;
        const uint32_t code = *read;
        if (code == clear) {
            width = minimumCodeSize + 1;
            next = clear + 2;
            previous = kNone;
            continue;
        }
        if (previous == kNone) {
            if (code > clear) break;  // a string the table does not hold yet
            ++pixels;
            previous = code;
            continue;
        }
        if (code > next) break;
        pixels += code < next ? length[code] : length[previous] + 1;
        if (next < 4096) {
            length[next++] = length[previous] + 1;
            if (next == (1u << width) && width < 12) ++width;
        }
        previous = code;
    }
    return pixels;
}

// Past the sub-blocks that start at `at`, or none when the data ends inside them.
std::optional<size_t> skipSubBlocks(const Bytes& data, size_t at) {
    while (at < data.size() && data[at] != 0) at += size_t(data[at]) + 1;
    if (at >= data.size()) return std::nullopt;
    return at + 1;
}

size_t colourTableBytes(uint8_t packed) {
    return (packed & 0x80) ? size_t(3) << ((packed & 7) + 1) : 0;
}

// The first frame: its descriptor at `at`, past its separator. The decoder gives it a buffer
// sized by its header.
Survey surveyGifFrame(const Bytes& data, size_t at, uint64_t mostPixels, uint64_t limit) {
    if (data.size() - at < 10) return truncated(Format::Gif, "it ends inside its first frame");
    const int64_t width = le16(data, at + 4), height = le16(data, at + 6);
    if (width == 0 || height == 0) return refused("GIF frame without pixels");
    if (!withinBound(width, height, mostPixels))
        return refused(tooLarge("GIF frame", width, height, data.size(), limit));
    const size_t codeSize = at + 9 + colourTableBytes(data[at + 8]);
    const std::optional<size_t> end =
        codeSize < data.size() ? skipSubBlocks(data, codeSize + 1) : std::nullopt;
    if (!end) return truncated(Format::Gif, "it ends inside its first frame");
    const uint64_t pixels = uint64_t(width) * uint64_t(height);
    if (lzwPixels(data, codeSize + 1, data[codeSize], pixels) < pixels)
        return truncated(Format::Gif, "the data of its first frame ends early");
    return readTo(*end, true);
}

// Only the first frame is decoded: the data is cut after it. The decoder passes over any other
// byte between blocks, and so does this walk.
Survey surveyGif(const Bytes& data, uint64_t mostPixels, uint64_t limit) {
    if (data.size() < 13) return truncated(Format::Gif, "it ends inside its header");
    size_t blocks = 0;
    for (size_t at = 13 + colourTableBytes(data[10]); at < data.size(); ++blocks) {
        if (blocks > kMostBlocks)
            return refused("gif image of more than " + std::to_string(kMostBlocks) +
                           " blocks before its first frame");
        const uint8_t kind = data[at++];
        if (kind == 0x2C) return surveyGifFrame(data, at, mostPixels, limit);
        if (kind == 0x3B) return refused("gif image without a frame");
        if (kind != 0x21) continue;
        const std::optional<size_t> end = skipSubBlocks(data, at + 1);  // past the label
        if (!end) break;
        at = *end;
    }
    return truncated(Format::Gif, "it ends before its first frame");
}

// ---- TIFF: the first directory, the values it keeps apart, and the strips or tiles it names.

size_t tiffTypeBytes(uint32_t type) {
    static constexpr uint8_t kBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < std::size(kBytes) ? kBytes[type] : 0;
}

Survey surveyTiff(const Bytes& data) {
    const bool little = data[0] == 'I';
    auto u16 = [&](size_t at) { return little ? le16(data, at) : be16(data, at); };
    auto u32 = [&](size_t at) { return little ? le32(data, at) : be32(data, at); };
    if (data.size() < 8) return truncated(Format::Tiff, "it ends inside its header");
    const size_t directory = u32(4);
    if (directory > data.size() || data.size() - directory < 2 ||
        (data.size() - directory - 2) / 12 < u16(directory))
        return truncated(Format::Tiff, "its directory runs past its end");
    // Where the strips (or tiles) start, and their lengths: arrays of 16- or 32-bit values.
    struct Values {
        size_t at = 0, count = 0, size = 0;
    } starts, lengths;
    for (size_t i = 0, entries = u16(directory); i < entries; ++i) {
        const size_t entry = directory + 2 + 12 * i;
        const uint32_t tag = u16(entry);
        const size_t count = u32(entry + 4), size = tiffTypeBytes(u16(entry + 2));
        if (size == 0) continue;  // a type the decoder passes over
        const size_t at = count * size <= 4 ? entry + 8 : u32(entry + 8);
        if (count > data.size() / size || at > data.size() - count * size)
            return truncated(Format::Tiff, "its directory's values run past its end");
        if ((tag == 273 || tag == 324) && (size == 2 || size == 4)) starts = {at, count, size};
        if ((tag == 279 || tag == 325) && (size == 2 || size == 4)) lengths = {at, count, size};
    }
    auto value = [&](const Values& v, size_t i) {
        return v.size == 2 ? u16(v.at + 2 * i) : u32(v.at + 4 * i);
    };
    for (size_t i = 0; starts.count == lengths.count && i < starts.count; ++i) {
        if (value(starts, i) > data.size() || value(lengths, i) > data.size() - value(starts, i))
            return truncated(Format::Tiff, "its image data runs past its end");
    }
    return readTo(data.size());
}

// ---- ICO, BMP, XBM.

// The icon decoder grows a buffer to the sizes and offsets its directory states before it reads
// them: an icon that points past its own end is refused first.
Survey surveyIco(const Bytes& data) {
    const size_t count = data.size() >= 6 ? le16(data, 4) : 0;
    if (data.size() < 6 || (data.size() - 6) / 16 < count)
        return truncated(Format::Ico, "its directory runs past its end");
    for (size_t entry = 6; entry < 6 + 16 * count; entry += 16) {
        const uint32_t size = le32(data, entry + 8), offset = le32(data, entry + 12);
        if (size > data.size() || offset > data.size() || size > data.size() - offset)
            return pointsPastItsEnd(Format::Ico);
    }
    return readTo(data.size());
}

// The BMP decoder grows a buffer to the header sizes, offsets and colours the file states before
// it reads it (a count of colours past 2^29 overflows its size to gigabytes): a file that points
// past its own end is refused first.
Survey surveyBmp(const Bytes& data) {
    if (data.size() < 18) return readTo(data.size());
    const uint32_t header = le32(data, 14);
    if (le32(data, 10) > data.size() || header > data.size() - 14)
        return pointsPastItsEnd(Format::Bmp);
    if (header >= 40 && data.size() >= 50 && le32(data, 46) > (data.size() - 14 - header) / 4)
        return pointsPastItsEnd(Format::Bmp);  // its colour table
    return readTo(data.size());
}

// XBM's decoder reserves the bits of the whole image before it reads them and tells its size
// only afterwards: its "#define <name>_width N" and "_height N" lines are read here first, with
// the blanks and signs the decoder's scanf takes, and the largest of each counts wherever it
// stands (the decoder takes the last one before its bits). A negative size is read by the decoder
// as a huge one. Unknown dimensions are the decoder's to refuse. A last value cut short would read
// as another value: the bits must be closed.
Survey surveyXbm(const Bytes& data, uint64_t mostPixels, uint64_t limit) {
    static constexpr std::string_view kBlank = " \t\r\v\f", kSpace = " \t\r\v\f\n";
    constexpr int64_t kHuge = int64_t(1) << 40;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    int64_t width = -1, height = -1;
    // Each search goes on past the name and value read before it: every byte is read a few times.
    for (size_t at = text.find("#define"); at != std::string_view::npos;
         at = text.find("#define", at)) {
        const size_t name = text.find_first_not_of(kBlank, at + 7);
        const size_t nameEnd = text.find_first_of(kSpace, name);
        if (nameEnd == std::string_view::npos) break;
        const std::string_view named = text.substr(name, nameEnd - name);
        at = text.find_first_not_of(kBlank, nameEnd);
        if (at == std::string_view::npos) break;
        const bool negative = text[at] == '-';
        if (text[at] == '-' || text[at] == '+') ++at;
        int64_t value = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
            value = std::min<int64_t>(value * 10 + (text[at] - '0'), kHuge);
        if (negative && value > 0) value = kHuge;
        if (named.ends_with("width")) width = std::max(width, value);
        if (named.ends_with("height")) height = std::max(height, value);
    }
    if (width >= 0 && height >= 0 && !withinBound(width, height, mostPixels))
        return refused(tooLarge("image", width, height, data.size(), limit));
    const size_t open = text.find('{');
    if (open == std::string_view::npos || text.find('}', open) == std::string_view::npos)
        return truncated(Format::Xbm, "its bits are not closed");
    return readTo(data.size());
}

Survey surveyOf(Format format, const Bytes& data, uint64_t limit) {
    // Only the JPEG walk tells whether its coding is arithmetic, and so what its bytes can encode.
    Survey jpeg = format == Format::Jpeg ? surveyJpeg(data) : Survey{};
    if (!jpeg.refusal.empty()) return jpeg;
    const uint64_t mostPixels = std::min(limit, encodablePixels(format, data, jpeg.arithmetic));
    switch (format) {
        case Format::Png:
            return surveyPng(data, mostPixels);
        case Format::Jpeg:
            return jpeg;
        case Format::Gif:
            return surveyGif(data, mostPixels, limit);
        case Format::Tiff:
            return surveyTiff(data);
        case Format::Ico:
            return surveyIco(data);
        case Format::Bmp:
            return surveyBmp(data);
        case Format::Xbm:
            return surveyXbm(data, mostPixels, limit);
    }
    return {};
}

// ---- Decoding.

// The rows the decoder has handed out, as disjoint ranges [first, last).
class RowsSeen {
  public:
    void add(int64_t first, int64_t last) {
        if (first >= last) return;
        auto it = ranges_.upper_bound(first);
        if (it != ranges_.begin() && std::prev(it)->second >= first) --it;
        while (it != ranges_.end() && it->first <= last) {
            first = std::min(first, it->first);
            last = std::max(last, it->second);
            count_ -= it->second - it->first;
            it = ranges_.erase(it);
        }
        ranges_.emplace(first, last);
        count_ += last - first;
    }
    int64_t count() const { return count_; }

  private:
    std::map<int64_t, int64_t> ranges_;
    int64_t count_ = 0;
};

// When the rows a decoder hands out tell that it read the image to its end.
enum class RowsTell {
    WhileFed,  // rows come as the data is read; closing may make up the rest (JPEG does)
    AtClose,   // the whole data is decoded when the loader is closed
    Never,     // a GIF frame's rows come whole however much its data holds: counted beforehand
};

RowsTell rowsTell(Format format) {
    switch (format) {
        case Format::Tiff:
        case Format::Xbm:
            return RowsTell::AtClose;
        case Format::Gif:
            return RowsTell::Never;
        default:
            return RowsTell::WhileFed;
    }
}

struct Decoding {
    uint64_t limit = 0;
    uint64_t mostPixels = 0;
    bool refused = false;
    int width = 0;
    int height = 0;
    RowsSeen rows;
};

// Runs from the decoder once it has read the header, before it allocates pixels: a size of
// zero makes every decoder give up with an error instead.
void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    auto* decoding = static_cast<Decoding*>(data);
    decoding->width = width;
    decoding->height = height;
    if (!withinBound(width, height, decoding->mostPixels)) {
        decoding->refused = true;
        gdk_pixbuf_loader_set_size(loader, 0, 0);
    }
}

void onAreaUpdated(GdkPixbufLoader*, int, int y, int, int height, gpointer data) {
    auto* decoding = static_cast<Decoding*>(data);
    decoding->rows.add(std::max(y, 0), std::min(int64_t(y) + height, int64_t(decoding->height)));
}

bool feed(GdkPixbufLoader* loader, const Bytes& data, const Survey& survey,
          const Decoding& decoding, GError** error) {
    const size_t piece = survey.gifTrailer ? kGifPieceBytes : kPieceBytes;
    auto write = [&](size_t from, size_t to) {
        for (size_t at = from; at < to && !decoding.refused; at += piece) {
            if (!gdk_pixbuf_loader_write(loader, data.data() + at, std::min(piece, to - at), error))
                return false;
        }
        return true;
    };
    size_t at = 0;
    for (const auto& [first, last] : survey.withheld) {
        if (!write(at, first)) return false;
        at = last;
    }
    if (!write(at, survey.end)) return false;
    static constexpr uint8_t kGifTrailer = 0x3B;
    return !survey.gifTrailer || gdk_pixbuf_loader_write(loader, &kGifTrailer, 1, error);
}

// The decoder's pixels (3 or 4 channels of 8 bits, rows possibly padded) as tight RGBA: its
// 4-channel pixels are straight RGBA already.
std::shared_ptr<QKImage> plainBitmap(GdkPixbuf* pixbuf) {
    // Sizes in locals: the byte stores below could otherwise alias them, and each would be read
    // again for every pixel.
    const size_t width = size_t(gdk_pixbuf_get_width(pixbuf)),
                 height = size_t(gdk_pixbuf_get_height(pixbuf)),
                 stride = size_t(gdk_pixbuf_get_rowstride(pixbuf)), bytesPerRow = width * 4;
    const bool alpha = gdk_pixbuf_get_n_channels(pixbuf) == 4;
    auto image = std::make_shared<QKImage>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = bytesPerRow;
    image->pixels.resize(bytesPerRow * height);
    const uint8_t* source = gdk_pixbuf_read_pixels(pixbuf);
    uint8_t* const target = image->pixels.data();
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* in = source + y * stride;
        uint8_t* out = target + y * bytesPerRow;
        if (alpha) {
            std::memcpy(out, in, bytesPerRow);
            continue;
        }
        for (size_t x = 0; x < width; ++x, in += 3, out += 4) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            out[3] = 255;
        }
    }
    return image;
}

struct LoaderResult {
    std::shared_ptr<QKImage> image;
    std::string reason;
};

// The image the closed loader holds, or why there is none.
LoaderResult judge(Format format, GdkPixbuf* pixbuf, const Decoding& decoding, int64_t rows,
                   size_t dataSize, GError* error) {
    const std::string type = nameOf(format);
    if (decoding.refused)
        return {nullptr,
                tooLarge("image", decoding.width, decoding.height, dataSize, decoding.limit)};
    if (!pixbuf)
        return {nullptr, "unreadable " + type + " image" +
                             (error ? std::string(": ") + error->message : std::string())};
    const int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
    if (!withinBound(width, height, decoding.mostPixels))
        return {nullptr, tooLarge("image", width, height, dataSize, decoding.limit)};
    if (rowsTell(format) != RowsTell::Never && rows < height)
        return {nullptr, "truncated " + type + " image: " + std::to_string(rows) + " of " +
                             std::to_string(height) + " rows in its data"};
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
        gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB)
        return {nullptr, "unsupported pixel layout in " + type + " image"};
    return {plainBitmap(pixbuf), {}};
}

LoaderResult decodeWith(Format format, const Bytes& data, const Survey& survey, uint64_t limit) {
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(nameOf(format), &error);
    if (!loader) {
        LoaderResult result{nullptr, std::string("no decoder for ") + nameOf(format) + ": " +
                                         (error ? error->message : "unknown")};
        g_clear_error(&error);
        return result;
    }
    Decoding decoding;
    decoding.limit = limit;
    decoding.mostPixels = std::min(limit, encodablePixels(format, data, survey.arithmetic));
    g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &decoding);
    g_signal_connect(loader, "area-updated", G_CALLBACK(onAreaUpdated), &decoding);
    bool ok = feed(loader, data, survey, decoding, &error);
    const int64_t rowsWhileFed = decoding.rows.count();
    // Closing is required even after a failed write; its error (a truncated image) counts
    // only when the write went through.
    ok = gdk_pixbuf_loader_close(loader, ok ? &error : nullptr) && ok;
    const int64_t rows =
        rowsTell(format) == RowsTell::WhileFed ? rowsWhileFed : decoding.rows.count();
    LoaderResult result = judge(format, ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr,
                                decoding, rows, data.size(), error);
    g_clear_error(&error);
    g_object_unref(loader);
    return result;
}

// One lock for every decode of the process: the platform's decoders were not safe to run
// concurrently, and keeping the one lock keeps the behaviour the same.
std::mutex& decodeLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

uint64_t QKImage::maximumPixelCount() {
    return gMaximumPixelCount.load(std::memory_order_relaxed);
}

void QKImage::setMaximumPixelCount(uint64_t pixels) {
    gMaximumPixelCount.store(std::min(pixels, kMaximumPixelCount), std::memory_order_relaxed);
}

std::shared_ptr<QKImage> QKImage::af_safeImageWithData(const Bytes& data, std::string* reason) {
    const uint64_t limit = maximumPixelCount();
    const std::optional<Format> format = formatOf(data);
    const Survey survey = format         ? surveyOf(*format, data, limit)
                          : data.empty() ? refused("no image data")
                                         : refused("not an image of a known format");
    LoaderResult result{nullptr, survey.refusal};
    if (result.reason.empty()) {
        std::lock_guard<std::mutex> hold(decodeLock());
        result = decodeWith(*format, data, survey, limit);
    }
    if (reason) *reason = std::move(result.reason);
    return result.image;
}

}  // namespace telvo

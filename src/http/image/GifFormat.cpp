// GIF: the blocks up to the end of the first frame, the sizes its screen and first frame
// promise, and the frame's transparent colour. Only the first frame is decoded, by giflib, in
// one pass, onto a canvas of the screen's size that starts transparent; the frame's pixels
// outside the screen are left out, and indices past its colour table are opaque black.
#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "http/image/ImageFormat.h"

namespace telvo::image {

namespace gif {

constexpr const char* kName = "gif";

bool matches(const Bytes& data) {
    return data.size() >= 6 && (std::memcmp(data.data(), "GIF87a", 6) == 0 ||
                                std::memcmp(data.data(), "GIF89a", 6) == 0);
}

// The LZW data of a frame's sub-blocks that start at `at`, in one piece.
Bytes joinSubBlocks(const Bytes& data, size_t at) {
    Bytes joined;
    while (at < data.size() && data[at] != 0) {
        const size_t size = std::min<size_t>(data[at], data.size() - at - 1);
        joined.insert(joined.end(), data.begin() + std::ptrdiff_t(at + 1),
                      data.begin() + std::ptrdiff_t(at + 1 + size));
        at += size + 1;
    }
    return joined;
}

// The codes of an LZW stream, least significant bit first, read eight bytes at a time: the bits
// past `count_` are those of the bytes from `at_` on, so that loading them again changes nothing.
class CodeReader {
  public:
    explicit CodeReader(const Bytes& bytes) : bytes_(bytes) {}
    // The next code of `width` bits; false once the bytes end.
    bool next(int width, uint32_t& code) {
        if (count_ < width) refill();
        if (count_ < width) return false;
        code = uint32_t(bits_) & ((1u << width) - 1);
        bits_ >>= width;
        count_ -= width;
        return true;
    }

  private:
    void refill() {
        if (bytes_.size() - at_ >= 8) {
            uint64_t word = 0;
            for (int i = 7; i >= 0; --i) word = word << 8 | bytes_[at_ + size_t(i)];
            bits_ |= word << count_;
            const int taken = (63 - count_) / 8;
            at_ += size_t(taken);
            count_ += 8 * taken;
            return;
        }
        for (; count_ <= 56 && at_ < bytes_.size(); count_ += 8)
            bits_ |= uint64_t(bytes_[at_++]) << count_;
    }

    const Bytes& bytes_;
    size_t at_ = 0;
    uint64_t bits_ = 0;
    int count_ = 0;
};

// giflib empties its whole string table (16 KiB) at every clear code: a stream of little else
// costs half a microsecond to a microsecond a code. An encoder clears when its table is full (or,
// writing its codes uncompressed, once every few codes); this bounds the resets at about half a
// second.
constexpr uint64_t kMostClearCodes = uint64_t(1) << 19;

struct LzwCount {
    uint64_t pixels = 0;
    uint64_t clears = 0;
};

// The pixels the LZW stream of a frame yields, counted up to `wanted`, and its clear codes, up
// to one past the bound: the decoder leaves the pixels that a stream cut short does not reach
// blank, and says nothing.
LzwCount lzwPixels(const Bytes& stream, int minimumCodeSize, uint64_t wanted) {
    if (minimumCodeSize < 1 || minimumCodeSize > 11) return {};
    constexpr uint32_t kNone = UINT32_MAX;  // no string yet to extend
    const uint32_t clear = 1u << minimumCodeSize, end = clear + 1;
    std::array<uint32_t, 4096> length;  // of each code's string
    length.fill(1);
    CodeReader codes(stream);
    int width = minimumCodeSize + 1;
    uint32_t next = clear + 2, previous = kNone, code = 0;
    uint64_t pixels = 0, clears = 0;
    while (pixels < wanted && codes.next(width, code) && code != end) {
        if (code == clear) {
            if (++clears > kMostClearCodes) break;
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
    return {pixels, clears};
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

// The first frame: its descriptor at `at`, past its separator, whose sub-blocks must end within
// the data and whose codes must yield every pixel (the decoder would take a stream cut short, or
// codes it does not know, for the end of the frame).
Survey surveyFrame(const Bytes& data, size_t at, uint64_t limit) {
    if (data.size() - at < 10) return truncated(kName, "it ends inside its first frame");
    const int64_t width = le16(data, at + 4), height = le16(data, at + 6);
    if (width == 0 || height == 0) return refused("GIF frame without pixels");
    if (auto no =
            refusedBySize("GIF frame", width, height, data.size(), limit, encodableBy(data.size())))
        return *no;
    const size_t codeSize = at + 9 + colourTableBytes(data[at + 8]);
    const std::optional<size_t> end =
        codeSize < data.size() ? skipSubBlocks(data, codeSize + 1) : std::nullopt;
    if (!end) return truncated(kName, "it ends inside its first frame");
    if (data[codeSize] > 8)
        return corrupt(kName, "its first frame's codes start wider than a byte");
    const uint64_t pixels = uint64_t(width) * uint64_t(height);
    const LzwCount count = lzwPixels(joinSubBlocks(data, codeSize + 1), data[codeSize], pixels);
    if (count.clears > kMostClearCodes)
        return refused("gif image of more than " + std::to_string(kMostClearCodes) +
                       " clear codes in its first frame");
    if (count.pixels < pixels) return truncated(kName, "the data of its first frame ends early");
    Survey survey = readTo(*end, uint64_t(le16(data, 6)) * le16(data, 8));
    survey.frame = at - 1;
    return survey;
}

// The transparent colour a graphic control extension at `at` (past its label) sets, or clears.
void readControl(const Bytes& data, size_t at, int& transparent) {
    if (data.size() - at < 5 || data[at] < 4) return;
    transparent = (data[at + 1] & 1) ? data[at + 4] : -1;
}

// Only the first frame is decoded: the data is cut after it. The walk passes over any other
// byte between blocks, as the earlier decoder did.
Survey survey(const Bytes& data, uint64_t limit) {
    if (data.size() < 13) return truncated(kName, "it ends inside its header");
    if (auto no = refusedBySize("image", le16(data, 6), le16(data, 8), data.size(), limit,
                                encodableBy(data.size())))
        return *no;
    size_t blocks = 0;
    int transparent = -1;
    for (size_t at = 13 + colourTableBytes(data[10]); at < data.size(); ++blocks) {
        if (blocks > kMostBlocks)
            return refused("gif image of more than " + std::to_string(kMostBlocks) +
                           " blocks before its first frame");
        const uint8_t kind = data[at++];
        if (kind == 0x3B) return refused("gif image without a frame");
        if (kind == 0x2C) {
            Survey survey = surveyFrame(data, at, limit);
            survey.transparent = transparent;
            return survey;
        }
        if (kind != 0x21 || at >= data.size()) continue;
        if (data[at] == 0xF9) readControl(data, at + 1, transparent);
        const std::optional<size_t> end = skipSubBlocks(data, at + 1);  // past the label
        if (!end) break;
        at = *end;
    }
    return truncated(kName, "it ends before its first frame");
}

// ---- Decoding.

// The data up to the survey's end, read where the decoder is put.
struct Source {
    const Bytes& data;
    size_t at = 0;
    size_t end = 0;
};

int readSource(GifFileType* file, GifByteType* out, int wanted) {
    auto* source = static_cast<Source*>(file->UserData);
    const size_t n = std::min(size_t(std::max(wanted, 0)), source->end - source->at);
    std::memcpy(out, source->data.data() + source->at, n);
    source->at += n;
    return int(n);
}

using Palette = std::array<std::array<uint8_t, 4>, 256>;

Palette paletteOf(const ColorMapObject& map, int transparent) {
    Palette palette;
    palette.fill({0, 0, 0, 255});
    for (int i = 0; i < std::min(map.ColorCount, 256); ++i)
        palette[i] = {map.Colors[i].Red, map.Colors[i].Green, map.Colors[i].Blue, 255};
    if (transparent >= 0) palette[transparent] = {0, 0, 0, 0};
    return palette;
}

std::string unreadable(int error) {
    const char* text = GifErrorString(error);
    return std::string("unreadable gif image: ") + (text ? text : "unknown error");
}

// The frame's rows, in the order its data holds them, painted onto the canvas.
std::string paintRows(GifFileType* file, const Palette& palette, QKImage& canvas) {
    const GifImageDesc& frame = file->Image;
    static constexpr int kInterlaced[][2] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}},
                         kPlain[][2] = {{0, 1}};
    const size_t left = size_t(frame.Left),
                 columns =
                     left < canvas.width ? std::min(size_t(frame.Width), canvas.width - left) : 0;
    std::vector<GifPixelType> line(size_t(frame.Width));
    using Passes = std::span<const int[2]>;
    for (const auto& [first, step] : frame.Interlace ? Passes(kInterlaced) : Passes(kPlain)) {
        for (int row = first; row < frame.Height; row += step) {
            if (DGifGetLine(file, line.data(), frame.Width) == GIF_ERROR)
                return "truncated gif image: the data of its first frame ends early";
            const size_t y = size_t(frame.Top) + size_t(row);
            if (y >= canvas.height) continue;
            uint8_t* out = canvas.pixels.data() + y * canvas.bytesPerRow + left * 4;
            for (size_t x = 0; x < columns; ++x, out += 4)
                std::memcpy(out, palette[line[x]].data(), 4);
        }
    }
    return {};
}

Decoded decodeFrame(GifFileType* file, const Survey& survey) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(file, &type) == GIF_ERROR || type != IMAGE_DESC_RECORD_TYPE ||
        DGifGetImageDesc(file) == GIF_ERROR)
        return {nullptr, unreadable(file->Error)};
    const ColorMapObject* map = file->Image.ColorMap ? file->Image.ColorMap : file->SColorMap;
    if (!map) return {nullptr, "unreadable gif image: it has no colour table"};
    auto canvas = newImage(size_t(file->SWidth), size_t(file->SHeight));
    std::string reason = paintRows(file, paletteOf(*map, survey.transparent), *canvas);
    if (!reason.empty()) return {nullptr, std::move(reason)};
    return {std::move(canvas), {}};
}

// The screen and its colour table read from the start, then the first frame from its
// descriptor: the blocks before it were read by the survey.
Decoded decode(const Bytes& data, const Survey& survey) {
    Source source{data, 0, survey.end};
    int error = 0;
    GifFileType* file = DGifOpen(&source, readSource, &error);
    if (!file) return {nullptr, unreadable(error)};
    source.at = survey.frame;
    Decoded result = decodeFrame(file, survey);
    DGifCloseFile(file, &error);
    return result;
}

}  // namespace gif

const Format kGif = {gif::kName, gif::matches, gif::survey, gif::decode};

}  // namespace telvo::image

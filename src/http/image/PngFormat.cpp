// PNG: the chunks up to IEND; the size its IHDR promises; an interlaced image's data must hold
// all seven passes. Decoded by gdk-pixbuf (libpng), whose rows tell a stream cut short.
#include <zlib.h>

#include <array>
#include <cstring>
#include <string_view>

#include "http/image/ImageFormat.h"
#include "http/image/PixbufDecoder.h"

namespace telvo::image {

namespace png {

constexpr const char* kName = "png";

bool matches(const Bytes& data) {
    static constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return data.size() >= 8 && std::memcmp(data.data(), kSignature, 8) == 0;
}

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
bool dataInflatesTo(const Bytes& data, size_t end, uint64_t needed) {
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
bool interlacedWhole(const Bytes& data, size_t header, size_t end) {
    static constexpr uint8_t kChannels[] = {1, 0, 3, 1, 2, 0, 4};
    const uint32_t width = be32(data, header), height = be32(data, header + 4);
    const uint8_t depth = data[header + 8], colour = data[header + 9];
    if (data[header + 12] != 1 || colour > 6 || kChannels[colour] == 0)
        return true;  // not interlaced, or the decoder's to refuse
    return dataInflatesTo(data, end,
                          interlacedBytes(width, height, uint64_t(depth) * kChannels[colour]));
}

// The decoder inflates each compressed text chunk (zTXt, iTXt) to up to 8 MB and keeps it: a
// hundred of them in a few kilobytes would take seconds and gigabytes. Text holds no pixels: the
// text chunks after the header are not given to the decoder. The header's size is held to the
// limit as soon as it is read.
Survey survey(const Bytes& data, uint64_t limit) {
    std::optional<size_t> header;
    std::vector<std::pair<size_t, size_t>> text;
    for (size_t at = 8;;) {
        if (data.size() - at < 12 || be32(data, at) > data.size() - at - 12)
            return truncated(kName, "it ends before its IEND chunk");
        const uint32_t length = be32(data, at);
        const std::string_view type(reinterpret_cast<const char*>(&data[at + 4]), 4);
        if (type == "IHDR" && length >= 13 && !header) {
            header = at + 8;
            if (auto no = refusedBySize("image", be32(data, *header), be32(data, *header + 4),
                                        data.size(), limit, encodableBy(data.size())))
                return *no;
        }
        const size_t chunk = at;
        at += 12 + size_t(length);
        if (header && (type == "zTXt" || type == "iTXt")) {
            if (!text.empty() && text.back().second == chunk)
                text.back().second = at;
            else
                text.emplace_back(chunk, at);
        }
        if (type != "IEND") continue;
        if (header && !interlacedWhole(data, *header, at))
            return truncated(kName, "its interlaced image data ends early");
        Survey survey =
            readTo(at, header ? uint64_t(be32(data, *header)) * be32(data, *header + 4) : 0);
        survey.withheld = std::move(text);
        return survey;
    }
}

Decoded decode(const Bytes& data, const Survey& survey) {
    return decodeWithPixbuf(kName, data, survey, RowsTell::WhileFed);
}

}  // namespace png

const Format kPng = {png::kName, png::matches, png::survey, png::decode};

}  // namespace telvo::image

// TIFF: the first directory, the values it keeps apart, the strips or tiles it names, and the
// size it promises, held to the limit alone (its fax, JBIG, LZMA and Zstandard codings code a
// blank image in far fewer bytes than any useful bound). Decoded by gdk-pixbuf (libtiff).
#include <algorithm>
#include <iterator>

#include "http/image/ImageFormat.h"
#include "http/image/PixbufDecoder.h"

namespace telvo::image {

namespace tiff {

constexpr const char* kName = "tiff";

bool matches(const Bytes& data) {
    return data.size() >= 4 && ((data[0] == 'I' && data[1] == 'I' && data[2] == '*' && !data[3]) ||
                                (data[0] == 'M' && data[1] == 'M' && !data[2] && data[3] == '*'));
}

size_t typeBytes(uint32_t type) {
    static constexpr uint8_t kBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < std::size(kBytes) ? kBytes[type] : 0;
}

// An array of 16- or 32-bit values in the data.
struct Values {
    size_t at = 0, count = 0, size = 0;
};

class Reader {
  public:
    explicit Reader(const Bytes& data) : data_(data), little_(data[0] == 'I') {}
    uint32_t u16(size_t at) const { return little_ ? le16(data_, at) : be16(data_, at); }
    uint32_t u32(size_t at) const { return little_ ? le32(data_, at) : be32(data_, at); }
    uint32_t value(const Values& v, size_t i) const {
        return v.size == 2 ? u16(v.at + 2 * i) : u32(v.at + 4 * i);
    }

  private:
    const Bytes& data_;
    bool little_;
};

// What the first directory names: where the strips (or tiles) start and their lengths, and the
// image's size (the largest of each, should a tag come twice).
struct Directory {
    Values starts, lengths;
    int64_t width = -1, height = -1;
};

std::optional<Survey> readEntry(const Bytes& data, const Reader& in, size_t entry,
                                Directory& directory) {
    const uint32_t tag = in.u16(entry);
    const size_t count = in.u32(entry + 4), size = typeBytes(in.u16(entry + 2));
    if (size == 0) return std::nullopt;  // a type the decoder passes over
    const size_t at = count * size <= 4 ? entry + 8 : in.u32(entry + 8);
    if (count > data.size() / size || at > data.size() - count * size)
        return truncated(kName, "its directory's values run past its end");
    if (size != 2 && size != 4) return std::nullopt;
    if (tag == 273 || tag == 324) directory.starts = {at, count, size};
    if (tag == 279 || tag == 325) directory.lengths = {at, count, size};
    if ((tag == 256 || tag == 257) && count >= 1) {
        int64_t& side = tag == 256 ? directory.width : directory.height;
        side = std::max<int64_t>(side, in.value({at, count, size}, 0));
    }
    return std::nullopt;
}

Survey survey(const Bytes& data, uint64_t limit) {
    if (data.size() < 8) return truncated(kName, "it ends inside its header");
    const Reader in(data);
    const size_t first = in.u32(4);
    if (first > data.size() || data.size() - first < 2 ||
        (data.size() - first - 2) / 12 < in.u16(first))
        return truncated(kName, "its directory runs past its end");
    Directory directory;
    for (size_t i = 0, entries = in.u16(first); i < entries; ++i) {
        if (auto no = readEntry(data, in, first + 2 + 12 * i, directory)) return *no;
    }
    const Values &starts = directory.starts, &lengths = directory.lengths;
    for (size_t i = 0; starts.count == lengths.count && i < starts.count; ++i) {
        if (in.value(starts, i) > data.size() ||
            in.value(lengths, i) > data.size() - in.value(starts, i))
            return truncated(kName, "its image data runs past its end");
    }
    if (directory.width < 0 || directory.height < 0)
        return readTo(data.size(), limit);  // the decoder's to refuse
    if (auto no = refusedBySize("image", directory.width, directory.height, data.size(), limit,
                                QKImage::kMaximumPixelCount))
        return *no;
    return readTo(data.size(), uint64_t(directory.width) * uint64_t(directory.height));
}

Decoded decode(const Bytes& data, const Survey& survey) {
    return decodeWithPixbuf(kName, data, survey, RowsTell::AtClose);
}

}  // namespace tiff

const Format kTiff = {tiff::kName, tiff::matches, tiff::survey, tiff::decode};

}  // namespace telvo::image

#include "http/image/PixbufDecoder.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace telvo::image {

namespace {

// The loaders are fed in pieces of this size.
constexpr size_t kPieceBytes = 64 * 1024;

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

struct Decoding {
    explicit Decoding(const Survey& of) : survey(of) {}
    const Survey& survey;
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
    if (!withinBound(width, height, decoding->survey.mostPixels)) {
        decoding->refused = true;
        gdk_pixbuf_loader_set_size(loader, 0, 0);
    }
}

void onAreaUpdated(GdkPixbufLoader*, int, int y, int, int height, gpointer data) {
    auto* decoding = static_cast<Decoding*>(data);
    decoding->rows.add(std::max(y, 0), std::min(int64_t(y) + height, int64_t(decoding->height)));
}

bool feed(GdkPixbufLoader* loader, const Bytes& data, const Decoding& decoding, GError** error) {
    auto write = [&](size_t from, size_t to) {
        for (size_t at = from; at < to && !decoding.refused; at += kPieceBytes) {
            const size_t piece = std::min(kPieceBytes, to - at);
            if (!gdk_pixbuf_loader_write(loader, data.data() + at, piece, error)) return false;
        }
        return true;
    };
    size_t at = 0;
    for (const auto& [first, last] : decoding.survey.withheld) {
        if (!write(at, first)) return false;
        at = last;
    }
    return write(at, decoding.survey.end);
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
    auto image = newImage(width, height);
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

// The image the closed loader holds, or why there is none.
Decoded judge(const char* type, GdkPixbuf* pixbuf, const Decoding& decoding, int64_t rows,
              size_t dataSize, GError* error) {
    const uint64_t limit = decoding.survey.limit;
    if (decoding.refused)
        return {nullptr, tooLarge("image", decoding.width, decoding.height, dataSize, limit)};
    if (!pixbuf)
        return {nullptr, std::string("unreadable ") + type + " image" +
                             (error ? std::string(": ") + error->message : std::string())};
    const int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
    if (!withinBound(width, height, decoding.survey.mostPixels))
        return {nullptr, tooLarge("image", width, height, dataSize, limit)};
    if (rows < height)
        return {nullptr, std::string("truncated ") + type + " image: " + std::to_string(rows) +
                             " of " + std::to_string(height) + " rows in its data"};
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
        gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB)
        return {nullptr, std::string("unsupported pixel layout in ") + type + " image"};
    return {plainBitmap(pixbuf), {}};
}

}  // namespace

Decoded decodeWithPixbuf(const char* type, const Bytes& data, const Survey& survey,
                         RowsTell rowsTell) {
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(type, &error);
    if (!loader) {
        Decoded result{nullptr, std::string("no decoder for ") + type + ": " +
                                    (error ? error->message : "unknown")};
        g_clear_error(&error);
        return result;
    }
    Decoding decoding(survey);
    g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &decoding);
    g_signal_connect(loader, "area-updated", G_CALLBACK(onAreaUpdated), &decoding);
    bool ok = feed(loader, data, decoding, &error);
    const int64_t rowsWhileFed = decoding.rows.count();
    // Closing is required even after a failed write; its error (a truncated image) counts
    // only when the write went through.
    ok = gdk_pixbuf_loader_close(loader, ok ? &error : nullptr) && ok;
    const int64_t rows = rowsTell == RowsTell::WhileFed ? rowsWhileFed : decoding.rows.count();
    Decoded result = judge(type, ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr, decoding,
                           rows, data.size(), error);
    g_clear_error(&error);
    g_object_unref(loader);
    return result;
}

}  // namespace telvo::image

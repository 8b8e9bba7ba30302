// Decoding images with QKImage::af_safeImageWithData: a 1024 x 1024 PNG, and refusals of
// bodies of a few kilobytes that claim 50,000 x 50,000 pixels (a PNG and a GIF; an XBM that
// claims 2,000,000,000 x 2,000,000,000), and of bodies of about a hundred bytes (a BMP, a PNG, a
// GIF; a JPEG of 636 bytes) whose headers claim 8000 x 8000 pixels, just under the pixel bound
// but far more than their bytes can encode. Counter: the heap's peak growth during one decode
// (malloc and its relatives on every thread, GLib's allocations included). Goal: a refusal
// allocates no pixel buffer: its peak growth stays under 1 MiB whatever the claimed size (the
// PNG decoder's two row buffers, 400 KB for a row of 50,000, are the most of it); the real
// image peaks near its decoded pixels twice over (the decoder's buffer and the bitmap copied
// out, 8 MiB). Measured on the README's benchmark build: 8.39 MB, 413 KB, 5.7 KB and 200 bytes;
// 4.5 KB, 77 KB, 90 KB and 5.7 KB for the four claiming 8000 x 8000 (each decoded into 448 to
// 512 MB before those were refused).
#include <benchmark/benchmark.h>

#include <algorithm>

#include "HeapCounter.h"
#include "http/ImageTestImages.h"
#include "telvosdk/QKImage.h"

namespace {

using namespace telvo;

Bytes largePng() {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 1024, 1024);
    gdk_pixbuf_fill(pixbuf, 0x3366CCFF);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
    Bytes out(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return out;
}

void decode(benchmark::State& state, const Bytes& body, bool decodes) {
    size_t peak = 0;
    for (auto _ : state) {
        bench::HeapPeak heap;
        auto image = QKImage::af_safeImageWithData(body);
        if (bool(image) != decodes) state.SkipWithError("unexpected result");
        benchmark::DoNotOptimize(image);
        peak = std::max(peak, heap.growth());
    }
    state.counters["body_B"] = double(body.size());
    state.counters["heap_peak_growth_B"] = double(peak);
}

void BM_DecodePng1024(benchmark::State& state) {
    static const Bytes body = largePng();
    decode(state, body, true);
}
BENCHMARK(BM_DecodePng1024);

void BM_RefusePngBomb(benchmark::State& state) {
    static const Bytes body = test::images::pngSized(test::images::saved("png"), 50000, 50000);
    decode(state, body, false);
}
BENCHMARK(BM_RefusePngBomb);

void BM_RefuseGifBomb(benchmark::State& state) {
    static const Bytes body = test::images::gif(50000, 50000);
    decode(state, body, false);
}
BENCHMARK(BM_RefuseGifBomb);

void BM_RefuseXbmBomb(benchmark::State& state) {
    static const Bytes body = toBytes(test::images::xbmText(2000000000, 2000000000));
    decode(state, body, false);
}
BENCHMARK(BM_RefuseXbmBomb);

// Bodies of about a hundred bytes whose headers claim 8000 x 8000 pixels, just under the bound.
void BM_RefuseInflated(benchmark::State& state, Bytes (*body)()) {
    decode(state, body(), false);
}
namespace images = test::images;
BENCHMARK_CAPTURE(
    BM_RefuseInflated, Bmp, +[] { return images::bmpSized(images::saved("bmp"), 8000, 8000); });
BENCHMARK_CAPTURE(
    BM_RefuseInflated, Png, +[] { return images::pngSized(images::saved("png"), 8000, 8000); });
BENCHMARK_CAPTURE(
    BM_RefuseInflated, Jpeg, +[] { return images::jpegSized(images::saved("jpeg"), 8000, 8000); });
BENCHMARK_CAPTURE(
    BM_RefuseInflated, Gif, +[] { return images::gif(8000, 8000); });

}  // namespace

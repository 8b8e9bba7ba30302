// Decoding images with QKImage::af_safeImageWithData: a 1024 x 1024 PNG, and refusals of
// bodies of a few kilobytes that claim 50,000 x 50,000 pixels (a PNG and a GIF; an XBM that
// claims 2,000,000,000 x 2,000,000,000). Counter: the heap's peak growth during one decode
// (malloc and its relatives on every thread, GLib's allocations included). Goal: a refusal
// allocates no pixel buffer: its peak growth stays under 1 MiB whatever the claimed size (the
// PNG decoder's two row buffers, 400 KB for a row of 50,000, are the most of it); the real
// image peaks near its decoded pixels twice over (the decoder's buffer and the bitmap copied
// out, 8 MiB). Measured on the README's benchmark build: 8.39 MB, 413 KB, 5.7 KB and 0 bytes.
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

}  // namespace

// JPEGs written by libjpeg's compressor for the JPEG decoder's tests and benchmark, and the
// places in them that the tests cut or spoil.
#pragma once

// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "telvosdk/Bytes.h"

namespace telvo::test::jpeg {

struct Shape {
    int width = 64;
    int height = 64;
    J_COLOR_SPACE input = JCS_RGB;      // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK samples
    J_COLOR_SPACE coded = JCS_UNKNOWN;  // the file's colour space; unknown: libjpeg's default
    int lumaH = 2, lumaV = 2;           // the first component's sampling (2, 2: 4:2:0)
    bool progressive = false;
    std::vector<jpeg_scan_info> scans = {};  // a scan script of its own
    unsigned restartInterval = 0;            // in MCUs
    bool arithmetic = false;
    bool flat = false;  // one colour, else a gradient with noise
    int quality = 85;
};

// The sample of channel c at (x, y).
inline uint8_t sample(const Shape& shape, int x, int y, int c) {
    if (shape.flat) return uint8_t(90 + 40 * c);
    uint32_t noise = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(c) * 83492791u;
    noise = (noise ^ (noise >> 13)) * 0x5bd1e995u;
    const int smooth = (x * 255 / std::max(shape.width - 1, 1) * (c + 1) +
                        y * 255 / std::max(shape.height - 1, 1) * (3 - c)) /
                       4;
    return uint8_t((smooth + int(noise >> 27)) & 0xFF);
}

inline Bytes encode(const Shape& shape) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(shape.width);
    info.image_height = JDIMENSION(shape.height);
    info.in_color_space = shape.input;
    info.input_components = shape.input == JCS_GRAYSCALE ? 1 : shape.input == JCS_CMYK ? 4 : 3;
    jpeg_set_defaults(&info);
    if (shape.coded != JCS_UNKNOWN) jpeg_set_colorspace(&info, shape.coded);
    jpeg_set_quality(&info, shape.quality, TRUE);
    info.comp_info[0].h_samp_factor = shape.lumaH;
    info.comp_info[0].v_samp_factor = shape.lumaV;
    if (shape.progressive) jpeg_simple_progression(&info);
    if (!shape.scans.empty()) {
        info.scan_info = shape.scans.data();
        info.num_scans = int(shape.scans.size());
    }
    info.restart_interval = shape.restartInterval;
    info.arith_code = shape.arithmetic;
    info.optimize_coding = !shape.arithmetic && !shape.progressive && shape.scans.empty();
    jpeg_start_compress(&info, TRUE);
    const int channels = info.input_components;
    std::vector<JSAMPLE> row(size_t(shape.width) * size_t(channels));
    for (int y = 0; y < shape.height; ++y) {
        for (int x = 0; x < shape.width && (y == 0 || !shape.flat); ++x) {
            for (int c = 0; c < channels; ++c)
                row[size_t(x * channels + c)] = sample(shape, x, y, c);
        }
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

// A YCbCr image's scans, most of them refinements, each a pass over a component's every block:
// the DC in two, then each component's AC band 1 to 63 sent first without its lowest `bits`
// bits, then one bit at a time (bits + 1 scans; 0: one scan).
inline std::vector<jpeg_scan_info> refinementScans(int yBits, int cbBits, int crBits) {
    std::vector<jpeg_scan_info> scans;
    scans.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 1});
    scans.push_back({3, {0, 1, 2, 0}, 0, 0, 1, 0});
    for (auto [component, bits] :
         {std::pair{0, yBits}, std::pair{1, cbBits}, std::pair{2, crBits}}) {
        scans.push_back({1, {component, 0, 0, 0}, 1, 63, 0, bits});
        for (int bit = bits; bit > 0; --bit)
            scans.push_back({1, {component, 0, 0, 0}, 1, 63, bit, bit - 1});
    }
    return scans;
}

// 32 scans (33 with `extra`).
inline std::vector<jpeg_scan_info> thirtyTwoScans(bool extra = false) {
    return refinementScans(10, 9, extra ? 9 : 8);
}

// A sequential file of three scans, one for each component.
inline std::vector<jpeg_scan_info> scanPerComponent() {
    return {{1, {0, 0, 0, 0}, 0, 63, 0, 0},
            {1, {1, 0, 0, 0}, 0, 63, 0, 0},
            {1, {2, 0, 0, 0}, 0, 63, 0, 0}};
}

// Where the coded data of each scan starts (past its SOS segment) and ends (at the marker after
// it that is not a restart marker): [start, end) pairs.
inline std::vector<std::pair<size_t, size_t>> scanData(const Bytes& jpeg) {
    std::vector<std::pair<size_t, size_t>> scans;
    for (size_t at = 2; at + 4 <= jpeg.size();) {
        const uint8_t marker = jpeg[at + 1];
        if (marker == 0xD9) break;
        at += 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
        if (marker != 0xDA) continue;
        size_t end = at;
        while (end + 1 < jpeg.size() &&
               !(jpeg[end] == 0xFF && jpeg[end + 1] != 0 && (jpeg[end + 1] & 0xF8) != 0xD0))
            ++end;
        scans.emplace_back(at, end);
        at = end;
    }
    return scans;
}

}  // namespace telvo::test::jpeg

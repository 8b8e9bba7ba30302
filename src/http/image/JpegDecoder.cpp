#include "http/image/JpegDecoder.h"

// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <new>
#include <utility>

// Names of their own: a batched (unity) build compiles this file with others.
namespace telvo::jpeg_decoding {

namespace {

using Status = JpegImage::Status;

// Coefficients of a progressive or multi-scan file are kept whole until its last scan: 2 bytes
// for each of up to 4 full-size components. Above that, room for the decoder's row buffers.
constexpr uint64_t kCoefficientBytesPerPixel = 8;
constexpr uint64_t kWorkingBytes = uint64_t(16) << 20;

// A decode's work, counted in units of about half a nanosecond (more at large sizes, where the
// coefficients of each scan's pass come from memory) of what the decoder spends whatever the data
// holds (what the coded data holds costs in proportion to its bytes): 64 for each block of the
// frame (its inverse DCT and colours), and for each scan, before its data is read, 16 for each
// block it covers and a refinement scan's pass over the coefficients of its band in each block
// on top, twice that coded arithmetically. A decode may do 12 a pixel (768 Mi at 64 Mi pixels),
// or 256 Mi whatever its size. Encoders' own files take 2 (baseline 4:2:0) to 10.5 (libjpeg's
// progressive script over 4:4:4 YCbCr) a pixel; its progressive CMYK takes 18, and so is decoded
// up to 14 Mi pixels.
constexpr uint64_t kFrameBlockWork = 64;
constexpr uint64_t kScanBlockWork = 16;
constexpr uint64_t kArithmeticWork = 2;
constexpr uint64_t kMostWorkPerPixel = 12;
constexpr uint64_t kWorkAlways = uint64_t(256) << 20;

// Arithmetic decoding costs about 200 ns a byte of coded data whatever the image's size: a
// body of more than 4 MiB (the most an HTTP reply brings) is refused before its scans.
constexpr size_t kMostArithmeticBytes = size_t(4) << 20;

// The data is handed to the decoder in pieces shorter than a Huffman-coded MCU's most bytes:
// with fewer bytes than that at hand, the decoder reads codes on its careful path, which reports
// a code no table holds. On its fast path such a code reads as a zero without a word, and the
// data goes on to decode, often in step again, to an image with broken blocks. The careful path
// costs about 2% of a decode.
constexpr size_t kPieceBytes = 256;

struct Decoder {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    jpeg_progress_mgr progress{};
    jpeg_source_mgr source{};
    ByteView data;
    size_t given = 0;  // bytes of `data` handed to the decoder
    std::jmp_buf jump{};
    JpegLimits limits;
    uint32_t componentsCoded = 0;  // a bit for each component index named by a scan
    int scansCounted = 0;
    uint64_t work = 0;
    bool scanning = false;  // past the first scan's header
    Status status = Status::Unreadable;
    std::string reason;
};

Decoder& decoderOf(j_common_ptr common) {
    return *static_cast<Decoder*>(common->client_data);
}

std::string messageOf(j_common_ptr common) {
    char text[JMSG_LENGTH_MAX] = {};
    common->err->format_message(common, text);
    return text;
}

// Leaves the decode by a jump back into run(). The reason is made here, by a lambda whose
// captures are references: no object with a destructor is alive in the frames the jump leaves.
template <typename Reason>
[[noreturn]] void refuse(Decoder& decoder, Status status, Reason reason) {
    decoder.status = status;
    decoder.reason = reason();
    std::longjmp(decoder.jump, 1);
}

[[noreturn]] void onError(j_common_ptr common) {
    Decoder& decoder = decoderOf(common);
    const int code = common->err->msg_code;
    if (code == JERR_NO_BACKING_STORE || code == JERR_OUT_OF_MEMORY)
        refuse(decoder, Status::TooLarge, [&] {
            return "jpeg image of " + std::to_string(decoder.info.image_width) + " x " +
                   std::to_string(decoder.info.image_height) +
                   " pixels needs more memory to decode than its pixel bound allows";
        });
    refuse(decoder, Status::Unreadable,
           [&] { return "unreadable jpeg image: " + messageOf(common); });
}

// Warnings where the decoder made up data (zeros for coefficients it could not read) refuse the
// image, and so do bytes left over after a scan's coded data: the decoder lost its place in it
// (its fast Huffman path reads a bad code as a zero without a word). Stray bytes between the
// segments before the first scan, unknown markers' contents and the like pass, and so does
// padding before the end marker, which some encoders write after a whole image (a scan that
// lost its place before it still ends short of its coefficients, or hits the marker).
void onMessage(j_common_ptr common, int level) {
    if (level >= 0) return;  // traces
    const int code = common->err->msg_code;
    constexpr int kEndOfImage = 0xD9;
    if (code == JWRN_EXTRANEOUS_DATA && decoderOf(common).scanning &&
        common->err->msg_parm.i[1] != kEndOfImage)
        refuse(decoderOf(common), Status::Corrupt,
               [&] { return "corrupt jpeg image: " + messageOf(common); });
    switch (code) {
        case JWRN_JPEG_EOF:
        case JWRN_HIT_MARKER:
        case JWRN_MUST_RESYNC:
            refuse(decoderOf(common), Status::Truncated,
                   [&] { return "truncated or corrupt jpeg image: " + messageOf(common); });
        case JWRN_HUFF_BAD_CODE:
        case JWRN_ARITH_BAD_CODE:
        case JWRN_NOT_SEQUENTIAL:
        case JWRN_BOGUS_PROGRESSION:
            refuse(decoderOf(common), Status::Corrupt,
                   [&] { return "corrupt jpeg image: " + messageOf(common); });
        default:
            return;
    }
}

void startSource(j_decompress_ptr) {}
void endSource(j_decompress_ptr) {}

boolean nextPiece(j_decompress_ptr info) {
    Decoder& decoder = decoderOf(reinterpret_cast<j_common_ptr>(info));
    if (decoder.given == decoder.data.size())
        refuse(decoder, Status::Truncated,
               [&] { return "truncated jpeg image: it ends before its EOI marker"; });
    const size_t piece = std::min(kPieceBytes, decoder.data.size() - decoder.given);
    decoder.source.next_input_byte = decoder.data.data() + decoder.given;
    decoder.source.bytes_in_buffer = piece;
    decoder.given += piece;
    return TRUE;
}

void skipBytes(j_decompress_ptr info, long count) {
    Decoder& decoder = decoderOf(reinterpret_cast<j_common_ptr>(info));
    jpeg_source_mgr& source = decoder.source;
    if (count <= 0) return;
    size_t skip = size_t(count);
    if (skip > source.bytes_in_buffer) {
        skip -= source.bytes_in_buffer;
        if (skip > decoder.data.size() - decoder.given)
            refuse(decoder, Status::Truncated,
                   [&] { return "truncated jpeg image: it ends inside a marker segment"; });
        decoder.given += skip;
        source.bytes_in_buffer = 0;
        return;
    }
    source.next_input_byte += skip;
    source.bytes_in_buffer -= skip;
}

void addWork(Decoder& decoder, uint64_t work) {
    const jpeg_decompress_struct& info = decoder.info;
    decoder.work += work;
    const uint64_t pixels = uint64_t(info.image_width) * info.image_height;
    if (decoder.work > std::max(pixels * kMostWorkPerPixel, kWorkAlways))
        refuse(decoder, Status::TooSlow, [&] {
            return "jpeg image of " + std::to_string(info.image_width) + " x " +
                   std::to_string(info.image_height) + " pixels whose " +
                   std::to_string(info.input_scan_number) +
                   " scans pass over its blocks more than a decode may";
        });
}

uint64_t blocksOf(const jpeg_component_info& component) {
    return uint64_t(component.width_in_blocks) * component.height_in_blocks;
}

// Counts a scan whose header was just read, and refuses one past the bounds.
void noteScan(Decoder& decoder) {
    const jpeg_decompress_struct& info = decoder.info;
    if (info.input_scan_number == decoder.scansCounted) return;
    decoder.scansCounted = info.input_scan_number;
    if (size_t(info.input_scan_number) > decoder.limits.mostScans)
        refuse(decoder, Status::TooSlow, [&] {
            return "jpeg image of more than " + std::to_string(decoder.limits.mostScans) + " scans";
        });
    const uint64_t band = info.Ah > 0 ? uint64_t(std::max(info.Se - info.Ss, 0)) + 1 : 0;
    uint64_t work = 0;
    for (int i = 0; i < info.comps_in_scan; ++i) {
        decoder.componentsCoded |= 1u << (info.cur_comp_info[i]->component_index & 31);
        work += blocksOf(*info.cur_comp_info[i]) * (band + kScanBlockWork);
    }
    addWork(decoder, work * (info.arith_code ? kArithmeticWork : 1));
}

// Runs before each step of reading a multi-scan file's scans, and before each call for rows.
void onProgress(j_common_ptr common) {
    noteScan(decoderOf(common));
}

// Whether every component was coded, and in a progressive file every coefficient to its last bit.
bool everyCoefficientCoded(const Decoder& decoder) {
    const jpeg_decompress_struct& info = decoder.info;
    for (int c = 0; c < info.num_components; ++c) {
        if (!(decoder.componentsCoded >> (info.comp_info[c].component_index & 31) & 1))
            return false;
        if (!info.progressive_mode) continue;
        for (int k = 0; k < DCTSIZE2; ++k) {
            if (info.coef_bits[c][k] != 0) return false;
        }
    }
    return true;
}

// Adobe's inverted CMYK, as gdk-pixbuf reads it: each of C, M and Y times K, over 255.
void cmykToRgba(uint8_t* row, size_t width) {
    for (size_t x = 0; x < width; ++x, row += 4) {
        const unsigned k = row[3];
        row[0] = uint8_t(row[0] * k / 255);
        row[1] = uint8_t(row[1] * k / 255);
        row[2] = uint8_t(row[2] * k / 255);
        row[3] = 255;
    }
}

// Decodes into `out`; on a refusal, libjpeg jumps back here. Only `decoder` and `out`, which
// live in the caller, change between the jump's setting and a jump.
void run(Decoder& decoder, ByteView data, JpegImage& out) {
    jpeg_decompress_struct& info = decoder.info;
    if (setjmp(decoder.jump)) return;
    decoder.data = data;
    decoder.source.init_source = startSource;
    decoder.source.fill_input_buffer = nextPiece;
    decoder.source.skip_input_data = skipBytes;
    decoder.source.resync_to_restart = jpeg_resync_to_restart;
    decoder.source.term_source = endSource;
    info.src = &decoder.source;
    jpeg_read_header(&info, TRUE);
    out.width = info.image_width;
    out.height = info.image_height;
    decoder.scanning = true;
    if (uint64_t(info.image_width) * info.image_height > decoder.limits.mostPixels)
        refuse(decoder, Status::TooLarge, [&] {
            return "jpeg image of " + std::to_string(info.image_width) + " x " +
                   std::to_string(info.image_height) + " pixels is over the bound of " +
                   std::to_string(decoder.limits.mostPixels) + " pixels";
        });
    if (info.arith_code && data.size() > kMostArithmeticBytes)
        refuse(decoder, Status::TooSlow, [&] {
            return "arithmetic-coded jpeg image of more than " +
                   std::to_string(kMostArithmeticBytes) + " bytes";
        });
    uint64_t frameBlocks = 0;
    for (int c = 0; c < info.num_components; ++c) frameBlocks += blocksOf(info.comp_info[c]);
    addWork(decoder, frameBlocks * kFrameBlockWork);
    noteScan(decoder);
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    info.do_block_smoothing = FALSE;
    jpeg_start_decompress(&info);  // a multi-scan file's scans are all read here
    if (!everyCoefficientCoded(decoder))
        refuse(decoder, Status::Truncated, [&] {
            return "truncated jpeg image: its scans end before every coefficient is coded";
        });
    const size_t width = info.output_width, stride = width * 4;
    bool allocated = true;
    try {
        out.pixels.resize(stride * info.output_height);
    } catch (const std::bad_alloc&) {
        allocated = false;
    }
    if (!allocated)
        refuse(decoder, Status::TooLarge, [&] {
            return "not enough memory for a jpeg image of " + std::to_string(width) + " x " +
                   std::to_string(info.output_height) + " pixels";
        });
    uint8_t* const pixels = out.pixels.data();
    JSAMPROW rows[4];
    const int most = std::min(info.rec_outbuf_height, 4);
    while (info.output_scanline < info.output_height) {
        const JDIMENSION first = info.output_scanline,
                         count = std::min<JDIMENSION>(JDIMENSION(most), info.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i) rows[i] = pixels + size_t(first + i) * stride;
        const JDIMENSION got = jpeg_read_scanlines(&info, rows, count);
        if (cmyk) {
            for (JDIMENSION i = 0; i < got; ++i) cmykToRgba(rows[i], width);
        }
    }
    jpeg_finish_decompress(&info);  // reads on to EOI
    decoder.status = Status::Decoded;
}

JpegImage decode(ByteView data, const JpegLimits& limits) {
    Decoder decoder;
    decoder.limits = limits;
    decoder.info.err = jpeg_std_error(&decoder.errors);
    decoder.errors.error_exit = onError;
    decoder.errors.emit_message = onMessage;
    decoder.progress.progress_monitor = onProgress;
    JpegImage out;
    jpeg_create_decompress(&decoder.info);
    decoder.info.client_data = &decoder;
    decoder.info.progress = &decoder.progress;
    const uint64_t memory =
        std::min(limits.mostPixels, uint64_t(1) << 40) * kCoefficientBytesPerPixel + kWorkingBytes;
    decoder.info.mem->max_memory_to_use = long(memory);
    run(decoder, data, out);
    jpeg_destroy_decompress(&decoder.info);
    out.status = decoder.status;
    if (out.status == Status::Decoded) return out;
    out.pixels = Bytes();
    out.reason = std::move(decoder.reason);
    return out;
}

}  // namespace

}  // namespace telvo::jpeg_decoding

namespace telvo {

JpegImage decodeJpeg(ByteView data, const JpegLimits& limits) {
    return jpeg_decoding::decode(data, limits);
}

}  // namespace telvo

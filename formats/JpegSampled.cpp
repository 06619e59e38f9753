// The decodes that resize as they read: nearest samples by rows or from the
// raw planes, the smooth filter fed rows, and windows of either.
#include "JpegCodec.h"

#include "Device.h"
#include "JpegLibrary.h"
#include "JpegRawSample.h"
#include "Resize.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <functional>
#include <numeric>
#include <vector>

// The same from the raw planes: kRanOut when a sequential file ran out,
// where only a decode by rows stops where a full decode stops.
JpegCodec::RawResult JpegCodec::SampleRawPlanes(jpeg_decompress_struct* cinfo, DecodeWindow window,
                                                uint32_t fullW, uint32_t fullH) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const uint32_t w = GetWidth(), h = GetHeight();
    std::vector<uint32_t> columns(w), rows(h);
    for (uint32_t x = 0; x < w; ++x)
        columns[x] = uint32_t(StretchSource(window.x + x, fullW, cinfo->output_width));
    for (uint32_t y = 0; y < h; ++y)
        rows[y] = uint32_t(StretchSource(window.y + y, fullH, cinfo->output_height));
    const size_t padding = GetStride() - 3 * size_t(w);
    auto outRow = [&](uint32_t top) {
        uint8_t* row = TopDownRow(top);
        std::memset(row + 3 * size_t(w), 0, padding);
        return row;
    };
    const bool sequential = !cinfo->progressive_mode;
    const std::function<bool()> stop = [&] { return sequential && source->ended; };
    const std::function<uint8_t*(uint32_t)> out = outRow;
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return RawResult::kFailed;
    uint32_t done = 0;
    if (!SampleRawRows(cinfo, columns, rows, out, stop, &done)) return RawResult::kFailed;
    if (sequential && source->ended) return RawResult::kRanOut;
    for (uint32_t top = done; top < h; ++top)
        std::memset(TopDownRow(top), 0, GetStride());
    return RawResult::kDone;
}

// The nearest resize to this raster's size, sampled from the rows as they are
// decoded: the pixels of a full decode resized, without holding the picture.
bool JpegCodec::SampleRows(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW,
                           uint32_t fullH) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const JDIMENSION srcW = cinfo->output_width, srcH = cinfo->output_height;
    const uint32_t w = GetWidth(), h = GetHeight();
    std::vector<uint32_t> column(w);
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return false;
    for (uint32_t x = 0; x < w; ++x)
        column[x] = 3 * uint32_t(StretchSource(window.x + x, fullW, srcW));
    // One spare byte per row for the four-byte loads below.
    const JSAMPARRAY batch = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                         JPOOL_IMAGE, srcW * 3 + 1, kRowBatch);
    // Rows above the window are only entropy-decoded.
    if (const JDIMENSION above = JDIMENSION(StretchSource(window.y, fullH, srcH)); above > 0)
        jpeg_skip_scanlines(cinfo, above);
    uint32_t top = 0; // the next output row, counted from the top
    while (cinfo->output_scanline < srcH && top < h) {
        const JDIMENSION first = cinfo->output_scanline;
        const JDIMENSION got = jpeg_read_scanlines(cinfo, batch, std::min(kRowBatch, srcH - first));
        if (got == 0) break;
        for (; top < h; ++top) {
            const uint32_t s = uint32_t(StretchSource(window.y + top, fullH, srcH));
            if (s >= first + got) break;
            const JSAMPLE* row = batch[s - first];
            uint8_t* out = TopDownRow(top);
            // Each four-byte store's last byte is overwritten by the next pixel.
            for (uint32_t x = 0; x + 1 < w; ++x)
                std::memcpy(out + 3 * x, row + column[x], 4);
            std::memcpy(out + 3 * (w - 1), row + column[w - 1], 3);
            std::memset(out + 3 * w, 0, GetStride() - 3 * w);
        }
        if (source->ended && !cinfo->progressive_mode) break;
    }
    for (; top < h; ++top)
        std::memset(TopDownRow(top), 0, GetStride());
    return true;
}

// The smooth resize to this raster's size, fed the rows as they are decoded.
bool JpegCodec::FilterRows(jpeg_decompress_struct* cinfo) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    SmoothRowSink sink(cinfo->output_width, cinfo->output_height, *this);
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return false;
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW rows[SmoothRowSink::kBatch];
        const JDIMENSION n = std::min<JDIMENSION>(SmoothRowSink::kBatch,
                                                  cinfo->output_height - cinfo->output_scanline);
        for (JDIMENSION i = 0; i < n; ++i)
            rows[i] = sink.NextRow(i);
        const JDIMENSION got = jpeg_read_scanlines(cinfo, rows, n);
        if (got == 0) break;
        sink.Commit(got);
        if (source->ended && !cinfo->progressive_mode) break;
    }
    sink.Finish();
    return true;
}

namespace {

// One axis of a smooth resize from -> to of which only outputs start ..
// start + count - 1 are wanted: the source run [first, first + length) that
// resamples to outputs [out, out + outLength) with exactly the whole
// resize's scale and pixel centres. Its ends fall where a source pixel meets
// an output pixel (multiples of from / gcd), so some runs cannot be shorter
// than the whole axis.
struct SmoothSpan {
    uint32_t first, length, out, outLength;
};

SmoothSpan SpanOfWindow(uint32_t from, uint32_t to, uint32_t start, uint32_t count) {
    const uint64_t g = std::gcd(from, to), p = from / g, q = to / g;
    const double scale = double(from) / to;
    // Beyond the Lanczos-3 support, with room to spare.
    const double reach = 4 * std::max(scale, 1.0) + 2;
    const double lo = (start + 0.5) * scale - reach, hi = (start + count - 0.5) * scale + reach;
    const uint64_t a = lo <= 0 ? 0 : uint64_t(lo) / p * p;
    const uint64_t b = hi >= from ? from : std::min<uint64_t>(from, (uint64_t(hi) / p + 1) * p);
    const uint64_t out = a / p * q;
    const uint64_t outEnd = b == from ? to : b / p * q;
    return {uint32_t(a), uint32_t(b - a), uint32_t(out), uint32_t(outEnd - out)};
}

// Copies rows of a smaller picture into the window-sized one (both bottom-up).
void CopyPart(const CRaster& from, uint32_t x, uint32_t y, CRaster& to) {
    const uint32_t w = to.GetWidth(), h = to.GetHeight();
    for (uint32_t top = 0; top < h; ++top) {
        uint8_t* row = to.TopDownRow(top);
        std::memcpy(row, from.TopDownRow(y + top) + 3 * size_t(x), 3 * size_t(w));
        std::memset(row + 3 * size_t(w), 0, to.GetStride() - 3 * size_t(w));
    }
}

} // namespace

// The window of the smooth resize to fullW x fullH: only the source run each
// axis needs is decoded (columns by the library's crop, rows above skipped,
// rows below never read) and resampled, then the window is cut from it.
bool JpegCodec::FilterWindow(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW,
                             uint32_t fullH) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const JDIMENSION srcW = cinfo->output_width, srcH = cinfo->output_height;
    SmoothSpan across = SpanOfWindow(srcW, fullW, window.x, window.width);
    SmoothSpan down = SpanOfWindow(srcH, fullH, window.y, window.height);
    // A run too short to stream (one output row) takes the whole axes.
    if (!SmoothRowSink::CanStream(across.length, down.length, across.outLength, down.outLength))
        across = {0, srcW, 0, fullW}, down = {0, srcH, 0, fullH};
    CRaster part(kTypeJpeg);
    if (!part.Create(across.outLength, down.outLength, 24, kTypeJpeg)) return false;
    SmoothRowSink sink(across.length, down.length, part);
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return false;
    // A pixel of margin keeps the library's upsampling at the run's ends as
    // in the whole picture; the crop widens to whole blocks.
    JDIMENSION cropX = across.first > 0 ? across.first - 1 : 0;
    JDIMENSION cropW = std::min(across.first + across.length + 1, srcW) - cropX;
    if (cropW < srcW) jpeg_crop_scanline(cinfo, &cropX, &cropW);
    const size_t skip = 3 * size_t(across.first - cropX), bytes = 3 * size_t(across.length);
    const JSAMPARRAY batch = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                         JPOOL_IMAGE, cropW * 3, SmoothRowSink::kBatch);
    if (down.first > 0) jpeg_skip_scanlines(cinfo, down.first);
    const JDIMENSION end = down.first + down.length;
    while (cinfo->output_scanline < end) {
        const JDIMENSION n = std::min<JDIMENSION>(SmoothRowSink::kBatch, end - cinfo->output_scanline);
        const JDIMENSION got = jpeg_read_scanlines(cinfo, batch, n);
        if (got == 0) break;
        for (JDIMENSION i = 0; i < got; ++i)
            std::memcpy(sink.NextRow(i), batch[i] + skip, bytes);
        sink.Commit(got);
        if (source->ended && !cinfo->progressive_mode) break;
    }
    sink.Finish();
    CopyPart(part, window.x - across.out, window.y - down.out, *this);
    return true;
}

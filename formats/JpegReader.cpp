#include "JpegCodec.h"

#include "Colour.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "JpegLibrary.h"
#include "JpegMarkers.h"
#include "JpegRawSample.h"
#include "Resize.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#include <jerror.h>

namespace {

// CMYK JPEGs are stored inverted (255 = no ink), as Adobe writes them, also
// those without Adobe's marker: every reader takes them so.
void CmykToBgr(const JSAMPLE* src, uint8_t* dst, JDIMENSION width) {
    for (JDIMENSION x = 0; x < width; ++x, src += 4, dst += 3) {
        const unsigned c = src[0], m = src[1], y = src[2], k = src[3];
        dst[0] = uint8_t(y * k / 255);
        dst[1] = uint8_t(m * k / 255);
        dst[2] = uint8_t(c * k / 255);
    }
}

// Libjpeg's own buffers (coefficients of progressive files) stay in
// proportion to the picture: no more than twice its samples at full size.
long LibraryMemoryLimit(j_decompress_ptr cinfo) {
    const uint64_t samples = (uint64_t(cinfo->image_width) + 64) *
                             (uint64_t(cinfo->image_height) + 64) * uint64_t(cinfo->num_components);
    const uint64_t limit = std::min<uint64_t>(2 * samples + (64u << 20), uint64_t(4) << 30);
    return long(limit);
}

// A fresh multi-megabyte block is faulted in page by page as the rows are
// written: some 9000 faults for 12 megapixels. Huge pages make that a few dozen.
void PreferHugePages(uint8_t* start, uint64_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t first = (uintptr_t(start) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (uintptr_t(start) + bytes) & ~(kHuge - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)start, (void)bytes;
#endif
}

// Output colour space: grey stays grey, YCbCr and RGB come out as the image's
// BGR, four-component files as CMYK converted per row.
bool ChooseOutput(j_decompress_ptr cinfo) {
    switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
        cinfo->out_color_space = JCS_GRAYSCALE;
        return true;
    case JCS_YCbCr:
    case JCS_RGB:
        cinfo->out_color_space = JCS_EXT_BGR;
        return true;
    case JCS_CMYK:
    case JCS_YCCK:
        cinfo->out_color_space = JCS_CMYK;
        return true;
    default:
        return false;
    }
}

// Each 8x8 block of a component costs at least one bit of Huffman-coded data
// (its DC code), so a grey picture fills at most 512 pixels per byte.
// Arithmetic-coded data has no such floor.
bool DataCanFill(const jpeg_decompress_struct& cinfo, int64_t bytes) {
    if (cinfo.arith_code) return true;
    const uint64_t pixels = uint64_t(cinfo.image_width) * cinfo.image_height;
    return !CannotFill(pixels, pixels / 512, bytes);
}

} // namespace

void JpegCodec::ApplyResolution(uint8_t unit, uint16_t xDensity, uint16_t yDensity) {
    int32_t x = 0, y = 0;
    if (exif_.found) {
        x = ExifDpi(exif_.xResolution, exif_.unitFactor);
        y = ExifDpi(exif_.yResolution, exif_.unitFactor);
    }
    // Unit 0 gives only the pixel aspect ratio, not a resolution.
    if (unit == 2) {
        if (!x) x = int32_t(std::floor(xDensity * 2.54 + 0.5));
        if (!y) y = int32_t(std::floor(yDensity * 2.54 + 0.5));
    } else if (unit != 0) {
        if (!x) x = xDensity;
        if (!y) y = yDensity;
    }
    if (x) SetResolutionX(x);
    if (y) SetResolutionY(y);
}

// Kept in members: a library error may jump out of Decode past any local.
// CMYK goes through its profile when it has one; the pixels are then sRGB
// and the profile no longer theirs.
void JpegCodec::TakeMetadata(jpeg_decompress_struct* cinfo, bool cmyk) {
    ImageMetadataPtr metadata = ReadMetadata(cinfo);
    cmykProfile_.reset();
    if (cmyk && metadata) {
        auto converter = std::make_shared<CmykConverter>(metadata->icc, true);
        if (converter->Valid()) {
            cmykProfile_ = converter;
            auto copy = std::make_shared<ImageMetadata>(*metadata);
            copy->icc.clear();
            metadata = copy->Empty() ? nullptr : std::move(copy);
        }
    }
    SetMetadata(std::move(metadata));
}

bool JpegCodec::Sniff(std::span<const uint8_t> head) {
    // The library insists on a start-of-image marker in the first two bytes.
    return head.size() >= 2 && head[0] == 0xFF && head[1] == 0xD8;
}

bool JpegCodec::ReadFrameSize(ImageStream* stream, uint32_t* width, uint32_t* height) {
    if (!stream || stream->GetC() != 0xFF || stream->GetC() != 0xD8) return false;
    for (int guard = 0; guard < 1000; ++guard) {
        int c = stream->GetC();
        while (c == 0xFF) c = stream->GetC();
        if (c < 0 || c == 0xD9 || c == 0xDA) return false;
        if (c == 0x01 || (c >= 0xD0 && c <= 0xD7)) continue; // markers without a length
        const int hi = stream->GetC(), lo = stream->GetC();
        if (hi < 0 || lo < 0) return false;
        const int length = (hi << 8) | lo;
        if (length < 2) return false;
        const bool frame = c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC;
        if (frame) {
            uint8_t b[5];
            if (stream->Read(b, 1, 5) != 5) return false;
            *height = uint32_t((b[1] << 8) | b[2]);
            *width = uint32_t((b[3] << 8) | b[4]);
            return *width > 0 && *height > 0;
        }
        if (!stream->Seek(length - 2, SEEK_CUR)) return false;
    }
    return false;
}

// Reads the markers and picks the output: colour space, scale and memory limit.
void JpegCodec::ReadHeader(jpeg_decompress_struct* cinfo, uint8_t scale) {
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_save_markers(cinfo, JPEG_APP0 + 13, 0xFFFF);
    jpeg_read_header(cinfo, TRUE);
    ReadExif(cinfo, &exif_);
    if (!ChooseOutput(cinfo)) ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
    if (scale > 1) {
        cinfo->scale_num = 1;
        cinfo->scale_denom = scale;
    }
    jpeg_calc_output_dimensions(cinfo);
    cinfo->mem->max_memory_to_use = LibraryMemoryLimit(cinfo);
}

// Into the rows made for the output; a cut sequential file stops at its end.
void JpegCodec::ReadRows(jpeg_decompress_struct* cinfo, bool grey, bool cmyk) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const JDIMENSION width = cinfo->output_width, height = cinfo->output_height;
    const uint32_t rowBytes = width * (grey ? 1 : 3);
    const uint32_t padding = GetStride() - rowBytes;
    JSAMPARRAY cmykRow = nullptr;
    if (cmyk)
        cmykRow = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                              width * 4, 1);
    // Scanline s is the picture's row s from the top.
    while (cinfo->output_scanline < height) {
        const JDIMENSION first = cinfo->output_scanline;
        if (cmyk) {
            if (jpeg_read_scanlines(cinfo, cmykRow, 1) != 1) break;
            if (cmykProfile_)
                cmykProfile_->Row(cmykRow[0], TopDownRow(first), width);
            else
                CmykToBgr(cmykRow[0], TopDownRow(first), width);
        } else {
            JSAMPROW rows[kRowBatch];
            const JDIMENSION n = std::min(kRowBatch, height - first);
            for (JDIMENSION i = 0; i < n; ++i)
                rows[i] = TopDownRow(first + i);
            if (jpeg_read_scanlines(cinfo, rows, n) == 0) break;
        }
        // Past the end of a cut sequential file the library only invents rows:
        // stop, so that a tiny file declaring a huge picture costs nothing more.
        if (source->ended && !cinfo->progressive_mode) {
            for (JDIMENSION s = first; s < cinfo->output_scanline; ++s)
                std::memset(TopDownRow(s) + rowBytes, 0, padding);
            break;
        }
        for (JDIMENSION s = first; s < cinfo->output_scanline; ++s)
            std::memset(TopDownRow(s) + rowBytes, 0, padding);
    }
    // The block may hold an earlier picture: rows a short file never reached are black.
    for (JDIMENSION s = cinfo->output_scanline; s < height; ++s)
        std::memset(TopDownRow(s), 0, GetStride());
}

// The window of the picture decoded at its scale, as the whole decode gives
// it: columns by the library's crop, rows above skipped, rows below unread.
bool JpegCodec::ReadWindowRows(jpeg_decompress_struct* cinfo, bool grey, bool cmyk,
                               DecodeWindow window) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const uint32_t w = window.width, h = window.height, bpp = grey ? 1 : 3;
    JDIMENSION cropX = window.x > 0 ? window.x - 1 : 0;
    JDIMENSION cropW = std::min<JDIMENSION>(window.x + w + 1, cinfo->output_width) - cropX;
    if (cropW < cinfo->output_width) jpeg_crop_scanline(cinfo, &cropX, &cropW);
    const uint32_t channels = cmyk ? 4 : bpp;
    const JSAMPARRAY batch = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                         JPOOL_IMAGE, cropW * channels, kRowBatch);
    const size_t skip = size_t(window.x - cropX) * channels, padding = GetStride() - size_t(w) * bpp;
    if (window.y > 0) jpeg_skip_scanlines(cinfo, window.y);
    uint32_t top = 0;
    while (top < h) {
        const JDIMENSION got = jpeg_read_scanlines(cinfo, batch, std::min<JDIMENSION>(kRowBatch, h - top));
        if (got == 0) break;
        for (JDIMENSION i = 0; i < got; ++i, ++top) {
            uint8_t* out = TopDownRow(top);
            const JSAMPLE* in = batch[i] + skip;
            if (cmyk && cmykProfile_) cmykProfile_->Row(in, out, w);
            else if (cmyk) CmykToBgr(in, out, w);
            else std::memcpy(out, in, size_t(w) * bpp);
            std::memset(out + size_t(w) * bpp, 0, padding);
        }
        if (source->ended && !cinfo->progressive_mode) break;
    }
    for (; top < h; ++top)
        std::memset(TopDownRow(top), 0, GetStride());
    return true;
}

bool JpegCodec::Decode(ImageStream* stream, const DecodeRequest& request) {
    SetHeaderOnly(request.headerOnly);
    return Decode(stream, request, true);
}

namespace {

// The request's window within a full x full picture; all of it when the
// window is empty or lies outside.
DecodeWindow WindowIn(DecodeWindow w, uint32_t fullW, uint32_t fullH) {
    if (w.Empty() || w.x >= fullW || w.y >= fullH) return {0, 0, fullW, fullH};
    return {w.x, w.y, std::min(w.width, fullW - w.x), std::min(w.height, fullH - w.y)};
}

bool Whole(DecodeWindow w, uint32_t fullW, uint32_t fullH) {
    return w.width == fullW && w.height == fullH;
}

} // namespace

// What a decode makes of its request once the header is read.
struct JpegCodec::Plan {
    bool grey, cmyk, sample, smooth, raw, whole;
    uint32_t fullW, fullH; // of the sample, or of the picture at its scale
    DecodeWindow window;
};

JpegCodec::Plan JpegCodec::MakePlan(const jpeg_decompress_struct& cinfo, const DecodeRequest& request,
                                    bool rawPlanes) const {
    Plan p{};
    p.cmyk = cinfo.out_color_space == JCS_CMYK;
    p.grey = cinfo.out_color_space == JCS_GRAYSCALE;
    // Grey and CMYK pictures resize through their own depths: decoded whole,
    // and a window of the resize is then no window of theirs.
    const uint32_t sampleW = request.width, sampleH = request.height;
    p.smooth = request.smooth;
    p.sample = !p.grey && !p.cmyk && sampleW > 0 && sampleH > 0 &&
               (p.smooth ? SmoothRowSink::CanStream(cinfo.output_width, cinfo.output_height, sampleW, sampleH)
                         : request.scale <= 1);
    const bool asked = p.sample || sampleW == 0 || sampleH == 0;
    p.fullW = p.sample ? sampleW : cinfo.output_width;
    p.fullH = p.sample ? sampleH : cinfo.output_height;
    p.window = asked ? WindowIn(request.window, p.fullW, p.fullH) : DecodeWindow{0, 0, p.fullW, p.fullH};
    p.whole = Whole(p.window, p.fullW, p.fullH);
    p.raw = p.sample && !p.smooth && rawPlanes && CanSampleRaw(cinfo);
    return p;
}

// The sampled paths hold objects with destructors while the library reads,
// so they catch its errors themselves and say so here.
JpegCodec::RawResult JpegCodec::ReadPixels(jpeg_decompress_struct* cinfo, const Plan& p) {
    bool read = true;
    if (p.sample && p.smooth)
        read = p.whole ? FilterRows(cinfo) : FilterWindow(cinfo, p.window, p.fullW, p.fullH);
    else if (p.raw)
        return SampleRawPlanes(cinfo, p.window, p.fullW, p.fullH);
    else if (p.sample)
        read = SampleRows(cinfo, p.window, p.fullW, p.fullH);
    else if (!p.whole)
        read = ReadWindowRows(cinfo, p.grey, p.cmyk, p.window);
    else
        ReadRows(cinfo, p.grey, p.cmyk);
    return read ? RawResult::kDone : RawResult::kFailed;
}

bool JpegCodec::Decode(ImageStream* stream, const DecodeRequest& request, bool rawPlanes) {
    if (!stream) return Fail("null file handler");
    const int64_t start = stream->Tell();
    const int64_t fileBytes = StreamBytesLeft(stream);
    exif_ = ExifInfo{};
    jpeg_decompress_struct cinfo;
    JpegErrorManager jerr;
    StreamSource source;
    ScanLimit scanLimit;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, this);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        Discard();
        return false;
    }
    jpeg_create_decompress(&cinfo);
    AttachSource(&cinfo, &source, stream);
    scanLimit.pub.progress_monitor = CheckScanCount;
    cinfo.progress = &scanLimit.pub;
    ReadHeader(&cinfo, request.scale);
    if (!DataCanFill(cinfo, fileBytes)) {
        jpeg_destroy_decompress(&cinfo);
        return Fail(kDataCannotFill);
    }
    const Plan plan = MakePlan(cinfo, request, rawPlanes && start >= 0);
    // The filter writes no row padding.
    if (!Create(plan.window.width, plan.window.height, plan.grey ? 8 : 24, kTypeJpeg,
                plan.sample && plan.smooth ? PixelFill::kZero : PixelFill::kCallerWrites)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    if (exif_.orientation >= 1 && exif_.orientation <= 8) SetOrientation(uint8_t(exif_.orientation));
    TakeMetadata(&cinfo, plan.cmyk);
    ApplyResolution(cinfo.density_unit, cinfo.X_density, cinfo.Y_density);
    if (plan.grey) FillGrayRamp();
    if (HeaderOnly()) {
        jpeg_destroy_decompress(&cinfo);
        return true;
    }
    PreferHugePages(Pixels(), PixelBytes());
    cinfo.raw_data_out = plan.raw;
    jpeg_start_decompress(&cinfo);
    const RawResult result = ReadPixels(&cinfo, plan);
    if (result == RawResult::kRanOut) {
        jpeg_destroy_decompress(&cinfo);
        if (!stream->Seek(start, SEEK_SET)) return Fail("JPEG file cannot be read again");
        return Decode(stream, request, false);
    }
    if (result == RawResult::kFailed) {
        jpeg_destroy_decompress(&cinfo);
        Discard();
        return false;
    }
    FinishDecode(&cinfo);
    return true;
}

// Finishing a picture left short would only read on for nothing.
void JpegCodec::FinishDecode(jpeg_decompress_struct* cinfo) {
    const bool ended = reinterpret_cast<const StreamSource*>(cinfo->src)->ended;
    const JDIMENSION rowsRead = cinfo->output_scanline, rows = cinfo->output_height;
    if (rowsRead < rows) jpeg_abort_decompress(cinfo);
    else jpeg_finish_decompress(cinfo);
    // A progressive file's rows all come back, however few of its scans did.
    if (ended) AddWarning(CutShortWarning(cinfo->progressive_mode ? rows : rowsRead, rows));
    jpeg_destroy_decompress(cinfo);
}

bool ReadJpegHeader(const std::string& path, JpegHeader& header) {
    FileImageStream stream;
    if (!stream.OpenInput(path.c_str())) return false;
    CRaster errors;
    jpeg_decompress_struct cinfo;
    JpegErrorManager jerr;
    StreamSource source;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, &errors);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    AttachSource(&cinfo, &source, &stream);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    ExifInfo exif;
    ReadExif(&cinfo, &exif);
    header = JpegHeader{cinfo.image_width, cinfo.image_height, exif.orientation};
    jpeg_destroy_decompress(&cinfo);
    return true;
}

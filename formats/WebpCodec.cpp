// Reading WebP through libwebp: still pictures, animations frame by frame,
// and the Exif, XMP and profile chunks. Writing is in WebpWriter.cpp.
#include "WebpCodec.h"

#include "ImageStream.h"
#include "InputLimits.h"
#include "Exif.h"
#include "PixelRows.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Exif written by some tools keeps JPEG's "Exif\0\0" in front of the TIFF header.
std::vector<uint8_t> ExifWithoutPrefix(const uint8_t* p, size_t n) {
    if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) p += 6, n -= 6;
    return std::vector<uint8_t>(p, p + n);
}


// Canvas bytes a byte of WebP data may become: a 16383 x 16383 picture
// needs at least 64 KB.
constexpr uint64_t kMaxWebpExpansion = 4096;

struct DemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
} // namespace

bool WebpCodec::Fail(const char* text) {
    SetLastError(text);
    Discard();
    return false;
}

bool WebpCodec::Sniff(std::span<const uint8_t> head) {
    return head.size() >= 12 && std::memcmp(head.data(), "RIFF", 4) == 0 &&
           std::memcmp(head.data() + 8, "WEBP", 4) == 0;
}

bool WebpCodec::ReadSize(ImageStream* stream, uint32_t* width, uint32_t* height) {
    // Every kind of WebP declares its size within the first chunk header or two.
    uint8_t head[64];
    const size_t got = stream ? stream->Read(head, 1, sizeof head) : 0;
    int w = 0, h = 0;
    if (!WebPGetInfo(head, got, &w, &h) || w <= 0 || h <= 0) return false;
    *width = uint32_t(w), *height = uint32_t(h);
    return true;
}

bool WebpCodec::Decode(ImageStream* stream, const DecodeRequest&) {
    if (!stream) return Fail("Not a WebP");
    std::vector<uint8_t> data;
    if (!ReadRemaining(stream, data)) return Fail("Not a WebP");
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(data.data(), data.size(), &features) != VP8_STATUS_OK)
        return Fail("Not a WebP");
    if (features.width <= 0 || features.height <= 0) return Fail("corrupted WebP");
    // The library allocates a four-byte canvas of its own before ours.
    if (!FitsMemoryLimit(uint32_t(features.width), uint32_t(features.height), 32))
        return Fail("RASTER_MAX_MEMORY exceeded");
    // Lossless codes of one symbol take no bits at all, so no ratio is
    // strictly out of reach; past this one only a made file goes.
    const uint64_t pixels = uint64_t(features.width) * uint64_t(features.height);
    if (ImplausibleSize(pixels, pixels * 4, int64_t(data.size()), kMaxWebpExpansion))
        return Fail(kDataCannotFill);
    bool ok = false;
    if (HeaderOnly()) {
        ok = Create(uint32_t(features.width), uint32_t(features.height), 24, kTypeWebp);
        if (ok && features.has_alpha) AddAlpha();
        if (ok && features.has_animation) {
            const WebPData input{data.data(), data.size()};
            std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&input));
            if (demux) SetNumFrames(int32_t(WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT)));
        }
    } else {
        ok = features.has_animation ? DecodeFirstFrame(data, features.has_alpha)
                                    : DecodeStill(data, features.has_alpha);
    }
    if (!ok) return false;
    ReadMetadata(data);
    return true;
}

bool WebpCodec::DecodeStill(const std::vector<uint8_t>& data, bool alpha) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return Fail("WebP: library version mismatch");
    if (WebPGetFeatures(data.data(), data.size(), &config.input) != VP8_STATUS_OK)
        return Fail("Not a WebP");
    const uint32_t w = uint32_t(config.input.width), h = uint32_t(config.input.height);
    if (!Create(w, h, 24, kTypeWebp)) return false;
    if (!alpha) {
        // Straight into the image's rows, the bottom one first.
        config.options.flip = 1;
        config.output.colorspace = MODE_BGR;
        config.output.is_external_memory = 1;
        config.output.u.RGBA.rgba = Pixels();
        config.output.u.RGBA.stride = int(GetStride());
        config.output.u.RGBA.size = size_t(PixelBytes());
        if (WebPDecode(data.data(), data.size(), &config) != VP8_STATUS_OK)
            return Fail("corrupted WebP");
        return true;
    }
    config.output.colorspace = MODE_RGBA;
    const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
    if (status != VP8_STATUS_OK) {
        WebPFreeDecBuffer(&config.output);
        return Fail("corrupted WebP");
    }
    AddAlpha();
    if (!HasAlpha()) {
        WebPFreeDecBuffer(&config.output);
        return Fail("CRaster::Create can't allocate memory");
    }
    const WebPRGBABuffer& rgba = config.output.u.RGBA;
    for (uint32_t y = 0; y < h; ++y)
        WriteRgbRow(*this, y, rgba.rgba + size_t(y) * size_t(rgba.stride), true);
    WebPFreeDecBuffer(&config.output);
    return true;
}

// An animation's walk: the file, its demuxer, the canvas as shown and what
// the last frame asked to be cleared.
struct WebpCodec::Animation {
    std::vector<uint8_t> data;
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux;
    uint32_t width = 0, height = 0, count = 0, loops = 0;
    std::vector<uint8_t> canvas; // RGBA, top row first
    int index = 0;               // frames handed out
    bool clearLast = false;
    uint32_t lastX = 0, lastY = 0, lastW = 0, lastH = 0;
};

WebpCodec::WebpCodec() : CRaster(kTypeWebp) {}
WebpCodec::~WebpCodec() = default;

namespace {

// No WebP bitstream makes more than this many pixels a byte short of
// pathological files (a lossless picture of one colour); a canvas or frame
// beyond it, and beyond a small picture, is a bomb, refused before its
// memory is taken.
constexpr uint64_t kPixelsPerByte = uint64_t(1) << 16;

bool DataCanFillPixels(uint64_t pixels, size_t bytes) {
    return pixels <= kSmallPicturePixels || pixels / kPixelsPerByte <= bytes;
}

// Non-premultiplied "source over", as libwebp's own animation decoder blends.
void BlendPixel(const uint8_t* src, uint8_t* dst) {
    const uint32_t srcA = src[3];
    if (srcA == 0) return;
    if (srcA == 255) {
        std::memcpy(dst, src, 4);
        return;
    }
    const uint32_t dstA = dst[3];
    const uint32_t dstFactor = (dstA * (256 - srcA)) >> 8;
    const uint32_t blendA = srcA + dstFactor;
    const uint32_t scale = (1u << 24) / blendA;
    for (int c = 0; c < 3; ++c) {
        const uint32_t mixed = src[c] * srcA + dst[c] * dstFactor;
        dst[c] = uint8_t((uint64_t(mixed) * scale) >> 24);
    }
    dst[3] = uint8_t(blendA);
}

} // namespace

bool WebpCodec::OpenAnimation(std::vector<uint8_t> data) {
    auto a = std::make_unique<Animation>();
    a->data = std::move(data);
    const WebPData input{a->data.data(), a->data.size()};
    a->demux.reset(WebPDemux(&input));
    if (!a->demux) return Fail("corrupted WebP");
    WebPDemuxer* d = a->demux.get();
    a->width = WebPDemuxGetI(d, WEBP_FF_CANVAS_WIDTH);
    a->height = WebPDemuxGetI(d, WEBP_FF_CANVAS_HEIGHT);
    a->count = WebPDemuxGetI(d, WEBP_FF_FRAME_COUNT);
    a->loops = WebPDemuxGetI(d, WEBP_FF_LOOP_COUNT);
    if (a->width == 0 || a->height == 0 || a->count == 0) return Fail("corrupted WebP");
    if (!DataCanFillPixels(uint64_t(a->width) * a->height, a->data.size()))
        return Fail(kDataCannotFill);
    std::string refusal;
    if (!AnimationWithinLimits(a->count, a->width, a->height, refusal))
        return Fail(refusal.c_str());
    if (!FitsMemoryLimit(a->width, a->height, 32)) return Fail("RASTER_MAX_MEMORY exceeded");
    animation_ = std::move(a);
    return true;
}

bool WebpCodec::StartFrames(ImageStream* stream, AnimationInfo& info) {
    if (!stream) return Fail("null file handler");
    std::vector<uint8_t> data;
    if (!ReadRemaining(stream, data)) return Fail("Not a WebP");
    if (!OpenAnimation(std::move(data))) return false;
    ReadMetadata(animation_->data);
    info.count = animation_->count;
    info.width = animation_->width;
    info.height = animation_->height;
    info.loops = animation_->loops;
    info.timed = true;
    return true;
}

bool WebpCodec::NextFrame(CRaster& frame, uint32_t& delayMs) {
    if (!animation_) return Fail("WebP animation not started");
    Animation& a = *animation_;
    if (a.index >= int(a.count)) return false;
    WebPIterator it;
    if (!WebPDemuxGetFrame(a.demux.get(), a.index + 1, &it)) return Fail("corrupted WebP");
    struct Release {
        WebPIterator& it;
        ~Release() { WebPDemuxReleaseIterator(&it); }
    } release{it};
    const uint32_t fx = uint32_t(it.x_offset), fy = uint32_t(it.y_offset);
    const uint32_t fw = uint32_t(it.width), fh = uint32_t(it.height);
    if (fx + uint64_t(fw) > a.width || fy + uint64_t(fh) > a.height) return Fail("corrupted WebP");
    if (!DataCanFillPixels(uint64_t(fw) * fh, it.fragment.size)) return Fail(kDataCannotFill);
    if (a.canvas.empty()) a.canvas.assign(size_t(a.width) * a.height * 4, 0);
    const size_t stride = size_t(a.width) * 4;
    if (a.clearLast)
        for (uint32_t y = a.lastY; y < a.lastY + a.lastH; ++y)
            std::memset(a.canvas.data() + y * stride + size_t(a.lastX) * 4, 0, size_t(a.lastW) * 4);
    int w = 0, h = 0;
    uint8_t* pixels = WebPDecodeRGBA(it.fragment.bytes, it.fragment.size, &w, &h);
    if (!pixels || uint32_t(w) != fw || uint32_t(h) != fh) {
        WebPFree(pixels);
        return Fail("corrupted WebP");
    }
    const bool blend = it.blend_method == WEBP_MUX_BLEND && it.has_alpha;
    for (uint32_t y = 0; y < fh; ++y) {
        const uint8_t* src = pixels + size_t(y) * fw * 4;
        uint8_t* dst = a.canvas.data() + (fy + y) * stride + size_t(fx) * 4;
        if (!blend) {
            std::memcpy(dst, src, size_t(fw) * 4);
            continue;
        }
        for (uint32_t x = 0; x < fw; ++x) BlendPixel(src + 4 * x, dst + 4 * x);
    }
    WebPFree(pixels);
    a.clearLast = it.dispose_method == WEBP_MUX_DISPOSE_BACKGROUND;
    a.lastX = fx, a.lastY = fy, a.lastW = fw, a.lastH = fh;
    ++a.index;
    delayMs = uint32_t(std::max(it.duration, 0));
    bool opaque = true;
    for (size_t i = 3; opaque && i < a.canvas.size(); i += 4) opaque = a.canvas[i] == 255;
    if (!frame.Create(a.width, a.height, 24, kTypeWebp)) return Fail(frame.LastErrorText());
    if (!opaque) frame.AddAlpha();
    for (uint32_t y = 0; y < a.height; ++y)
        WriteRgbRow(frame, y, a.canvas.data() + y * stride, !opaque);
    return true;
}

// The first frame as the animation shows it: drawn on its canvas.
bool WebpCodec::DecodeFirstFrame(const std::vector<uint8_t>& data, bool alpha) {
    if (!OpenAnimation(data)) return false;
    const uint32_t count = animation_->count;
    CRaster first(kTypeWebp);
    uint32_t delay = 0;
    if (!NextFrame(first, delay)) return Fail(*LastErrorText() ? LastErrorText() : "corrupted WebP");
    animation_.reset();
    if (alpha && !first.HasAlpha()) first.AddAlpha();
    TakePixelsOnly(first, kTypeWebp);
    SetNumFrames(int32_t(count));
    return true;
}

void WebpCodec::ReadMetadata(const std::vector<uint8_t>& data) {
    const WebPData input{data.data(), data.size()};
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&input));
    if (!demux) return;
    auto chunk = [&](const char* fourcc) {
        std::vector<uint8_t> bytes;
        WebPChunkIterator it;
        if (WebPDemuxGetChunk(demux.get(), fourcc, 1, &it)) {
            bytes.assign(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
            WebPDemuxReleaseChunkIterator(&it);
        }
        return bytes;
    };
    auto metadata = std::make_shared<ImageMetadata>();
    metadata->icc = chunk("ICCP");
    const std::vector<uint8_t> exif = chunk("EXIF");
    metadata->exif = ExifWithoutPrefix(exif.data(), exif.size());
    metadata->xmp = chunk("XMP ");
    if (metadata->Empty()) return;
    if (!metadata->exif.empty()) SetOrientation(ExifOrientation(metadata->exif));
    SetMetadata(std::move(metadata));
}

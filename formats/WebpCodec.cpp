#include "WebpCodec.h"

#include "ImageStream.h"
#include "InputLimits.h"
#include "JpegCodec.h"
#include "PixelRows.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstring>
#include <memory>

namespace {

// Exif written by some tools keeps JPEG's "Exif\0\0" in front of the TIFF header.
std::vector<uint8_t> ExifWithoutPrefix(const uint8_t* p, size_t n) {
    if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) p += 6, n -= 6;
    return std::vector<uint8_t>(p, p + n);
}

const char* EncodeErrorText(WebPEncodingError error) {
    switch (error) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY: return "WebP: out of memory";
    case VP8_ENC_ERROR_BAD_DIMENSION: return "WebP: picture too large (16383 pixels at most)";
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW: return "WebP: partition overflow";
    case VP8_ENC_ERROR_FILE_TOO_BIG: return "WebP: file too big";
    default: return "WebP: cannot encode image";
    }
}

// Canvas bytes a byte of WebP data may become: a 16383 x 16383 picture
// needs at least 64 KB.
constexpr uint64_t kMaxWebpExpansion = 4096;

struct DemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimDeleter {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};
struct MuxDeleter {
    void operator()(WebPMux* m) const { WebPMuxDelete(m); }
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

bool WebpCodec::Decode(ImageStream* stream) {
    if (!stream) return false;
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

// The first frame as the animation shows it: drawn on its canvas.
bool WebpCodec::DecodeFirstFrame(const std::vector<uint8_t>& data, bool alpha) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return Fail("WebP: library version mismatch");
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    const WebPData input{data.data(), data.size()};
    std::unique_ptr<WebPAnimDecoder, AnimDeleter> decoder(WebPAnimDecoderNew(&input, &options));
    WebPAnimInfo info;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info) || info.frame_count == 0)
        return Fail("corrupted WebP");
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp))
        return Fail("corrupted WebP");
    const uint32_t w = info.canvas_width, h = info.canvas_height;
    if (!Create(w, h, 24, kTypeWebp)) return false;
    if (alpha) AddAlpha();
    for (uint32_t y = 0; y < h; ++y)
        WriteRgbRow(*this, y, canvas + size_t(y) * w * 4, true);
    SetNumFrames(int32_t(info.frame_count));
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

bool WebpCodec::Encode(ImageStream* stream) {
    if (CheckEncodable(stream)) return false;
    if (GetWidth() > WEBP_MAX_DIMENSION || GetHeight() > WEBP_MAX_DIMENSION) {
        SetLastError(EncodeErrorText(VP8_ENC_ERROR_BAD_DIMENSION));
        return false;
    }
    const bool lossless = GetLossless();
    WebPConfig config;
    WebPPicture picture;
    if (!WebPConfigInit(&config) || !WebPPictureInit(&picture)) {
        SetLastError("WebP: library version mismatch");
        return false;
    }
    if (lossless) {
        // cwebp's own default effort; exact keeps colours under transparent pixels.
        WebPConfigLosslessPreset(&config, 6);
        config.exact = 1;
    } else {
        config.quality = float(GetQuality());
    }
    picture.width = int(GetWidth());
    picture.height = int(GetHeight());
    picture.use_argb = lossless;
    const bool alpha = HasTransparency(*this);
    const size_t step = alpha ? 4 : 3;
    std::vector<uint8_t> rows;
    try {
        rows.resize(size_t(GetWidth()) * step * GetHeight());
    } catch (const std::bad_alloc&) {
        SetLastError("WebP: out of memory");
        return false;
    }
    for (uint32_t y = 0; y < GetHeight(); ++y)
        ReadRgbRow(*this, y, alpha, rows.data() + size_t(y) * GetWidth() * step);
    const int stride = int(GetWidth() * step);
    const bool imported = alpha ? WebPPictureImportRGBA(&picture, rows.data(), stride)
                                : WebPPictureImportRGB(&picture, rows.data(), stride);
    rows.clear();
    rows.shrink_to_fit();
    if (!imported) {
        WebPPictureFree(&picture);
        SetLastError(EncodeErrorText(picture.error_code));
        return false;
    }
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &writer;
    const bool encoded = WebPEncode(&config, &picture);
    const WebPEncodingError error = picture.error_code;
    WebPPictureFree(&picture);
    bool ok = false;
    if (!encoded)
        SetLastError(EncodeErrorText(error));
    else
        ok = WriteWithMetadata(stream, writer.mem, writer.size);
    WebPMemoryWriterClear(&writer);
    return ok;
}

// The encoder's bare file, or one with ICCP, EXIF and XMP chunks added.
bool WebpCodec::WriteWithMetadata(ImageStream* stream, const uint8_t* data, size_t size) {
    const ImageMetadata* metadata = Metadata();
    const bool any = metadata && (!metadata->icc.empty() || !metadata->exif.empty() ||
                                  !metadata->xmp.empty());
    if (!any) {
        if (stream->Write(data, size, 1) == 1) return true;
        SetLastError("write error");
        return false;
    }
    std::unique_ptr<WebPMux, MuxDeleter> mux(WebPMuxNew());
    const WebPData image{data, size};
    bool ok = mux && WebPMuxSetImage(mux.get(), &image, 0) == WEBP_MUX_OK;
    auto add = [&](const char* fourcc, const std::vector<uint8_t>& bytes) {
        const WebPData chunk{bytes.data(), bytes.size()};
        if (ok && !bytes.empty()) ok = WebPMuxSetChunk(mux.get(), fourcc, &chunk, 0) == WEBP_MUX_OK;
    };
    add("ICCP", metadata->icc);
    add("EXIF", metadata->exif);
    add("XMP ", metadata->xmp);
    WebPData assembled{nullptr, 0};
    ok = ok && WebPMuxAssemble(mux.get(), &assembled) == WEBP_MUX_OK;
    if (!ok) {
        WebPDataClear(&assembled);
        SetLastError("WebP: cannot add the metadata chunks");
        return false;
    }
    ok = stream->Write(assembled.bytes, assembled.size, 1) == 1;
    WebPDataClear(&assembled);
    if (!ok) SetLastError("write error");
    return ok;
}

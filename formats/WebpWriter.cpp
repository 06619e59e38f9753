// Writing WebP: a still picture lossy or lossless, with its metadata
// chunks through the muxer, and animations a frame at a time.
#include "WebpCodec.h"

#include "ImageStream.h"
#include "PixelRows.h"

#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace {

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
struct MuxDeleter {
    void operator()(WebPMux* m) const { WebPMuxDelete(m); }
};

// The encoder's settings beyond the library's defaults.
void Configure(WebPConfig& config, const EncodeRequest& request) {
    if (request.lossless) {
        // cwebp's own default effort; exact keeps colours under transparent pixels.
        WebPConfigLosslessPreset(&config, 6);
        config.exact = 1;
        return;
    }
    config.quality = float(request.quality);
    // Same analysis and segment quantisers as the default 4 without its
    // rate-distortion passes: 0.4 of the time, sizes a few percent
    // larger that step with quality as the default's do.
    if (request.quick) config.method = 2;
}

} // namespace

bool WebpCodec::Encode(ImageStream* stream, const EncodeRequest& request) {
    if (CheckEncodable(stream)) return false;
    if (GetWidth() > WEBP_MAX_DIMENSION || GetHeight() > WEBP_MAX_DIMENSION) {
        SetLastError(EncodeErrorText(VP8_ENC_ERROR_BAD_DIMENSION));
        return false;
    }
    const bool lossless = request.lossless;
    WebPConfig config;
    WebPPicture picture;
    if (!WebPConfigInit(&config) || !WebPPictureInit(&picture)) {
        SetLastError("WebP: library version mismatch");
        return false;
    }
    Configure(config, request);
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

namespace {

struct AnimEncoderDeleter {
    void operator()(WebPAnimEncoder* e) const { WebPAnimEncoderDelete(e); }
};

class WebpFrameWriter : public FrameWriter {
public:
    WebpFrameWriter(ImageStream* stream, const FrameWriterSpec& spec)
        : stream_(stream), spec_(spec) {}
    bool Add(CRaster& frame, uint32_t delayMs) override;
    bool Finish() override;

private:
    bool Start(const CRaster& frame);
    bool Failed(const char* text) {
        error_ = text;
        return false;
    }

    ImageStream* stream_;
    FrameWriterSpec spec_;
    std::unique_ptr<WebPAnimEncoder, AnimEncoderDeleter> encoder_;
    WebPConfig config_{};
    uint32_t width_ = 0, height_ = 0;
    int timestamp_ = 0;
    ImageMetadataPtr metadata_;
    std::vector<uint8_t> rows_;
};

bool WebpFrameWriter::Start(const CRaster& frame) {
    width_ = frame.GetWidth(), height_ = frame.GetHeight();
    if (width_ > WEBP_MAX_DIMENSION || height_ > WEBP_MAX_DIMENSION)
        return Failed(EncodeErrorText(VP8_ENC_ERROR_BAD_DIMENSION));
    WebPAnimEncoderOptions options;
    if (!WebPAnimEncoderOptionsInit(&options) || !WebPConfigInit(&config_))
        return Failed("WebP: library version mismatch");
    options.anim_params.loop_count = int(std::min<uint32_t>(spec_.loops, 0xFFFF));
    if (spec_.lossless) {
        // cwebp's defaults for lossless; exact keeps colours under transparent pixels.
        config_.lossless = 1;
        config_.exact = 1;
    } else {
        config_.quality = float(spec_.quality);
    }
    encoder_.reset(WebPAnimEncoderNew(int(width_), int(height_), &options));
    if (!encoder_) return Failed("WebP: out of memory");
    metadata_ = frame.MetadataPtr();
    rows_.resize(size_t(width_) * height_ * 4);
    return true;
}

bool WebpFrameWriter::Add(CRaster& frame, uint32_t delayMs) {
    if (!frame.HasPixels()) return Failed("null image!!!");
    if (!encoder_ && !Start(frame)) return false;
    // Pictures of another size (pages of a TIFF) sit at the top left.
    const uint32_t fw = frame.GetWidth(), fh = frame.GetHeight();
    if ((fw != width_ || fh != height_) && warning_.empty())
        warning_ = "pictures of another size than the first placed at its top left";
    std::fill(rows_.begin(), rows_.end(), 0);
    std::vector<uint8_t> row(size_t(fw) * 4);
    for (uint32_t y = 0; y < std::min(fh, height_); ++y) {
        ReadRgbRow(frame, y, true, row.data());
        std::memcpy(rows_.data() + size_t(y) * width_ * 4, row.data(),
                    size_t(std::min(fw, width_)) * 4);
    }
    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return Failed("WebP: library version mismatch");
    picture.width = int(width_), picture.height = int(height_);
    picture.use_argb = 1;
    bool ok = WebPPictureImportRGBA(&picture, rows_.data(), int(width_ * 4));
    ok = ok && WebPAnimEncoderAdd(encoder_.get(), &picture, timestamp_, &config_);
    const WebPEncodingError error = picture.error_code;
    WebPPictureFree(&picture);
    if (!ok) return Failed(EncodeErrorText(error));
    timestamp_ += int(std::min<uint32_t>(delayMs, 1u << 24));
    return true;
}

bool WebpFrameWriter::Finish() {
    if (!encoder_) return Failed("no frames to write");
    WebPData data;
    WebPDataInit(&data);
    if (!WebPAnimEncoderAdd(encoder_.get(), nullptr, timestamp_, nullptr) ||
        !WebPAnimEncoderAssemble(encoder_.get(), &data))
        return Failed("WebP: cannot encode animation");
    encoder_.reset();
    const ImageMetadata* meta = metadata_.get();
    if (meta && !meta->Empty()) {
        std::unique_ptr<WebPMux, MuxDeleter> mux(WebPMuxCreate(&data, 1));
        bool ok = mux != nullptr;
        auto add = [&](const char* fourcc, const std::vector<uint8_t>& bytes) {
            const WebPData chunk{bytes.data(), bytes.size()};
            if (ok && !bytes.empty()) ok = WebPMuxSetChunk(mux.get(), fourcc, &chunk, 1) == WEBP_MUX_OK;
        };
        add("ICCP", meta->icc);
        add("EXIF", meta->exif);
        add("XMP ", meta->xmp);
        WebPData assembled;
        WebPDataInit(&assembled);
        if (ok && WebPMuxAssemble(mux.get(), &assembled) == WEBP_MUX_OK) {
            WebPDataClear(&data);
            data = assembled;
        } else {
            warning_ = "metadata could not be added to the animation";
        }
    }
    const bool written = stream_->Write(data.bytes, 1, data.size) == data.size;
    WebPDataClear(&data);
    return written || Failed("write error");
}

} // namespace

std::unique_ptr<FrameWriter> MakeWebpFrameWriter(ImageStream* stream, const FrameWriterSpec& spec) {
    return std::make_unique<WebpFrameWriter>(stream, spec);
}

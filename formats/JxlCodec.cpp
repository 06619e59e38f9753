#include "JxlCodec.h"

#include "ImageStream.h"
#include "InputLimits.h"
#include "PixelRows.h"
#include "TransparencyForms.h"

#include <jxl/decode.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct DecoderDeleter {
    void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};
struct EncoderDeleter {
    void operator()(JxlEncoder* e) const { JxlEncoderDestroy(e); }
};
using DecoderPtr = std::unique_ptr<JxlDecoder, DecoderDeleter>;
using EncoderPtr = std::unique_ptr<JxlEncoder, EncoderDeleter>;

// cjxl's own effort; the run's rows already work in parallel, so one thread.
constexpr int kEffort = 7;
// For an encode whose size alone is wanted.
constexpr int kQuickEffort = 5;

// An Exif box starts with the offset of the TIFF header in what follows.
std::vector<uint8_t> ExifFromBox(const std::vector<uint8_t>& box) {
    if (box.size() < 4) return {};
    const uint32_t offset =
        uint32_t(box[0]) << 24 | uint32_t(box[1]) << 16 | uint32_t(box[2]) << 8 | box[3];
    if (offset > box.size() - 4) return {};
    return std::vector<uint8_t>(box.begin() + 4 + offset, box.end());
}

std::vector<uint8_t> ExifBox(const std::vector<uint8_t>& exif) {
    std::vector<uint8_t> box(4, 0);
    box.insert(box.end(), exif.begin(), exif.end());
    return box;
}

bool IsSrgb(const JxlColorEncoding& c) {
    return c.color_space == JXL_COLOR_SPACE_RGB && c.white_point == JXL_WHITE_POINT_D65 &&
           c.primaries == JXL_PRIMARIES_SRGB && c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

// The encoder's whole output, growing the buffer as it asks.
bool DrainEncoder(JxlEncoder* enc, std::vector<uint8_t>& out) {
    out.resize(1 << 16);
    uint8_t* next = out.data();
    size_t avail = out.size();
    JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT;
    while (status == JXL_ENC_NEED_MORE_OUTPUT) {
        status = JxlEncoderProcessOutput(enc, &next, &avail);
        if (status == JXL_ENC_NEED_MORE_OUTPUT) {
            const size_t used = size_t(next - out.data());
            out.resize(out.size() * 2);
            next = out.data() + used;
            avail = out.size() - used;
        }
    }
    out.resize(size_t(next - out.data()));
    return status == JXL_ENC_SUCCESS;
}

// What a decode collects besides the pixels.
struct DecodeState {
    JxlBasicInfo info{};
    std::vector<uint8_t> icc;
    std::vector<uint8_t> box;
    char boxType[4] = {};
    std::vector<uint8_t> exif, xmp;
    bool wantBox = false;
};

void FinishBox(JxlDecoder* dec, DecodeState& s) {
    if (!s.wantBox) return;
    const size_t left = JxlDecoderReleaseBoxBuffer(dec);
    s.box.resize(s.box.size() - left);
    if (std::memcmp(s.boxType, "Exif", 4) == 0) s.exif = ExifFromBox(s.box);
    if (std::memcmp(s.boxType, "xml ", 4) == 0) s.xmp = s.box;
    s.wantBox = false;
}

void StartBox(JxlDecoder* dec, DecodeState& s) {
    JxlBoxType type;
    if (JxlDecoderGetBoxType(dec, type, JXL_TRUE) != JXL_DEC_SUCCESS) return;
    std::memcpy(s.boxType, type, 4);
    s.wantBox = std::memcmp(type, "Exif", 4) == 0 || std::memcmp(type, "xml ", 4) == 0;
    if (!s.wantBox) return;
    s.box.assign(1 << 16, 0);
    JxlDecoderSetBoxBuffer(dec, s.box.data(), s.box.size());
}

// A box larger than its buffer: the buffer doubles and the rest follows.
bool GrowBox(JxlDecoder* dec, DecodeState& s) {
    constexpr size_t kLargestBox = size_t(64) << 20;
    const size_t left = JxlDecoderReleaseBoxBuffer(dec);
    const size_t used = s.box.size() - left;
    if (s.box.size() >= kLargestBox) return false;
    s.box.resize(s.box.size() * 2);
    JxlDecoderSetBoxBuffer(dec, s.box.data() + used, s.box.size() - used);
    return true;
}

// Orientations 5 to 8 swap the sides; the decoder turns the picture.
void UprightSize(const JxlBasicInfo& info, uint32_t& w, uint32_t& h) {
    const bool swapped = info.orientation >= JXL_ORIENT_TRANSPOSE;
    w = swapped ? info.ysize : info.xsize;
    h = swapped ? info.xsize : info.ysize;
}

// The profile is kept only where the colours are not plain sRGB.
void ReadProfile(JxlDecoder* dec, DecodeState& s) {
    JxlColorEncoding encoded;
    const bool srgb =
        JxlDecoderGetColorAsEncodedProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoded) ==
            JXL_DEC_SUCCESS &&
        IsSrgb(encoded);
    size_t size = 0;
    if (srgb ||
        JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
            JXL_DEC_SUCCESS ||
        !size)
        return;
    s.icc.resize(size);
    if (JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, s.icc.data(),
                                       size) != JXL_DEC_SUCCESS)
        s.icc.clear();
}

bool SetOutBuffer(JxlDecoder* dec, const JxlPixelFormat& format, std::vector<uint8_t>& pixels) {
    size_t size = 0;
    if (JxlDecoderImageOutBufferSize(dec, &format, &size) != JXL_DEC_SUCCESS) return false;
    pixels.resize(size);
    return JxlDecoderSetImageOutBuffer(dec, &format, pixels.data(), size) == JXL_DEC_SUCCESS;
}

// Only the first frame: an animation gives its first picture.
bool StorePixels(CRaster& image, const DecodeState& s, const JxlPixelFormat& format,
                 const std::vector<uint8_t>& pixels) {
    uint32_t w, h;
    UprightSize(s.info, w, h);
    if (!image.Create(w, h, 24, kTypeJxl)) return false;
    const bool alpha = format.num_channels == 4;
    if (alpha) image.AddAlpha();
    const size_t row = size_t(w) * format.num_channels;
    for (uint32_t y = 0; y < h; ++y)
        WriteRgbRow(image, y, pixels.data() + y * row, alpha);
    return true;
}

void TakeBoxes(CRaster& image, DecodeState& s) {
    auto metadata = std::make_shared<ImageMetadata>();
    metadata->icc = std::move(s.icc);
    metadata->exif = std::move(s.exif);
    metadata->xmp = std::move(s.xmp);
    // The decoder has turned the picture by the codestream's orientation.
    image.SetOrientation(1);
    if (!metadata->Empty()) image.SetMetadata(std::move(metadata));
}

// The picture's size and channels, its colours (the profile, or sRGB) and
// the Exif and XMP boxes, which need the container.
bool DescribeImage(JxlEncoder* enc, const JxlBasicInfo& info, const ImageMetadata* meta) {
    const bool boxes = meta && (!meta->exif.empty() || !meta->xmp.empty());
    bool ok = JxlEncoderUseContainer(enc, boxes ? JXL_TRUE : JXL_FALSE) == JXL_ENC_SUCCESS &&
              JxlEncoderSetBasicInfo(enc, &info) == JXL_ENC_SUCCESS;
    if (ok && meta && !meta->icc.empty()) {
        ok = JxlEncoderSetICCProfile(enc, meta->icc.data(), meta->icc.size()) == JXL_ENC_SUCCESS;
    } else if (ok) {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
        ok = JxlEncoderSetColorEncoding(enc, &srgb) == JXL_ENC_SUCCESS;
    }
    if (!ok || !boxes) return ok;
    ok = JxlEncoderUseBoxes(enc) == JXL_ENC_SUCCESS;
    if (ok && !meta->exif.empty()) {
        const std::vector<uint8_t> box = ExifBox(meta->exif);
        ok = JxlEncoderAddBox(enc, "Exif", box.data(), box.size(), JXL_FALSE) == JXL_ENC_SUCCESS;
    }
    if (ok && !meta->xmp.empty())
        ok = JxlEncoderAddBox(enc, "xml ", meta->xmp.data(), meta->xmp.size(), JXL_FALSE) ==
             JXL_ENC_SUCCESS;
    JxlEncoderCloseBoxes(enc);
    return ok;
}

// A decoder over the whole file, told to give the boxes it holds too.
DecoderPtr StartDecoder(const std::vector<uint8_t>& data) {
    DecoderPtr dec(JxlDecoderCreate(nullptr));
    const int events =
        JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE | JXL_DEC_BOX;
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), events) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), data.data(), data.size()) != JXL_DEC_SUCCESS)
        return nullptr;
    JxlDecoderCloseInput(dec.get());
    return dec;
}

} // namespace

float JxlDistanceForQuality(int quality) {
    if (quality >= 100) return 0.0f;
    if (quality >= 30) return float(0.1 + (100 - quality) * 0.09);
    return float(53.0 / 3000.0 * quality * quality - 23.0 / 20.0 * quality + 25.0);
}

bool JxlCodec::Fail(const char* text) {
    SetLastError(text);
    Discard();
    return false;
}

bool JxlCodec::Sniff(std::span<const uint8_t> head) {
    const JxlSignature signature = JxlSignatureCheck(head.data(), head.size());
    return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}

bool JxlCodec::ReadSize(ImageStream* stream, uint32_t* width, uint32_t* height) {
    std::vector<uint8_t> head(1 << 16);
    const size_t got = stream ? stream->Read(head.data(), 1, head.size()) : 0;
    DecoderPtr dec(JxlDecoderCreate(nullptr));
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), head.data(), got) != JXL_DEC_SUCCESS)
        return false;
    JxlDecoderCloseInput(dec.get());
    JxlBasicInfo info;
    if (JxlDecoderProcessInput(dec.get()) != JXL_DEC_BASIC_INFO ||
        JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS)
        return false;
    UprightSize(info, *width, *height);
    return true;
}

bool JxlCodec::Decode(ImageStream* stream, const DecodeRequest&) {
    if (!stream) return Fail("Not a JPEG XL file");
    std::vector<uint8_t> data;
    if (!ReadRemaining(stream, data) || !Sniff(data)) return Fail("Not a JPEG XL file");
    DecoderPtr dec = StartDecoder(data);
    if (!dec) return Fail("JPEG XL: cannot start the decoder");
    DecodeState s;
    std::vector<uint8_t> pixels;
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
        if (status != JXL_DEC_BOX_NEED_MORE_OUTPUT && status != JXL_DEC_NEED_IMAGE_OUT_BUFFER &&
            status != JXL_DEC_BASIC_INFO && status != JXL_DEC_COLOR_ENCODING)
            FinishBox(dec.get(), s);
        if (status == JXL_DEC_ERROR) return Fail("corrupted JPEG XL file");
        if (status == JXL_DEC_NEED_MORE_INPUT) return Fail("JPEG XL file cut short");
        if (status == JXL_DEC_SUCCESS) break;
        if (status == JXL_DEC_BASIC_INFO) {
            if (JxlDecoderGetBasicInfo(dec.get(), &s.info) != JXL_DEC_SUCCESS)
                return Fail("corrupted JPEG XL file");
            uint32_t w, h;
            UprightSize(s.info, w, h);
            if (!FitsMemoryLimit(w, h, 32)) return Fail("RASTER_MAX_MEMORY exceeded");
            format.num_channels = s.info.alpha_bits ? 4 : 3;
            if (HeaderOnly()) {
                if (!Create(w, h, 24, kTypeJxl)) return false;
                if (s.info.alpha_bits) AddAlpha();
                break;
            }
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            ReadProfile(dec.get(), s);
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            if (!SetOutBuffer(dec.get(), format, pixels)) return Fail("corrupted JPEG XL file");
        } else if (status == JXL_DEC_FULL_IMAGE) {
            if (!StorePixels(*this, s, format, pixels)) return false;
            // An animation gives its first frame; a still picture reads on for
            // boxes that follow its codestream.
            if (s.info.have_animation) {
                SetNumFrames(2);
                break;
            }
        } else if (status == JXL_DEC_BOX) {
            StartBox(dec.get(), s);
        } else if (status == JXL_DEC_BOX_NEED_MORE_OUTPUT) {
            if (!GrowBox(dec.get(), s)) return Fail("JPEG XL: metadata box too large");
        }
    }
    if (!HasPixels()) return Fail("JPEG XL file holds no picture");
    TakeBoxes(*this, s);
    return true;
}

bool JxlCodec::Encode(ImageStream* stream, const EncodeRequest& request) {
    if (CheckEncodable(stream)) return false;
    const uint32_t w = GetWidth(), h = GetHeight();
    const bool alpha = HasTransparency(*this);
    const uint32_t channels = alpha ? 4 : 3;
    std::vector<uint8_t> rows;
    try {
        rows.resize(size_t(w) * channels * h);
    } catch (const std::bad_alloc&) {
        SetLastError("JPEG XL: out of memory");
        return false;
    }
    for (uint32_t y = 0; y < h; ++y)
        ReadRgbRow(*this, y, alpha, rows.data() + size_t(y) * w * channels);
    EncoderPtr enc(JxlEncoderCreate(nullptr));
    if (!enc) return Fail("JPEG XL: cannot start the encoder");
    const bool lossless = request.lossless;
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = w;
    info.ysize = h;
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.alpha_bits = alpha ? 8 : 0;
    info.num_extra_channels = alpha ? 1 : 0;
    // Lossless keeps the samples themselves, not their XYB transform.
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    bool ok = DescribeImage(enc.get(), info, Metadata());
    JxlEncoderFrameSettings* frame =
        ok ? JxlEncoderFrameSettingsCreate(enc.get(), nullptr) : nullptr;
    ok = frame && JxlEncoderFrameSettingsSetOption(frame, JXL_ENC_FRAME_SETTING_EFFORT,
                                                   request.quick ? kQuickEffort : kEffort) ==
                      JXL_ENC_SUCCESS;
    if (ok && lossless)
        ok = JxlEncoderSetFrameLossless(frame, JXL_TRUE) == JXL_ENC_SUCCESS;
    else if (ok)
        ok = JxlEncoderSetFrameDistance(frame, JxlDistanceForQuality(request.quality)) ==
             JXL_ENC_SUCCESS;
    const JxlPixelFormat format{channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    ok = ok && JxlEncoderAddImageFrame(frame, &format, rows.data(), rows.size()) == JXL_ENC_SUCCESS;
    if (!ok) return Fail("JPEG XL: the encoder refused the picture");
    rows.clear();
    rows.shrink_to_fit();
    JxlEncoderCloseInput(enc.get());
    std::vector<uint8_t> out;
    if (!DrainEncoder(enc.get(), out)) return Fail("JPEG XL: cannot encode image");
    if (stream->Write(out.data(), 1, out.size()) != out.size()) return Fail("write error");
    return true;
}

bool RecompressJpeg(std::span<const uint8_t> jpeg, std::vector<uint8_t>& jxl, std::string& error) {
    EncoderPtr enc(JxlEncoderCreate(nullptr));
    bool ok = enc && JxlEncoderUseContainer(enc.get(), JXL_TRUE) == JXL_ENC_SUCCESS &&
              JxlEncoderStoreJPEGMetadata(enc.get(), JXL_TRUE) == JXL_ENC_SUCCESS;
    JxlEncoderFrameSettings* frame =
        ok ? JxlEncoderFrameSettingsCreate(enc.get(), nullptr) : nullptr;
    ok = frame &&
         JxlEncoderFrameSettingsSetOption(frame, JXL_ENC_FRAME_SETTING_EFFORT, kEffort) ==
             JXL_ENC_SUCCESS &&
         JxlEncoderAddJPEGFrame(frame, jpeg.data(), jpeg.size()) == JXL_ENC_SUCCESS;
    if (!ok) {
        error = "JPEG XL: this JPEG cannot be recompressed";
        return false;
    }
    JxlEncoderCloseInput(enc.get());
    if (DrainEncoder(enc.get(), jxl)) return true;
    error = "JPEG XL: cannot recompress the JPEG";
    return false;
}

// JPEG-2000 files and code streams through OpenJPEG. Its streams run over the
// ImageStream; its first error message is kept on the codec's holder, never
// written to stderr.
#include "InputLimits.h"
#include "SampleImage.h"

#include <openjpeg.h>

#include <algorithm>
#include <cstring>

namespace {

void OnError(const char* msg, void* user) {
    auto* kept = static_cast<std::string*>(user);
    if (!kept->empty()) return; // the first message says what went wrong
    *kept = msg ? msg : "";
    while (!kept->empty() && (kept->back() == '\n' || kept->back() == ' ')) kept->pop_back();
}
void OnMessage(const char*, void*) {}

struct Bridge {
    ImageStream* stream;
    int64_t start;
};

OPJ_SIZE_T BridgeRead(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* b = static_cast<Bridge*>(user);
    const size_t got = b->stream->Read(buffer, 1, n);
    return got ? got : OPJ_SIZE_T(-1);
}

OPJ_SIZE_T BridgeWrite(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* b = static_cast<Bridge*>(user);
    return b->stream->Write(buffer, 1, n) == n ? n : OPJ_SIZE_T(-1);
}

OPJ_OFF_T BridgeSkip(OPJ_OFF_T n, void* user) {
    auto* b = static_cast<Bridge*>(user);
    const int64_t at = b->stream->Tell();
    if (at < 0 || n > INT64_MAX - at) return -1;
    const int64_t target = at + n;
    if (target < 0 || !b->stream->Seek(target, SEEK_SET)) return -1;
    return n;
}

OPJ_BOOL BridgeSeek(OPJ_OFF_T pos, void* user) {
    auto* b = static_cast<Bridge*>(user);
    if (pos < 0 || pos > INT64_MAX - b->start) return OPJ_FALSE;
    return b->stream->Seek(b->start + pos, SEEK_SET);
}

opj_stream_t* OpenBridge(Bridge* bridge, bool input) {
    opj_stream_t* s = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE);
    if (!s) return nullptr;
    opj_stream_set_user_data(s, bridge, nullptr);
    if (input) {
        const int64_t left = StreamBytesLeft(bridge->stream);
        opj_stream_set_user_data_length(s, OPJ_UINT64(left > 0 ? left : 0));
        opj_stream_set_read_function(s, BridgeRead);
    } else {
        opj_stream_set_write_function(s, BridgeWrite);
    }
    opj_stream_set_skip_function(s, BridgeSkip);
    opj_stream_set_seek_function(s, BridgeSeek);
    return s;
}

struct CodecHolder {
    opj_codec_t* codec = nullptr;
    opj_stream_t* stream = nullptr;
    std::string libraryError;
    ~CodecHolder() {
        if (stream) opj_stream_destroy(stream);
        if (codec) opj_destroy_codec(codec);
    }

    void SetHandlers() {
        opj_set_error_handler(codec, OnError, &libraryError);
        opj_set_warning_handler(codec, OnMessage, nullptr);
        opj_set_info_handler(codec, OnMessage, nullptr);
    }

    // The fixed text, with the library's own reason before any final newline.
    std::string WithLibraryText(const char* text) const {
        std::string s = text;
        if (libraryError.empty()) return s;
        const bool newline = !s.empty() && s.back() == '\n';
        if (newline) s.pop_back();
        s += ": " + libraryError;
        if (newline) s += '\n';
        return s;
    }
};

// More than the markers OpenJPEG writes for one tile of up to three components.
constexpr double kMarkerAllowance = 512;

// Sizes the header promises, checked before anything is decoded.
bool CheckHeader(const opj_image_t& img, ImageStream* stream, std::string* error) {
    if (img.numcomps == 0 || img.numcomps > 64 || img.x1 <= img.x0 || img.y1 <= img.y0) {
        *error = img.numcomps > 64 ? "error: too much components" : "error: cannot load image data";
        return false;
    }
    uint64_t samples = 0;
    for (OPJ_UINT32 i = 0; i < img.numcomps; ++i) {
        const opj_image_comp_t& c = img.comps[i];
        if (c.dx == 0 || c.dy == 0 || c.prec == 0 || c.prec > 31) {
            *error = "error: cannot load image data";
            return false;
        }
        samples +=
            uint64_t((img.x1 - img.x0 + c.dx - 1) / c.dx) * ((img.y1 - img.y0 + c.dy - 1) / c.dy);
    }
    // Wavelet data compresses blank areas to almost nothing; a picture of more
    // than this many samples per byte of input is refused as a bomb.
    const uint64_t pixels = uint64_t(img.x1 - img.x0) * (img.y1 - img.y0);
    if (samples > kMaxSamples || ImplausibleSize(pixels, samples, StreamBytesLeft(stream), 2000)) {
        *error = "error: cannot allocate memory";
        return false;
    }
    return true;
}

// The decoded components become the image's, without a copy.
bool AdoptComponents(const std::shared_ptr<opj_image_t>& img, SampleImage* image,
                     std::string* error) {
    image->width = img->x1 - img->x0, image->height = img->y1 - img->y0;
    image->gridX0 = img->x0, image->gridY0 = img->y0;
    image->ycc = img->color_space == OPJ_CLRSPC_SYCC;
    for (OPJ_UINT32 i = 0; i < img->numcomps; ++i) {
        const opj_image_comp_t& c = img->comps[i];
        if ((!c.data && !image->headerOnly) || c.w == 0 || c.h == 0) {
            *error = "error: cannot load image data";
            return false;
        }
        SampleComponent s;
        s.width = c.w, s.height = c.h, s.dx = c.dx, s.dy = c.dy, s.x0 = c.x0, s.y0 = c.y0;
        s.precision = c.prec, s.isSigned = c.sgnd != 0, s.isAlpha = c.alpha != 0;
        s.data = c.data;
        image->comps.push_back(s);
    }
    image->external = img;
    return true;
}

// Header-only: a JP2 file's channel definitions (alpha) and palette reach
// the components only when samples are decoded, so one pixel is.
bool DescribeComponents(CodecHolder& h, const std::shared_ptr<opj_image_t>& img, bool codeStream,
                        SampleImage* image, std::string* error) {
    const OPJ_UINT32 x0 = img->x0, y0 = img->y0, x1 = img->x1, y1 = img->y1;
    if (!codeStream && (!opj_set_decode_area(h.codec, img.get(), OPJ_INT32(x0), OPJ_INT32(y0),
                                             OPJ_INT32(x0 + 1), OPJ_INT32(y0 + 1)) ||
                        !opj_decode(h.codec, h.stream, img.get()))) {
        *error = h.WithLibraryText("error: cannot load image data");
        return false;
    }
    if (!AdoptComponents(img, image, error)) return false;
    image->width = x1 - x0, image->height = y1 - y0;
    image->gridX0 = x0, image->gridY0 = y0;
    return true;
}

} // namespace

bool ReadJp2(ImageStream* stream, bool codeStream, SampleImage* image, std::string* error) {
    Bridge bridge{stream, stream->Tell()};
    CodecHolder h;
    h.codec = opj_create_decompress(codeStream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    h.stream = h.codec ? OpenBridge(&bridge, true) : nullptr;
    if (!h.stream) {
        *error = "error: cannot open standard input";
        return false;
    }
    h.SetHandlers();
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    opj_image_t* raw = nullptr;
    if (!opj_setup_decoder(h.codec, &params) || !opj_read_header(h.stream, h.codec, &raw) || !raw) {
        if (raw) opj_image_destroy(raw);
        *error = h.WithLibraryText("error: cannot load image data");
        return false;
    }
    std::shared_ptr<opj_image_t> img(raw, opj_image_destroy);
    if (!CheckHeader(*img, stream, error)) return false;
    if (image->headerOnly) return DescribeComponents(h, img, codeStream, image, error);
    if (!opj_decode(h.codec, h.stream, img.get())) {
        *error = h.WithLibraryText("error: cannot load image data");
        return false;
    }
    opj_end_decompress(h.codec, h.stream);
    return AdoptComponents(img, image, error);
}

namespace {

// The samples as an 8-bit OpenJPEG image of one or three components.
std::shared_ptr<opj_image_t> MakeImage(const SampleImage& image) {
    const uint32_t n = uint32_t(image.comps.size());
    opj_image_cmptparm_t parms[3] = {};
    for (uint32_t i = 0; i < n && i < 3; ++i) {
        parms[i].dx = parms[i].dy = 1;
        parms[i].w = image.width, parms[i].h = image.height;
        parms[i].prec = 8;
        parms[i].sgnd = 0;
    }
    std::shared_ptr<opj_image_t> img(
        opj_image_create(n, parms, n == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY), [](opj_image_t* p) {
            if (p) opj_image_destroy(p);
        });
    if (!img) return nullptr;
    img->x0 = img->y0 = 0;
    img->x1 = image.width, img->y1 = image.height;
    const size_t count = size_t(image.width) * image.height;
    for (uint32_t i = 0; i < n; ++i)
        std::memcpy(img->comps[i].data, image.comps[i].data, count * 4);
    return img;
}

// One quality layer at the rate, reversible, with as many resolution levels
// as the picture's shorter side allows.
opj_cparameters_t EncoderParameters(const SampleImage& image, double rate) {
    const uint32_t n = uint32_t(image.comps.size());
    opj_cparameters_t p;
    opj_set_default_encoder_parameters(&p);
    p.tcp_numlayers = 1;
    p.cp_disto_alloc = 1;
    // The rate is the share of the pixels' bytes to keep. OpenJPEG takes a
    // compression ratio (0 for lossless) and pays the code stream's markers
    // out of that budget, which starved small pictures to a blur: the markers
    // come on top, and where the budget reaches the pixels' own size the
    // picture is written losslessly.
    const double pixelBytes = double(image.width) * image.height * n;
    const double budget = std::max(rate, 0.001) * pixelBytes + kMarkerAllowance;
    p.tcp_rates[0] = rate >= 1.0 || budget >= pixelBytes ? 0.0f : float(pixelBytes / budget);
    p.irreversible = 0;
    p.tcp_mct = n == 3 ? 1 : 0;
    // Each resolution level halves the picture; small pictures need fewer.
    const uint32_t side = std::min(image.width, image.height);
    while (p.numresolution > 1 && (uint32_t(1) << (p.numresolution - 1)) > side)
        --p.numresolution;
    return p;
}

} // namespace

bool WriteJp2(ImageStream* stream, bool codeStream, const SampleImage& image, double rate,
              std::string* error) {
    std::shared_ptr<opj_image_t> img = MakeImage(image);
    if (!img) {
        *error = "error : jas_image_create";
        return false;
    }
    opj_cparameters_t p = EncoderParameters(image, rate);
    Bridge bridge{stream, stream->Tell()};
    CodecHolder h;
    h.codec = opj_create_compress(codeStream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    h.stream = h.codec ? OpenBridge(&bridge, false) : nullptr;
    if (!h.stream) {
        *error = "error: cannot open standard output";
        return false;
    }
    h.SetHandlers();
    if (!opj_setup_encoder(h.codec, &p, img.get()) ||
        !opj_start_compress(h.codec, img.get(), h.stream) || !opj_encode(h.codec, h.stream) ||
        !opj_end_compress(h.codec, h.stream)) {
        *error = h.WithLibraryText("error: cannot encode image\n");
        return false;
    }
    return true;
}

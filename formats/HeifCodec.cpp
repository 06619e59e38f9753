#include "HeifCodec.h"

#include "ByteOrder.h"
#include "HeifLibrary.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "PixelRows.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

// ---- file type -------------------------------------------------------------

constexpr std::string_view kAvifBrands[] = {"avif", "avis"};
constexpr std::string_view kHeifBrands[] = {"heic", "heix", "hevc", "hevx", "heim",
                                            "heis", "hevm", "hevs", "mif1", "msf1"};

// The major and compatible brands of a leading 'ftyp' box, as far as head holds them.
std::vector<std::string_view> Brands(std::span<const uint8_t> head) {
    std::vector<std::string_view> brands;
    if (head.size() < 16 || std::memcmp(head.data() + 4, "ftyp", 4) != 0) return brands;
    const size_t end = std::min<size_t>(GetBE32(head.data()), head.size());
    const char* text = reinterpret_cast<const char*>(head.data());
    brands.emplace_back(text + 8, 4);
    for (size_t at = 16; at + 4 <= end; at += 4)
        brands.emplace_back(text + at, 4);
    return brands;
}

template <size_t N> bool AnyOf(const std::vector<std::string_view>& brands,
                               const std::string_view (&wanted)[N]) {
    for (std::string_view b : brands)
        for (std::string_view w : wanted)
            if (b == w) return true;
    return false;
}

// ---- libheif glue ----------------------------------------------------------

// Valid once an entry point has loaded the library.
const HeifLibrary& Heif() {
    return *LoadHeifLibrary();
}

struct ContextDeleter {
    void operator()(heif_context* c) const { Heif().heif_context_free(c); }
};
struct HandleDeleter {
    void operator()(const heif_image_handle* h) const { Heif().heif_image_handle_release(h); }
};
struct ImageDeleter {
    void operator()(const heif_image* i) const { Heif().heif_image_release(i); }
};
struct EncoderDeleter {
    void operator()(heif_encoder* e) const { Heif().heif_encoder_release(e); }
};
using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<const heif_image_handle, HandleDeleter>;
using Image = std::unique_ptr<heif_image, ImageDeleter>;
using Encoder = std::unique_ptr<heif_encoder, EncoderDeleter>;

// libheif reads through our stream, from where the stream stood: only the
// boxes it needs, never a copy of the whole file.
struct StreamSource {
    ImageStream* stream;
    int64_t start;
    int64_t size;
};

int64_t SourcePosition(void* data) {
    auto* s = static_cast<StreamSource*>(data);
    return s->stream->Tell() - s->start;
}
int SourceRead(void* out, size_t size, void* data) {
    auto* s = static_cast<StreamSource*>(data);
    return s->stream->Read(out, 1, size) == size ? 0 : -1;
}
int SourceSeek(int64_t position, void* data) {
    auto* s = static_cast<StreamSource*>(data);
    if (position < 0 || position > s->size) return -1;
    return s->stream->Seek(s->start + position, SEEK_SET) ? 0 : -1;
}
heif_reader_grow_status SourceGrow(int64_t target, void* data) {
    const auto* s = static_cast<StreamSource*>(data);
    return target <= s->size ? heif_reader_grow_status_size_reached
                             : heif_reader_grow_status_size_beyond_eof;
}
const heif_reader kStreamReader = {1, SourcePosition, SourceRead, SourceSeek, SourceGrow};

heif_error SinkWrite(heif_context*, const void* data, size_t size, void* userdata) {
    auto* stream = static_cast<ImageStream*>(userdata);
    if (stream->Write(data, size, 1) == 1 || size == 0) return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
    return {heif_error_Encoding_error, heif_suberror_Cannot_write_output_data, "write error"};
}

// ---- grids ------------------------------------------------------------------

// A grid image is drawn from tiles its 'dimg' references name; one small tile
// named thousands of times makes a huge picture from a few hundred bytes.
// Camera grids have some 50 tiles; 2048 tiles of 512 pixels make 500 MP.
constexpr uint64_t kMaxGridTiles = 2048;
// Bytes of 8-bit RGB a byte of the file may become: a 16384 x 16384
// picture needs at least 24 KB.
constexpr uint64_t kMaxHeifExpansion = 8192;

uint32_t FourCc(const char* s) { return GetBE32(reinterpret_cast<const uint8_t*>(s)); }

// The box starting at `at` in data[0, end): its type and payload [from, to).
bool NextBox(const std::vector<uint8_t>& data, size_t at, size_t end, uint32_t& type, size_t& from,
             size_t& to) {
    if (at + 8 > end) return false;
    uint64_t size = GetBE32(&data[at]);
    type = GetBE32(&data[at + 4]);
    from = at + 8;
    if (size == 1) {
        if (at + 16 > end) return false;
        size = uint64_t(GetBE32(&data[at + 8])) << 32 | GetBE32(&data[at + 12]);
        from = at + 16;
    } else if (size == 0) {
        size = end - at;
    }
    if (size < from - at || size > end - at) return false;
    to = at + size_t(size);
    return true;
}

// The 'meta' box's payload, read from the top-level boxes of the stream.
std::vector<uint8_t> MetaPayload(ImageStream* stream, int64_t start, int64_t size) {
    constexpr uint64_t kMaxMeta = uint64_t(16) << 20;
    int64_t at = start;
    for (int boxes = 0; boxes < 64 && at + 8 <= start + size; ++boxes) {
        uint8_t head[16];
        if (!stream->Seek(at, SEEK_SET) || stream->Read(head, 1, 16) < 8) break;
        uint64_t length = GetBE32(head);
        uint64_t header = 8;
        if (length == 1) length = uint64_t(GetBE32(head + 8)) << 32 | GetBE32(head + 12), header = 16;
        if (length == 0) length = uint64_t(start + size - at);
        if (length < header || length > uint64_t(start + size - at)) break;
        if (GetBE32(head + 4) == FourCc("meta")) {
            if (length - header > kMaxMeta) break;
            std::vector<uint8_t> payload(size_t(length - header));
            stream->Seek(at + int64_t(header), SEEK_SET);
            if (stream->Read(payload.data(), 1, payload.size()) != payload.size()) break;
            return payload;
        }
        at += int64_t(length);
    }
    return {};
}

// Item ids are 16 bits in version 0 boxes, 32 in later ones.
uint32_t ItemId(const std::vector<uint8_t>& d, size_t& at, bool wide) {
    const uint32_t id = wide ? GetBE32(&d[at]) : GetBE16(&d[at]);
    at += wide ? 4 : 2;
    return id;
}

// The tiles the primary item draws from: its 'dimg' references.
uint64_t PrimaryTileCount(const std::vector<uint8_t>& meta) {
    uint32_t type = 0;
    size_t from = 0, to = 0;
    uint32_t primary = 0;
    uint64_t tiles = 0;
    std::vector<std::pair<size_t, size_t>> references;
    for (size_t at = 4; NextBox(meta, at, meta.size(), type, from, to); at = to) {
        if (type == FourCc("pitm") && to - from >= 6) {
            size_t p = from + 4;
            primary = ItemId(meta, p, meta[from] != 0 && to - from >= 8);
        } else if (type == FourCc("iref") && to > from + 4) {
            references.emplace_back(from, to);
        }
    }
    for (auto [start, end] : references) {
        const bool wide = meta[start] != 0;
        for (size_t at = start + 4; NextBox(meta, at, end, type, from, to); at = to) {
            size_t p = from;
            if (type != FourCc("dimg") || p + (wide ? 6 : 4) > to) continue;
            if (ItemId(meta, p, wide) != primary) continue;
            tiles += GetBE16(&meta[p]);
        }
    }
    return tiles;
}

// Why the file's grid or declared size cannot be decoded, or null.
const char* ImplausibleGrid(ImageStream* stream, const StreamSource& source, uint64_t pixels) {
    const int64_t position = stream->Tell();
    const uint64_t tiles = PrimaryTileCount(MetaPayload(stream, source.start, source.size));
    stream->Seek(position, SEEK_SET);
    if (tiles > kMaxGridTiles) return "HEIF: grid of more tiles than a picture has";
    if (ImplausibleSize(pixels, pixels * 3, source.size, kMaxHeifExpansion)) return kDataCannotFill;
    return nullptr;
}

// The primary image of the file the stream holds; null with the reason in error.
Handle OpenPrimary(ImageStream* stream, Context& context, StreamSource& source, const char** error) {
    if (!LoadHeifLibrary()) {
        *error = HeifLibraryError();
        return nullptr;
    }
    source = StreamSource{stream, stream->Tell(), stream->Size() - stream->Tell()};
    context.reset(Heif().heif_context_alloc());
    *error = "Not a HEIF";
    if (!context || source.start < 0 || source.size <= 0) return nullptr;
    // Rows already run in parallel: a grid's tiles decode on the calling thread.
    Heif().heif_context_set_max_decoding_threads(context.get(), 0);
    const heif_error read = Heif().heif_context_read_from_reader(context.get(), &kStreamReader, &source, nullptr);
    if (read.code != heif_error_Ok) {
        // libheif refuses declared sizes above its own limit before allocating.
        if (read.subcode == heif_suberror_Security_limit_exceeded)
            *error = "HEIF: picture larger than the decoder allows";
        return nullptr;
    }
    heif_image_handle* handle = nullptr;
    *error = "corrupted HEIF";
    if (Heif().heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok)
        return nullptr;
    return Handle(handle);
}

// Exif items start with the offset of the TIFF header within them.
std::vector<uint8_t> TiffPart(const std::vector<uint8_t>& item) {
    if (item.size() < 4) return {};
    const uint64_t offset = uint64_t(GetBE32(item.data())) + 4;
    if (offset >= item.size()) return {};
    return std::vector<uint8_t>(item.begin() + long(offset), item.end());
}

struct PlaneCopy {
    heif_channel channel;
    int rgbaIndex;
};

// Lossy: interleaved RGB(A), converted by libheif. Lossless: the identity
// layout (Y = green, Cb = blue, Cr = red) that AV1 codes without any colour
// conversion; libheif 1.15 would convert RGB through its default matrix
// whatever profile it is asked to write.
Image ToHeifImage(const CRaster& source, bool alpha, bool identity) {
    const int w = int(source.GetWidth()), h = int(source.GetHeight());
    heif_image* created = nullptr;
    const heif_error made =
        identity ? Heif().heif_image_create(w, h, heif_colorspace_YCbCr, heif_chroma_444, &created)
                 : Heif().heif_image_create(w, h, heif_colorspace_RGB,
                                     alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                                     &created);
    Image image(created);
    if (made.code != heif_error_Ok) return nullptr;
    static const PlaneCopy kInterleaved[] = {{heif_channel_interleaved, -1}};
    static const PlaneCopy kIdentity[] = {{heif_channel_Y, 1}, {heif_channel_Cb, 2},
                                          {heif_channel_Cr, 0}, {heif_channel_Alpha, 3}};
    const std::span<const PlaneCopy> planes =
        identity ? std::span<const PlaneCopy>(kIdentity, alpha ? 4 : 3) : kInterleaved;
    const size_t step = alpha ? 4 : 3;
    std::vector<uint8_t> row(size_t(w) * step);
    std::vector<std::pair<uint8_t*, int>> targets;
    for (const PlaneCopy& p : planes) {
        int stride = 0;
        uint8_t* data = nullptr;
        if (Heif().heif_image_add_plane(image.get(), p.channel, w, h, 8).code == heif_error_Ok)
            data = Heif().heif_image_get_plane(image.get(), p.channel, &stride);
        if (!data) return nullptr;
        targets.emplace_back(data, stride);
    }
    for (int y = 0; y < h; ++y) {
        if (!identity) {
            ReadRgbRow(source, uint32_t(y), alpha, targets[0].first + size_t(y) * size_t(targets[0].second));
            continue;
        }
        ReadRgbRow(source, uint32_t(y), alpha, row.data());
        for (size_t k = 0; k < planes.size(); ++k) {
            uint8_t* out = targets[k].first + size_t(y) * size_t(targets[k].second);
            for (int x = 0; x < w; ++x)
                out[x] = row[size_t(x) * step + size_t(planes[k].rgbaIndex)];
        }
    }
    if (identity) {
        heif_color_profile_nclx* nclx = Heif().heif_nclx_color_profile_alloc();
        if (!nclx) return nullptr;
        nclx->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
        nclx->color_primaries = heif_color_primaries_ITU_R_BT_709_5;
        nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
        nclx->full_range_flag = 1;
        const bool set = Heif().heif_image_set_nclx_color_profile(image.get(), nclx).code == heif_error_Ok;
        Heif().heif_nclx_color_profile_free(nclx);
        if (!set) return nullptr;
    }
    return image;
}

// The smallest embedded thumbnail at least 1/scale of the picture's size, as
// a reduced decode; phones store one beside every photo. Null when none is.
Handle ThumbnailFor(const heif_image_handle* primary, uint8_t scale) {
    if (scale <= 1) return nullptr;
    const int wantW = (Heif().heif_image_handle_get_width(primary) + scale - 1) / scale;
    const int wantH = (Heif().heif_image_handle_get_height(primary) + scale - 1) / scale;
    const int count = Heif().heif_image_handle_get_number_of_thumbnails(primary);
    std::vector<heif_item_id> ids(size_t(std::max(count, 0)));
    const int listed = Heif().heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count);
    Handle best;
    for (int i = 0; i < listed; ++i) {
        heif_image_handle* found = nullptr;
        if (Heif().heif_image_handle_get_thumbnail(primary, ids[size_t(i)], &found).code != heif_error_Ok)
            continue;
        Handle candidate(found);
        const int w = Heif().heif_image_handle_get_width(found), h = Heif().heif_image_handle_get_height(found);
        if (w < wantW || h < wantH) continue;
        if (!best || w < Heif().heif_image_handle_get_width(best.get())) best = std::move(candidate);
    }
    return best;
}

// The AV1 encoder at the quality asked for, or lossless with full-resolution chroma.
Encoder AvifEncoder(heif_context* context, bool lossless, int quality, int speed) {
    heif_encoder* encoder = nullptr;
    if (Heif().heif_context_get_encoder_for_format(context, heif_compression_AV1, &encoder).code != heif_error_Ok)
        return nullptr;
    Encoder owned(encoder);
    Heif().heif_encoder_set_parameter_integer(encoder, "speed", speed);
    // A quick encode is mostly a small sample: starting the encoder's four
    // worker threads would cost more than they save.
    if (speed == kAvifQuickSpeed) Heif().heif_encoder_set_parameter_integer(encoder, "threads", 1);
    if (lossless) {
        Heif().heif_encoder_set_lossless(encoder, 1);
        Heif().heif_encoder_set_parameter_boolean(encoder, "lossless-alpha", 1);
        Heif().heif_encoder_set_parameter_string(encoder, "chroma", "444");
    } else {
        Heif().heif_encoder_set_lossy_quality(encoder, quality);
    }
    return owned;
}

// Codes the picture as the context's image; null when the encoder fails.
Handle EncodePrimary(heif_context* context, const heif_image* image, heif_encoder* encoder,
                     bool lossless, uint8_t orientation) {
    heif_encoding_options* options = Heif().heif_encoding_options_alloc();
    // A profile beside identity coding: readers need the identity box too.
    options->save_two_colr_boxes_when_ICC_and_nclx_available = lossless;
    // Pixels kept as stored (no auto-rotate) are turned by the container's
    // boxes: readers of this format do not turn by the Exif.
    options->image_orientation = heif_orientation(orientation >= 1 && orientation <= 8 ? orientation : 1);
    heif_image_handle* written = nullptr;
    const heif_error error = Heif().heif_context_encode_image(context, image, encoder, options, &written);
    Heif().heif_encoding_options_free(options);
    Handle handle(written);
    if (error.code != heif_error_Ok) return nullptr;
    return handle;
}

void AddMetadataItems(heif_context* context, const heif_image_handle* handle, const ImageMetadata* metadata) {
    if (metadata && !metadata->exif.empty())
        Heif().heif_context_add_exif_metadata(context, handle, metadata->exif.data(), int(metadata->exif.size()));
    if (metadata && !metadata->xmp.empty())
        Heif().heif_context_add_XMP_metadata(context, handle, metadata->xmp.data(), int(metadata->xmp.size()));
}

} // namespace

bool HeifCodec::SniffAvif(std::span<const uint8_t> head) {
    return AnyOf(Brands(head), kAvifBrands);
}

bool HeifCodec::SniffHeic(std::span<const uint8_t> head) {
    const std::vector<std::string_view> brands = Brands(head);
    return AnyOf(brands, kHeifBrands) && !AnyOf(brands, kAvifBrands);
}

bool HeifCodec::ReadSize(ImageStream* stream, uint32_t* width, uint32_t* height) {
    if (!stream) return false;
    Context context;
    StreamSource source;
    const char* error = nullptr;
    const Handle handle = OpenPrimary(stream, context, source, &error);
    if (!handle) return false;
    const int w = Heif().heif_image_handle_get_width(handle.get());
    const int h = Heif().heif_image_handle_get_height(handle.get());
    if (w <= 0 || h <= 0) return false;
    *width = uint32_t(w), *height = uint32_t(h);
    return true;
}

bool HeifCodec::Decode(ImageStream* stream, const DecodeRequest& request) {
    if (!stream) return Fail("Not a HEIF");
    uint8_t head[64] = {};
    const int64_t start = stream->Tell();
    const size_t got = stream->Read(head, 1, sizeof head);
    stream->Seek(start, SEEK_SET);
    const ImageType type = SniffAvif({head, got}) ? kTypeAvif : kTypeHeif;
    Context context;
    StreamSource source;
    const char* error = nullptr;
    const Handle handle = OpenPrimary(stream, context, source, &error);
    if (!handle) return Fail(error);
    const uint64_t pixels = uint64_t(std::max(Heif().heif_image_handle_get_width(handle.get()), 0)) *
                            uint64_t(std::max(Heif().heif_image_handle_get_height(handle.get()), 0));
    if (const char* why = ImplausibleGrid(stream, source, pixels)) return Fail(why);
    const Handle thumbnail = ThumbnailFor(handle.get(), request.scale);
    if (!DecodeHandle(thumbnail ? thumbnail.get() : handle.get(), type)) return false;
    ReadMetadata(handle.get());
    return true;
}

bool HeifCodec::DecodeHandle(const heif_image_handle* handle, ImageType type) {
    const int w = Heif().heif_image_handle_get_width(handle), h = Heif().heif_image_handle_get_height(handle);
    const bool alpha = Heif().heif_image_handle_has_alpha_channel(handle);
    if (w <= 0 || h <= 0) return Fail("corrupted HEIF");
    // Before the decoder allocates planes for a picture we could not hold.
    if (!FitsMemoryLimit(uint32_t(w), uint32_t(h), alpha ? 32 : 24))
        return Fail("RASTER_MAX_MEMORY exceeded");
    if (HeaderOnly()) {
        if (!Create(uint32_t(w), uint32_t(h), 24, type)) return false;
        if (alpha) AddAlpha();
        return true;
    }
    heif_decoding_options* options = Heif().heif_decoding_options_alloc();
    if (!options) return Fail("Can't allocate memory");
    options->convert_hdr_to_8bit = 1;
    heif_image* decoded = nullptr;
    const heif_error error =
        Heif().heif_decode_image(handle, &decoded, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options);
    Heif().heif_decoding_options_free(options);
    const Image image(decoded);
    if (error.code != heif_error_Ok || !image) {
        // No decoder for the coding (an HEVC file without libde265) says so.
        return Fail(error.code == heif_error_Unsupported_feature ? "HEIF: coding not supported"
                                                                 : "corrupted HEIF");
    }
    int stride = 0;
    const uint8_t* plane = Heif().heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!plane || Heif().heif_image_get_width(image.get(), heif_channel_interleaved) != w ||
        Heif().heif_image_get_height(image.get(), heif_channel_interleaved) != h ||
        Heif().heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8)
        return Fail("corrupted HEIF");
    if (!Create(uint32_t(w), uint32_t(h), 24, type)) return false;
    if (alpha) {
        AddAlpha();
        if (!HasAlpha()) return Fail("CRaster::Create can't allocate memory");
    }
    for (uint32_t y = 0; y < uint32_t(h); ++y)
        WriteRgbRow(*this, y, plane + size_t(y) * size_t(stride), alpha);
    return true;
}

void HeifCodec::ReadMetadata(const heif_image_handle* handle) {
    auto metadata = std::make_shared<ImageMetadata>();
    const size_t iccSize = Heif().heif_image_handle_get_raw_color_profile_size(handle);
    if (iccSize > 0) {
        metadata->icc.resize(iccSize);
        if (Heif().heif_image_handle_get_raw_color_profile(handle, metadata->icc.data()).code != heif_error_Ok)
            metadata->icc.clear();
    }
    const int count = Heif().heif_image_handle_get_number_of_metadata_blocks(handle, nullptr);
    std::vector<heif_item_id> ids(size_t(std::max(count, 0)));
    const int listed =
        Heif().heif_image_handle_get_list_of_metadata_block_IDs(handle, nullptr, ids.data(), count);
    for (int i = 0; i < listed; ++i) {
        const std::string_view kind = Heif().heif_image_handle_get_metadata_type(handle, ids[size_t(i)]);
        const std::string_view content =
            Heif().heif_image_handle_get_metadata_content_type(handle, ids[size_t(i)]);
        const bool exif = kind == "Exif", xmp = kind == "mime" && content == "application/rdf+xml";
        if (!exif && !xmp) continue;
        std::vector<uint8_t> item(Heif().heif_image_handle_get_metadata_size(handle, ids[size_t(i)]));
        if (Heif().heif_image_handle_get_metadata(handle, ids[size_t(i)], item.data()).code != heif_error_Ok)
            continue;
        if (exif && metadata->exif.empty()) metadata->exif = TiffPart(item);
        if (xmp && metadata->xmp.empty()) metadata->xmp = std::move(item);
    }
    // The Exif orientation is the one the container's transformations already
    // applied: the pixels are upright.
    if (!metadata->Empty()) SetMetadata(std::move(metadata));
}

bool HeifCodec::Encode(ImageStream* stream, ImageType type, const EncodeRequest& request) {
    if (CheckEncodable(stream)) return false;
    if (type != kTypeAvif) return Fail("HEIC cannot be written: save as AVIF");
    if (!LoadHeifLibrary()) return Fail(HeifLibraryError());
    const bool lossless = request.lossless;
    const Image image = ToHeifImage(*this, HasTransparency(*this), lossless);
    if (!image) return Fail("AVIF: out of memory");
    const ImageMetadata* metadata = Metadata();
    if (metadata && !metadata->icc.empty())
        Heif().heif_image_set_raw_color_profile(image.get(), "prof", metadata->icc.data(), metadata->icc.size());
    const Context context(Heif().heif_context_alloc());
    const int speed = request.quick ? kAvifQuickSpeed : kAvifEncoderSpeed;
    const Encoder encoder =
        context ? AvifEncoder(context.get(), lossless, request.quality, speed) : nullptr;
    if (!encoder) return Fail("AVIF: no AV1 encoder");
    const Handle handle = EncodePrimary(context.get(), image.get(), encoder.get(), lossless, GetOrientation());
    if (!handle) return Fail("AVIF: cannot encode image");
    AddMetadataItems(context.get(), handle.get(), metadata);
    heif_writer writer = {1, SinkWrite};
    if (Heif().heif_context_write(context.get(), &writer, stream).code != heif_error_Ok)
        return Fail("write error");
    return true;
}

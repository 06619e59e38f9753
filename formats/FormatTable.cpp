#include "FormatTable.h"

#include "BmpCodec.h"
#include "Colour.h"
#include "GifCodec.h"
#include "HeifCodec.h"
#include "IcoCodec.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "Jpeg2000FamilyCodec.h"
#include "JpegCodec.h"
#include "JxlCodec.h"
#include "MetafileCodec.h"
#include "PcxCodec.h"
#include "PngCodec.h"
#include "TgaCodec.h"
#include "TiffCodec.h"
#include "WbmpCodec.h"
#include "WebpCodec.h"

#include <algorithm>

namespace {

template <class Codec, class DecodeCall>
bool DecodeAs(CRaster& target, const DecodeRequest& request, bool quiet, bool keepFrameCount,
              DecodeCall decode) {
    Codec codec;
    codec.InheritSettings(target);
    // What a decode finds is the file's own, never left from an earlier load.
    codec.SetMetadata(nullptr);
    codec.SetOrientation(1);
    codec.ClearWarnings();
    // The result says what it holds: which frame, and whether rows at all.
    codec.SetFrame(request.frame);
    codec.SetHeaderOnly(request.headerOnly);
    if (decode(codec)) {
        target.ClearWarnings();
        target.TakeOver(codec);
        return true;
    }
    if (!quiet) {
        target.SetLastError(codec.LastErrorText());
        if (keepFrameCount) target.SetNumFrames(codec.GetNumFrames());
    }
    return false;
}

// Multi-frame formats report how many frames they found even when failing.
template <class Codec, bool kKeepFrameCount = false>
bool Decode(CRaster& target, ImageStream* s, ImageType, const DecodeRequest& request, bool quiet) {
    return DecodeAs<Codec>(target, request, quiet, kKeepFrameCount,
                           [&](Codec& c) { return c.Decode(s, request); });
}

// Untyped, the family detects its member and leaves the image's type 0.
bool DecodeFamily(CRaster& target, ImageStream* s, ImageType type, const DecodeRequest& request,
                  bool quiet) {
    return DecodeAs<Jpeg2000FamilyCodec>(target, request, quiet, false, [&](Jpeg2000FamilyCodec& c) {
        return c.Decode(s, quiet ? kTypeUnknown : type, request);
    });
}

template <class Codec, class EncodeCall> bool EncodeAs(CRaster& source, EncodeCall encode) {
    Codec codec;
    codec.ShareFrom(source);
    const bool ok = encode(codec);
    if (!ok) source.SetLastError(codec.LastErrorText());
    // The view started with the source's warnings; what the encoder added goes back.
    for (const std::string& text : codec.Warnings()) source.AddWarning(text);
    return ok;
}

template <class Codec>
bool Encode(CRaster& source, ImageStream* s, ImageType, const EncodeRequest& request) {
    return EncodeAs<Codec>(source, [&](Codec& c) { return c.Encode(s, request); });
}

// The PNG and TIFF writers may renumber the palette and move the transparent
// index with it; the palette is shared, the index must be carried back.
bool EncodePng(CRaster& source, ImageStream* s, ImageType, const EncodeRequest& request) {
    return EncodeAs<PngCodec>(source, [&](PngCodec& c) {
        const bool ok = c.Encode(s, request);
        source.SetTransparentIndex(c.GetTransparentIndex());
        return ok;
    });
}

bool EncodeTiff(CRaster& source, ImageStream* s, ImageType, const EncodeRequest& request) {
    return EncodeAs<CRasterTIF>(source, [&](CRasterTIF& c) {
        const bool ok = c.Encode(s, request, false);
        source.SetTransparentIndex(c.GetTransparentIndex());
        return ok;
    });
}

bool EncodeFamily(CRaster& source, ImageStream* s, ImageType type, const EncodeRequest& request) {
    return EncodeAs<Jpeg2000FamilyCodec>(
        source, [&](Jpeg2000FamilyCodec& c) { return c.Encode(s, type, request); });
}

// HEIC files are read only: the codec refuses them with its own text.
bool EncodeHeif(CRaster& source, ImageStream* s, ImageType type, const EncodeRequest& request) {
    return EncodeAs<HeifCodec>(source, [&](HeifCodec& c) { return c.Encode(s, type, request); });
}

template <ImageType kMember> bool SniffFamily(std::span<const uint8_t> head) {
    return Jpeg2000FamilyCodec::SniffType(head) == kMember;
}

using Ext = std::string_view;
constexpr Ext kBmpExt[] = {".bmp"};
constexpr Ext kJpegExt[] = {".jpg", ".jpeg"};
constexpr Ext kIcoExt[] = {".ico"};
constexpr Ext kGifExt[] = {".gif"};
constexpr Ext kPngExt[] = {".png"};
constexpr Ext kTiffExt[] = {".tif", ".tiff"};
constexpr Ext kTgaExt[] = {".tga"};
constexpr Ext kPcxExt[] = {".pcx"};
constexpr Ext kWbmpExt[] = {".wbmp"};
constexpr Ext kMetafileExt[] = {".wmf", ".emf"};
// .j2k names a bare code stream, as .j2c and .jpc do.
constexpr Ext kJp2Ext[] = {".jp2"};
constexpr Ext kJpcExt[] = {".j2c", ".jpc", ".j2k"};
constexpr Ext kPgxExt[] = {".pgx"};
constexpr Ext kPnmExt[] = {".pnm", ".pgm", ".ppm", ".pbm", ".pam"};
constexpr Ext kRasExt[] = {".ras"};
constexpr Ext kWebpExt[] = {".webp"};
constexpr Ext kHeifExt[] = {".heic", ".heif", ".hif"};
constexpr Ext kAvifExt[] = {".avif"};
constexpr Ext kJxlExt[] = {".jxl"};

constexpr uint32_t kFamilyNeeds = kSaveNoAlpha | kSaveNoPalette;

// Row order is the order of untyped attempts; the JPEG-2000 family detects
// its own member, so one of its rows at most ever accepts a stream.
// type, name, extensions, default extension, sniff, decode, encode,
// size from the header, save needs, writable, "Original" writes.
const ImageFormat kFormats[] = {
    {kTypeBmp, "BMP", kBmpExt, "bmp", BmpCodec::Sniff, Decode<BmpCodec>, Encode<BmpCodec>,
     nullptr, kSaveNoAlpha, true, kTypeBmp},
    {kTypeJpeg, "JPEG", kJpegExt, "jpg", JpegCodec::Sniff, Decode<JpegCodec>, Encode<JpegCodec>,
     JpegCodec::ReadFrameSize, kSaveQuality | kSaveNoAlpha | kSaveNoPalette | kSaveMetadata, true,
     kTypeJpeg},
    {kTypeIco, "ICO", kIcoExt, "ico", IcoCodec::Sniff, Decode<IcoCodec, true>, Encode<IcoCodec>,
     nullptr, 0, true, kTypeIco},
    {kTypeGif, "GIF", kGifExt, "gif", GifCodec::Sniff, Decode<GifCodec, true>, Encode<GifCodec>,
     nullptr, kSaveReduceTo8 | kSaveAlphaAsIndex, true, kTypeGif},
    {kTypePng, "PNG", kPngExt, "png", PngCodec::Sniff, Decode<PngCodec>, EncodePng, nullptr,
     kSaveMetadata, true, kTypePng},
    {kTypeTiff, "TIFF", kTiffExt, "tif", CRasterTIF::Sniff, Decode<CRasterTIF, true>, EncodeTiff,
     nullptr, kSaveReduceTo8 | kSaveAlphaPlane | kSaveAlphaByteIndex | kSaveBilevelBlackWhite |
     kSaveMetadata, true, kTypeTiff},
    {kTypeTga, "TGA", kTgaExt, "tga", TgaCodec::Sniff, Decode<TgaCodec>, Encode<TgaCodec>, nullptr,
     kSaveAlphaPlane | kSaveAlphaTrueColour, true, kTypeTga},
    {kTypePcx, "PCX", kPcxExt, "pcx", PcxCodec::Sniff, Decode<PcxCodec>, Encode<PcxCodec>, nullptr,
     kSaveNoAlpha | kSaveBilevelBlackWhite, true, kTypePcx},
    {kTypeWbmp, "WBMP", kWbmpExt, "wbmp", WbmpCodec::Sniff, Decode<WbmpCodec>, Encode<WbmpCodec>,
     nullptr, kSaveOneBit | kSaveNoAlpha, true, kTypeWbmp},
    // Its encoder refuses with a text of its own.
    {kTypeMetafile, "WMF", kMetafileExt, "wmf", MetafileCodec::Sniff, Decode<MetafileCodec>,
     Encode<MetafileCodec>, nullptr, 0, false, kTypeMetafile},
    {kTypeJp2, "JP2", kJp2Ext, "jp2", SniffFamily<kTypeJp2>, DecodeFamily, EncodeFamily, nullptr,
     kFamilyNeeds, true, kTypeJp2},
    {kTypeJpc, "JPC", kJpcExt, "jpc", SniffFamily<kTypeJpc>, DecodeFamily, EncodeFamily, nullptr,
     kFamilyNeeds, true, kTypeJpc},
    {kTypePgx, "PGX", kPgxExt, "pgx", SniffFamily<kTypePgx>, DecodeFamily, EncodeFamily, nullptr,
     kFamilyNeeds | kSaveNoColour, true, kTypePgx},
    {kTypePnm, "PNM", kPnmExt, "pnm", SniffFamily<kTypePnm>, DecodeFamily, EncodeFamily, nullptr,
     kFamilyNeeds, true, kTypePnm},
    {kTypeRas, "RAS", kRasExt, "ras", SniffFamily<kTypeRas>, DecodeFamily, EncodeFamily, nullptr,
     kFamilyNeeds, true, kTypeRas},
    {kTypeWebp, "WEBP", kWebpExt, "webp", WebpCodec::Sniff, Decode<WebpCodec>, Encode<WebpCodec>,
     WebpCodec::ReadSize, kSaveQuality | kSaveLossless | kSaveMetadata, true, kTypeWebp},
    // One decoder for both: the file's brands name the type it reads.
    {kTypeHeif, "HEIF", kHeifExt, "heic", HeifCodec::SniffHeic, Decode<HeifCodec>, EncodeHeif,
     HeifCodec::ReadSize, 0, false, kTypeAvif},
    {kTypeAvif, "AVIF", kAvifExt, "avif", HeifCodec::SniffAvif, Decode<HeifCodec>, EncodeHeif,
     HeifCodec::ReadSize, kSaveQuality | kSaveLossless | kSaveMetadata, true, kTypeAvif},
    {kTypeJxl, "JXL", kJxlExt, "jxl", JxlCodec::Sniff, Decode<JxlCodec>, Encode<JxlCodec>,
     JxlCodec::ReadSize, kSaveQuality | kSaveLossless | kSaveMetadata, true, kTypeJxl},
};

} // namespace

std::span<const ImageFormat> ImageFormats() { return kFormats; }

const ImageFormat* FindImageFormat(ImageType type) {
    for (const ImageFormat& f : kFormats)
        if (f.type == type) return &f;
    return nullptr;
}

DecodeRequest DecodeRequest::Of(const CRaster& image) {
    DecodeRequest request;
    request.frame = image.GetFrame();
    request.headerOnly = image.HeaderOnly();
    return request;
}

EncodeRequest EncodeRequest::Of(const CRaster& image, ImageType type) {
    EncodeRequest request;
    request.quality = image.GetQuality();
    request.formatOption = image.GetFormatOption(type);
    return request;
}

bool DecodeWithCodec(CRaster& target, ImageStream* s, ImageType type,
                     const DecodeRequest& request, bool quiet) {
    if (const ImageFormat* f = FindImageFormat(type))
        return f->decode(target, s, type, request, quiet);
    if (!quiet) target.SetLastError("Decode: Unknown or wrong format");
    return false;
}

bool DecodeWithCodec(CRaster& target, ImageStream* s, ImageType type, bool quiet) {
    return DecodeWithCodec(target, s, type, DecodeRequest::Of(target), quiet);
}

bool DecodeUntyped(CRaster& target, ImageStream* s, const DecodeRequest& request) {
    if (!s) return false;
    const int64_t start = s->Tell();
    uint8_t head[kSniffBytes];
    const size_t got = s->Read(head, 1, sizeof head);
    s->Seek(start, SEEK_SET);
    const std::span<const uint8_t> bytes(head, got);
    for (const ImageFormat& f : kFormats) {
        if (!f.sniff(bytes)) continue;
        if (f.decode(target, s, f.type, request, /*quiet=*/true)) return true;
        s->Seek(start, SEEK_SET);
    }
    return false;
}

bool EncodeWithCodec(CRaster& source, ImageStream* s, ImageType type,
                     const EncodeRequest& request) {
    if (const ImageFormat* f = FindImageFormat(type)) {
        // A profile of another colour space than the pixels (a CMYK one on
        // the colours it was converted to) would make readers misread them.
        if (ProfileFitsPixels(source)) return f->encode(source, s, type, request);
        const ImageMetadataPtr kept = source.MetadataPtr();
        auto without = std::make_shared<ImageMetadata>(*kept);
        without->icc.clear();
        source.SetMetadata(without->Empty() ? nullptr : std::move(without));
        const bool ok = f->encode(source, s, type, request);
        source.SetMetadata(kept);
        return ok;
    }
    source.SetLastError("Encode: Unknown format");
    return false;
}

bool EncodeWithCodec(CRaster& source, ImageStream* s, ImageType type) {
    return EncodeWithCodec(source, s, type, EncodeRequest::Of(source, type));
}

bool ReadImageSize(const std::string& path, ImageType type, uint32_t* width, uint32_t* height) {
    const ImageFormat* f = FindImageFormat(type);
    if (!f || !f->readSize) return false;
    FileImageStream file;
    return file.OpenInput(path.c_str()) && f->readSize(&file, width, height);
}

#include "CodecTable.h"

#include "BmpCodec.h"
#include "GifCodec.h"
#include "IcoCodec.h"
#include "ImageType.h"
#include "Jpeg2000FamilyCodec.h"
#include "JpegCodec.h"
#include "MetafileCodec.h"
#include "PcxCodec.h"
#include "PngCodec.h"
#include "TgaCodec.h"
#include "TiffCodec.h"
#include "WbmpCodec.h"

namespace {

// The JPEG-2000 family stands last, detecting its own format.
constexpr ImageType kOrder[] = {kTypeBmp, kTypeJpeg, kTypeIco, kTypeGif, kTypePng, kTypeTiff,
                                kTypeTga, kTypePcx, kTypeWbmp, kTypeMetafile, kTypeJp2};

template <class Codec, class DecodeCall>
bool DecodeAs(CRaster& target, ImageType type, bool quiet, DecodeCall decode) {
    Codec codec;
    codec.InheritSettings(target);
    // What a decode finds is the file's own, never left from an earlier load.
    codec.SetMetadata(nullptr);
    codec.SetOrientation(1);
    if (decode(codec)) {
        target.TakeOver(codec);
        return true;
    }
    if (!quiet) {
        target.SetLastError(codec.LastErrorText());
        if (type == kTypeGif || type == kTypeIco || type == kTypeTiff)
            target.SetNumFrames(codec.GetNumFrames());
    }
    return false;
}

template <class Codec, class EncodeCall> bool EncodeAs(CRaster& source, EncodeCall encode) {
    Codec codec;
    codec.ShareFrom(source);
    const bool ok = encode(codec);
    if (!ok) source.SetLastError(codec.LastErrorText());
    return ok;
}

// The PNG and TIFF writers may renumber the palette and move the transparent
// index with it; the palette is shared, the index must be carried back.
bool KeepIndex(CRaster& source, const CRaster& codec, bool result) {
    source.SetTransparentIndex(codec.GetTransparentIndex());
    return result;
}

} // namespace

const std::span<const ImageType> kUntypedDecodeOrder(kOrder);

bool DecodeWithCodec(CRaster& target, ImageStream* s, ImageType type, bool quiet) {
    auto plain = [&](auto& c) { return c.Decode(s); };
    switch (type) {
    case kTypeBmp: return DecodeAs<BmpCodec>(target, type, quiet, plain);
    case kTypeGif: return DecodeAs<GifCodec>(target, type, quiet, plain);
    case kTypeJpeg: return DecodeAs<JpegCodec>(target, type, quiet, plain);
    case kTypePng: return DecodeAs<PngCodec>(target, type, quiet, plain);
    case kTypeIco: return DecodeAs<IcoCodec>(target, type, quiet, plain);
    case kTypeTiff: return DecodeAs<CRasterTIF>(target, type, quiet, plain);
    case kTypeTga: return DecodeAs<TgaCodec>(target, type, quiet, plain);
    case kTypePcx: return DecodeAs<PcxCodec>(target, type, quiet, plain);
    case kTypeWbmp: return DecodeAs<WbmpCodec>(target, type, quiet, plain);
    case kTypeMetafile:
        return DecodeAs<MetafileCodec>(target, type, quiet, [&](auto& c) { return c.Decode(s, 0, 0); });
    // The untyped attempt (quiet) lets the family detect the format and type.
    case kTypeJp2:
    case kTypeJpc:
    case kTypePgx:
    case kTypePnm:
    case kTypeRas:
        return DecodeAs<Jpeg2000FamilyCodec>(target, type, quiet,
                                             [&](auto& c) { return c.Decode(s, quiet ? 0 : type); });
    default: break;
    }
    if (!quiet) target.SetLastError("Decode: Unknown or wrong format");
    return false;
}

bool EncodeWithCodec(CRaster& source, ImageStream* s, ImageType type) {
    auto plain = [&](auto& c) { return c.Encode(s); };
    switch (type) {
    case kTypeBmp: return EncodeAs<BmpCodec>(source, plain);
    case kTypeGif: return EncodeAs<GifCodec>(source, plain);
    case kTypeJpeg: return EncodeAs<JpegCodec>(source, plain);
    case kTypePng:
        return EncodeAs<PngCodec>(source, [&](auto& c) { return KeepIndex(source, c, c.Encode(s)); });
    case kTypeIco: return EncodeAs<IcoCodec>(source, plain);
    case kTypeTiff:
        return EncodeAs<CRasterTIF>(source,
                                    [&](auto& c) { return KeepIndex(source, c, c.Encode(s, false)); });
    case kTypeTga: return EncodeAs<TgaCodec>(source, plain);
    case kTypePcx: return EncodeAs<PcxCodec>(source, plain);
    case kTypeWbmp: return EncodeAs<WbmpCodec>(source, plain);
    case kTypeMetafile: return EncodeAs<MetafileCodec>(source, plain);
    case kTypeJp2:
    case kTypeJpc:
    case kTypePgx:
    case kTypePnm:
    case kTypeRas:
        return EncodeAs<Jpeg2000FamilyCodec>(source, [&](auto& c) { return c.Encode(s, type); });
    default: break;
    }
    source.SetLastError("Encode: Unknown format");
    return false;
}

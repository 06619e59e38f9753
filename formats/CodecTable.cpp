#include "CodecTable.h"

#include "BmpCodec.h"
#include "IcoCodec.h"
#include "ImageType.h"
#include "Jpeg2000FamilyCodec.h"
#include "TgaCodec.h"
#include "WbmpCodec.h"

namespace {

constexpr ImageType kOrder[] = {kTypeBmp, kTypeIco, kTypeTga, kTypeWbmp, kTypeJp2};

template <class Codec, class DecodeCall>
bool DecodeAs(CRaster& target, ImageType type, bool quiet, DecodeCall decode) {
    Codec codec;
    codec.InheritSettings(target);
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

} // namespace

const std::span<const ImageType> kUntypedDecodeOrder(kOrder);

bool DecodeWithCodec(CRaster& target, ImageStream* s, ImageType type, bool quiet) {
    switch (type) {
    case kTypeBmp:
        return DecodeAs<BmpCodec>(target, type, quiet, [&](auto& c) { return c.Decode(s); });
    case kTypeIco:
        return DecodeAs<IcoCodec>(target, type, quiet, [&](auto& c) { return c.Decode(s); });
    case kTypeTga:
        return DecodeAs<TgaCodec>(target, type, quiet, [&](auto& c) { return c.Decode(s); });
    case kTypeWbmp:
        return DecodeAs<WbmpCodec>(target, type, quiet, [&](auto& c) { return c.Decode(s); });
    // The untyped attempt (quiet) lets the family detect the format and type 0.
    case kTypeJp2:
    case kTypeJpc:
    case kTypePgx:
    case kTypePnm:
    case kTypeRas:
        return DecodeAs<Jpeg2000FamilyCodec>(
            target, type, quiet, [&](auto& c) { return c.Decode(s, quiet ? 0 : type); });
    default:
        break;
    }
    if (!quiet) target.SetLastError("Decode: Unknown or wrong format");
    return false;
}

bool EncodeWithCodec(CRaster& source, ImageStream* s, ImageType type) {
    switch (type) {
    case kTypeBmp:
        return EncodeAs<BmpCodec>(source, [&](auto& c) { return c.Encode(s); });
    case kTypeIco:
        return EncodeAs<IcoCodec>(source, [&](auto& c) { return c.Encode(s); });
    case kTypeTga:
        return EncodeAs<TgaCodec>(source, [&](auto& c) { return c.Encode(s); });
    case kTypeWbmp:
        return EncodeAs<WbmpCodec>(source, [&](auto& c) { return c.Encode(s); });
    case kTypeJp2:
    case kTypeJpc:
    case kTypePgx:
    case kTypePnm:
    case kTypeRas:
        return EncodeAs<Jpeg2000FamilyCodec>(source, [&](auto& c) { return c.Encode(s, type); });
    default:
        break;
    }
    source.SetLastError("Encode: Unknown format");
    return false;
}

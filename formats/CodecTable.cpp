#include "CodecTable.h"

#include "BmpCodec.h"
#include "ImageType.h"
#include "MetafileCodec.h"

namespace {

constexpr ImageType kOrder[] = {kTypeBmp, kTypeMetafile};

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

template <class Codec, class EncodeCall>
bool EncodeAs(CRaster& source, EncodeCall encode) {
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
    case kTypeBmp: return DecodeAs<BmpCodec>(target, type, quiet, [&](auto& c) { return c.Decode(s); });
    case kTypeMetafile: return DecodeAs<MetafileCodec>(target, type, quiet, [&](auto& c) { return c.Decode(s, 0, 0); });
    default: break;
    }
    if (!quiet) target.SetLastError("Decode: Unknown or wrong format");
    return false;
}

bool EncodeWithCodec(CRaster& source, ImageStream* s, ImageType type) {
    switch (type) {
    case kTypeBmp: return EncodeAs<BmpCodec>(source, [&](auto& c) { return c.Encode(s); });
    case kTypeMetafile: return EncodeAs<MetafileCodec>(source, [&](auto& c) { return c.Encode(s); });
    default: break;
    }
    source.SetLastError("Encode: Unknown format");
    return false;
}

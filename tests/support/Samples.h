// A small file of every type, built at test time.
#pragma once

#include "Codec.h"
#include "FormatTable.h"

namespace testkit {

// A placeable metafile of one rectangle, 1440 x 720 units at 1440 an inch.
inline Bytes PlaceableWmf() {
    Bytes f;
    Put32(f, 0x9AC6CDD7);
    for (uint16_t w : {0, 0, 0, 1440, 720, 1440})
        Put16(f, w);
    Put32(f, 0);
    uint16_t sum = 0;
    for (int i = 0; i < 10; ++i)
        sum ^= uint16_t(f[2 * i] | f[2 * i + 1] << 8);
    Put16(f, sum);
    Put16(f, 1), Put16(f, 9), Put16(f, 0x0300), Put32(f, 9 + 7 + 3), Put16(f, 0), Put32(f, 7),
        Put16(f, 0);
    Put32(f, 7), Put16(f, 0x041B), Put16(f, 600), Put16(f, 1200), Put16(f, 100), Put16(f, 100);
    Put32(f, 3), Put16(f, 0);
    return f;
}

// A 40 x 30 picture: a grey ramp's indexes up to 8 bits, a gradient at 24.
inline CRaster SamplePicture(uint32_t depth, ImageType type = kTypeBmp) {
    CRaster image(40, 30, depth, type);
    if (depth <= 8) image.FillGrayRamp();
    for (uint32_t y = 0; y < 30; ++y)
        for (uint32_t x = 0; x < 40; ++x) {
            if (depth == 24)
                image.WriteColor(x, y, RGBQUAD{uint8_t(x * 6), uint8_t(y * 8), 90, 0});
            else
                image.WriteIndex(x, y, uint8_t(depth == 1 ? (x + y) & 1 : x * 6));
        }
    return image;
}

// The depth the format's writer takes as it is.
inline uint32_t SampleDepth(const ImageFormat& f) {
    return f.saveNeeds & kSaveOneBit ? 1 : f.saveNeeds & kSaveNoColour ? 8 : 24;
}

// The sample picture as a file of the format; metafiles, which are never
// written, as a placeable metafile; empty for other formats we do not write.
inline Bytes SampleFile(const ImageFormat& f) {
    if (f.type == kTypeMetafile) return PlaceableWmf();
    if (!f.writable) return {};
    CRaster image = SamplePicture(SampleDepth(f), f.type);
    return EncodeBytes(image, f.type);
}

} // namespace testkit

// Feeds arbitrary bytes to the decoders and to the metadata and colour
// modules. The first byte picks the path: an image type of the format table
// (0, or a number without a row: every codec whose sniff accepts the bytes),
// or one of the two block paths below; the rest is the input. Blocks a
// decoder finds go on through the output side: brought up to date, written
// by every format that carries them, and the pixels leave their profile.
#include "Colour.h"
#include "CRaster.h"
#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "Metadata.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr uint8_t kRawProfile = 0xFF; // the rest is an ICC profile
constexpr uint8_t kRawBlocks = 0xFE;  // the rest is Exif, XMP and IPTC blocks

// Through the table, so a format is fuzzed as soon as it has its row.
ImageType TypeOf(uint8_t selector) {
    ImageType last = 0;
    for (const ImageFormat& format : ImageFormats())
        last = std::max(last, format.type);
    const ImageType type = ImageType(selector % (last + 1));
    return FindImageFormat(type) ? type : ImageType(0);
}

// The blocks' writers need no large picture: a small one carries them.
void WriteBlocks(const ImageMetadata* blocks, uint32_t width, uint32_t height) {
    for (const bool keepLocation : {true, false}) {
        OutputMetadataSpec spec;
        spec.splitXmp = true;
        spec.keepLocation = keepLocation;
        spec.width = width, spec.height = height;
        ImageMetadataPtr output = OutputMetadata(blocks, spec);
        if (!output || !keepLocation) continue;
        CRaster small(4, 4, 24);
        small.FillBytes(0x80);
        small.SetMetadata(output);
        for (const ImageFormat& format : ImageFormats()) {
            if (!format.writable || !(format.saveNeeds & kSaveMetadata)) continue;
            MemoryImageStream written;
            if (written.Open()) small.Encode(&written, format.type);
        }
    }
}

void ThroughProfile(const std::vector<uint8_t>& icc) {
    (void)IsUsableProfile(icc);
    (void)ProfileDescription(icc);
    auto blocks = std::make_shared<ImageMetadata>();
    blocks->icc = icc;
    for (const uint32_t bpp : {24u, 8u}) {
        CRaster image(16, 4, bpp);
        for (uint32_t y = 0; y < image.GetHeight(); ++y)
            for (uint32_t x = 0; x < image.GetWidth() * bpp / 8; ++x)
                image.RowPointer(y)[x] = uint8_t(x * 37 + y * 61);
        image.SetMetadata(blocks);
        ConvertToSrgb(image);
    }
    for (const bool inverted : {false, true}) {
        const CmykConverter cmyk(icc, inverted);
        if (!cmyk.Valid()) continue;
        const uint8_t samples[16] = {0, 0, 0, 0, 255, 255, 255, 255, 10, 200, 30, 90, 255, 0, 128, 7};
        uint8_t bgr[12];
        cmyk.Row(samples, bgr, 4);
    }
}

// Two length bytes cut the rest into Exif, XMP and IPTC; the whole rest is
// also tried as a TIFF file and as a resource block.
void ThroughBlocks(const uint8_t* data, size_t size) {
    (void)ExifFromTiffFile(data, size);
    const Bytes iptc = IptcFromResources(data, size);
    if (!iptc.empty()) (void)ResourcesFromIptc(iptc);
    if (size < 2) return;
    const size_t exifSize = std::min<size_t>(size - 2, size_t(data[0]) << 8 | data[1]);
    const uint8_t* exif = data + 2;
    const size_t rest = size - 2 - exifSize;
    const size_t xmpSize = rest / 2;
    ImageMetadata blocks;
    blocks.exif.assign(exif, exif + exifSize);
    blocks.xmp.assign(exif + exifSize, exif + exifSize + xmpSize);
    blocks.iptc.assign(exif + exifSize + xmpSize, data + size);
    WriteBlocks(&blocks, 640, 480);
}

void ThroughDecoder(ImageType type, const uint8_t* data, size_t size) {
    std::vector<uint8_t> file(data, data + size);
    MemoryImageStream stream(file.data(), int32_t(file.size()));
    CRaster image;
    if (!image.Decode(&stream, type)) return;
    volatile uint8_t sink = 0;
    for (uint32_t y = 0; y < image.GetHeight(); y += 61)
        sink = sink ^ image.RowPointer(y)[0];
    (void)sink;
    if (!image.Metadata()) return;
    WriteBlocks(image.Metadata(), image.GetWidth(), image.GetHeight());
    ConvertToSrgb(image);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    if (data[0] == kRawProfile)
        ThroughProfile(std::vector<uint8_t>(data + 1, data + size));
    else if (data[0] == kRawBlocks)
        ThroughBlocks(data + 1, size - 1);
    else
        ThroughDecoder(TypeOf(data[0]), data + 1, size - 1);
    return 0;
}

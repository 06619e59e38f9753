// Feeds arbitrary bytes to the decoders and to the metadata and colour
// modules. The first byte picks the path: an image type of the format table
// (0, or a number without a row: every codec whose sniff accepts the bytes),
// or one of the two block paths below; the rest is the input. Blocks a
// decoder finds go on through the output side: brought up to date, written
// by every format that carries them, and the pixels leave their profile.
// The other reads of a run go over the same bytes and must agree with the
// full decode: the header alone gives its size, and a JPEG resized as it
// decodes gives the full decode resized, to the byte.
#include "Colour.h"
#include "CRaster.h"
#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "Metadata.h"
#include "Resize.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <memory>
#include <utility>
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

bool DecodeBytes(CRaster& image, ImageType type, const uint8_t* data, size_t size,
                 const DecodeRequest& request = DecodeRequest()) {
    std::vector<uint8_t> file(data, data + size);
    MemoryImageStream stream(file.data(), file.size());
    if (FindImageFormat(type)) return DecodeWithCodec(image, &stream, type, request);
    return type == 0 && DecodeUntyped(image, &stream, request);
}

// A disagreement is a finding: trap, so the fuzzer keeps the input.
void Agree(bool same) {
    if (!same) __builtin_trap();
}

void ThroughOtherReads(ImageType type, const uint8_t* data, size_t size, const CRaster* full) {
    CRaster header;
    if (!DecodeBytes(header, type, data, size, DecodeRequest::Header())) return;
    // Turned pictures are described by their upright size.
    auto upright = [](const CRaster& i) {
        const bool turned = i.GetOrientation() >= 5;
        return std::pair(turned ? i.GetHeight() : i.GetWidth(), turned ? i.GetWidth() : i.GetHeight());
    };
    // Untyped, the header of one format may pass where its rows fail and
    // another format's decode takes the bytes.
    if (full && header.GetImageType() == full->GetImageType())
        // A header may promise alpha that only the pixels can deny (a 32-bit
        // Sun raster's fourth byte), never miss alpha the pixels have.
        Agree(upright(header) == upright(*full) && header.GetBitsPerPixel() == full->GetBitsPerPixel() &&
              (header.HasAlpha() || !full->HasAlpha()));
    if (header.GetImageType() != kTypeJpeg) return;
    const uint32_t w = header.GetWidth(), h = header.GetHeight();
    CRaster scaled;
    DecodeRequest reduced;
    reduced.scale = uint8_t(2 << size % 3);
    (void)DecodeBytes(scaled, type, data, size, reduced);
    struct Target {
        uint32_t w, h;
        bool smooth;
    } targets[] = {{std::max(1u, w / 3), std::max(1u, h / 2), false},
                   {2 * w + 1, 2 * h + 1, false},
                   {std::max(1u, w / 4), std::max(1u, h / 3), true}};
    for (const Target& t : targets) {
        if (uint64_t(t.w) * t.h > (1u << 22)) continue;
        CRaster sampled;
        DecodeRequest request;
        request.width = t.w, request.height = t.h, request.smooth = t.smooth;
        if (!DecodeBytes(sampled, type, data, size, request) || t.smooth || !full) continue;
        // Grey and CMYK pictures come back whole.
        if (sampled.GetWidth() != t.w || sampled.GetHeight() != t.h) continue;
        CRaster resized;
        Agree(resized.Duplicate(*full) && ResizeNearest(resized, t.w, t.h) &&
              resized.PixelBytes() == sampled.PixelBytes() &&
              std::memcmp(resized.Pixels(), sampled.Pixels(), sampled.PixelBytes()) == 0);
    }
}

void ThroughDecoder(ImageType type, const uint8_t* data, size_t size) {
    CRaster image;
    const bool decoded = DecodeBytes(image, type, data, size);
    ThroughOtherReads(type, data, size, decoded ? &image : nullptr);
    if (!decoded) return;
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

// Feeds arbitrary bytes to the decoders. The first byte picks the image type
// (0 tries every codec in turn); the rest is the file. Metadata blocks found
// go on through the output side: brought up to date and written.
#include "CRaster.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "Metadata.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const ImageType type = data[0] % kTypeCount;
    std::vector<uint8_t> file(data + 1, data + size);
    MemoryImageStream stream(file.data(), int32_t(file.size()));
    CRaster image;
    if (image.Decode(&stream, type)) {
        volatile uint8_t sink = 0;
        for (uint32_t y = 0; y < image.GetHeight(); y += 61) sink = sink ^ image.RowPointer(y)[0];
        (void)sink;
        if (image.Metadata()) {
            OutputMetadataSpec spec;
            spec.splitXmp = true;
            spec.width = image.GetWidth(), spec.height = image.GetHeight();
            image.SetMetadata(OutputMetadata(image.Metadata(), spec));
            for (ImageType out : {kTypeJpeg, kTypePng, kTypeTiff}) {
                MemoryImageStream written;
                if (written.Open()) image.Encode(&written, out);
            }
        }
    }
    return 0;
}

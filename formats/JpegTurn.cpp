#include "JpegTurn.h"

#include "Metadata.h"

#include <turbojpeg.h>

#include <algorithm>
#include <memory>

namespace {

struct TurboDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};

constexpr size_t kSegmentData = 65533; // a segment's length field counts itself

void PutSegment(std::vector<uint8_t>& out, uint8_t marker, std::string_view name,
                const uint8_t* data, size_t size) {
    const size_t length = 2 + name.size() + size;
    out.insert(out.end(), {0xFF, marker, uint8_t(length >> 8), uint8_t(length)});
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), data, data + size);
}

} // namespace

bool TurnJpeg(std::span<const uint8_t> jpeg, const JpegTurnRequest& request,
              std::vector<uint8_t>& out, uint32_t& width, uint32_t& height, std::string& error) {
    std::unique_ptr<void, TurboDeleter> handle(tjInitTransform());
    if (!handle) {
        error = "cannot start the JPEG transform";
        return false;
    }
    static constexpr int kOps[] = {TJXOP_NONE, TJXOP_ROT90, TJXOP_ROT180, TJXOP_ROT270};
    tjtransform transform{};
    transform.op = kOps[std::clamp(request.quarterTurns, 0, 3)];
    transform.options = TJXOPT_COPYNONE | (request.trim ? TJXOPT_TRIM : TJXOPT_PERFECT) |
                        (request.progressive ? TJXOPT_PROGRESSIVE : 0);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (tjTransform(handle.get(), jpeg.data(), jpeg.size(), 1, &buffer, &size, &transform, 0) != 0) {
        error = request.trim ? tjGetErrorStr2(handle.get()) : "edge blocks would be lost";
        tjFree(buffer);
        return false;
    }
    out.assign(buffer, buffer + size);
    tjFree(buffer);
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle.get(), out.data(), out.size(), &w, &h, &subsampling,
                            &colourspace) != 0 || w <= 0 || h <= 0) {
        error = "the turned JPEG does not read back";
        return false;
    }
    width = uint32_t(w), height = uint32_t(h);
    return true;
}

bool InsertJpegMetadata(std::vector<uint8_t>& jpeg, const ImageMetadata& meta) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
    size_t at = 2;
    // After the JFIF header the library wrote, where readers expect the others.
    if (jpeg.size() > 6 && jpeg[2] == 0xFF && jpeg[3] == 0xE0)
        at = 4 + (size_t(jpeg[4]) << 8 | jpeg[5]);
    std::vector<uint8_t> segments;
    if (!meta.exif.empty()) {
        if (meta.exif.size() > kSegmentData - 6) return false;
        PutSegment(segments, 0xE1, std::string_view("Exif\0\0", 6), meta.exif.data(), meta.exif.size());
    }
    if (!meta.xmp.empty()) {
        constexpr std::string_view kXmp("http://ns.adobe.com/xap/1.0/\0", 29);
        if (meta.xmp.size() > kSegmentData - kXmp.size()) return false;
        PutSegment(segments, 0xE1, kXmp, meta.xmp.data(), meta.xmp.size());
    }
    if (!meta.icc.empty()) {
        constexpr size_t kChunk = kSegmentData - 14;
        const size_t chunks = (meta.icc.size() + kChunk - 1) / kChunk;
        if (chunks > 255) return false;
        for (size_t i = 0; i < chunks; ++i) {
            std::string name("ICC_PROFILE\0", 12);
            name += char(i + 1);
            name += char(chunks);
            const size_t start = i * kChunk;
            PutSegment(segments, 0xE2, name, meta.icc.data() + start,
                       std::min(kChunk, meta.icc.size() - start));
        }
    }
    if (!meta.iptc.empty()) {
        const Bytes resources = ResourcesFromIptc(meta.iptc);
        constexpr std::string_view kPhotoshop("Photoshop 3.0\0", 14);
        if (resources.size() > kSegmentData - kPhotoshop.size()) return false;
        if (!resources.empty())
            PutSegment(segments, 0xED, kPhotoshop, resources.data(), resources.size());
    }
    jpeg.insert(jpeg.begin() + std::ptrdiff_t(at), segments.begin(), segments.end());
    return true;
}

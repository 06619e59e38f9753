#include "RowShortcuts.h"

#include "FormatTable.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "JpegCodec.h"
#include "JpegTurn.h"
#include "JxlCodec.h"
#include "Metadata.h"
#include "RowTransforms.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

bool ReadInput(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad() && JpegCodec::Sniff(bytes);
}

// The JPEG's header: its size, orientation and blocks, no pixels.
bool ReadHeader(std::vector<uint8_t>& bytes, CRaster& header) {
    MemoryImageStream stream(bytes.data(), bytes.size());
    return bytes.size() < INT32_MAX &&
           DecodeWithCodec(header, &stream, kTypeJpeg, DecodeRequest::Header());
}

RowBytes LosslessTurn(std::vector<uint8_t>& input, const CRaster& header, int turns,
                      const RunOptions& options) {
    RowBytes row;
    const ImageMetadata* meta = header.Metadata();
    // The profile stays only where blocks are kept; stripped, the pixels
    // would have to leave it for sRGB. Extended XMP needs the codec's writer.
    if (meta && ((options.metadata == MetadataMode::kStripAll && !meta->icc.empty()) ||
                 !meta->xmpExtension.empty()))
        return row;
    JpegTurnRequest request;
    request.quarterTurns = turns;
    request.trim = options.jpegTurn == JpegTurnEdges::kTrim;
    request.progressive = options.encode.jpegProgressive;
    uint32_t width = 0, height = 0;
    std::string error;
    if (!TurnJpeg(input, request, row.bytes, width, height, error)) return RowBytes{};
    if (meta && options.metadata != MetadataMode::kStripAll) {
        OutputMetadataSpec spec;
        spec.keepLocation = options.metadata != MetadataMode::kKeepAllButLocation;
        spec.splitXmp = true;
        spec.orientation = options.autoRotate ? 1 : header.GetOrientation();
        spec.width = width;
        spec.height = height;
        const ImageMetadataPtr blocks = OutputMetadata(meta, spec);
        if (blocks && !InsertJpegMetadata(row.bytes, *blocks)) return RowBytes{};
    }
    const bool trimmed = (turns % 2 ? height : width) != header.GetWidth() ||
                         (turns % 2 ? width : height) != header.GetHeight();
    // Only a trim loses pixels; a whole turn writes the usual line.
    if (trimmed) row.note = " (turned without re-encoding; edge blocks trimmed)";
    row.ready = true;
    return row;
}

RowBytes Recompress(const std::vector<uint8_t>& input) {
    RowBytes row;
    std::string error;
    if (!RecompressJpeg(input, row.bytes, error)) return RowBytes{};
    row.note = " (JPEG recompressed without loss)";
    row.ready = true;
    return row;
}

} // namespace

int RowQuarterTurns(uint8_t orientation, const OperationSettings& settings,
                    const RunOptions& options) {
    if (settings.resizeEnabled || settings.stampEnabled ||
        (settings.rotateEnabled && settings.sharpen) || OptionsChangePixels(settings, options))
        return -1;
    int turns = 0;
    if (options.autoRotate) {
        switch (orientation) {
        case 1: break;
        case 6: turns = 1; break;
        case 3: turns = 2; break;
        case 8: turns = 3; break;
        default: return -1; // mirrored
        }
    }
    if (settings.rotateEnabled) {
        switch (settings.rotation) {
        case kRotate90: turns += 1; break;
        case kRotate180: turns += 2; break;
        case kRotate270: turns += 3; break;
        default: break;
        }
    }
    return turns % 4;
}

RowBytes RowShortcut(const std::string& path, ImageType inputType, ImageType saveType,
                     const OperationSettings& settings, const RunOptions& options) {
    const bool turn = saveType == kTypeJpeg && options.jpegTurn != JpegTurnEdges::kOff &&
                      options.maxSize == 0;
    const bool recompress = saveType == kTypeJxl && options.lossless && options.maxSize == 0 &&
                            options.metadata == MetadataMode::kKeepAll;
    if (inputType != kTypeJpeg || !(turn || recompress)) return RowBytes{};
    // Settled without reading the file: most rows resize or stamp.
    if (settings.resizeEnabled || settings.stampEnabled ||
        (settings.rotateEnabled && settings.sharpen) || OptionsChangePixels(settings, options) ||
        (!recompress && !settings.rotateEnabled && !options.autoRotate))
        return RowBytes{};
    // Only regular files: the load reports folders, pipes and devices.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return RowBytes{};
    // Most photos are upright: their header settles it without reading the file.
    JpegHeader upright;
    if (!recompress && ReadJpegHeader(path, upright)) {
        const uint16_t o = upright.orientation;
        if (RowQuarterTurns(o >= 1 && o <= 8 ? uint8_t(o) : 1, settings, options) == 0)
            return RowBytes{};
    }
    std::vector<uint8_t> input;
    CRaster header;
    if (!ReadInput(path, input) || !ReadHeader(input, header)) return RowBytes{};
    const int turns = RowQuarterTurns(header.GetOrientation(), settings, options);
    if (turn && turns > 0) return LosslessTurn(input, header, turns, options);
    if (recompress && turns == 0) return Recompress(input);
    return RowBytes{};
}

// Options of the batch command for how outputs are encoded: JPEG tables,
// progression and subsampling, PNG compression, palettes, a size budget,
// keeping an input that is smaller, and lossless JPEG turns. They set the
// run options beside the record.
#include "BatchOptions.h"

#include <string>

namespace {

using Apply = bool (*)(OperationSettings&, RunOptions&, const std::string&, std::string&);

bool JpegOptimize(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.encode.jpegOptimize = true;
    return true;
}

bool NoJpegOptimize(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.encode.jpegOptimize = false;
    return true;
}

bool JpegProgressive(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.encode.jpegProgressive = true;
    return true;
}

bool JpegBaseline(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.encode.jpegProgressive = false;
    return true;
}

bool Subsampling(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseSubsampling(value, o.encode.jpegSubsampling)) return true;
    error = "--jpeg-subsampling: '" + value + "' is not one of 420, 422, 444";
    return false;
}

bool PngLevel(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    int32_t level = 0;
    if (!ParseNumber(value, "--png-level", kPngLevelMin, kPngLevelMax, level, error)) return false;
    o.encode.pngLevel = int8_t(level);
    return true;
}

bool Filter(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParsePngFilter(value, o.encode.pngFilter)) return true;
    error = "--png-filter: '" + value + "' is not one of adaptive, none, sub, up, average, paeth";
    return false;
}

bool PngReduce(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.encode.pngReduce = true;
    return true;
}

bool NoPngReduce(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.encode.pngReduce = false;
    return true;
}

bool Zopfli(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.encode.zopfli = true;
    return true;
}

bool NoZopfli(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.encode.zopfli = false;
    return true;
}

bool Palette(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParsePaletteMode(value, o.palette)) return true;
    error = "--palette: '" + value + "' is not one of fixed, adaptive";
    return false;
}

bool Dither(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.paletteDither = true;
    return true;
}

bool NoDither(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.paletteDither = false;
    return true;
}

bool MaxSize(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseByteSize(value, o.maxSize)) return true;
    error = "--max-size: '" + value + "' is not a size such as 200K, 1.5M or 350000 (or none)";
    return false;
}

bool NeverLarger(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.neverLarger = true;
    return true;
}

bool MayBeLarger(OperationSettings&, RunOptions& o, const std::string&, std::string&) {
    o.neverLarger = false;
    return true;
}

bool JpegTurn(OperationSettings&, RunOptions& o, const std::string& value, std::string& error) {
    if (ParseJpegTurnEdges(value, o.jpegTurn)) return true;
    error = "--jpeg-turn: '" + value + "' is not one of trim, re-encode, off";
    return false;
}

} // namespace

void AppendEncoderOptions(std::vector<BatchOption>& table) {
    const BatchOption options[] = {
        {"--jpeg-optimize", nullptr,
         "JPEG Huffman tables made for each picture: same pixels, a few percent smaller (the "
         "default)",
         JpegOptimize},
        {"--no-jpeg-optimize", nullptr, "JPEG with the standard Huffman tables", NoJpegOptimize},
        {"--jpeg-progressive", nullptr, "progressive JPEG (shown coarse first while loading)",
         JpegProgressive},
        {"--jpeg-baseline", nullptr, "sequential JPEG (the default)", JpegBaseline},
        {"--jpeg-subsampling", "420|422|444",
         "JPEG colour resolution: 420 halves it both ways (the default), 422 across, 444 keeps it",
         Subsampling, "420 422 444"},
        {"--png-level", "N",
         "PNG compression level 0..9 (6, the default, is fast; 7..9 also try a full search and "
         "keep the smaller file)",
         PngLevel, "0 1 2 3 4 5 6 7 8 9"},
        {"--png-filter", "FILTER",
         "PNG row filter: adaptive (the default), none, sub, up, average or paeth", Filter,
         "adaptive none sub up average paeth"},
        {"--png-reduce", nullptr,
         "a PNG of at most 256 colours or of greys only is written as a palette or grey PNG "
         "(exact; the default)",
         PngReduce},
        {"--no-png-reduce", nullptr, "PNG keeps the picture's own depth", NoPngReduce},
        {"--zopfli", nullptr, "PNG compressed with zopfli: smallest, many times slower", Zopfli},
        {"--no-zopfli", nullptr, "PNG compressed with zlib (the default)", NoZopfli},
        {"--palette", "fixed|adaptive",
         "colours of GIF, 8-bit TIFF and reduced PNG outputs: the fixed 256-colour palette (the "
         "default) or one made for each picture (much better for photos)",
         Palette, "fixed adaptive"},
        {"--dither", nullptr, "an adaptive palette diffuses its error (the default)", Dither},
        {"--no-dither", nullptr, "an adaptive palette maps each pixel to its nearest colour",
         NoDither},
        {"--max-size", "SIZE",
         "JPEG, WebP, AVIF and JXL outputs at the highest quality that fits SIZE (200K, 1.5M, "
         "bytes; none for no limit); a row that cannot fit fails",
         MaxSize},
        {"--never-larger", nullptr,
         "when only the encoding changes and the output would be larger, the input's bytes are "
         "kept under the output name",
         NeverLarger},
        {"--may-be-larger", nullptr, "always write the encoded output (the default)", MayBeLarger},
        {"--jpeg-turn", "trim|re-encode|off",
         "a JPEG only turned by 90, 180 or 270 degrees is turned without decoding (quality and "
         "metadata kept); edge blocks that do not fill a block are dropped (trim) or the turn "
         "decodes instead (re-encode, the default); off always decodes",
         JpegTurn, "trim re-encode off"},
    };
    table.insert(table.end(), std::begin(options), std::end(options));
}

// Decompression bombs: tiny files declaring huge pictures. Each is decoded in
// a child process, which must refuse it quickly, within little memory, and
// say why.
#include "CRaster.h"
#include "Frames.h"
#include "ImageType.h"
#include "Metadata.h"
#include "support/Codec.h"
#include "support/Files.h"
#include "support/Process.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

using namespace testkit;

namespace {

void PutBE16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void PutBE32(Bytes& b, uint32_t v) {
    PutBE16(b, v >> 16);
    PutBE16(b, v & 0xFFFF);
}
void SetBE16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v);
}
void SetBE32(Bytes& b, size_t at, uint32_t v) {
    SetBE16(b, at, v >> 16), SetBE16(b, at + 2, v & 0xFFFF);
}
void SetLE16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8);
}
size_t Find(const Bytes& b, std::initializer_list<uint8_t> marker) {
    const auto it = std::search(b.begin(), b.end(), marker.begin(), marker.end());
    EXPECT_NE(it, b.end());
    return size_t(it - b.begin());
}

Bytes Bmp(int32_t width, int32_t height, uint32_t bits, uint32_t compression, Bytes data) {
    const uint32_t colours = bits <= 8 ? 2 : 0;
    Bytes b = {'B', 'M'};
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 14 + 40 + 4 * colours);
    for (uint32_t v : {40u, uint32_t(width), uint32_t(height)})
        Put32(b, v);
    Put16(b, 1);
    Put16(b, bits);
    for (uint32_t v : {compression, 0u, 2835u, 2835u, colours, 0u})
        Put32(b, v);
    for (uint32_t i = 0; i < colours; ++i)
        Put32(b, i ? 0xFFFFFF : 0);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// Sun raster header; a two-colour red and blue map makes 1-bit data colour.
Bytes Sun(uint32_t width, uint32_t height, uint32_t depth, uint32_t type, Bytes data) {
    const bool map = type == 2;
    Bytes b;
    for (uint32_t v : {0x59A66A95u, width, height, depth, 0u, type, map ? 1u : 0u, map ? 6u : 0u})
        PutBE32(b, v);
    if (map) b.insert(b.end(), {255, 0, 0, 0, 0, 255});
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes Text(const std::string& head, size_t zeros) {
    Bytes b(head.begin(), head.end());
    b.resize(b.size() + zeros, 0);
    return b;
}

// Run-length data of `zeros` zero bytes follows the header.
Bytes Pcx(uint8_t bits, uint8_t planes, uint16_t lineBytes, uint16_t w = 0xFFFF, uint16_t h = 0xFFFF,
          size_t zeros = 126) {
    Bytes b(128, 0);
    b[0] = 10, b[2] = 1, b[3] = bits, b[65] = planes;
    SetLE16(b, 8, uint16_t(w - 1)), SetLE16(b, 10, uint16_t(h - 1)), SetLE16(b, 66, lineBytes);
    for (; zeros > 0; zeros -= std::min<size_t>(zeros, 63))
        b.insert(b.end(), {uint8_t(0xC0 | std::min<size_t>(zeros, 63)), 0});
    return b;
}

Bytes Tga(bool rle) {
    Bytes b(18, 0);
    b[2] = rle ? 11 : 3, b[16] = 8;
    SetLE16(b, 12, 0xFFFF), SetLE16(b, 14, 0xFFFF);
    b.insert(b.end(), {0xFF, 0, 0xFF, 0});
    return b;
}

Bytes Wbmp() {
    // Type 0, fixed header 0, then 60000 x 60000 as multi-byte integers.
    return {0, 0, 0x83, 0xD4, 0x60, 0x83, 0xD4, 0x60, 0xFF, 0};
}

// A small picture written by our own encoder, its size then patched.
Bytes Encoded(ImageType type, uint32_t bits) {
    CRaster image(16, 16, bits);
    if (bits == 8) image.FillGrayRamp();
    Bytes b = EncodeBytes(image, type);
    EXPECT_FALSE(b.empty()) << ImageTypeName(type);
    return b;
}

Bytes Jpeg() {
    Bytes b = Encoded(kTypeJpeg, 8);
    const size_t sof = Find(b, {0xFF, 0xC0});
    SetBE16(b, sof + 5, 60000), SetBE16(b, sof + 7, 60000);
    return b;
}

Bytes Png() {
    Bytes b = Encoded(kTypePng, 8);
    SetBE32(b, 16, 30000), SetBE32(b, 20, 30000);
    SetBE32(b, 29, uint32_t(crc32(0, b.data() + 12, 17)));
    return b;
}

// Screen and first image 65535 x 65535; padded: the image 20000 x 20000 (the
// screen grows to it) with 40 KB of comment blocks after it, more than the
// image's data could fill with 3-bit codes but not with 12-bit ones.
Bytes Gif(bool padded) {
    Bytes b = Encoded(kTypeGif, 8);
    const uint16_t side = padded ? 20000 : 0xFFFF;
    if (!padded) SetLE16(b, 6, side), SetLE16(b, 8, side);
    size_t at = 13 + ((b[10] & 0x80) ? 3u << ((b[10] & 7) + 1) : 0);
    while (at < b.size() && b[at] == 0x21) {
        at += 2;
        while (at < b.size() && b[at]) at += b[at] + 1u;
        ++at;
    }
    EXPECT_EQ(b.at(at), 0x2C);
    SetLE16(b, at + 5, side), SetLE16(b, at + 7, side);
    if (padded) {
        Bytes comment = {0x21, 0xFE};
        for (int i = 0; i < 160; ++i) {
            comment.push_back(255);
            comment.insert(comment.end(), 255, 'x');
        }
        comment.push_back(0);
        b.insert(b.end() - 1, comment.begin(), comment.end());
    }
    return b;
}

// Patches ImageWidth and ImageLength of the first directory to LONG values.
Bytes Tiff() {
    Bytes b = Encoded(kTypeTiff, 24);
    EXPECT_EQ(b.at(0), 'I');
    const uint32_t ifd = b[4] | b[5] << 8 | b[6] << 16 | uint32_t(b[7]) << 24;
    const uint32_t count = b.at(ifd) | b.at(ifd + 1) << 8;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = ifd + 2 + 12 * i;
        const uint32_t tag = b[e] | b[e + 1] << 8;
        if (tag != 256 && tag != 257) continue;
        SetLE16(b, e + 2, 4);
        SetLE16(b, e + 4, 1), SetLE16(b, e + 6, 0);
        SetLE16(b, e + 8, 30000), SetLE16(b, e + 10, 0);
    }
    return b;
}

Bytes Jpc() {
    Bytes b = Encoded(kTypeJpc, 8);
    const size_t siz = Find(b, {0xFF, 0x51});
    for (size_t field : {6, 10, 22, 26}) // picture and tile size
        SetBE32(b, siz + field, 15000);
    return b;
}

Bytes IcoWithPng() {
    const Bytes png = Png();
    Bytes b;
    for (uint32_t v : {0u, 1u, 1u})
        Put16(b, v);
    b.insert(b.end(), {0, 0, 0, 0});
    Put16(b, 1);
    Put16(b, 32);
    Put32(b, uint32_t(png.size()));
    Put32(b, 22);
    b.insert(b.end(), png.begin(), png.end());
    return b;
}

// One flat colour, lossless: every code has a single symbol and costs no
// bits, so the data fills any size; patched to 16383 x 16383.
Bytes Webp() {
    CRaster image(16, 16, 24);
    Bytes b = EncodeBytes(image, kTypeWebp, LosslessRequest(image, kTypeWebp));
    const size_t at = Find(b, {'V', 'P', '8', 'L'}) + 9;
    const uint32_t bits = (b.at(at) | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24);
    const uint32_t patched = (bits & ~0x0FFFFFFFu) | 16382u | 16382u << 14;
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(patched >> (8 * i));
    return b;
}

// A small picture carrying 15 MB of XMP: one property, its value long.
Bytes HugeXmp() {
    CRaster image(16, 16, 24);
    auto blocks = std::make_shared<ImageMetadata>();
    const std::string head = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
                             "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                             "<rdf:Description xmlns:dc='http://purl.org/dc/elements/1.1/'>";
    std::string packet = head;
    for (int i = 0; packet.size() < (size_t(15) << 20); ++i)
        packet += "<dc:subject><rdf:Bag><rdf:li>k" + std::to_string(i) + "</rdf:li></rdf:Bag></dc:subject>";
    packet += "</rdf:Description></rdf:RDF></x:xmpmeta>";
    blocks->xmp.assign(packet.begin(), packet.end());
    image.SetMetadata(blocks);
    return EncodeBytes(image, kTypeWebp);
}

// ---- HEIF and AVIF grids ----------------------------------------------------

Bytes Box(const char* type, const Bytes& payload, int version = -1) {
    Bytes b;
    PutBE32(b, uint32_t(payload.size() + 8 + (version >= 0 ? 4 : 0)));
    b.insert(b.end(), type, type + 4);
    if (version >= 0) PutBE32(b, uint32_t(version) << 24);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// The payload of the first box of type within [from, to), and where it ends.
bool FindBox(const Bytes& f, size_t from, size_t to, const char* type, size_t& start, size_t& end) {
    for (size_t at = from; at + 8 <= to;) {
        const size_t size = size_t(f[at]) << 24 | f[at + 1] << 16 | f[at + 2] << 8 | f[at + 3];
        if (size < 8 || at + size > to) return false;
        if (std::memcmp(&f[at + 4], type, 4) == 0) {
            start = at + 8, end = at + size;
            return true;
        }
        at += size;
    }
    return false;
}

// A 64 x 64 picture's properties and coded data from a one-image file, drawn
// by a grid of perSide x perSide references to it (2 bytes each), declared
// side x side.
Bytes Grid(const Bytes& tileFile, const char* brand, const char* coding, uint32_t perSide,
           uint32_t side) {
    size_t metaStart, metaEnd, iprp, iprpEnd, ipco, ipcoEnd, mdat, mdatEnd;
    if (!FindBox(tileFile, 0, tileFile.size(), "meta", metaStart, metaEnd) ||
        !FindBox(tileFile, metaStart + 4, metaEnd, "iprp", iprp, iprpEnd) ||
        !FindBox(tileFile, iprp, iprpEnd, "ipco", ipco, ipcoEnd) ||
        !FindBox(tileFile, 0, tileFile.size(), "mdat", mdat, mdatEnd))
        return {};
    const Bytes properties(tileFile.begin() + long(ipco), tileFile.begin() + long(ipcoEnd));
    size_t count = 0;
    for (size_t at = 0; at + 8 <= properties.size(); ++count)
        at += size_t(properties[at]) << 24 | properties[at + 1] << 16 | properties[at + 2] << 8 |
              properties[at + 3];
    const Bytes tile(tileFile.begin() + long(mdat), tileFile.begin() + long(mdatEnd));
    Bytes grid = {0, 0, uint8_t(perSide - 1), uint8_t(perSide - 1)};
    PutBE16(grid, side), PutBE16(grid, side);

    Bytes ftyp = {};
    for (const char* b : {brand, "\0\0\0\0", "mif1", brand}) ftyp.insert(ftyp.end(), b, b + 4);
    Bytes hdlr(4, 0);
    hdlr.insert(hdlr.end(), {'p', 'i', 'c', 't'});
    hdlr.resize(hdlr.size() + 13, 0);
    Bytes infe1 = {0, 1, 0, 0, 'g', 'r', 'i', 'd', 0}, infe2 = {0, 2, 0, 0};
    infe2.insert(infe2.end(), coding, coding + 4);
    infe2.push_back(0);
    Bytes iinf = {0, 2};
    for (const Bytes& e : {Box("infe", infe1, 2), Box("infe", infe2, 2)})
        iinf.insert(iinf.end(), e.begin(), e.end());
    Bytes dimg = {0, 1}; // from item 1 to item 2
    PutBE16(dimg, perSide * perSide);
    for (uint32_t i = 0; i < perSide * perSide; ++i) dimg.insert(dimg.end(), {0, 2});
    Bytes ispe;
    PutBE32(ispe, side), PutBE32(ispe, side);
    Bytes ipcoAll = properties;
    const Bytes gridSize = Box("ispe", ispe, 0);
    ipcoAll.insert(ipcoAll.end(), gridSize.begin(), gridSize.end());
    Bytes ipma = {0, 0, 0, 2, 0, 1, 1, uint8_t(0x80 | (count + 1)), 0, 2, uint8_t(count)};
    for (size_t i = 1; i <= count; ++i) ipma.push_back(uint8_t(0x80 | i));
    Bytes iprpAll = Box("ipco", ipcoAll);
    const Bytes ipmaBox = Box("ipma", ipma, 0);
    iprpAll.insert(iprpAll.end(), ipmaBox.begin(), ipmaBox.end());
    // Offsets are absolute: the meta box is built twice, the second time with them.
    Bytes file;
    for (uint32_t dataAt = 0, pass = 0; pass < 2; ++pass) {
        Bytes iloc = {0x44, 0, 0, 2};
        for (auto [id, at, size] : {std::tuple{1u, dataAt, uint32_t(grid.size())},
                                    {2u, dataAt + uint32_t(grid.size()), uint32_t(tile.size())}}) {
            iloc.insert(iloc.end(), {0, uint8_t(id), 0, 0, 0, 1});
            PutBE32(iloc, at), PutBE32(iloc, size);
        }
        Bytes meta;
        for (const Bytes& b : {Box("hdlr", hdlr, 0), Box("pitm", {0, 1}, 0), Box("iloc", iloc, 0),
                               Box("iinf", iinf, 0), Box("iref", Box("dimg", dimg), 0),
                               Box("iprp", iprpAll)})
            meta.insert(meta.end(), b.begin(), b.end());
        Bytes data = grid;
        data.insert(data.end(), tile.begin(), tile.end());
        file = Box("ftyp", ftyp);
        const Bytes metaBox = Box("meta", meta, 0);
        file.insert(file.end(), metaBox.begin(), metaBox.end());
        dataAt = uint32_t(file.size() + 8);
        const Bytes mdatBox = Box("mdat", data);
        file.insert(file.end(), mdatBox.begin(), mdatBox.end());
    }
    return file;
}

// A 64 x 64 tile encoded by heif-enc (HEVC) or by our AVIF writer.
Bytes HeifGrid(uint32_t perSide, uint32_t side) {
    TempDir dir;
    CRaster tile(64, 64, 24);
    if (!tile.SaveFile(dir / "tile.png", kTypePng) ||
        RunShell("heif-enc -q 50 -o " + Quote(dir / "tile.heic") + " " + Quote(dir / "tile.png"))
                .status != 0)
        return {};
    return Grid(ReadBytes(dir / "tile.heic"), "heic", "hvc1", perSide, side);
}

Bytes AvifGrid() {
    CRaster tile(64, 64, 24);
    return Grid(EncodeBytes(tile, kTypeAvif), "avif", "av01", 255, 255 * 64);
}

void Put24(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)});
}

Bytes Chunk(const char* id, const Bytes& body) {
    Bytes b(id, id + 4);
    Put32(b, uint32_t(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2) b.push_back(0);
    return b;
}

// An animation on a 16384 x 16384 canvas whose one frame is a pixel.
Bytes AnimatedWebp() {
    CRaster pixel(1, 1, 24);
    const Bytes still = EncodeBytes(pixel, kTypeWebp, LosslessRequest(pixel, kTypeWebp));
    EXPECT_EQ(std::string(still.begin() + 12, still.begin() + 16), "VP8L");
    Bytes vp8x = {0x02, 0, 0, 0}, anim = {0, 0, 0, 0, 0, 0}, anmf;
    Put24(vp8x, 16383), Put24(vp8x, 16383);
    for (uint32_t v : {0u, 0u, 0u, 0u, 100u}) Put24(anmf, v);
    anmf.push_back(0);
    anmf.insert(anmf.end(), still.begin() + 12, still.end());
    Bytes body = {'W', 'E', 'B', 'P'};
    for (const Bytes& c : {Chunk("VP8X", vp8x), Chunk("ANIM", anim), Chunk("ANMF", anmf)})
        body.insert(body.end(), c.begin(), c.end());
    return Chunk("RIFF", body);
}

// Thousands of one-pixel frames, each a whole 4000 x 4000 screen to show.
Bytes GifFrames() {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    Put16(b, 4000), Put16(b, 4000);
    b.insert(b.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255});
    for (int i = 0; i < 2000; ++i) {
        b.insert(b.end(), {0x21, 0xF9, 4, 0, 1, 0, 0, 0, ','});
        for (uint32_t v : {0u, 0u, 1u, 1u}) Put16(b, v);
        // No table; code size 2: clear, 0, end in one byte.
        b.insert(b.end(), {0, 2, 2, 0x44, 0x01, 0});
    }
    b.push_back(';');
    return b;
}

struct Bomb {
    const char* name;
    ImageType type;
    std::function<Bytes()> make;
    // The picture is fine and decodes; what it carries must be refused
    // before the blocks for an output are made from it.
    bool blocks = false;
    bool everyFrame = false; // read as an animation, every frame
};

const Bomb kBombs[] = {
    {"BMP top-down", kTypeBmp, [] { return Bmp(30000, -30000, 24, 0, {0, 0, 0, 0}); }},
    {"BMP bottom-up", kTypeBmp, [] { return Bmp(30000, 30000, 24, 0, {0, 0, 0, 0}); }},
    {"BMP run-length", kTypeBmp, [] { return Bmp(30000, 30000, 8, 1, {255, 1, 255, 1, 0, 1}); }},
    // A depth the picture is made with at 24 bits.
    {"BMP nonsense depth", kTypeBmp, [] { return Bmp(32, -16777184, 65535, 0, {0, 0, 0, 0}); }},
    {"Sun raster 1-bit", kTypeRas, [] { return Sun(16000, 8000, 1, 1, Bytes(16, 0xAA)); }},
    {"Sun raster run-length", kTypeRas,
     [] { return Sun(8000, 8000, 1, 2, {0x80, 0xFF, 0, 0x80, 0xFF, 0}); }},
    {"PNM", kTypePnm, [] { return Text("P5\n4000 4000\n255\n", 16); }},
    {"PNM plain bitmap", kTypePnm, [] { return Text("P1\n4000 4000\n", 16); }},
    {"PGX", kTypePgx, [] { return Text("PG ML + 8 4000 4000\n", 16); }},
    {"PCX", kTypePcx, [] { return Pcx(8, 1, 0xFFFF); }},
    {"PCX without planes", kTypePcx, [] { return Pcx(1, 0, 4100, 32000, 16000); }},
    // Lines of 16 pixels, all there, for a picture 32000 wide.
    {"PCX with short lines", kTypePcx, [] { return Pcx(1, 1, 2, 32000, 16000, 2 * 16000); }},
    {"TGA", kTypeTga, [] { return Tga(false); }},
    {"TGA run-length", kTypeTga, [] { return Tga(true); }},
    {"GIF", kTypeGif, [] { return Gif(false); }},
    {"GIF with padding", kTypeGif, [] { return Gif(true); }},
    {"TIFF", kTypeTiff, Tiff},
    {"ICO", kTypeIco, IcoWithPng},
    {"WBMP", kTypeWbmp, Wbmp},
    {"JPEG", kTypeJpeg, Jpeg},
    {"PNG", kTypePng, Png},
    {"JPEG-2000", kTypeJpc, Jpc},
    {"WebP from little data", kTypeWebp, Webp},
    {"XMP of 15 MB", kTypeWebp, HugeXmp, true},
    {"HEIF grid of 255 x 255 tiles", kTypeHeif, [] { return HeifGrid(255, 255 * 64); }},
    {"HEIF grid declaring 16384 x 16384", kTypeHeif, [] { return HeifGrid(2, 16384); }},
    {"AVIF grid of 255 x 255 tiles", kTypeAvif, AvifGrid},
    {"WebP animation canvas", kTypeWebp, AnimatedWebp},
    {"WebP animation canvas, every frame", kTypeWebp, AnimatedWebp, false, true},
    {"GIF animation, every frame", kTypeGif, GifFrames, false, true},
};

// Every frame read as a run reads them; the text of the refusal, if any.
bool ReadEveryFrame(const std::string& path, ImageType type, std::string& text) {
    auto reader = OpenFrameReader(path, type, text);
    if (!reader) return false;
    CRaster frame;
    uint32_t delay = 0;
    while (reader->Next(frame, delay)) {
    }
    text = reader->Error();
    return text.empty();
}

struct ChildOutcome {
    int exitCode = -1; // 0 refused with a text, 1 decoded, 2 refused without one
    std::string text;
    double cpuSeconds = 0;
    long peakKiB = 0;
};

// 0 when the blocks over their caps are left out of an output's, with a
// text for each; the text goes to the parent.
int RefuseBlocks(const CRaster& image, int pipe) {
    if (!image.HasPixels()) return 1;
    const std::vector<std::string> texts = OversizedBlocks(image.Metadata());
    OutputMetadataSpec spec;
    spec.width = image.GetWidth(), spec.height = image.GetHeight();
    const ImageMetadataPtr out = OutputMetadata(image.Metadata(), spec);
    if (texts.empty() || (out && !out->xmp.empty())) return 1;
    return write(pipe, texts[0].data(), texts[0].size()) < 0 ? 3 : 0;
}

// A line of /proc/self/status in KiB, 0 when absent.
long StatusKiB(const char* key) {
    FILE* status = fopen("/proc/self/status", "r");
    if (!status) return 0;
    char line[256];
    long value = 0;
    while (fgets(line, sizeof line, status))
        if (strncmp(line, key, strlen(key)) == 0) value = atol(line + strlen(key));
    fclose(status);
    return value;
}

// The child's exit code: 0 refused with a text (sent down pipe), 1 decoded,
// 2 refused without one, 3 the pipe failed.
int DecodeHere(const std::string& path, ImageType type, bool blocks, bool everyFrame, int pipe) {
    if (everyFrame) {
        std::string text;
        const bool decoded = ReadEveryFrame(path, type, text);
        if (write(pipe, text.data(), text.size()) < 0) return 3;
        return decoded ? 1 : !text.empty() ? 0 : 2;
    }
    CRaster image(path, type);
    if (blocks) return RefuseBlocks(image, pipe);
    const char* text = image.LastErrorText();
    if (write(pipe, text, strlen(text)) < 0) return 3;
    return image.HasPixels() ? 1 : text[0] ? 0 : 2;
}

ChildOutcome DecodeInChild(const std::string& path, ImageType type, bool blocks, bool everyFrame) {
    ChildOutcome outcome;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return outcome;
    int growthEnds[2];
    if (pipe(growthEnds) != 0) return outcome;
    const pid_t pid = fork();
    if (pid == 0) {
        // A regression must not stall the suite.
        const rlimit cpu{20, 20};
        setrlimit(RLIMIT_CPU, &cpu);
        // The parent's pages count as the child's own until the peak is reset;
        // only what the decode adds is measured.
        if (FILE* clear = fopen("/proc/self/clear_refs", "w")) fputs("5", clear), fclose(clear);
        const long before = StatusKiB("VmHWM:");
        const int code = DecodeHere(path, type, blocks, everyFrame, pipeEnds[1]);
        const long growth = StatusKiB("VmHWM:") - before;
        if (write(growthEnds[1], &growth, sizeof growth) < 0) _exit(3);
        _exit(code);
    }
    close(pipeEnds[1]);
    close(growthEnds[1]);
    char text[256];
    const ssize_t got = pid > 0 ? read(pipeEnds[0], text, sizeof text) : 0;
    close(pipeEnds[0]);
    if (got > 0) outcome.text.assign(text, size_t(got));
    long growth = 0;
    if (pid > 0 && read(growthEnds[0], &growth, sizeof growth) == sizeof growth)
        outcome.peakKiB = growth;
    close(growthEnds[0]);
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return outcome;
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    outcome.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return outcome;
}

} // namespace

TEST(Bombs, TinyFilesDeclaringHugePicturesAreRefusedCheaply) {
    TempDir dir;
    for (const Bomb& bomb : kBombs) {
        Bytes bytes = bomb.make();
        ASSERT_FALSE(bytes.empty()) << bomb.name << ": not made";
        const std::string path = dir / "bomb";
        ASSERT_TRUE(WriteBytes(path, bytes));
        const size_t size = bytes.size();
        Bytes().swap(bytes); // not in the child's resident memory
        const ChildOutcome got = DecodeInChild(path, bomb.type, bomb.blocks, bomb.everyFrame);
        const std::string what =
            std::string(bomb.name) + " (" + std::to_string(size) + " bytes): " + got.text;
        EXPECT_EQ(got.exitCode, 0) << what << "; 1 decoded, 2 failed without a message";
        EXPECT_LT(got.cpuSeconds, 0.5) << what;
        EXPECT_LT(got.peakKiB, 64 * 1024) << what;
    }
}

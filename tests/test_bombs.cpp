// Decompression bombs: tiny files declaring huge pictures. Each is decoded in
// a child process, which must refuse it quickly, within little memory, and
// say why.
#include "CRaster.h"
#include "Frames.h"
#include "ImageType.h"
#include "support/Codec.h"
#include "support/Files.h"

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
    pixel.SetLossless(true);
    const Bytes still = EncodeBytes(pixel, kTypeWebp);
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
    {"WebP animation canvas", kTypeWebp, AnimatedWebp},
    {"WebP animation canvas, every frame", kTypeWebp, AnimatedWebp, true},
    {"GIF animation, every frame", kTypeGif, GifFrames, true},
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

ChildOutcome DecodeInChild(const std::string& path, ImageType type, bool everyFrame) {
    ChildOutcome outcome;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return outcome;
    const pid_t pid = fork();
    if (pid == 0) {
        // A regression must not stall the suite.
        const rlimit cpu{20, 20};
        setrlimit(RLIMIT_CPU, &cpu);
        std::string text;
        bool decoded = false;
        if (everyFrame) {
            decoded = ReadEveryFrame(path, type, text);
        } else {
            CRaster image(path, type);
            text = image.LastErrorText();
            decoded = image.HasPixels();
        }
        if (write(pipeEnds[1], text.data(), text.size()) < 0) _exit(3);
        _exit(decoded ? 1 : !text.empty() ? 0 : 2);
    }
    close(pipeEnds[1]);
    char text[256];
    const ssize_t got = pid > 0 ? read(pipeEnds[0], text, sizeof text) : 0;
    close(pipeEnds[0]);
    if (got > 0) outcome.text.assign(text, size_t(got));
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return outcome;
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    outcome.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    outcome.peakKiB = usage.ru_maxrss;
    return outcome;
}

} // namespace

TEST(Bombs, TinyFilesDeclaringHugePicturesAreRefusedCheaply) {
    TempDir dir;
    for (const Bomb& bomb : kBombs) {
        const Bytes bytes = bomb.make();
        const std::string path = dir / "bomb";
        ASSERT_TRUE(WriteBytes(path, bytes));
        const ChildOutcome got = DecodeInChild(path, bomb.type, bomb.everyFrame);
        const std::string what = std::string(bomb.name) + " (" + std::to_string(bytes.size()) +
                                 " bytes): " + got.text;
        EXPECT_EQ(got.exitCode, 0) << what << "; 1 decoded, 2 failed without a message";
        EXPECT_LT(got.cpuSeconds, 0.5) << what;
        EXPECT_LT(got.peakKiB, 64 * 1024) << what;
    }
}

#include "ByteOrder.h"
#include "CRaster.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "MetafileCodec.h"
#include "support/Corpus.h"
#include "support/Damage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace testkit;

namespace {

void PutF(Bytes& b, float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    Put32(b, u);
}
constexpr uint32_t Rgb(int r, int g, int b) {
    return uint32_t(r) | (g << 8) | (b << 16);
}

// A bottom-up 24-bit DIB (info header and bits) from top-down rows of colours.
struct TestDib {
    Bytes info, bits;
};
TestDib MakeDib(int w, int h, const std::vector<uint32_t>& topDown) {
    TestDib d;
    Put32(d.info, 40);
    Put32(d.info, uint32_t(w));
    Put32(d.info, uint32_t(h));
    Put16(d.info, 1);
    Put16(d.info, 24);
    for (int i = 0; i < 6; ++i)
        Put32(d.info, 0);
    const int stride = (w * 3 + 3) & ~3;
    d.bits.assign(size_t(stride) * h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t c = topDown[size_t(y) * w + x];
            uint8_t* p = &d.bits[size_t(h - 1 - y) * stride + 3 * x];
            p[0] = uint8_t(c >> 16), p[1] = uint8_t(c >> 8), p[2] = uint8_t(c);
        }
    return d;
}

// Placeable WMF: records are 16-bit words after the function number.
class Wmf {
public:
    Wmf(int16_t l, int16_t t, int16_t r, int16_t b, uint16_t unitsPerInch)
        : box_{l, t, r, b}, inch_(unitsPerInch) {}
    Wmf& Rec(uint16_t function, std::initializer_list<int> words) {
        Bytes p;
        for (int w : words)
            Put16(p, w);
        return Raw(function, p);
    }
    Wmf& Raw(uint16_t function, const Bytes& params) {
        Bytes r;
        Put32(r, uint32_t(3 + (params.size() + 1) / 2));
        Put16(r, function);
        r.insert(r.end(), params.begin(), params.end());
        if (r.size() % 2) r.push_back(0);
        records_.insert(records_.end(), r.begin(), r.end());
        return *this;
    }
    Bytes Build(bool placeable = true, bool badChecksum = false) const {
        Bytes body = records_;
        Put32(body, 3); // end of file record
        Put16(body, 0);
        Bytes f;
        if (placeable) {
            Put32(f, 0x9AC6CDD7);
            Put16(f, 0);
            for (int v : box_)
                Put16(f, v);
            Put16(f, inch_);
            Put32(f, 0);
            uint16_t sum = 0;
            for (int i = 0; i < 10; ++i)
                sum ^= GetLE16(&f[2 * i]);
            Put16(f, badChecksum ? sum ^ 1 : sum);
        }
        Put16(f, 1);
        Put16(f, 9);
        Put16(f, 0x300);
        Put32(f, uint32_t((18 + body.size()) / 2));
        Put16(f, 16);
        Put32(f, 64);
        Put16(f, 0);
        f.insert(f.end(), body.begin(), body.end());
        return f;
    }

private:
    int16_t box_[4];
    uint16_t inch_;
    Bytes records_;
};

// EMF with a reference device of 96 dpi, so that logical units are pixels.
class Emf {
public:
    Emf(int32_t l, int32_t t, int32_t r, int32_t b) : bounds_{l, t, r, b} {}
    Emf& Rec(uint32_t type, std::initializer_list<int32_t> values) {
        Bytes p;
        for (int32_t v : values)
            Put32(p, uint32_t(v));
        return Raw(type, p);
    }
    Emf& Raw(uint32_t type, const Bytes& params) {
        Put32(records_, type);
        Put32(records_, uint32_t(8 + params.size()));
        records_.insert(records_.end(), params.begin(), params.end());
        ++count_;
        return *this;
    }
    // Writers put their description right after the header fields they know:
    // at 88 (none of the extensions), 100 or 108. 0: no description, all fields.
    Emf& DescriptionAt(uint32_t offset) {
        description_ = offset;
        return *this;
    }
    Bytes Build() const {
        const std::u16string text = u"Sketcher 2.1\0plan.skt\0";
        const uint32_t fields = description_ ? description_ : 108;
        const uint32_t textBytes = description_ ? uint32_t(text.size() * 2 + 3) & ~3u : 0;
        const uint32_t headerSize = fields + textBytes;
        Bytes f;
        Put32(f, 1);
        Put32(f, headerSize);
        for (int32_t v : bounds_)
            Put32(f, uint32_t(v));
        // Frame in 0.01 mm at 96 dpi: the bounds again.
        for (int32_t v : bounds_)
            Put32(f, uint32_t(int64_t(v) * 2540 / 96));
        Put32(f, 0x464D4520);
        Put32(f, 0x10000);
        const size_t total = headerSize + records_.size() + 20;
        Put32(f, uint32_t(total));
        Put32(f, uint32_t(count_ + 2));
        Put16(f, 16);
        Put16(f, 0);
        Put32(f, description_ ? uint32_t(text.size()) : 0);
        Put32(f, description_);
        Put32(f, 0);
        Put32(f, 1920), Put32(f, 960); // device pixels
        Put32(f, 508), Put32(f, 254);  // millimetres: exactly 96 dpi
        if (fields >= 100) Put32(f, 0), Put32(f, 0), Put32(f, 0);
        if (fields >= 108) Put32(f, 508000), Put32(f, 254000); // micrometres
        for (size_t i = 0; i < textBytes / 2; ++i)
            Put16(f, i < text.size() ? text[i] : 0);
        f.insert(f.end(), records_.begin(), records_.end());
        Put32(f, 14), Put32(f, 20), Put32(f, 0), Put32(f, 16), Put32(f, 20);
        return f;
    }

private:
    int32_t bounds_[4];
    Bytes records_;
    size_t count_ = 0;
    uint32_t description_ = 0;
};

// Colour at (x, y) counted from the top row, as COLORREF.
uint32_t ColourAt(const CRaster& image, int x, int y) {
    const RGBQUAD q = image.ReadColor(x, int64_t(image.GetHeight()) - 1 - y, false);
    return Rgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
}

struct Decoded {
    bool ok = false;
    MetafileCodec image;
    std::string error;
    uint32_t At(int x, int y) const { return ColourAt(image, x, y); }
};

void Decode(Bytes data, Decoded* out, uint32_t fw = 0, uint32_t fh = 0) {
    MemoryImageStream s(data.data(), int32_t(data.size()));
    out->ok = out->image.Decode(&s, fw, fh);
    out->error = out->image.LastErrorText();
}

bool Dark(uint32_t c) {
    return (c & 0xFF) < 100 && ((c >> 8) & 0xFF) < 100 && (c >> 16) < 100;
}

// Counts pixels of the rectangle that are not white.
int Inked(const Decoded& d, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            n += d.At(x, y) != Rgb(255, 255, 255);
    return n;
}

constexpr uint32_t kWhite = Rgb(255, 255, 255);
constexpr uint32_t kRed = Rgb(255, 0, 0);
constexpr uint32_t kGreen = Rgb(0, 255, 0);
constexpr uint32_t kBlue = Rgb(0, 0, 255);

// ---- sizes and messages ----

TEST(MetafileSize, FollowsHeaderRulesAndLimit) {
    struct Case {
        const char* name;
        Bytes file;
        uint32_t w, h;
    } cases[] = {
        {"placeable 1440 upi", Wmf(0, 0, 1440, 720, 1440).Build(), 96, 48},
        {"placeable 1200 upi", Wmf(0, 0, 1369, 1369, 1200).Build(), 109, 109},
        {"placeable offset box", Wmf(-100, 50, 620, 410, 720).Build(), 96, 48},
        {"emf wide", Emf(0, 0, 8000, 2000).Build(), 4000, 1000},
        {"emf tall", Emf(0, 0, 2000, 8000).Build(), 1000, 4000},
        {"emf both large", Emf(0, 0, 9000, 5000).Build(), 4000, 2222},
        {"emf negative origin", Emf(-10, -20, 90, 30).Build(), 100, 50},
        {"emf at limit", Emf(0, 0, 4000, 4000).Build(), 4000, 4000},
    };
    for (const Case& c : cases) {
        Decoded d;
        Decode(c.file, &d);
        ASSERT_TRUE(d.ok) << c.name << ": " << d.error;
        EXPECT_EQ(d.image.GetWidth(), c.w) << c.name;
        EXPECT_EQ(d.image.GetHeight(), c.h) << c.name;
        EXPECT_EQ(d.image.GetBitsPerPixel(), 24u) << c.name;
        EXPECT_EQ(d.image.GetImageType(), kTypeMetafile) << c.name;
        EXPECT_EQ(d.At(0, 0), kWhite) << c.name << ": undrawn areas keep the window colour";
    }
}

TEST(MetafileSize, ShrinkWidthFirstThenHeight) {
    uint32_t w = 8001, h = 4501;
    MetafileCodec::Shrink(&w, &h);
    EXPECT_EQ(w, 4000u);
    EXPECT_EQ(h, 2250u);
    w = 10198, h = 13198;
    MetafileCodec::Shrink(&w, &h);
    EXPECT_EQ(w, 3091u); // width step: 4000 x 5176, then the height step
    EXPECT_EQ(h, 4000u);
}

TEST(MetafileSize, ForcedSizeReplacesComputedOne) {
    Decoded d;
    Decode(Wmf(0, 0, 1440, 720, 1440).Build(), &d, 30, 0);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.image.GetWidth(), 30u);
    EXPECT_EQ(d.image.GetHeight(), 48u);
}

TEST(MetafileErrors, MessagesForBadFiles) {
    Bytes emptyEmf = Emf(5, 5, 5, 40).Build();
    Bytes zeroInch = Wmf(0, 0, 100, 100, 0).Build();
    Bytes tooFine = Wmf(0, 0, 100, 100, 2541).Build();
    Bytes wrongWay = Wmf(100, 0, 0, 100, 1440).Build();
    struct Case {
        const char* name;
        Bytes file;
        const char* message;
    } cases[] = {
        {"no placeable header", Wmf(0, 0, 100, 100, 96).Build(false), "corrupted WMF"},
        {"wrong checksum", Wmf(0, 0, 100, 100, 96).Build(true, true), "corrupted WMF"},
        {"units per inch 0", zeroInch, "corrupted WMF"},
        {"units per inch above 2540", tooFine, "corrupted WMF"},
        {"empty bounds", emptyEmf, "empty WMF"},
        {"box the wrong way round", wrongWay, "empty WMF"},
        {"not a metafile", Bytes(200, 0x41), "corrupted WMF"},
        {"empty stream", Bytes{}, "corrupted WMF"},
    };
    for (const Case& c : cases) {
        Decoded d;
        Decode(c.file, &d);
        EXPECT_FALSE(d.ok) << c.name;
        EXPECT_EQ(d.error, c.message) << c.name;
        EXPECT_FALSE(d.image.HasPixels()) << c.name;
    }
}

TEST(MetafileErrors, EncodeIsRefused) {
    MetafileCodec codec;
    MemoryImageStream s;
    ASSERT_TRUE(s.Open());
    EXPECT_FALSE(codec.Encode(&s, EncodeRequest()));
    EXPECT_STREQ(codec.LastErrorText(), "Save WMF not supported");
    EXPECT_FALSE(codec.Encode(nullptr, EncodeRequest()));

    // Through the dispatch, with a loaded image.
    Decoded d;
    Decode(Emf(0, 0, 10, 10).Build(), &d);
    ASSERT_TRUE(d.ok);
    CRaster image;
    ASSERT_TRUE(image.Duplicate(d.image));
    MemoryImageStream out;
    ASSERT_TRUE(out.Open());
    EXPECT_FALSE(image.Encode(&out, kTypeMetafile));
    EXPECT_STREQ(image.LastErrorText(), "Save WMF not supported");
}

TEST(MetafileDispatch, TypedAndUntypedLoads) {
    const std::string dir = testing::TempDir();
    const Bytes emf = Emf(0, 0, 40, 30).Rec(43, {5, 5, 20, 20}).Build();
    const std::string named = dir + "/picture.emf", unnamed = dir + "/picture.dat";
    for (const std::string& p : {named, unnamed}) {
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(emf.data()), std::streamsize(emf.size()));
    }
    CRaster typed(named, ImageTypeFromExtension(named));
    ASSERT_TRUE(typed.HasPixels()) << typed.LastErrorText();
    EXPECT_EQ(typed.GetImageType(), kTypeMetafile);
    CRaster untyped(unnamed, 0);
    ASSERT_TRUE(untyped.HasPixels());
    EXPECT_EQ(untyped.GetImageType(), kTypeMetafile);
    EXPECT_EQ(untyped.GetWidth(), 40u);
    std::remove(named.c_str());
    std::remove(unnamed.c_str());
}

// ---- pictures ----

// WMF records, with the box 0..200 x 0..100 at 96 units per inch: logical units are pixels.
TEST(WmfPicture, ShapesLinesTextAndBitmaps) {
    Wmf w(0, 0, 200, 100, 96);
    w.Rec(0x020C, {100, 200})                       // window extent
        .Rec(0x020B, {0, 0})                        // window origin
        .Rec(0x02FC, {0, int(kRed & 0xFFFF), 0, 0}) // 0: red solid brush
        .Rec(0x02FA, {5, 0, 0, 0, 0})               // 1: null pen
        .Rec(0x012D, {0})
        .Rec(0x012D, {1})
        .Rec(0x041B, {40, 50, 10, 10})            // rectangle 10,10 - 50,40
        .Rec(0x02FC, {0, 0, int(kBlue >> 16), 0}) // 2: blue brush
        .Rec(0x012D, {2})
        .Rec(0x0418, {90, 140, 60, 100})                 // ellipse 100,60 - 140,90
        .Rec(0x02FA, {0, 3, 0, int(kGreen & 0xFFFF), 0}) // 3: green pen, 3 wide
        .Rec(0x012D, {3})
        .Rec(0x0214, {5, 60})   // move to 60,5
        .Rec(0x0213, {5, 190}); // line to 190,5
    // Text "H", 30 high, black, top-left aligned at 160,40.
    Bytes font;
    for (int v : {-30, 0, 0, 0, 700})
        Put16(font, v);
    for (int i = 0; i < 8; ++i)
        font.push_back(0);
    const char face[] = "Arial";
    font.insert(font.end(), face, face + sizeof face);
    w.Raw(0x02FB, font).Rec(0x012D, {4}).Rec(0x0102, {1}).Rec(0x012E, {0});
    w.Rec(0x0521, {1, 'H', 40, 160}); // count, "H" padded, y, x
    // A 2 x 2 bitmap stretched onto 10,60 - 50,90 (each source pixel 20 x 15).
    const TestDib dib = MakeDib(2, 2, {kRed, kGreen, kBlue, kWhite});
    Bytes sd;
    Put32(sd, 0x00CC0020);
    for (int v : {0, 2, 2, 0, 0, 30, 40, 60, 10})
        Put16(sd, v);
    sd.insert(sd.end(), dib.info.begin(), dib.info.end());
    sd.insert(sd.end(), dib.bits.begin(), dib.bits.end());
    w.Raw(0x0F43, sd);

    Decoded d;
    Decode(w.Build(), &d);
    ASSERT_TRUE(d.ok) << d.error;
    ASSERT_EQ(d.image.GetWidth(), 200u);
    EXPECT_EQ(d.At(30, 25), kRed);
    EXPECT_EQ(d.At(11, 11), kRed);
    EXPECT_EQ(d.At(55, 25), kWhite);
    EXPECT_EQ(d.At(30, 45), kWhite);
    EXPECT_EQ(d.At(120, 75), kBlue);
    EXPECT_EQ(d.At(101, 61), kWhite) << "corner of the ellipse's box";
    EXPECT_EQ(d.At(120, 5), kGreen);
    EXPECT_EQ(d.At(120, 9), kWhite);
    EXPECT_EQ(d.At(50, 5), kWhite) << "line starts at 60";
    // Text: ink right of and below the reference point, none left of or above it.
    EXPECT_GT(Inked(d, 160, 40, 200, 75), 40);
    EXPECT_EQ(Inked(d, 140, 30, 158, 75), 0);
    EXPECT_EQ(Inked(d, 150, 15, 200, 38), 0);
    bool dark = false;
    for (int y = 40; y < 75; ++y)
        for (int x = 160; x < 200; ++x)
            dark |= Dark(d.At(x, y));
    EXPECT_TRUE(dark);
    // Bitmap quadrants, top row of the DIB at the top.
    EXPECT_EQ(d.At(20, 67), kRed);
    EXPECT_EQ(d.At(40, 67), kGreen);
    EXPECT_EQ(d.At(20, 83), kBlue);
    EXPECT_EQ(d.At(40, 83), kWhite);
}

TEST(WmfPicture, WindowMapsOntoPicture) {
    // Logical window 1000 x 500 mapped onto 100 x 50 pixels.
    Wmf w(0, 0, 100, 50, 96);
    w.Rec(0x020B, {0, 0})
        .Rec(0x020C, {500, 1000})
        .Rec(0x02FC, {0, int(kRed & 0xFFFF), 0, 0})
        .Rec(0x012D, {0})
        .Rec(0x041B, {400, 900, 100, 500}); // rectangle 500,100 - 900,400
    Decoded d;
    Decode(w.Build(), &d);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.At(70, 25), kRed);
    EXPECT_EQ(d.At(45, 25), kWhite);
    EXPECT_EQ(d.At(70, 5), kWhite);
}

TEST(WmfPicture, HatchedBrushAndOpaqueBackground) {
    Wmf w(0, 0, 64, 64, 96);
    w.Rec(0x0201, {int(kGreen & 0xFFFF), 0})                        // background colour green
        .Rec(0x0102, {2})                                           // opaque
        .Rec(0x02FC, {2, int(kBlue & 0xFFFF), int(kBlue >> 16), 0}) // horizontal hatch
        .Rec(0x02FA, {5, 0, 0, 0, 0})
        .Rec(0x012D, {0})
        .Rec(0x012D, {1})
        .Rec(0x041B, {64, 64, 0, 0});
    Decoded d;
    Decode(w.Build(), &d);
    ASSERT_TRUE(d.ok);
    int blue = 0, green = 0;
    for (int y = 8; y < 56; ++y) {
        blue += d.At(30, y) == kBlue;
        green += d.At(30, y) == kGreen;
    }
    EXPECT_EQ(blue, 6) << "one hatch line in every 8 rows";
    EXPECT_EQ(green, 42);
}

TEST(WmfPicture, DeviceBitmapBlits) {
    // A 2 x 1 device bitmap (24 bits, top-down, rows of 8 bytes): red, blue.
    Bytes bm;
    for (int v : {0, 2, 1, 8})
        Put16(bm, v);
    bm.push_back(1), bm.push_back(24);
    for (int v : {0, 0, 255, 255, 0, 0, 0, 0})
        bm.push_back(uint8_t(v));
    Wmf w(0, 0, 40, 20, 96);
    Bytes blt; // BITBLT copies 1:1: 2 x 1 pixels at 5,5
    Put32(blt, 0x00CC0020);
    for (int v : {0, 0, 1, 2, 5, 5})
        Put16(blt, v);
    blt.insert(blt.end(), bm.begin(), bm.end());
    Bytes sb; // STRETCHBLT onto 20,0 - 40,20
    Put32(sb, 0x00CC0020);
    for (int v : {1, 2, 0, 0, 20, 20, 0, 20})
        Put16(sb, v);
    sb.insert(sb.end(), bm.begin(), bm.end());
    w.Raw(0x0922, blt).Raw(0x0B23, sb);
    Decoded d;
    Decode(w.Build(), &d);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.At(5, 5), kRed);
    EXPECT_EQ(d.At(6, 5), kBlue);
    EXPECT_EQ(d.At(7, 5), kWhite);
    EXPECT_EQ(d.At(5, 6), kWhite);
    EXPECT_EQ(d.At(25, 10), kRed);
    EXPECT_EQ(d.At(35, 10), kBlue);
}

// EMF records in the 96-dpi reference device: logical units are pixels by default.
TEST(EmfPicture, MappingTransformsAndState) {
    Emf e(0, 0, 200, 100);
    e.Rec(39, {1, 0, int32_t(kRed), 0})     // brush 1: red
        .Rec(39, {2, 0, int32_t(kBlue), 0}) // brush 2: blue
        .Rec(37, {int32_t(0x80000008)})     // null pen
        .Rec(37, {1})
        .Rec(33, {}) // save with red selected
        .Rec(37, {2})
        .Rec(34, {-1})              // restore: red again
        .Rec(43, {10, 10, 30, 30}); // red square
    // Anisotropic: window 0..100 onto viewport 0..50 (half size), origin at 100,0.
    e.Rec(17, {8}).Rec(9, {100, 100}).Rec(11, {50, 50}).Rec(12, {100, 0});
    e.Rec(37, {2}).Rec(43, {0, 0, 40, 40}); // blue at 100,0 - 120,20
    e.Rec(17, {1}).Rec(12, {0, 0});         // back to pixels
    // World transform: shift by 150,50.
    Bytes xf;
    for (float v : {1.f, 0.f, 0.f, 1.f, 150.f, 50.f})
        PutF(xf, v);
    e.Raw(35, xf).Rec(37, {1}).Rec(42, {0, 0, 40, 40}); // red ellipse around 170,70
    Decoded d;
    Decode(e.Build(), &d);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.At(20, 20), kRed) << "restored brush";
    EXPECT_EQ(d.At(110, 10), kBlue);
    EXPECT_EQ(d.At(125, 10), kWhite) << "viewport halves the window";
    EXPECT_EQ(d.At(170, 70), kRed);
    EXPECT_EQ(d.At(152, 52), kWhite) << "outside the ellipse";
    EXPECT_EQ(d.At(20, 70), kWhite);
}

// The fields after the first 88 bytes exist only where the header leaves room
// for them; read from a description's text they would throw the picture off.
TEST(EmfPicture, HeaderFieldsEndWhereTheDescriptionBegins) {
    for (uint32_t at : {0u, 88u, 100u, 108u}) {
        Emf e(0, 0, 200, 100);
        e.DescriptionAt(at);
        e.Rec(39, {1, 0, int32_t(kBlue), 0}).Rec(37, {1}).Rec(37, {int32_t(0x80000008)});
        e.Rec(43, {20, 20, 60, 60});
        Decoded d;
        Decode(e.Build(), &d);
        ASSERT_TRUE(d.ok) << at << ": " << d.error;
        EXPECT_EQ(d.image.GetWidth(), 200u) << at;
        EXPECT_EQ(d.image.GetHeight(), 100u) << at;
        for (auto [x, y] : {std::pair{21, 21}, {40, 40}, {58, 58}})
            EXPECT_EQ(d.At(x, y), kBlue) << at << " at " << x << "," << y;
        for (auto [x, y] : {std::pair{18, 40}, {62, 40}, {40, 62}, {150, 80}})
            EXPECT_EQ(d.At(x, y), kWhite) << at << " at " << x << "," << y;
    }
}

// Thin lines cover the pixels their coordinates name, one row each, even at the
// picture's top edge.
TEST(EmfPicture, HairlinesHitTheirPixels) {
    Emf e(0, 0, 40, 20);
    e.Rec(27, {0, 0}).Rec(54, {40, 0}).Rec(27, {0, 10}).Rec(54, {40, 10});
    Decoded d;
    Decode(e.Build(), &d);
    ASSERT_TRUE(d.ok);
    for (int x : {2, 20, 37}) {
        EXPECT_EQ(d.At(x, 0), 0u) << x;
        EXPECT_EQ(d.At(x, 1), kWhite) << x;
        EXPECT_EQ(d.At(x, 9), kWhite) << x;
        EXPECT_EQ(d.At(x, 10), 0u) << x;
        EXPECT_EQ(d.At(x, 11), kWhite) << x;
    }
}

TEST(EmfPicture, MetricMappingModeFlipsY) {
    // Lo-metric: 0.1 mm units, y up. 254 units = 1 inch = 96 pixels.
    Emf e(0, 0, 200, 200);
    e.Rec(17, {2}).Rec(39, {1, 0, int32_t(kBlue), 0}).Rec(37, {1}).Rec(37, {int32_t(0x80000008)});
    e.Rec(43, {0, 0, 254, -254}); // square from the top-left corner, one inch down
    Decoded d;
    Decode(e.Build(), &d);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.At(48, 48), kBlue);
    EXPECT_EQ(d.At(90, 90), kBlue);
    EXPECT_EQ(d.At(100, 48), kWhite);
    EXPECT_EQ(d.At(48, 100), kWhite);
}

TEST(EmfPicture, PathsClipsAndPolygons) {
    Emf e(0, 0, 100, 100);
    e.Rec(39, {1, 0, int32_t(kGreen), 0}).Rec(37, {1}).Rec(37, {int32_t(0x80000008)});
    // Path: a triangle filled.
    e.Rec(59, {});
    e.Rec(3, {0, 0, 0, 0, 3, 10, 10, 50, 10, 10, 50}); // POLYGON: bounds, 3 points
    e.Rec(60, {}).Rec(62, {0, 0, 0, 0});
    // Clip to 60,60 - 80,80, then fill a large rectangle.
    e.Rec(39, {2, 0, int32_t(kRed), 0}).Rec(37, {2}).Rec(30, {60, 60, 80, 80});
    e.Rec(43, {50, 50, 100, 100});
    // Poly-polygon of two squares, alternate fill.
    Decoded d;
    Decode(e.Build(), &d);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.At(15, 15), kGreen);
    EXPECT_EQ(d.At(45, 45), kWhite) << "outside the triangle";
    EXPECT_EQ(d.At(70, 70), kRed);
    EXPECT_EQ(d.At(55, 55), kWhite) << "clipped away";
    EXPECT_EQ(d.At(90, 90), kWhite) << "clipped away";
}

TEST(EmfPicture, PolyPolygonFillModes) {
    for (int mode : {1, 2}) {
        Emf e(0, 0, 100, 100);
        e.Rec(19, {mode}).Rec(39, {1, 0, int32_t(kBlue), 0}).Rec(37, {1});
        e.Rec(37, {int32_t(0x80000008)});
        // Two nested squares, same winding: the hole shows only in alternate mode.
        e.Rec(8, {0,  0,  0,  0,  2,  8,  4,  4,  10, 10, 90, 10,
                  90, 90, 10, 90, 30, 30, 70, 30, 70, 70, 30, 70});
        Decoded d;
        Decode(e.Build(), &d);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.At(20, 20), kBlue);
        EXPECT_EQ(d.At(50, 50), mode == 1 ? kWhite : kBlue) << "fill mode " << mode;
    }
}

TEST(EmfPicture, BitmapsAndRasterOperations) {
    Emf e(0, 0, 100, 100);
    const TestDib dib = MakeDib(2, 1, {kRed, kBlue});
    // STRETCHDIBITS onto 0,0 - 40,20.
    Bytes p;
    for (int32_t v : {0, 0, 40, 20, 0, 0, 0, 0, 2, 1})
        Put32(p, uint32_t(v));
    const uint32_t offBmi = 80, offBits = offBmi + uint32_t(dib.info.size());
    for (uint32_t v : {offBmi, uint32_t(dib.info.size()), offBits, uint32_t(dib.bits.size()), 0u,
                       0x00CC0020u, 40u, 20u})
        Put32(p, v);
    p.insert(p.end(), dib.info.begin(), dib.info.end());
    p.insert(p.end(), dib.bits.begin(), dib.bits.end());
    e.Raw(81, p);
    // BITBLT without a source: invert the destination over 0,30 - 100,40 (DSTINVERT).
    Bytes b;
    for (int32_t v : {0, 0, 0, 0, 0, 30, 100, 10})
        Put32(b, uint32_t(v));
    Put32(b, 0x00550009);
    for (int i = 0; i < 14; ++i)
        Put32(b, 0);
    e.Raw(76, b);
    Decoded d;
    Bytes file = e.Build();
    Decode(file, &d);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.At(10, 10), kRed);
    EXPECT_EQ(d.At(30, 10), kBlue);
    EXPECT_EQ(d.At(50, 10), kWhite);
    EXPECT_EQ(d.At(50, 35), Rgb(0, 0, 0)) << "white inverted";
    EXPECT_EQ(d.At(50, 45), kWhite);
}

TEST(EmfPicture, TextAlignmentAndColour) {
    for (uint32_t align : {0u, 2u}) { // left or right of the reference point
        Emf e(0, 0, 200, 60);
        Bytes font;
        Put32(font, 1);
        for (int32_t v : {-30, 0, 0, 0, 400})
            Put32(font, uint32_t(v));
        Put32(font, 0);
        for (int i = 0; i < 8; ++i)
            Put32(font, 0); // face below
        Bytes faceName(64, 0);
        const char face[] = "Liberation Sans";
        for (size_t i = 0; i + 1 < sizeof face; ++i)
            faceName[2 * i] = uint8_t(face[i]);
        font.resize(4 + 28);
        font.insert(font.end(), faceName.begin(), faceName.end());
        e.Raw(82, font).Rec(37, {1}).Rec(22, {int32_t(align)}).Rec(24, {int32_t(kRed)});
        e.Rec(18, {1});
        // EXTTEXTOUTW "HH" at 100,10.
        Bytes t;
        for (int32_t v : {0, 0, 0, 0, 1})
            Put32(t, uint32_t(v));
        PutF(t, 1), PutF(t, 1);
        for (int32_t v : {100, 10, 2, 76, 0, 0, 0, 0, 0, 0})
            Put32(t, uint32_t(v));
        Put16(t, 'H'), Put16(t, 'H');
        e.Raw(84, t);
        Decoded d;
        Decode(e.Build(), &d);
        ASSERT_TRUE(d.ok);
        const int right = Inked(d, 101, 10, 200, 45), left = Inked(d, 0, 10, 99, 45);
        if (align == 0) {
            EXPECT_GT(right, 50);
            EXPECT_EQ(left, 0);
        } else {
            EXPECT_GT(left, 50);
            EXPECT_EQ(right, 0);
        }
        bool red = false;
        for (int y = 10; y < 45; ++y)
            for (int x = 0; x < 200; ++x)
                red |= d.At(x, y) == kRed;
        EXPECT_TRUE(red) << "text colour";
    }
}

// ---- hostile input ----

// Every function must come back without touching memory it does not own; the
// sanitizer build turns any stray access into a failure.
// A forced size keeps big pictures quick; every record is still played.
void DecodeQuietly(Bytes data, uint32_t forced = 0) {
    Decoded d;
    Decode(std::move(data), &d, forced, forced);
    if (d.ok) {
        EXPECT_LE(d.image.GetWidth(), MetafileCodec::kMaxSide);
    } else {
        EXPECT_NE(d.error, "") << d.image.HasPixels();
        EXPECT_FALSE(d.image.HasPixels());
    }
}

std::vector<Bytes> SampleFiles() {
    Wmf w(0, 0, 40, 40, 96);
    w.Rec(0x02FC, {0, 255, 0, 0}).Rec(0x012D, {0}).Rec(0x041B, {30, 30, 5, 5});
    w.Rec(0x0324, {3, 1, 1, 30, 1, 15, 30})
        .Rec(0x0538, {2, 3, 3, 1, 1, 9, 1, 5, 9, 2, 2, 8, 2, 5, 8});
    w.Rec(0x0521, {2, 'A' | ('B' << 8), 10, 10}).Rec(0x001E, {}).Rec(0x0127, {-1});
    const TestDib dib = MakeDib(2, 2, {kRed, kGreen, kBlue, kWhite});
    Bytes sd;
    Put32(sd, 0x00CC0020);
    for (int v : {0, 2, 2, 0, 0, 20, 20, 5, 5})
        Put16(sd, v);
    sd.insert(sd.end(), dib.info.begin(), dib.info.end());
    sd.insert(sd.end(), dib.bits.begin(), dib.bits.end());
    w.Raw(0x0F43, sd);

    Emf e(0, 0, 40, 40);
    e.Rec(39, {1, 2, int32_t(kRed), 3}).Rec(37, {1}).Rec(43, {1, 1, 30, 30});
    e.Rec(86, {0, 0, 0, 0, 3, 1 | (2 << 16), 20 | (3 << 16), 5 | (30 << 16)});
    e.Rec(59, {}).Rec(42, {2, 2, 20, 20}).Rec(60, {}).Rec(67, {1});
    e.Rec(8, {0, 0, 0, 0, 2, 6, 3, 3, 1, 1, 9, 1, 5, 9, 2, 2, 8, 2, 5, 8});
    Bytes t;
    for (int32_t v : {0, 0, 0, 0, 1})
        Put32(t, uint32_t(v));
    PutF(t, 1), PutF(t, 1);
    for (int32_t v : {3, 3, 2, 76, 0, 0, 0, 0, 0, 80})
        Put32(t, uint32_t(v));
    Put16(t, 'H'), Put16(t, 'i');
    Put32(t, 8), Put32(t, 8);
    e.Raw(84, t);
    Bytes p;
    for (int32_t v : {0, 0, 0, 0, 0, 0, 0, 0, 2, 2})
        Put32(p, uint32_t(v));
    for (uint32_t v : {80u, uint32_t(dib.info.size()), 80u + uint32_t(dib.info.size()),
                       uint32_t(dib.bits.size()), 0u, 0x00CC0020u, 20u, 20u})
        Put32(p, v);
    p.insert(p.end(), dib.info.begin(), dib.info.end());
    p.insert(p.end(), dib.bits.begin(), dib.bits.end());
    e.Raw(81, p);
    return {w.Build(), e.Build()};
}

// Every length and every byte damaged.
TEST(MetafileHostile, TruncationsAndByteCorruptions) {
    for (const Bytes& file : SampleFiles())
        ForEachDamagedCopy(file, {.cuts = file.size(), .header = file.size(), .random = 0},
                           [](const Bytes& c) { DecodeQuietly(c); });
}

// Record sizes that claim too much, too little or point into the next record.
TEST(MetafileHostile, LyingRecordSizes) {
    const std::vector<Bytes> files = SampleFiles();
    int records = 0;
    // WMF: record sizes in words after the 22 + 18 header bytes.
    {
        const Bytes& f = files[0];
        size_t at = 40;
        while (at + 6 <= f.size()) {
            const uint32_t words = GetLE32(&f[at]);
            for (uint32_t lie : {0u, 1u, 2u, 3u, words - 1, words + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
                Bytes c = f;
                PutLE32(&c[at], lie);
                DecodeQuietly(std::move(c));
            }
            ++records;
            if (words < 3) break;
            at += size_t(words) * 2;
        }
    }
    // EMF: byte sizes after the header record.
    {
        const Bytes& f = files[1];
        size_t at = 0;
        while (at + 8 <= f.size()) {
            const uint32_t size = GetLE32(&f[at + 4]);
            for (uint32_t lie :
                 {0u, 4u, 8u, size - 4, size + 4, size * 2, 0x80000000u, 0xFFFFFFF8u}) {
                Bytes c = f;
                PutLE32(&c[at + 4], lie);
                DecodeQuietly(std::move(c));
            }
            ++records;
            if (size < 8) break;
            at += size;
        }
    }
    EXPECT_GE(records, 20);
}

// What was drawn before a lying record stays; nothing after it is read.
TEST(MetafileHostile, LyingRecordEndsPlayback) {
    Emf e(0, 0, 40, 20);
    e.Rec(39, {1, 0, int32_t(kRed), 0}).Rec(37, {1}).Rec(43, {0, 0, 20, 20});
    e.Rec(39, {2, 0, int32_t(kBlue), 0}).Rec(37, {2}).Rec(43, {20, 0, 40, 20});
    Bytes f = e.Build();
    // The second brush record starts after the header and three 12-, 12- and 24-byte records.
    const size_t at = 108 + 24 + 12 + 24;
    ASSERT_EQ(GetLE32(&f[at]), 39u);
    PutLE32(&f[at + 4], 0xFFFFFFF0u);
    Decoded d;
    Decode(f, &d);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.At(10, 10), kRed);
    EXPECT_EQ(d.At(30, 10), kWhite);
}

// Painting is bounded: a small file that fills the whole picture over and over
// stops being played long before it could keep a batch busy.
TEST(MetafileHostile, EndlessRepaintingStops) {
    for (int fills : {100, 40000}) {
        Emf e(0, 0, 64, 64);
        e.Rec(39, {1, 0, int32_t(kRed), 0}).Rec(37, {1});
        for (int i = 0; i < fills; ++i)
            e.Rec(43, {0, 0, 64, 64});
        e.Rec(39, {2, 0, int32_t(kBlue), 0}).Rec(37, {2}).Rec(43, {0, 0, 64, 64});
        Decoded d;
        Decode(e.Build(), &d);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.At(32, 32), fills == 100 ? kBlue : kRed) << fills << " fills";
    }
}

TEST(MetafileHostile, RandomCorruptionsStayBounded) {
    std::mt19937 rng(6);
    for (const Bytes& file : SampleFiles()) {
        for (int round = 0; round < 300; ++round) {
            Bytes c = file;
            const int hits = 1 + int(rng() % 8);
            for (int k = 0; k < hits; ++k)
                c[40 + rng() % (c.size() - 40)] = uint8_t(rng());
            const auto start = std::chrono::steady_clock::now();
            DecodeQuietly(std::move(c));
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        }
    }
}

// ---- the shared corpus ----

TEST(MetafileCorpus, LoadsWithHeaderSize) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    // The manifest gives the EMF bounds; placeable files are measured at 96 dpi here
    // (their boxes are 1369 and 14031 x 9921 units at 1200 per inch).
    const std::map<std::string, std::pair<uint32_t, uint32_t>> placeable = {
        {"metafile/drawing.wmf", {109, 109}},
        {"metafile/test_libuemf_ref.wmf", {1122, 793}},
    };
    int checked = 0;
    for (const ManifestRow& row : CorpusRows({kTypeMetafile})) {
        const std::string path = row.Full();
        CRaster image(path, ImageTypeFromExtension(path));
        if (row.format.find("no placeable") != std::string::npos) {
            EXPECT_FALSE(image.HasPixels()) << row.path;
            EXPECT_STREQ(image.LastErrorText(), "corrupted WMF") << row.path;
            continue;
        }
        if (row.width == 0) {
            EXPECT_FALSE(image.HasPixels()) << row.path;
            EXPECT_STREQ(image.LastErrorText(), "empty WMF") << row.path;
            continue;
        }
        ASSERT_TRUE(image.HasPixels()) << row.path << ": " << image.LastErrorText();
        uint32_t w, h;
        if (auto it = placeable.find(row.path); it != placeable.end()) {
            w = it->second.first, h = it->second.second;
        } else {
            w = row.width, h = row.height;
            MetafileCodec::Shrink(&w, &h);
        }
        EXPECT_EQ(image.GetWidth(), w) << row.path;
        EXPECT_EQ(image.GetHeight(), h) << row.path;
        EXPECT_EQ(image.GetImageType(), kTypeMetafile) << row.path;
        ++checked;
    }
    EXPECT_GE(checked, 12);
}

TEST(MetafileCorpus, PicturesLandWhereTheRecordsPutThem) {
    const std::string emf = CorpusDir() + "/metafile/drawing.emf";
    const std::string wmf = CorpusDir() + "/metafile/drawing.wmf";
    if (!std::filesystem::exists(emf) || !std::filesystem::exists(wmf)) GTEST_SKIP() << "no corpus";
    const auto at = ColourAt;
    // A red disc with a black rim filling the frame.
    CRaster e(emf, kTypeMetafile);
    ASSERT_TRUE(e.HasPixels());
    EXPECT_EQ(at(e, 812, 812), kRed);
    EXPECT_EQ(at(e, 5, 5), kWhite);
    bool rim = false;
    for (int x = 0; x < 40; ++x)
        rim |= at(e, x, 800) == 0;
    EXPECT_TRUE(rim);
    // The WMF's disc is centred at (925, 925) of a 1369-unit window: partly outside.
    CRaster w(wmf, kTypeMetafile);
    ASSERT_TRUE(w.HasPixels());
    EXPECT_EQ(at(w, 925 * 109 / 1369, 925 * 109 / 1369), kRed);
    EXPECT_EQ(at(w, 5, 5), kWhite);
}

TEST(MetafileCorpus, DamagedCorpusFilesNeverCrash) {
    if (!HaveCorpus()) GTEST_SKIP() << "no corpus";
    for (const ManifestRow& row : CorpusRows({kTypeMetafile}, Malformed::Include)) {
        const Bytes file = ReadBytes(row.Full());
        DecodeQuietly(file);
        if (file.size() < 100) continue;
        ForEachDamagedCopy(file, {.cuts = 8, .random = 12, .seed = 12},
                           [](const Bytes& c) { DecodeQuietly(c, 300); });
    }
}

} // namespace

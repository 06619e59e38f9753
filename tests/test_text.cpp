// Fonts and text on memory devices.
#include "Font.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

LOGFONT MakeLogFont(const char* face, int32_t height, int32_t weight = FW_NORMAL,
                    bool italic = false, bool underline = false, bool strikeOut = false) {
    LOGFONT lf{};
    lf.lfHeight = height;
    lf.lfWeight = weight;
    lf.lfItalic = italic;
    lf.lfUnderline = underline;
    lf.lfStrikeOut = strikeOut;
    std::strncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
    return lf;
}

SIZE Extent(const CFont& font, const char* text) {
    CMemoryDevice dc;
    dc.SelectFont(&font);
    SIZE s{-1, -1};
    EXPECT_TRUE(GetTextExtentPoint32(dc, text, -1, &s));
    return s;
}

// Draws white on black into a fresh bitmap and returns it.
CDeviceBitmap Render(const CFont& font, const char* text, int width, int height, uint32_t format) {
    CDeviceBitmap bitmap(width, height);
    CMemoryDevice dc;
    dc.SelectBitmap(&bitmap);
    dc.SelectFont(&font);
    dc.SetTextColor(MakeColorRef(255, 255, 255));
    dc.SetBkColor(0);
    RECT r{0, 0, width, height};
    DrawText(dc, text, -1, &r, format);
    return bitmap;
}

bool Lit(const CDeviceBitmap& b, int x, int y) {
    return b.GetPixel(x, y) != 0;
}

int CountLit(const CDeviceBitmap& b) {
    int n = 0;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            n += Lit(b, x, y);
    return n;
}

// True when b equals a moved right by dx (pixels moved in from outside are black).
bool ShiftedCopy(const CDeviceBitmap& a, const CDeviceBitmap& b, int dx, int dy = 0) {
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            if (b.GetPixel(x, y) != a.GetPixel(x - dx, y - dy)) return false;
    return true;
}

TEST(Font, FacesResolveToInstalledFaces) {
    struct Case {
        const char* face;
        const char* family;
    };
    const Case cases[] = {
        {"Arial", "Liberation Sans"},
        {"arial", "Liberation Sans"},
        {"MS Sans Serif", "Liberation Sans"},
        {"MS Shell Dlg", "Liberation Sans"},
        {"MS Shell Dlg 2", "Liberation Sans"},
        {"Times New Roman", "Liberation Serif"},
        {"Courier New", "Liberation Mono"},
        {"DejaVu Sans", "DejaVu Sans"},
        {"No Such Face At All", "Liberation Sans"},
        {"", "Liberation Sans"},
    };
    for (const Case& c : cases) {
        CFont font;
        ASSERT_TRUE(font.CreateFontIndirect(MakeLogFont(c.face, -12))) << c.face;
        EXPECT_EQ(font.MatchedFamily(), c.family) << c.face;
    }
}

TEST(Font, WeightAndSlantPickTheStyledFiles) {
    CFont bold, italic, both;
    ASSERT_TRUE(bold.CreateFontIndirect(MakeLogFont("Arial", -12, FW_BOLD)));
    ASSERT_TRUE(italic.CreateFontIndirect(MakeLogFont("Arial", -12, FW_NORMAL, true)));
    ASSERT_TRUE(both.CreateFontIndirect(MakeLogFont("Arial", -12, FW_BOLD, true)));
    EXPECT_NE(bold.MatchedFile().find("Bold"), std::string::npos) << bold.MatchedFile();
    EXPECT_NE(italic.MatchedFile().find("Italic"), std::string::npos) << italic.MatchedFile();
    EXPECT_NE(both.MatchedFile().find("BoldItalic"), std::string::npos) << both.MatchedFile();
    // Bold glyphs are wider than regular ones.
    CFont regular;
    ASSERT_TRUE(regular.CreateFontIndirect(MakeLogFont("Arial", -12)));
    EXPECT_GT(Extent(bold, "mmmm").cx, Extent(regular, "mmmm").cx);
}

TEST(Font, HeightsGiveCharacterOrCellSize) {
    for (int h : {8, 11, 16, 36, 100}) {
        CFont character, cell;
        ASSERT_TRUE(character.CreateFontIndirect(MakeLogFont("Arial", -h)));
        ASSERT_TRUE(cell.CreateFontIndirect(MakeLogFont("Arial", h)));
        EXPECT_EQ(character.PixelSize(), h);
        EXPECT_GT(character.Height(), h);
        EXPECT_EQ(cell.Height(), h);
        EXPECT_LT(cell.PixelSize(), h);
    }
    CFont zero, huge;
    ASSERT_TRUE(zero.CreateFontIndirect(MakeLogFont("Arial", 0)));
    EXPECT_GT(zero.Height(), 0);
    ASSERT_TRUE(huge.CreateFontIndirect(MakeLogFont("Arial", -2000000000)));
    EXPECT_EQ(huge.PixelSize(), kMaxFontPixels);
}

TEST(Font, FontsStayThemselvesWhenFacesAreReused) {
    // More fonts than faces are kept open: each keeps its own size and face.
    const int heights[] = {-9, -13, 15, -21, -30, 40, -9, 15};
    std::vector<std::unique_ptr<CFont>> fonts;
    for (int i = 0; i < 8; ++i) {
        fonts.push_back(std::make_unique<CFont>());
        const char* face = i % 2 ? "Times New Roman" : "Arial";
        ASSERT_TRUE(fonts.back()->CreateFontIndirect(
            MakeLogFont(face, heights[i], 400 + 300 * (i % 3 == 0))));
    }
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        if (heights[i] < 0)
            EXPECT_EQ(fonts[i]->PixelSize(), -heights[i]);
        else
            EXPECT_EQ(fonts[i]->Height(), heights[i]);
        EXPECT_EQ(fonts[i]->MatchedFamily(), i % 2 ? "Liberation Serif" : "Liberation Sans");
        EXPECT_EQ(fonts[i]->MatchedFile().find("Bold") != std::string::npos, i % 3 == 0);
        LOGFONT lf{};
        ASSERT_TRUE(fonts[i]->GetLogFont(&lf));
        EXPECT_EQ(lf.lfHeight, heights[i]);
    }
    // The same record twice measures the same.
    EXPECT_EQ(Extent(*fonts[0], "Same").cx, Extent(*fonts[6], "Same").cx);
    EXPECT_NE(Extent(*fonts[0], "Same").cx, Extent(*fonts[4], "Same").cx);
}

TEST(Font, RecordReadsBackWithFaceCut) {
    LOGFONT lf = MakeLogFont("Arial", -20, 700, true, true, true);
    lf.lfCharSet = 238;
    lf.lfQuality = 2;
    CFont font;
    ASSERT_TRUE(font.CreateFontIndirect(lf));
    LOGFONT back{};
    ASSERT_TRUE(font.GetLogFont(&back));
    EXPECT_EQ(std::memcmp(&back, &lf, sizeof lf), 0);

    // A face of 32 characters has no room for its terminator.
    std::memset(lf.lfFaceName, 'A', LF_FACESIZE);
    ASSERT_TRUE(font.CreateFontIndirect(lf));
    ASSERT_TRUE(font.GetLogFont(&back));
    EXPECT_EQ(std::string(back.lfFaceName), std::string(31, 'A'));

    font.DeleteObject();
    EXPECT_FALSE(font.IsValid());
    EXPECT_FALSE(font.GetLogFont(&back));
}

TEST(Font, StockFonts) {
    const CFont* gui = GetStockFont(DEFAULT_GUI_FONT);
    const CFont* system = GetStockFont(SYSTEM_FONT);
    ASSERT_NE(gui, nullptr);
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(GetStockFont(12345), nullptr);
    LOGFONT lf{};
    ASSERT_TRUE(gui->GetLogFont(&lf));
    EXPECT_STREQ(lf.lfFaceName, "MS Shell Dlg");
    EXPECT_EQ(lf.lfHeight, -11);
    EXPECT_EQ(gui->PixelSize(), 11);
    EXPECT_EQ(system->Height(), 16);
    // A device without a selected font measures with the system font.
    SIZE bare{}, chosen{};
    CMemoryDevice dc;
    ASSERT_TRUE(GetTextExtentPoint32(dc, "Quorvel 2026", -1, &bare));
    dc.SelectFont(system);
    ASSERT_TRUE(GetTextExtentPoint32(dc, "Quorvel 2026", -1, &chosen));
    EXPECT_EQ(bare.cx, chosen.cx);
    EXPECT_EQ(bare.cy, 16);
}

TEST(Text, ExtentIsTheSumOfAdvances) {
    CFont font;
    ASSERT_TRUE(font.CreateFontIndirect(MakeLogFont("Arial", -16)));
    const SIZE a = Extent(font, "a"), b = Extent(font, "b"), amp = Extent(font, "&");
    EXPECT_GT(a.cx, 0);
    EXPECT_EQ(Extent(font, "ab").cx, a.cx + b.cx);
    EXPECT_EQ(Extent(font, "a&b").cx, a.cx + amp.cx + b.cx);
    EXPECT_EQ(Extent(font, "&&").cx, 2 * amp.cx);
    EXPECT_EQ(Extent(font, "").cx, 0);
    EXPECT_EQ(Extent(font, "").cy, font.Height());
    EXPECT_EQ(a.cy, font.Height());
    // A count shorter than the string measures only that much.
    CMemoryDevice dc;
    dc.SelectFont(&font);
    SIZE part{};
    ASSERT_TRUE(GetTextExtentPoint32(dc, "abab", 2, &part));
    EXPECT_EQ(part.cx, a.cx + b.cx);
}

TEST(Text, CalcRectMeasuresLines) {
    CFont font;
    ASSERT_TRUE(font.CreateFontIndirect(MakeLogFont("Arial", -14)));
    const int wide = Extent(font, "abcdef").cx;
    const int lh = font.Height();
    struct Case {
        const char* text;
        int width;
        int lines;
    };
    const Case cases[] = {
        {"abcdef", wide, 1},          {"abcdef\r\nab", wide, 2},
        {"ab\r\nabcdef", wide, 2},    {"ab\nabcdef", wide, 2},
        {"ab\rabcdef", wide, 2},      {"abcdef\r\n", wide, 2},
        {"a\r\n\r\nabcdef", wide, 3}, {"", 0, 1},
    };
    for (const Case& c : cases) {
        CMemoryDevice dc;
        dc.SelectFont(&font);
        RECT r{10, 5, 11, 6};
        const int h = DrawText(dc, c.text, -1, &r, DT_CALCRECT | DT_NOPREFIX);
        EXPECT_EQ(r.left, 10);
        EXPECT_EQ(r.top, 5);
        EXPECT_EQ(r.right, 10 + c.width) << c.text;
        EXPECT_EQ(r.bottom, 5 + c.lines * lh) << c.text;
        EXPECT_EQ(h, c.lines * lh);
    }
}

TEST(Text, AlignmentMovesEachLineWithinTheRectangle) {
    CFont font;
    ASSERT_TRUE(font.CreateFontIndirect(MakeLogFont("Arial", -16)));
    const int w = Extent(font, "ab").cx;
    const int width = 101, height = font.Height();
    const CDeviceBitmap left = Render(font, "ab", width, height, DT_LEFT | DT_NOPREFIX);
    const CDeviceBitmap centre = Render(font, "ab", width, height, DT_CENTER | DT_NOPREFIX);
    const CDeviceBitmap right = Render(font, "ab", width, height, DT_RIGHT | DT_NOPREFIX);
    ASSERT_GT(CountLit(left), 20);
    EXPECT_TRUE(ShiftedCopy(left, centre, (width - w) / 2));
    EXPECT_TRUE(ShiftedCopy(left, right, width - w));

    // Two lines: each is placed on its own, the short one centred below.
    const char* two = "abcdef\r\nab";
    const int wide = Extent(font, "abcdef").cx;
    const int lh = font.Height();
    const CDeviceBitmap both = Render(font, two, wide, 2 * lh, DT_CENTER | DT_NOPREFIX);
    const CDeviceBitmap first = Render(font, "abcdef", wide, 2 * lh, DT_CENTER | DT_NOPREFIX);
    const CDeviceBitmap second = Render(font, "ab", wide, lh, DT_CENTER | DT_NOPREFIX);
    for (int y = 0; y < 2 * lh; ++y)
        for (int x = 0; x < wide; ++x) {
            const COLORREF expected = y < lh ? first.GetPixel(x, y) : second.GetPixel(x, y - lh);
            ASSERT_EQ(both.GetPixel(x, y), expected) << x << "," << y;
        }
}

TEST(Text, AmpersandsArePrinted) {
    CFont font;
    ASSERT_TRUE(font.CreateFontIndirect(MakeLogFont("Arial", -20)));
    const int w = Extent(font, "a&&b&").cx;
    const CDeviceBitmap amp = Render(font, "a&&b&", w, font.Height(), DT_NOPREFIX);
    const CDeviceBitmap plain = Render(font, "ab", w, font.Height(), DT_NOPREFIX);
    EXPECT_GT(CountLit(amp), CountLit(plain) + 40);
    // The trailing ampersand's own ink lies right of "a&&b".
    const int before = Extent(font, "a&&b").cx;
    int tail = 0;
    for (int y = 0; y < amp.Height(); ++y)
        for (int x = before + 1; x < w; ++x)
            tail += Lit(amp, x, y);
    EXPECT_GT(tail, 10);
}

TEST(Text, ColoursModesAndClipping) {
    CFont font;
    ASSERT_TRUE(font.CreateFontIndirect(MakeLogFont("Arial", -24)));
    const int w = Extent(font, "HH").cx, h = font.Height();
    CDeviceBitmap bitmap(w + 20, h + 20);
    const COLORREF grey = MakeColorRef(50, 60, 70), red = MakeColorRef(255, 0, 0);
    const COLORREF blue = MakeColorRef(0, 0, 200);
    CMemoryDevice dc;
    dc.SelectBitmap(&bitmap);
    dc.SelectFont(&font);
    dc.SetTextColor(red);
    dc.SetBkColor(blue);

    // Opaque: the text's cell takes the background colour; solid ink is exact.
    bitmap.Fill(grey);
    RECT r{10, 10, 10 + w, 10 + h};
    DrawText(dc, "HH", -1, &r, DT_NOPREFIX);
    int solid = 0;
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x) {
            const COLORREF c = bitmap.GetPixel(x, y);
            const bool inside = x >= 10 && x < 10 + w && y >= 10 && y < 10 + h;
            if (!inside) {
                ASSERT_EQ(c, grey) << x << "," << y;
            }
            solid += c == red;
        }
    EXPECT_EQ(bitmap.GetPixel(10, 10), blue);
    EXPECT_GT(solid, 20);

    // Transparent: everything but the ink keeps its colour.
    bitmap.Fill(grey);
    dc.SetBkMode(TRANSPARENT_MODE);
    DrawText(dc, "HH", -1, &r, DT_NOPREFIX);
    EXPECT_EQ(bitmap.GetPixel(10, 10), grey);

    // A rectangle narrower than the text clips it; DT_NOCLIP does not.
    bitmap.Fill(grey);
    RECT narrow{10, 10, 10 + w / 2, 10 + h};
    DrawText(dc, "HH", -1, &narrow, DT_NOPREFIX);
    int outside = 0;
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 10 + w / 2; x < bitmap.Width(); ++x)
            outside += bitmap.GetPixel(x, y) != grey;
    EXPECT_EQ(outside, 0);
    DrawText(dc, "HH", -1, &narrow, DT_NOPREFIX | DT_NOCLIP);
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 10 + w / 2; x < bitmap.Width(); ++x)
            outside += bitmap.GetPixel(x, y) != grey;
    EXPECT_GT(outside, 10);

    // Drawing off the bitmap, or with no bitmap, is harmless.
    RECT far{-100000, -100000, -99000, -99000};
    DrawText(dc, "HH", -1, &far, DT_NOPREFIX);
    CMemoryDevice bare;
    RECT any{0, 0, 50, 50};
    EXPECT_EQ(DrawText(bare, "HH", -1, &any, DT_NOPREFIX), GetStockFont(SYSTEM_FONT)->Height());
    EXPECT_TRUE(TextOut(bare, 0, 0, "HH", 2));
}

TEST(Text, StylesChangeTheInk) {
    CFont plain, italic, underline, strike;
    ASSERT_TRUE(plain.CreateFontIndirect(MakeLogFont("Arial", -30)));
    ASSERT_TRUE(italic.CreateFontIndirect(MakeLogFont("Arial", -30, FW_NORMAL, true)));
    ASSERT_TRUE(underline.CreateFontIndirect(MakeLogFont("Arial", -30, FW_NORMAL, false, true)));
    ASSERT_TRUE(
        strike.CreateFontIndirect(MakeLogFont("Arial", -30, FW_NORMAL, false, false, true)));
    const int w = 60, h = plain.Height();

    // An italic stem leans right: its top ink lies right of its bottom ink.
    const CDeviceBitmap l = Render(italic, "l", w, h, DT_NOPREFIX);
    auto firstLit = [&](const CDeviceBitmap& b, int y) {
        for (int x = 0; x < b.Width(); ++x)
            if (Lit(b, x, y)) return x;
        return -1;
    };
    const int topInk = firstLit(l, italic.Ascent() - 18),
              bottomInk = firstLit(l, italic.Ascent() - 1);
    ASSERT_GE(topInk, 0);
    ASSERT_GE(bottomInk, 0);
    EXPECT_GT(topInk, bottomInk + 2);

    // Underline and strike-out add a full row of ink across the text.
    const int textWidth = Extent(plain, "ac").cx;
    auto fullRows = [&](const CFont& f) {
        const CDeviceBitmap b = Render(f, "ac", textWidth, h, DT_NOPREFIX);
        std::vector<int> rows;
        for (int y = 0; y < h; ++y) {
            int n = 0;
            for (int x = 0; x < textWidth; ++x)
                n += Lit(b, x, y);
            if (n == textWidth) rows.push_back(y);
        }
        return rows;
    };
    EXPECT_TRUE(fullRows(plain).empty());
    const std::vector<int> under = fullRows(underline), through = fullRows(strike);
    ASSERT_FALSE(under.empty());
    ASSERT_FALSE(through.empty());
    EXPECT_GE(under.front(), plain.Ascent());
    EXPECT_LT(through.back(), plain.Ascent());
}

TEST(Text, DecodesUtf8AndFallsBackToWindows1252) {
    struct Case {
        const char* bytes;
        std::vector<uint32_t> expected;
    };
    const Case cases[] = {
        {"ab", {'a', 'b'}},
        {"\xC3\xA9", {0xE9}},
        {"\xE2\x82\xAC!", {0x20AC, '!'}},
        {"\xF0\x9F\x98\x80", {0x1F600}},
        {"\xE9t\xE9", {0xE9, 't', 0xE9}},
        {"\x80\x9F", {0x20AC, 0x178}},
        {"\xC0\x80", {0xC0, 0x20AC}},           // overlong
        {"\xED\xA0\x80", {0xED, 0xA0, 0x20AC}}, // surrogate
        {"\xE2\x82", {0xE2, 0x201A}},           // cut short
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeText(c.bytes, std::strlen(c.bytes)), c.expected) << c.bytes;
}

TEST(Text, ThreadsDrawAtOnce) {
    CFont shared;
    ASSERT_TRUE(shared.CreateFontIndirect(MakeLogFont("Arial", -18)));
    const char* text = "Quorvel\r\nImage 0123456789";
    const CDeviceBitmap expected = Render(shared, text, 220, 2 * shared.Height(), DT_CENTER);
    const CDeviceBitmap expectedSystem = Render(*GetStockFont(SYSTEM_FONT), text, 220, 40, 0);
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                CFont own;
                own.CreateFontIndirect(MakeLogFont(t % 2 ? "Arial" : "Times New Roman", -18));
                const CDeviceBitmap a = Render(shared, text, 220, 2 * shared.Height(), DT_CENTER);
                const CDeviceBitmap b = Render(*GetStockFont(SYSTEM_FONT), text, 220, 40, 0);
                if (std::memcmp(a.Bits(), expected.Bits(), size_t(a.Stride()) * a.Height()) ||
                    std::memcmp(b.Bits(), expectedSystem.Bits(), size_t(b.Stride()) * b.Height()))
                    ++failures[t];
            }
        });
    for (std::thread& th : threads)
        th.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}

} // namespace

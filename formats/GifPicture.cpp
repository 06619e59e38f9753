// One picture from a GIF: the first image composed onto the logical screen,
// or the mosaic of tiles the writer makes of a 24-bit picture.
#include "GifReading.h"

#include "ImageStream.h"

#include <algorithm>
#include <cstring>
#include <memory>

using namespace gifread;

// background. A first image reaching past the screen enlarges it: screens of
// 0 x 0 or left from an earlier size are writers' slips, and clipping would
// lose pixels the file holds.
bool GifCodec::PrepareBackground(const Descriptor& d, Composition& c, uint32_t depth,
                                 int32_t counter) {
    if (counter == 0) {
        c.screen.width = std::max(c.screen.width, d.left + d.width);
        c.screen.height = std::max(c.screen.height, d.top + d.height);
        if (!DataCanFill(uint64_t(c.screen.width) * c.screen.height, c.streamEnd))
            return Fail(kTooLargeForData);
        if (!c.background.Create(c.screen.width, c.screen.height, depth, kTypeGif))
            return Fail(c.background.LastErrorText());
        c.firstTransparent = info_.transparentIndex;
        c.background.FillBytes(control_.seen ? control_.transparent : c.screen.background);
    } else if (c.previousDisposal == 2) {
        c.background.FillBytes(uint8_t(c.firstTransparent));
    }
    return true;
}


// The frame's opaque pixels onto the screen at the image's place.
void GifCodec::PasteOnBackground(const Descriptor& d, Composition& c) {
    CRaster& background = c.background;
    const uint32_t bh = background.GetHeight(), bw = background.GetWidth();
    const int64_t firstRow = int64_t(bh) - d.top - d.height;
    const int32_t skip = c.frame.GetTransparentIndex();
    const uint32_t right = std::min(bw, d.left + d.width), bpp = background.GetBitsPerPixel();
    // Without transparency the whole bytes of a row go across as they are.
    const bool whole = skip < 0 && c.frame.GetBitsPerPixel() == bpp && d.left * bpp % 8 == 0;
    const size_t bytes = whole && right > d.left ? size_t(right - d.left) * bpp / 8 : 0;
    const uint32_t rest = uint32_t(d.left + bytes * 8 / bpp);
    for (int64_t y = std::max<int64_t>(0, firstRow); y < int64_t(bh) - d.top; ++y) {
        if (bytes)
            std::memcpy(background.RowPointer(uint32_t(y)) + d.left * bpp / 8,
                        c.frame.RowPointer(uint32_t(y - firstRow)), bytes);
        for (uint32_t x = rest; x < right; ++x) {
            const uint8_t v = c.frame.ReadIndex(x - d.left, y - firstRow);
            if (int32_t(v) != skip) background.WriteIndex(x, y, v);
        }
    }
    background.SetTransparentIndex(c.firstTransparent);
    background.LoadPalette(c.frame.Palette(), c.frame.GetPaletteCount());
}

// The frame's colours into the 24-bit picture the mosaic's tiles make up.
bool GifCodec::PasteIntoMosaic(const Descriptor& d, Composition& c) {
    CRaster& picture = c.picture;
    if (!picture.HasPixels()) {
        if (!picture.Create(c.screen.width, c.screen.height, 24, kTypeGif))
            return Fail(picture.LastErrorText());
        picture.FillBytes(0);
    }
    // Tiles reaching past the screen are clipped.
    const uint32_t rows = d.top < c.screen.height ? std::min(d.height, c.screen.height - d.top) : 0;
    const uint32_t cols = d.left < c.screen.width ? std::min(d.width, c.screen.width - d.left) : 0;
    for (uint32_t y = 0; y < rows; ++y) {
        uint8_t* out = picture.TopDownRow(d.top + y);
        for (uint32_t x = 0; x < cols; ++x) {
            const RGBQUAD col = c.frame.ReadColor(x, d.height - 1 - y, false);
            uint8_t* p = out + 3 * size_t(d.left + x);
            p[0] = col.rgbBlue, p[1] = col.rgbGreen, p[2] = col.rgbRed;
        }
    }
    return true;
}

// Reads images up to the wanted one (or, in a mosaic, all of them) into the
// composition; false with the text of what failed.
// A mosaic's first tile is smaller than the screen both ways; a picture one
// pixel wide or high cannot have such a tile, so there smaller one way counts.
bool GifCodec::FirstTileOfMosaic(const Descriptor& d, const Screen& screen) {
    if (d.left + d.width > screen.width || d.top + d.height > screen.height) return false;
    if (d.width != screen.width && d.height != screen.height) return true;
    const bool line = screen.width == 1 || screen.height == 1;
    return line && uint64_t(d.width) * d.height < uint64_t(screen.width) * screen.height;
}

// Header-only: the picture composing would give, from the blocks alone. A
// mosaic takes the last image's transparency, so the images' data is
// stepped over to the end.
bool GifCodec::DescribeComposition(ImageStream* stream, const Descriptor& first,
                                   const ColourTable& table, uint32_t depth, Composition& c) {
    if (!DataCanFill(uint64_t(first.width) * first.height, Remaining(stream, c.streamEnd)))
        return Fail(kTooLargeForData);
    if (c.trueColour < 2) {
        c.background.SetHeaderOnly(true);
        if (!PrepareBackground(first, c, depth, 0)) return false;
        c.background.SetTransparentIndex(c.firstTransparent);
        if (table.present) c.background.LoadPaletteTriples(table.rgb, table.size);
        return true;
    }
    c.picture.SetHeaderOnly(true);
    if (!c.picture.Create(c.screen.width, c.screen.height, 24, kTypeGif))
        return Fail(c.picture.LastErrorText());
    BlockScan scan{stream};
    Descriptor d{};
    bool tableRead = true; // the first image's table is behind us
    do {
        if (!tableRead && (d.flags & 0x80))
            stream->Seek(int32_t(3 * (2u << (d.flags & 7))), SEEK_CUR);
        tableRead = false;
        if (stream->GetC() < 0) break;
        SkipSubBlocks(stream);
    } while (NextImage(scan, &d));
    return true;
}

bool GifCodec::ComposeImages(ImageStream* stream, Composition& c) {
    bool composed = false;
    int32_t counter = 0;
    BlockScan scan{stream};
    Descriptor d;
    while (NextImage(scan, &d)) {
        if (counter == 0 && FirstTileOfMosaic(d, c.screen))
            ++c.trueColour;
        ColourTable local;
        const ColourTable* table = TableFor(stream, d, c, &local);
        const uint32_t depth = DepthForTable(table->size);
        const bool mosaic = c.trueColour >= 2;
        if (HeaderOnly()) return DescribeComposition(stream, d, *table, depth, c);
        if (!mosaic && !PrepareBackground(d, c, depth, counter)) return false;
        if (!ExpandFrame(stream, d, *table, depth, c)) return false;
        if (!mosaic) {
            PasteOnBackground(d, c);
        } else {
            c.wanted = c.found - 1;
            if (!PasteIntoMosaic(d, c)) return false;
        }
        composed = true;
        c.previousDisposal = disposal_;
        if (counter == c.wanted) break;
        ++counter;
    }
    return composed || Fail(kNoImage);
}

// Keeps this codec's settings (frames, delay, error text), takes the pixels.
void GifCodec::TakeComposed(Composition& c) {
    CRaster& result = c.picture.HasPixels() ? c.picture : c.background;
    if (&result == &c.picture && (control_.flags & 1)) {
        c.picture.SetTransparentColor(c.frame.ReadPaletteEntry(control_.transparent));
        c.picture.SetTransparentIndex(0);
    }
    info_.transparentIndex = result.GetTransparentIndex();
    info_.transparentColor = result.Settings().transparentColor;
    TakePixelsOnly(result, kTypeGif);
}

bool GifCodec::Decode(ImageStream* stream, const DecodeRequest& request) {
    if (!stream) return Fail("null file handler");
    auto c = std::make_unique<Composition>();
    if (!ReadScreen(stream, *c)) return false;
    c->found = CountImages(stream);
    SetNumFrames(c->found);
    c->wanted = request.frame;
    if (c->wanted < 0 || c->wanted >= c->found) return Fail(kNoImage);
    if (c->found == 1) c->trueColour = 0;
    if (!DataCanFill(uint64_t(c->screen.width) * c->screen.height, Remaining(stream, c->streamEnd)))
        return Fail(kTooLargeForData);
    if (!ComposeImages(stream, *c)) return false;
    TakeComposed(*c);
    return true;
}

// A TIFF page's pixels: through libtiff's RGBA reader, or strip by strip
// and tile by tile with the samples turned into the image's own layout.
#include "TiffCodec.h"

#include "Colour.h"
#include "TiffPage.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

uint8_t ClampByte(double v) {
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    return uint8_t(v);
}

double LabGamma(double c) {
    return c > 0.00304 ? 1.055 * std::pow(c, 0.41667) - 0.055 : 12.92 * c;
}

RGBQUAD LabToColour(uint8_t lByte, uint8_t aByte, uint8_t bByte) {
    const int a = aByte > 127 ? aByte - 256 : aByte, b = bByte > 127 ? bByte - 256 : bByte;
    const double p = (lByte / 2.55 + 16) / 116;
    const double X = std::pow(p + a * 0.002, 3) * 0.95047;
    const double Y = p * p * p;
    const double Z = std::pow(p - b * 0.005, 3) * 1.0883;
    const double r = 3.240479 * X - 1.53715 * Y - 0.498535 * Z;
    const double g = -0.969256 * X + 1.875992 * Y + 0.041556 * Z;
    const double bl = 0.055648 * X - 0.204043 * Y + 1.057311 * Z;
    return RGBQUAD{ClampByte(LabGamma(bl) * 255), ClampByte(LabGamma(g) * 255),
                   ClampByte(LabGamma(r) * 255), 0};
}

// Sample i of a row, scaled to 8 bits by keeping its high-order bits.
// 16-bit samples arrive from libtiff in native order, packed ones MSB first.
uint32_t SampleAt(const uint8_t* row, uint64_t i, uint32_t bps) {
    if (bps == 8) return row[i];
    if (bps == 16) {
        uint16_t v;
        std::memcpy(&v, row + 2 * i, 2);
        return v >> 8;
    }
    if (bps > 16 && bps % 8 == 0) return row[i * (bps / 8) + bps / 8 - 1];
    uint32_t v = 0;
    const uint64_t bit = i * bps;
    for (uint32_t k = 0; k < bps && k < 32; ++k) {
        const uint64_t at = bit + k;
        v = (v << 1) | ((row[at / 8] >> (7 - at % 8)) & 1);
    }
    return bps > 8 ? v >> (std::min<uint32_t>(bps, 32) - 8) : v;
}

// Ink amounts as libtiff's RGBA reader turns them into colour.
RGBQUAD CmykToColour(const uint8_t* s) {
    const uint32_t white = 255u - s[3];
    return RGBQUAD{uint8_t((255u - s[2]) * white / 255), uint8_t((255u - s[1]) * white / 255),
                   uint8_t((255u - s[0]) * white / 255), 0};
}

// A colour multiplied by its alpha, apart from it again.
uint8_t Straight(uint32_t c, uint32_t a) {
    return uint8_t(a == 255 ? c : a == 0 ? 0 : std::min<uint32_t>(255, (c * 255 + a / 2) / a));
}

// Sample i of a row of 32-bit floating-point samples, 0 to 1 from black to
// full intensity, in native order as libtiff hands them out.
uint32_t FloatSampleAt(const uint8_t* row, uint64_t i) {
    float v;
    std::memcpy(&v, row + 4 * i, 4);
    return uint32_t(std::clamp(std::isnan(v) ? 0.0f : v, 0.0f, 1.0f) * 255.0f + 0.5f);
}

} // namespace

void CRasterTIF::TileToStrip(uint8_t* out, const uint8_t* in, uint32_t rows, uint32_t width,
                             uint32_t outSkew, uint32_t inSkew) {
    for (uint32_t r = 0; r < rows; ++r) {
        std::memcpy(out, in, width);
        out += width + outSkew;
        in += width + inSkew;
    }
}

// libtiff's RGBA reader turns orientations 1 to 4 upright itself; of 5 to 8
// it undoes only the flips, leaving the transposition to us.
bool CRasterTIF::ReadRgba(TIFF* tif, const Page& page) {
    const uint64_t count = uint64_t(page.width) * page.height;
    uint32_t* raster = static_cast<uint32_t*>(std::malloc(size_t(count) * 4));
    if (!raster) {
        return Fail("No space for raster buffer", "");
    }
    if (!TIFFReadRGBAImage(tif, page.width, page.height, raster, 1)) {
        std::free(raster);
        return Fail("Corrupted TIFF file!");
    }
    // libtiff hands out colours multiplied by alpha; the image keeps them
    // apart from its alpha plane, as the writers expect.
    uint8_t* alpha = AlphaPlane();
    for (uint32_t y = 0; y < page.height; ++y) {
        uint8_t* dst = RowPointer(y);
        const uint32_t* src = raster + size_t(y) * page.width;
        for (uint32_t x = 0; x < page.width; ++x) {
            const uint32_t a = alpha ? TIFFGetA(src[x]) : 255;
            dst[3 * x] = Straight(TIFFGetB(src[x]), a);
            dst[3 * x + 1] = Straight(TIFFGetG(src[x]), a);
            dst[3 * x + 2] = Straight(TIFFGetR(src[x]), a);
            if (alpha) alpha[size_t(y) * page.width + x] = uint8_t(a);
        }
    }
    std::free(raster);
    bool ok = true;
    if (page.orientation == ORIENTATION_LEFTTOP || page.orientation == ORIENTATION_RIGHTBOT)
        ok = Transpose(false);
    else if (page.orientation == ORIENTATION_RIGHTTOP || page.orientation == ORIENTATION_LEFTBOT)
        ok = Transpose(true);
    if (!ok) Fail("No space for raster buffer", "");
    return ok;
}

void CRasterTIF::BuildPalette(TIFF* tif, const Page& page) {
    RGBQUAD palette[256] = {};
    const uint16_t pm = page.photometric;
    const uint32_t colours = GetPaletteCount();
    if ((pm == PHOTOMETRIC_MINISWHITE || pm == PHOTOMETRIC_MINISBLACK) && page.bps == 1) {
        palette[pm == PHOTOMETRIC_MINISBLACK ? 1 : 0] = RGBQUAD{255, 255, 255, 0};
    } else if (pm == PHOTOMETRIC_MINISBLACK || pm == PHOTOMETRIC_MINISWHITE) {
        const uint32_t step = 255 / (colours - 1);
        for (uint32_t i = 0; i < colours; ++i) {
            const uint8_t g = uint8_t(pm == PHOTOMETRIC_MINISBLACK ? i * step : 255 - i * step);
            palette[i] = RGBQUAD{g, g, g, 0};
        }
    } else if (pm == PHOTOMETRIC_PALETTE) {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) && r && g && b) {
            // The map holds 2^BitsPerSample entries; old writers store 8-bit values.
            const uint32_t n = 1u << std::min<uint32_t>(page.bps, 16);
            bool wide = false;
            for (uint32_t i = 0; i < n && !wide; ++i)
                wide = r[i] > 255 || g[i] > 255 || b[i] > 255;
            auto value = [wide](uint16_t v) { return uint8_t(wide ? v * 255u / 65535u : v); };
            for (uint32_t i = 0; i < std::min<uint32_t>(n, 256); ++i)
                palette[i] = RGBQUAD{value(b[i]), value(g[i]), value(r[i]), 0};
        }
    }
    LoadPalette(palette, 256);
}

bool CRasterTIF::ReadBands(TIFF* tif, const Page& pageIn) {
    Page page = pageIn;
    const uint32_t w = page.width, h = page.height;
    page.line = (uint64_t(page.samples) * page.bps * w + 7) / 8;
    page.scaleToRamp =
        GetBitsPerPixel() == 8 && page.bps >= 1 && page.bps < 8 &&
        (page.photometric == PHOTOMETRIC_MINISBLACK || page.photometric == PHOTOMETRIC_MINISWHITE);
    page.tiled = TIFFIsTiled(tif);
    uint32_t bandRows = page.rowsPerStrip;
    if (page.tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &page.tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &page.tileLength);
        if (!page.tileWidth || !page.tileLength) {
            return Fail("Corrupted tiled TIFF file!");
        }
        bandRows = page.tileLength;
    }
    // A band holds its rows' file samples; a row of more than 16 bytes of
    // samples per image byte is no layout a writer makes.
    const uint64_t bandBytes = uint64_t(std::min(bandRows, h)) * page.line;
    const uint64_t tileBytes = page.tiled ? uint64_t(TIFFTileSize64(tif)) : 0;
    const uint64_t sampleBytes = uint64_t(page.samples) * w;
    if (page.line > 16 * uint64_t(GetStride()) + 64 || tileBytes > (uint64_t(1) << 31)) {
        return Fail("CRasterTIF can't allocate memory", "");
    }
    uint8_t* band = static_cast<uint8_t*>(std::calloc(1, size_t(bandBytes)));
    uint8_t* tile = page.tiled ? static_cast<uint8_t*>(std::calloc(1, size_t(tileBytes))) : nullptr;
    uint8_t* samples = static_cast<uint8_t*>(std::malloc(size_t(sampleBytes)));
    bool ok = band && samples && (tile || !page.tiled);
    if (!ok) Fail("CRasterTIF can't allocate memory", "");
    for (uint32_t ys = 0; ok && ys < h; ys += bandRows) {
        const uint32_t rows = std::min(bandRows, h - ys);
        ok = ReadBand(tif, page, ys, rows, band, tile);
        for (uint32_t r = 0; ok && r < rows; ++r)
            ok = StoreRow(page, band + r * page.line, h - 1 - (ys + r), samples);
        if (bandRows >= h - ys) break;
    }
    std::free(band);
    std::free(tile);
    std::free(samples);
    return ok;
}

bool CRasterTIF::ReadBand(TIFF* tif, const Page& page, uint32_t ys, uint32_t rows, uint8_t* band,
                          uint8_t* tile) {
    const uint64_t line = page.line;
    if (!page.tiled) {
        const tmsize_t want = tmsize_t(rows * line);
        const tmsize_t got = TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, ys, 0), band, want);
        if (got < 0) {
            return Fail("Corrupted TIFF file!");
        }
        // A short strip leaves the rest of the band blank, not last band's rows.
        if (got < want) std::memset(band + got, 0, size_t(want - got));
        return true;
    }
    const uint64_t tileRow = uint64_t(TIFFTileRowSize64(tif));
    const uint64_t tileBytes = uint64_t(TIFFTileSize64(tif));
    if (tileRow == 0 || uint64_t(rows) * tileRow > tileBytes) {
        return Fail("Corrupted tiled TIFF file!");
    }
    uint64_t colb = 0;
    for (uint32_t x = 0; x < page.width && colb < line; x += page.tileWidth, colb += tileRow) {
        if (TIFFReadTile(tif, tile, x, ys, 0, 0) < 0) {
            return Fail("Corrupted tiled TIFF file!");
        }
        const uint64_t width = std::min(tileRow, line - colb);
        TileToStrip(band + colb, tile, rows, uint32_t(width), uint32_t(line - width),
                    uint32_t(tileRow - width));
        if (x > UINT32_MAX - page.tileWidth) break;
    }
    return true;
}

// One file row into image row y: copied when the samples are the image's
// own layout, otherwise unpacked to 8-bit samples first.
bool CRasterTIF::StoreRow(const Page& page, const uint8_t* src, uint32_t y, uint8_t* samples) {
    const uint32_t w = page.width, spp = page.samples;
    if (spp == 1 && page.bps == GetBitsPerPixel()) {
        std::memcpy(RowPointer(y), src, size_t(std::min<uint64_t>(page.line, GetStride())));
        return true;
    }
    const uint64_t available = page.bps ? page.line * 8 / page.bps : 0;
    const uint64_t count = std::min<uint64_t>(uint64_t(spp) * w, available);
    const uint32_t maxValue = page.bps < 8 ? (1u << page.bps) - 1 : 255;
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t v = page.floating ? FloatSampleAt(src, i) : SampleAt(src, i, page.bps);
        samples[i] = uint8_t(page.scaleToRamp ? v * 255 / maxValue : v);
    }
    std::memset(samples + count, 0, size_t(uint64_t(spp) * w - count));
    if (spp == 1) {
        for (uint32_t x = 0; x < w; ++x)
            WriteIndex(x, y, samples[x]);
    } else if (spp == 2) {
        for (uint32_t x = 0; x < w; ++x) {
            WriteIndex(x, y, samples[2 * x]);
            WriteAlpha(x, y, samples[2 * x + 1]);
        }
    } else {
        if (GetBitsPerPixel() != 24) {
            if (!Create(w, page.height, 24, kTypeTiff)) {
                return Fail("CRasterTIF can't create image", "");
            }
            if (spp == 4) AddAlpha();
        }
        uint8_t* dst = RowPointer(y);
        if (page.cmyk && spp == 4) page.cmyk->Row(samples, dst, w);
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* s = samples + size_t(x) * spp;
            if (page.cmyk) {
                if (spp != 4) page.cmyk->Row(s, dst + 3 * x, 1);
                if (HasAlpha()) WriteAlpha(x, y, s[spp - 1]);
                continue;
            }
            const RGBQUAD c = page.photometric == PHOTOMETRIC_RGB ? RGBQUAD{s[2], s[1], s[0], 0}
                              : page.photometric == PHOTOMETRIC_SEPARATED
                                  ? CmykToColour(s)
                                  : LabToColour(s[0], s[1], s[2]);
            dst[3 * x] = c.rgbBlue, dst[3 * x + 1] = c.rgbGreen, dst[3 * x + 2] = c.rgbRed;
            if (page.premultiplied)
                for (int k = 0; k < 3; ++k)
                    dst[3 * x + k] = Straight(dst[3 * x + k], s[spp - 1]);
            if (HasAlpha()) WriteAlpha(x, y, s[spp - 1]);
        }
    }
    return true;
}

// The EMF record player's parts, shared by its files: the record types and
// the player, one member per family of records.
#pragma once

#include "GdiCanvas.h"
#include "MetafilePlayer.h"
#include "RecordReader.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace metafile::emf {

constexpr uint32_t kEmfSignature = 0x464D4520; // " EMF"
constexpr uint32_t kMaxHandles = 65535;
constexpr uint32_t kMaxRegionRects = 1u << 20;

enum : uint32_t {
    EMR_HEADER = 1,
    EMR_POLYBEZIER = 2,
    EMR_POLYGON = 3,
    EMR_POLYLINE = 4,
    EMR_POLYBEZIERTO = 5,
    EMR_POLYLINETO = 6,
    EMR_POLYPOLYLINE = 7,
    EMR_POLYPOLYGON = 8,
    EMR_SETWINDOWEXTEX = 9,
    EMR_SETWINDOWORGEX = 10,
    EMR_SETVIEWPORTEXTEX = 11,
    EMR_SETVIEWPORTORGEX = 12,
    EMR_EOF = 14,
    EMR_SETPIXELV = 15,
    EMR_SETMAPMODE = 17,
    EMR_SETBKMODE = 18,
    EMR_SETPOLYFILLMODE = 19,
    EMR_SETROP2 = 20,
    EMR_SETSTRETCHBLTMODE = 21,
    EMR_SETTEXTALIGN = 22,
    EMR_SETTEXTCOLOR = 24,
    EMR_SETBKCOLOR = 25,
    EMR_MOVETOEX = 27,
    EMR_EXCLUDECLIPRECT = 29,
    EMR_INTERSECTCLIPRECT = 30,
    EMR_SCALEVIEWPORTEXTEX = 31,
    EMR_SCALEWINDOWEXTEX = 32,
    EMR_SAVEDC = 33,
    EMR_RESTOREDC = 34,
    EMR_SETWORLDTRANSFORM = 35,
    EMR_MODIFYWORLDTRANSFORM = 36,
    EMR_SELECTOBJECT = 37,
    EMR_CREATEPEN = 38,
    EMR_CREATEBRUSHINDIRECT = 39,
    EMR_DELETEOBJECT = 40,
    EMR_ANGLEARC = 41,
    EMR_ELLIPSE = 42,
    EMR_RECTANGLE = 43,
    EMR_ROUNDRECT = 44,
    EMR_ARC = 45,
    EMR_CHORD = 46,
    EMR_PIE = 47,
    EMR_SELECTPALETTE = 48,
    EMR_CREATEPALETTE = 49,
    EMR_SETPALETTEENTRIES = 50,
    EMR_LINETO = 54,
    EMR_ARCTO = 55,
    EMR_POLYDRAW = 56,
    EMR_SETARCDIRECTION = 57,
    EMR_SETMITERLIMIT = 58,
    EMR_BEGINPATH = 59,
    EMR_ENDPATH = 60,
    EMR_CLOSEFIGURE = 61,
    EMR_FILLPATH = 62,
    EMR_STROKEANDFILLPATH = 63,
    EMR_STROKEPATH = 64,
    EMR_SELECTCLIPPATH = 67,
    EMR_ABORTPATH = 68,
    EMR_FILLRGN = 71,
    EMR_PAINTRGN = 74,
    EMR_EXTSELECTCLIPRGN = 75,
    EMR_BITBLT = 76,
    EMR_STRETCHBLT = 77,
    EMR_MASKBLT = 78,
    EMR_SETDIBITSTODEVICE = 80,
    EMR_STRETCHDIBITS = 81,
    EMR_EXTCREATEFONTINDIRECTW = 82,
    EMR_EXTTEXTOUTA = 83,
    EMR_EXTTEXTOUTW = 84,
    EMR_POLYBEZIER16 = 85,
    EMR_POLYGON16 = 86,
    EMR_POLYLINE16 = 87,
    EMR_POLYBEZIERTO16 = 88,
    EMR_POLYLINETO16 = 89,
    EMR_POLYPOLYLINE16 = 90,
    EMR_POLYPOLYGON16 = 91,
    EMR_POLYDRAW16 = 92,
    EMR_CREATEMONOBRUSH = 93,
    EMR_CREATEDIBPATTERNBRUSHPT = 94,
    EMR_EXTCREATEPEN = 95,
    EMR_POLYTEXTOUTA = 96,
    EMR_POLYTEXTOUTW = 97,
    EMR_SMALLTEXTOUT = 108,
    EMR_ALPHABLEND = 114,
    EMR_TRANSPARENTBLT = 116,
    EMR_GRADIENTFILL = 118,
};

class EmfPlayer {
public:
    EmfPlayer(GdiCanvas& canvas, const EmfHeader& header)
        : canvas_(canvas), objects_(std::clamp<uint32_t>(header.handles, 1, kMaxHandles)) {
        canvas_.State().pen.color = 0; // black pen, white brush, as a new device has
    }

    // False ends the playback.
    bool Play(uint32_t type, const RecordReader& r);

    // One member per family of records, reached through kEmfRecords.
    void PolyRecord(uint32_t type, const RecordReader& r);
    void PolyPolyRecord(uint32_t type, const RecordReader& r);
    void PolyDrawRecord(uint32_t type, const RecordReader& r);
    void ShapeRecord(uint32_t type, const RecordReader& r);
    void MappingRecord(uint32_t type, const RecordReader& r);
    void AttributeRecord(uint32_t type, const RecordReader& r);
    void StateRecord(uint32_t type, const RecordReader& r);
    void ObjectRecord(uint32_t type, const RecordReader& r);
    void PaletteRecord(uint32_t type, const RecordReader& r);
    void PathRecord(uint32_t type, const RecordReader& r);
    void ClipRecord(uint32_t type, const RecordReader& r);
    void RegionRecord(uint32_t type, const RecordReader& r);
    void BlitRecord(uint32_t type, const RecordReader& r);
    void DibitsRecord(uint32_t type, const RecordReader& r);
    void TextRecord(uint32_t type, const RecordReader& r);
    void GradientFill(uint32_t type, const RecordReader& r);

private:
    std::vector<PointD> Points(const RecordReader& r, size_t offset, uint64_t count, bool small);
    GdiObject* Slot(uint32_t index);
    void Select(uint32_t index);
    void SelectStock(uint32_t stock);
    void CreatePen(const RecordReader& r, bool extended);
    void CreateBrush(const RecordReader& r);
    void CreatePatternBrush(const RecordReader& r);
    void CreateFont(const RecordReader& r);
    void CreatePalette(const RecordReader& r);
    void SetPaletteEntries(const RecordReader& r);
    bool Bitmap(const RecordReader& r, size_t offBmi, size_t offBits, Dib* dib);
    void StretchDibits(const RecordReader& r, bool toDevice);
    void ExtTextOut(const RecordReader& r, size_t emrText, bool wide);
    void SmallTextOut(const RecordReader& r);
    std::vector<double> RegionRects(const RecordReader& r, size_t offset, size_t cb);

    GdiCanvas& canvas_;
    std::vector<GdiObject> objects_;
};

} // namespace metafile::emf

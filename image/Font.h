// Fonts and text for the drawing layer: a font is described by a LOGFONT,
// matched to an installed face through fontconfig and rasterised with
// FreeType. Text is measured and drawn on a CMemoryDevice with its selected
// font, text colour, background colour and background mode.
#pragma once

#include "Device.h"
#include "WinTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Text format flags, with the platform's values. Prefixes are never
// processed, so DT_NOPREFIX is accepted and implied.
constexpr uint32_t DT_LEFT = 0x0000;
constexpr uint32_t DT_CENTER = 0x0001;
constexpr uint32_t DT_RIGHT = 0x0002;
constexpr uint32_t DT_NOCLIP = 0x0100;
constexpr uint32_t DT_CALCRECT = 0x0400;
constexpr uint32_t DT_NOPREFIX = 0x0800;

constexpr int32_t FW_DONTCARE = 0;
constexpr int32_t FW_NORMAL = 400;
constexpr int32_t FW_BOLD = 700;

// Stock font identifiers, with the platform's values.
constexpr int SYSTEM_FONT = 13;
constexpr int DEFAULT_GUI_FONT = 17;

// Face sizes beyond this many pixels are drawn at this size.
constexpr int kMaxFontPixels = 2000;

class FontFace;

class CFont {
public:
    CFont();
    ~CFont();
    CFont(const CFont&) = delete;
    CFont& operator=(const CFont&) = delete;

    // Releases any face held, then matches and opens one for the record.
    // Unknown faces fall back to the installed sans face; false only when no
    // face at all could be opened.
    bool CreateFontIndirect(const LOGFONT& lf);
    void DeleteObject();
    bool IsValid() const { return face_ != nullptr; }

    // The record the font was made from (face name cut to 31 characters).
    bool GetLogFont(LOGFONT* lf) const;

    // What the record resolved to on this system.
    std::string MatchedFamily() const;
    std::string MatchedFile() const;
    int PixelSize() const; // em size in pixels
    int Ascent() const;
    int Descent() const;
    int Height() const { return Ascent() + Descent(); }

    const std::shared_ptr<FontFace>& Face() const { return face_; }

private:
    std::shared_ptr<FontFace> face_;
    LOGFONT log_{};
};

// The platform's stock fonts. DEFAULT_GUI_FONT is "MS Shell Dlg" at a
// character height of 11 pixels (8 points at 96 dpi), weight 400; SYSTEM_FONT,
// the default font of every device, is "System" at a cell height of 16 pixels,
// weight 700. Both names resolve to Liberation Sans (DejaVu Sans when it is not
// installed). Null for any other identifier or when no face is installed.
const CFont* GetStockFont(int id);

// Text is single-byte in the system code page; here that is UTF-8, and a
// byte that is not part of a valid UTF-8 sequence is read as Windows-1252.
// Lines break at CR LF, a lone CR or a lone LF.
std::vector<uint32_t> DecodeText(const char* text, size_t length);

// Lays out and draws text into rect with the device's font (SYSTEM_FONT when
// none is selected). With DT_CALCRECT only the rectangle is computed: its
// right edge becomes left + widest line, its bottom top + lines x line height.
// Drawing clips to rect unless DT_NOCLIP. Returns the text's height.
int DrawText(CMemoryDevice& dc, const char* text, int count, RECT* rect, uint32_t format);

// Width and height of the text as one line in the device's font.
bool GetTextExtentPoint32(const CMemoryDevice& dc, const char* text, int count, SIZE* size);

// Draws one line with its top-left corner at (x, y).
bool TextOut(CMemoryDevice& dc, int x, int y, const char* text, int count);

// Small helpers the GdiCanvas files share: sane transforms and coordinates,
// colours for cairo.
#pragma once

#include "WinTypes.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace metafile {

inline constexpr double kMaxCoordinate = 1e7; // far outside any surface, still safe for cairo

inline bool Finite(const cairo_matrix_t& m) {
    for (double v : {m.xx, m.yx, m.xy, m.yy, m.x0, m.y0})
        if (!std::isfinite(v) || std::fabs(v) > 1e12) return false;
    return true;
}

inline bool Invertible(const cairo_matrix_t& m) {
    const double det = m.xx * m.yy - m.xy * m.yx;
    return Finite(m) && std::isfinite(det) && std::fabs(det) > 1e-12;
}

inline double Clamp(double v) {
    if (!std::isfinite(v)) return 0;
    return std::clamp(v, -kMaxCoordinate, kMaxCoordinate);
}

inline void SetColor(cairo_t* cr, COLORREF c) {
    cairo_set_source_rgb(cr, RedOf(c) / 255.0, GreenOf(c) / 255.0, BlueOf(c) / 255.0);
}

inline uint32_t OpaqueArgb(COLORREF c) {
    return 0xFF000000u | (uint32_t(RedOf(c)) << 16) | (uint32_t(GreenOf(c)) << 8) | BlueOf(c);
}


} // namespace metafile

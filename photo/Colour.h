// Colour profiles through Little CMS: pixels leave their embedded profile
// for sRGB where an output cannot carry the profile. Transforms are built
// once per profile and shared; they are safe to use from several rows at once.
#pragma once

#include "CRaster.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A profile Little CMS can open, of a colour space it can convert from.
bool IsUsableProfile(const std::vector<uint8_t>& icc);

// The profile's description ("sRGB IEC61966-2.1"), empty when it cannot be
// opened or has none.
std::string ProfileDescription(const std::vector<uint8_t>& icc);

// False when the image's profile is not of its pixels' colour space: CMYK
// or another space never written, grey on colour pixels, colour on a grey
// ramp. True without a profile, and for one Little CMS cannot read.
bool ProfileFitsPixels(const CRaster& image);

// The pixels of 24-bit, palette and grey images converted from the image's
// embedded profile to sRGB, and the profile dropped from its metadata.
// Nothing happens without a profile, for an sRGB one, or for one that does
// not fit the pixels; false only when the profile had to be dropped unused.
bool ConvertToSrgb(CRaster& image);

// Rows of CMYK samples (as libjpeg delivers them, inverted for Adobe files)
// through a CMYK profile into blue-green-red.
class CmykConverter {
public:
    CmykConverter(const std::vector<uint8_t>& icc, bool inverted);
    bool Valid() const { return transform_ != nullptr; }
    void Row(const uint8_t* cmyk, uint8_t* bgr, uint32_t width) const;

private:
    std::shared_ptr<void> transform_;
};

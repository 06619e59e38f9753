#include "Colour.h"

#include <lcms2.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

using Transform = std::shared_ptr<void>;

bool PlausibleHeader(const std::vector<uint8_t>& icc) {
    if (icc.size() < 132 || icc.size() > (64u << 20)) return false;
    const uint32_t declared = uint32_t(icc[0]) << 24 | icc[1] << 16 | icc[2] << 8 | icc[3];
    return declared >= 132 && declared <= icc.size() && std::memcmp(&icc[36], "acsp", 4) == 0;
}

cmsHPROFILE OpenProfile(const std::vector<uint8_t>& icc) {
    if (!PlausibleHeader(icc)) return nullptr;
    return cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
}

bool IsSrgb(cmsHPROFILE profile) {
    char text[128] = {};
    cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", text, sizeof text);
    return std::strstr(text, "sRGB") != nullptr;
}

// One transform per profile and pixel layout, built on first use. A batch
// meets a handful of profiles; the cache is emptied should it meet many.
Transform CachedTransform(const std::vector<uint8_t>& icc, cmsUInt32Number inFormat,
                          cmsUInt32Number outFormat) {
    static std::mutex mutex;
    static std::map<std::string, Transform> cache;
    std::string key(reinterpret_cast<const char*>(icc.data()), icc.size());
    key += std::to_string(inFormat) + ":" + std::to_string(outFormat);
    std::lock_guard<std::mutex> lock(mutex);
    if (const auto it = cache.find(key); it != cache.end()) return it->second;
    Transform made;
    if (cmsHPROFILE in = OpenProfile(icc)) {
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        // Without the one-pixel cache the transform may be shared by threads.
        // Relative colorimetric, as photo tools convert for the screen.
        cmsHTRANSFORM t = srgb ? cmsCreateTransform(in, inFormat, srgb, outFormat,
                                                    INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE)
                               : nullptr;
        if (t) made = Transform(t, [](void* p) { cmsDeleteTransform(static_cast<cmsHTRANSFORM>(p)); });
        if (srgb) cmsCloseProfile(srgb);
        cmsCloseProfile(in);
    }
    if (cache.size() >= 32) cache.clear();
    cache.emplace(std::move(key), made);
    return made;
}

cmsHTRANSFORM Handle(const Transform& t) {
    return static_cast<cmsHTRANSFORM>(t.get());
}

enum class Space { kUnreadable, kOther, kRgb, kGrey, kCmyk, kSrgb };

Space SpaceOf(const std::vector<uint8_t>& icc) {
    cmsHPROFILE p = OpenProfile(icc);
    if (!p) return Space::kUnreadable;
    Space s = Space::kOther;
    switch (cmsGetColorSpace(p)) {
    case cmsSigRgbData:
        s = IsSrgb(p) ? Space::kSrgb : Space::kRgb;
        break;
    case cmsSigGrayData:
        s = Space::kGrey;
        break;
    case cmsSigCmykData:
        s = Space::kCmyk;
        break;
    default:
        break;
    }
    cmsCloseProfile(p);
    return s;
}

bool ConvertPalette(CRaster& image, const Transform& t, bool grey) {
    const uint32_t n = image.GetPaletteCount();
    RGBQUAD* pal = image.Palette();
    if (!pal || n == 0) return false;
    uint8_t in[256 * 3], out[256 * 3];
    for (uint32_t i = 0; i < n; ++i) {
        if (grey)
            in[i] = pal[i].rgbRed;
        else
            in[3 * i] = pal[i].rgbBlue, in[3 * i + 1] = pal[i].rgbGreen, in[3 * i + 2] = pal[i].rgbRed;
    }
    cmsDoTransform(Handle(t), in, out, n);
    for (uint32_t i = 0; i < n; ++i)
        pal[i].rgbBlue = out[3 * i], pal[i].rgbGreen = out[3 * i + 1], pal[i].rgbRed = out[3 * i + 2];
    return true;
}

void DropProfile(CRaster& image) {
    auto copy = std::make_shared<ImageMetadata>(*image.Metadata());
    copy->icc.clear();
    image.SetMetadata(copy->Empty() ? nullptr : std::move(copy));
}

} // namespace

bool IsUsableProfile(const std::vector<uint8_t>& icc) {
    const Space s = SpaceOf(icc);
    return s != Space::kOther && s != Space::kUnreadable;
}

std::string ProfileDescription(const std::vector<uint8_t>& icc) {
    cmsHPROFILE profile = OpenProfile(icc);
    if (!profile) return {};
    char text[256] = {};
    cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", text, sizeof text);
    cmsCloseProfile(profile);
    return text;
}

bool ProfileFitsPixels(const CRaster& image) {
    const ImageMetadata* meta = image.Metadata();
    if (!meta || meta->icc.empty()) return true;
    const bool grey = image.GetPaletteCount() != 0 && image.HasGrayRamp();
    switch (SpaceOf(meta->icc)) {
    case Space::kRgb:
    case Space::kSrgb:
        return !grey;
    case Space::kGrey:
        return grey;
    case Space::kUnreadable:
        // Nothing to tell it by: a codec carries it as it came.
        return true;
    default:
        return false;
    }
}

bool ConvertToSrgb(CRaster& image) {
    const ImageMetadata* meta = image.Metadata();
    if (!meta || meta->icc.empty() || !image.HasPixels()) return true;
    const Space space = SpaceOf(meta->icc);
    if (space == Space::kSrgb) return true;
    const bool palette = image.GetPaletteCount() != 0;
    const bool greyImage = palette && image.HasGrayRamp();
    bool done = false;
    if (space == Space::kRgb && !palette) {
        const Transform t = CachedTransform(meta->icc, TYPE_BGR_8, TYPE_BGR_8);
        if (t) {
            for (uint32_t y = 0; y < image.GetHeight(); ++y)
                cmsDoTransform(Handle(t), image.RowPointer(y), image.RowPointer(y), image.GetWidth());
            done = true;
        }
    } else if (space == Space::kRgb || (space == Space::kGrey && greyImage)) {
        const bool grey = space == Space::kGrey;
        const Transform t = CachedTransform(meta->icc, grey ? TYPE_GRAY_8 : TYPE_BGR_8, TYPE_BGR_8);
        done = t && ConvertPalette(image, t, grey);
    }
    DropProfile(image);
    return done;
}

CmykConverter::CmykConverter(const std::vector<uint8_t>& icc, bool inverted) {
    if (SpaceOf(icc) != Space::kCmyk) return;
    transform_ = CachedTransform(icc, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, TYPE_BGR_8);
}

void CmykConverter::Row(const uint8_t* cmyk, uint8_t* bgr, uint32_t width) const {
    cmsDoTransform(Handle(transform_), cmyk, bgr, width);
}

// Files that hold several pictures, one picture at a time: the frames of an
// animated GIF or WebP, each composed onto the logical screen as a viewer
// shows it, and the pages of a TIFF. A reader hands out one picture, the
// caller transforms it and hands it to a writer, which encodes it and lets it
// go, so memory holds a screen or two whatever the frame count.
#pragma once

#include "CRaster.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ImageStream;

// What stays the same for every frame of a file.
struct AnimationInfo {
    uint32_t count = 0;     // frames or pages
    uint32_t width = 0;     // the logical screen (the first page for TIFF)
    uint32_t height = 0;
    uint32_t loops = 0;     // times shown in all, 0 for ever (a GIF without a loop block: 1)
    bool timed = false;     // frames with delays on one screen; false: independent pages
    // A GIF's colour tables (0xRRGGBB), the global one first, then the
    // local ones: the colours its later frames bring, known before they are
    // read.
    std::vector<uint32_t> palette;
};

// Animations larger than this (frames times screen pixels) are refused
// before a frame is composed: a small file can declare thousands of frames
// of a huge screen, and every frame costs a whole screen.
inline constexpr uint64_t kMaxAnimationPixels = uint64_t(1) << 31;
inline constexpr uint32_t kMaxAnimationFrames = 100000;

// False with the refusal's text when count frames of width x height are
// more than a run takes on.
bool AnimationWithinLimits(uint64_t count, uint64_t width, uint64_t height, std::string& error);

class FrameReader {
public:
    virtual ~FrameReader() = default;
    const AnimationInfo& Info() const { return info_; }
    // The next picture, with delayMs its display time; false after the last
    // one, or with Error() set when the file fails.
    virtual bool Next(CRaster& frame, uint32_t& delayMs) = 0;
    const std::string& Error() const { return error_; }

protected:
    AnimationInfo info_;
    std::string error_;
};

// Opens path as a file of several pictures when its type has them (GIF,
// WebP, TIFF); null with error set when it cannot be read.
std::unique_ptr<FrameReader> OpenFrameReader(const std::string& path, ImageType type,
                                             std::string& error);

// The types whose readers above give frames or pages.
bool HasFrameReader(ImageType type);

// What an animation's encoder takes from the run.
struct FrameWriterSpec {
    uint32_t loops = 0;
    bool timed = true;
    uint8_t quality = 75;   // WebP lossy
    bool lossless = false;  // WebP
    // GIF: what pixels at least half opaque are blended onto.
    RGBQUAD background{255, 255, 255, 0};
    // GIF: colours later frames are likely to bring (AnimationInfo::palette).
    std::vector<uint32_t> palette;
};

class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // Encodes one picture, prepared for the output type; false with Error().
    virtual bool Add(CRaster& frame, uint32_t delayMs) = 0;
    // Ends the file; false with Error().
    virtual bool Finish() = 0;
    const std::string& Error() const { return error_; }
    // A loss the writer had to make (pictures of another size clipped...),
    // empty when none.
    const std::string& Warning() const { return warning_; }

protected:
    std::string error_;
    std::string warning_;
};

// Output types that hold several pictures: GIF, WebP, TIFF.
bool HoldsSeveralPictures(ImageType type);

// A writer into stream (which must stay open until Finish), null for types
// that hold one picture.
std::unique_ptr<FrameWriter> MakeFrameWriter(ImageType type, ImageStream* stream,
                                             const FrameWriterSpec& spec);

// GIF87a/89a reader and GIF89a writer with our own LZW coder. The reader gives
// the first image composed onto the logical screen, or, for the mosaic layout
// the writer uses for 24-bit images, all images assembled into one picture;
// as an animation, every frame as a viewer shows it, one at a time.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "Frames.h"
#include "ImageType.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class ImageStream;

class GifCodec : public CRaster {
public:
    GifCodec();
    ~GifCodec() override;
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // The animation: reads the screen and counts the frames (refusing more
    // than AnimationWithinLimits allows); the stream stays in use.
    bool StartFrames(ImageStream* stream, AnimationInfo& info);
    // The next frame composed onto the screen after the previous frame's
    // disposal: a 24-bit picture of screen size with an alpha plane when
    // any pixel is see-through. False at the end (no error text) or when
    // the file fails (error text).
    bool NextFrame(CRaster& frame, uint32_t& delayMs);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    bool Encode(ImageStream* stream, const EncodeRequest& request);

private:
    struct ControlRecord {
        uint8_t flags = 0;
        uint16_t delay = 0;
        uint8_t transparent = 0;
        bool seen = false;
    };
    struct ColourTable {
        uint8_t rgb[256 * 3] = {};
        uint32_t size = 0;
        bool present = false;
    };
    struct Descriptor {
        uint32_t left, top, width, height;
        uint8_t flags;
    };
    struct Screen {
        uint32_t width = 0, height = 0;
        uint8_t background = 0;
    };

    // The block walk shared by counting and reading: extensions are read as
    // met, and images that have pixels handed out.
    struct BlockScan {
        ImageStream* stream = nullptr;
        bool previousZero = true;
    };
    struct Composition;

    bool ReadExtension(ImageStream* stream);
    bool NextImage(BlockScan& scan, Descriptor* d);
    // Also appends the local tables' colours to colours when given, up to
    // about kColoursKept: a file of many frames may bring a table each.
    int32_t CountImages(ImageStream* stream, std::vector<uint32_t>* colours = nullptr);
    static constexpr size_t kColoursKept = 4096;
    bool ReadScreen(ImageStream* stream, Composition& c);
    const ColourTable* TableFor(ImageStream* stream, const Descriptor& d, Composition& c,
                                ColourTable* local);
    bool PrepareBackground(const Descriptor& d, Composition& c, uint32_t depth, int32_t counter);
    bool ExpandFrame(ImageStream* stream, const Descriptor& d, const ColourTable& table,
                     uint32_t depth, Composition& c);
    void PasteOnBackground(const Descriptor& d, Composition& c);
    bool PasteIntoMosaic(const Descriptor& d, Composition& c);
    static bool FirstTileOfMosaic(const Descriptor& d, const Screen& screen);
    bool ComposeImages(ImageStream* stream, Composition& c);
    bool DescribeComposition(ImageStream* stream, const Descriptor& first, const ColourTable& table,
                             uint32_t depth, Composition& c);
    void TakeComposed(Composition& c);
    static bool ReadDescriptor(ImageStream* stream, Descriptor* d);
    static bool ReadTable(ImageStream* stream, uint8_t flags, ColourTable* table);
    static void Reposition(ImageStream* stream, int64_t dataStart, bool badCodes,
                           int32_t unreadInBuffer);

    bool WritePaletted(ImageStream* stream);
    bool WriteTiles(ImageStream* stream);
    bool WriteControl(ImageStream* stream, const CRaster& image);
    bool WriteImageBlock(ImageStream* stream, CRaster& image, bool localTable);

    bool PaintFrame(const Descriptor& d, const ColourTable& table, Composition& c);
    void DisposeFrame(Composition& c);

    ControlRecord control_;
    int disposal_ = 0;
    // The application block's loop count; -1 without one.
    int32_t loops_ = -1;
    std::unique_ptr<Composition> animation_;
};

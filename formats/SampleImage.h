// The component model shared by the JPEG-2000 family readers and writers:
// a picture is a list of sample planes, each with its own size, sampling
// step and value range. Jpeg2000FamilyCodec turns it into pixels and back.
#pragma once

#include "CRaster.h"
#include "ImageStream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SampleComponent {
    uint32_t width = 0, height = 0;
    uint32_t dx = 1, dy = 1; // sampling step on the picture grid
    uint32_t x0 = 0, y0 = 0; // position of sample 0 in component units
    uint32_t precision = 8;  // bits
    uint32_t maxValue = 0;   // largest sample; 0 means 2^precision - 1
    bool isSigned = false;   // samples range from -2^(p-1)
    bool isAlpha = false;
    const int32_t* data = nullptr; // width x height, top row first
};

struct SampleImage {
    uint32_t width = 0, height = 0; // the picture grid
    uint32_t gridX0 = 0, gridY0 = 0;
    bool ycc = false; // components 0-2 are Y, Cb, Cr
    std::vector<SampleComponent> comps;
    // Storage for components our own readers fill.
    std::vector<std::vector<int32_t>> buffers;
    // Holds the library's own image while its samples are in use.
    std::shared_ptr<void> external;
    // Set by the caller: readers declare the components and read no samples.
    bool headerOnly = false;
    // Set by the caller: which component a grey or separate-component picture shows.
    int32_t frame = 0;

    // Adds a width x height component of the grid's size; null when it
    // cannot be allocated.
    int32_t* AddComponent(uint32_t w, uint32_t h, uint32_t precision, bool isSigned = false);
    // A component without samples, for header-only reads.
    SampleComponent& Declare(uint32_t w, uint32_t h, uint32_t precision, bool isSigned = false);
};

// Samples of all components together are limited to this; beyond it a
// picture is refused before anything is allocated.
constexpr uint64_t kMaxSamples = uint64_t(1) << 28;

// Each reader and writer returns false with a message in *error. Readers of
// 1- to 16-bit data store straight into the picture's rows, as the component
// path would, without planes of 32-bit samples.
bool ReadPnm(ImageStream* stream, CRaster* out, ImageType type, std::string* error);
bool WritePnm(ImageStream* stream, const SampleImage& image, std::string* error);
bool ReadPgx(ImageStream* stream, CRaster* out, ImageType type, std::string* error);
bool WritePgx(ImageStream* stream, const SampleImage& image, std::string* error);
bool ReadSunRaster(ImageStream* stream, CRaster* out, ImageType type, std::string* error);
bool WriteSunRaster(ImageStream* stream, const SampleImage& image, std::string* error);
// codeStream: a bare code stream rather than a JP2 file. rate: the share of
// the uncompressed size to keep; 1 or more is lossless.
bool ReadJp2(ImageStream* stream, bool codeStream, SampleImage* image, std::string* error);
bool WriteJp2(ImageStream* stream, bool codeStream, const SampleImage& image, double rate,
              std::string* error);

// JPEG files through libjpeg (version-62 API). Decodes straight into the
// image's bottom-up BGR rows and encodes from them; the resolution comes from
// the Exif block when it has one, else from the JFIF header.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "ImageType.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class CmykConverter;
class ImageStream;
struct jpeg_decompress_struct;

// The fields of an Exif block this system reads. Resolution and unit come
// from the first directory only: later directories describe the thumbnail.
struct ExifInfo {
    float xResolution = 0;
    float yResolution = 0;
    float unitFactor = 0; // inches per unit; 0 when unknown
    uint16_t orientation = 0;
    bool found = false;
};

// The orientation an Exif block (TIFF header onwards) gives, 1 when none.
uint8_t ExifOrientation(const std::vector<uint8_t>& exif);

// Parses the payload of an APP1 segment ("Exif\0\0" and a TIFF structure).
class ExifReader {
public:
    explicit ExifReader(ExifInfo* info) : info_(info) {}
    // data points after the segment's length bytes; length counts those bytes.
    bool Process(const uint8_t* data, size_t length);
    // The same from the TIFF header on (PNG's eXIf, a stored Exif block).
    bool ProcessTiff(const uint8_t* data, size_t size);
    const char* ErrorText() const { return error_; }

private:
    bool Fail(const char* text);
    bool ReadDirectory(uint32_t offset);
    bool ReadEntry(const uint8_t* entry);
    uint16_t Get16(const uint8_t* p) const;
    uint32_t Get32(const uint8_t* p) const;
    double Number(const uint8_t* value, uint16_t format) const;

    ExifInfo* info_;
    const uint8_t* tiff_ = nullptr; // start of the TIFF header
    size_t size_ = 0;               // usable bytes from tiff_
    bool bigEndian_ = false;
    char error_[256] = {};
};

// What a JPEG file's header says, read without decoding the picture.
struct JpegHeader {
    uint32_t width = 0, height = 0;
    uint16_t orientation = 0; // Exif orientation, 0 without one
};
bool ReadJpegHeader(const std::string& path, JpegHeader& header);

class JpegCodec : public CRaster {
public:
    JpegCodec() : CRaster(kTypeJpeg) {}
    // As the image's scale and sample fields ask.
    bool Decode(ImageStream* stream);
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    // The frame size, walking the markers up to the first start-of-frame.
    static bool ReadFrameSize(ImageStream* stream, uint32_t* width, uint32_t* height);
    bool Encode(ImageStream* stream);
    const ExifInfo& Exif() const { return exif_; }

private:
    void ApplyResolution(uint8_t unit, uint16_t xDensity, uint16_t yDensity);
    void TakeMetadata(jpeg_decompress_struct* cinfo, bool cmyk);
    void ReadHeader(jpeg_decompress_struct* cinfo, uint8_t scale);
    void ReadRows(jpeg_decompress_struct* cinfo, bool grey, bool cmyk);
    bool ReadWindowRows(jpeg_decompress_struct* cinfo, bool grey, bool cmyk, DecodeWindow window);
    bool Decode(ImageStream* stream, const DecodeRequest& request, bool rawPlanes);
    // The sampled paths, making the window of a full x full sample: false
    // (or kFailed) after a library error.
    bool SampleRows(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW, uint32_t fullH);
    enum class RawResult { kDone, kRanOut, kFailed };
    RawResult SampleRawPlanes(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW,
                              uint32_t fullH);
    bool FilterRows(jpeg_decompress_struct* cinfo);
    bool FilterWindow(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW,
                      uint32_t fullH);

    ExifInfo exif_;
    std::shared_ptr<const CmykConverter> cmykProfile_;
};

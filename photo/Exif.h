// The few facts of an Exif block the codecs read themselves, without the
// metadata library: the resolution and the orientation, which decide how a
// picture is sized and shown while it is decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// Dots per inch from an Exif resolution, 0 when it gives none. An absent unit
// means inches, as in TIFF.
int32_t ExifDpi(float resolution, float unitFactor);

// JPEG files through libjpeg (version-62 API). Decodes straight into the
// image's bottom-up BGR rows and encodes from them; the resolution comes from
// the Exif block when it has one, else from the JFIF header.
#pragma once

#include "CRaster.h"
#include "DecodeRequest.h"
#include "EncodeRequest.h"
#include "Exif.h"
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

// What a JPEG file's header says, read without decoding the picture.
struct JpegHeader {
    uint32_t width = 0, height = 0;
    uint16_t orientation = 0; // Exif orientation, 0 without one
};
bool ReadJpegHeader(const std::string& path, JpegHeader& header);

// The bytes of coded picture (no markers, tables or metadata) an encode of
// image as request asks would write with tables made for it, counted
// without writing them: for weighing qualities against each other. -1 on
// failure, the image's last error saying why: packed pixels and
// progressive scans are not counted.
int64_t CountJpegScanBytes(CRaster& image, const EncodeRequest& request);

class JpegCodec : public CRaster {
public:
    JpegCodec() : CRaster(kTypeJpeg) {}
    bool Decode(ImageStream* stream, const DecodeRequest& request);
    // False when the first bytes rule the format out.
    static bool Sniff(std::span<const uint8_t> head);
    // The frame size, walking the markers up to the first start-of-frame.
    static bool ReadFrameSize(ImageStream* stream, uint32_t* width, uint32_t* height);
    bool Encode(ImageStream* stream, const EncodeRequest& request);
    const ExifInfo& Exif() const { return exif_; }

private:
    void ApplyResolution(uint8_t unit, uint16_t xDensity, uint16_t yDensity);
    void TakeMetadata(jpeg_decompress_struct* cinfo, bool cmyk);
    void ReadHeader(jpeg_decompress_struct* cinfo, uint8_t scale);
    void ReadRows(jpeg_decompress_struct* cinfo, bool grey, bool cmyk);
    bool ReadWindowRows(jpeg_decompress_struct* cinfo, bool grey, bool cmyk, DecodeWindow window);
    bool Decode(ImageStream* stream, const DecodeRequest& request, bool rawPlanes);
    void FinishDecode(jpeg_decompress_struct* cinfo);
    struct Plan;
    Plan MakePlan(const jpeg_decompress_struct& cinfo, const DecodeRequest& request,
                  bool rawPlanes) const;
    // The sampled paths, making the window of a full x full sample: false
    // (or kFailed) after a library error.
    bool SampleRows(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW, uint32_t fullH);
    enum class RawResult { kDone, kRanOut, kFailed };
    RawResult SampleRawPlanes(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW,
                              uint32_t fullH);
    RawResult ReadPixels(jpeg_decompress_struct* cinfo, const Plan& plan);
    bool FilterRows(jpeg_decompress_struct* cinfo);
    bool FilterWindow(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW,
                      uint32_t fullH);

    ExifInfo exif_;
    std::shared_ptr<const CmykConverter> cmykProfile_;
};

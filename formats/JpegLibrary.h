// The JPEG files' glue to libjpeg: buffer sizes, the error manager that
// hands the library's errors to the image, the scan limit, and the source
// and destination on our streams. Only formats/Jpeg* include it.
#pragma once

#include "JpegErrors.h"

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

class CRaster;
class ImageStream;

// The library decodes an MCU on its fast path only while the buffer holds
// 512 bytes per block of it (3 KB for a 4:2:0 photo): a small buffer sends
// most MCUs down the slow one.
inline constexpr size_t kBufferSize = 65536;
// Rows handed to the library per call: enough for any MCU row height.
inline constexpr JDIMENSION kRowBatch = 16;
// A progressive file can hold endless tiny scans, each costing a pass over
// the whole coefficient buffer; real files have a few dozen at most.
inline constexpr int kMaxScans = 500;

// Errors leave the library through the image's last error and a jump to
// err->jump; warnings are not printed.
void AttachErrorManager(j_common_ptr cinfo, JpegErrorManager* err, CRaster* image);

struct ScanLimit {
    jpeg_progress_mgr pub;
};
// A progress monitor that fails a file of more than kMaxScans scans.
void CheckScanCount(j_common_ptr cinfo);

struct StreamSource {
    jpeg_source_mgr pub;
    ImageStream* stream;
    bool startOfFile;
    bool ended; // the stream ran out before the end-of-image marker
    JOCTET buffer[kBufferSize];
};
void AttachSource(j_decompress_ptr cinfo, StreamSource* src, ImageStream* stream);

struct StreamDestination {
    jpeg_destination_mgr pub;
    ImageStream* stream;
    JOCTET buffer[kBufferSize];
};
void AttachDestination(j_compress_ptr cinfo, StreamDestination* dest, ImageStream* stream);

// Nearest-sampled pixels of a YCbCr JPEG read as raw planes: the library's
// chroma upsampling and colour conversion are done for the sampled pixels
// only, with the library's own integer arithmetic, so each pixel is the one a
// full decode gives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include <jpeglib.h>

// True for a YCbCr file decoded at full size to BGR whose chroma is full,
// halved across, or halved both ways (the layouts the sampler rebuilds).
bool CanSampleRaw(const jpeg_decompress_struct& cinfo);

// Reads the picture with raw_data_out (set before jpeg_start_decompress) and
// writes output row y (from the top) from source row rows[y], columns[x].
// Stops when stop() says so after a read; *done is the output rows written.
// False after a library error (the error manager must be a JpegErrorManager).
bool SampleRawRows(jpeg_decompress_struct* cinfo, const std::vector<uint32_t>& columns,
                   const std::vector<uint32_t>& rows,
                   const std::function<uint8_t*(uint32_t)>& outRow,
                   const std::function<bool()>& stop, uint32_t* done);

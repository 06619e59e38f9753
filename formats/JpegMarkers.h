// The APP segments of a JPEG file: the Exif facts the decoder needs, and the
// Exif, XMP (with its extension), ICC and IPTC blocks carried in and out.
#pragma once

#include "Exif.h"
#include "ImageMetadata.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

// The first Exif segment that parses (APP1 markers must have been saved).
void ReadExif(j_decompress_ptr cinfo, ExifInfo* exif);

// The raw blocks of the APP1, APP2 and APP13 segments the library kept; null
// when there are none.
ImageMetadataPtr ReadMetadata(j_decompress_ptr cinfo);

// Written right after the library's own header markers, while encoding.
// A block too large for its segment is left out.
void WriteMetadata(j_compress_ptr cinfo, const ImageMetadata& meta,
                   const std::vector<uint8_t>& resources);

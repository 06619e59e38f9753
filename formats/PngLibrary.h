// What the PNG reader and writer share around libpng: the call's context,
// the library's callbacks, and the chunks that carry metadata.
#pragma once

#include "CRaster.h"
#include "ImageMetadata.h"

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

class ImageStream;

namespace pngcodec {

// libpng leaves through longjmp. Each function that calls the library
// after a setjmp holds no object with a destructor; what it allocates lives
// in the call's context and is freed on both ways out.
struct PngContext {
    ImageStream* stream;
    CRaster* image;
    // Freed after a library error, so changed behind the setjmp's back.
    uint8_t* volatile buffer;
};

PngContext* ContextOf(png_structp png);
void ReadData(png_structp png, png_bytep data, size_t length);
void WriteData(png_structp png, png_bytep data, size_t length);
void FlushData(png_structp png);
// Reading: the library's message becomes the image's error text.
[[noreturn]] void ReadError(png_structp png, png_const_charp message);
// Writing: the caller reports one fixed text whatever went wrong.
[[noreturn]] void WriteError(png_structp png, png_const_charp);
// Warnings are not shown (the library's default prints them to stderr).
void IgnoreWarning(png_structp, png_const_charp);

// The chunks that carry metadata, kept raw while the library reads; they
// are unpacked after it is done, where no library error can jump past them.
struct MetadataChunks {
    std::vector<uint8_t> exif, icc, xmp, iptc, textExif, textXmp;
    // The chunk's name's first letter.
    uint8_t xmpKind = 0, iptcKind = 0, textExifKind = 0, textXmpKind = 0;
};

// libpng's user chunk callback: keeps the chunks above raw.
int KeepMetadataChunk(png_structp png, png_unknown_chunkp chunk);
// The kept chunks unpacked onto the image; a damaged block costs the blocks.
void TakeMetadata(CRaster& image, const MetadataChunks& kept);

// The text chunks' texts, made before the library can jump out of Encode
// (libpng measures them with strlen).
struct MetadataTexts {
    std::string xmp, iptc;
};
MetadataTexts MakeTexts(const ImageMetadata* meta);
// The library copies every block it is given; a profile it finds unfit for
// the picture is dropped with a warning (benign errors are made warnings).
void WriteMetadataChunks(png_structp png, png_infop info, const ImageMetadata& meta,
                         const MetadataTexts& strings);

} // namespace pngcodec

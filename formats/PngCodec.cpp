// PNG through libpng: the stream callbacks and error handlers the reader
// (PngReader.cpp) and the writer (PngWriter.cpp) share.
#include "PngCodec.h"

#include "ImageStream.h"
#include "PngLibrary.h"

#include <cstring>

namespace pngcodec {

PngContext* ContextOf(png_structp png) {
    return static_cast<PngContext*>(png_get_io_ptr(png));
}

void ReadData(png_structp png, png_bytep data, size_t length) {
    if (ContextOf(png)->stream->Read(data, 1, length) != length) png_error(png, "Read Error");
}

void WriteData(png_structp png, png_bytep data, size_t length) {
    if (ContextOf(png)->stream->Write(data, 1, length) != length) png_error(png, "Write Error");
}

void FlushData(png_structp png) {
    if (!ContextOf(png)->stream->Flush()) png_error(png, "Flush Error");
}

[[noreturn]] void ReadError(png_structp png, png_const_charp message) {
    static_cast<PngContext*>(png_get_error_ptr(png))->image->SetLastError(message);
    png_longjmp(png, 1);
}

[[noreturn]] void WriteError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

void IgnoreWarning(png_structp, png_const_charp) {}

} // namespace pngcodec

bool PngCodec::Sniff(std::span<const uint8_t> head) {
    // The library checks the whole eight-byte signature.
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return head.size() >= 8 && std::memcmp(head.data(), kSignature, 8) == 0;
}

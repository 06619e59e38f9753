#include "JpegLibrary.h"

#include "CRaster.h"
#include "ImageStream.h"

#include <csetjmp>

#include <jerror.h>

namespace {

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    err->image->SetLastError(text);
    std::longjmp(err->jump, 1);
}

// Warnings (corrupt data, premature end) are recovered from and never printed.
void OutputMessage(j_common_ptr) {}

void InitSource(j_decompress_ptr cinfo) {
    reinterpret_cast<StreamSource*>(cinfo->src)->startOfFile = true;
    reinterpret_cast<StreamSource*>(cinfo->src)->ended = false;
}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<StreamSource*>(cinfo->src);
    size_t n = src->stream->Read(src->buffer, 1, kBufferSize);
    if (n == 0) {
        if (src->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        // A short file: end it with an end-of-image marker and let the
        // library recover what it has.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->ended = true;
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    }
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = n;
    src->startOfFile = false;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    jpeg_source_mgr* src = cinfo->src;
    size_t n = size_t(count);
    while (n > src->bytes_in_buffer) {
        n -= src->bytes_in_buffer;
        FillInputBuffer(cinfo);
    }
    src->next_input_byte += n;
    src->bytes_in_buffer -= n;
}

void TermSource(j_decompress_ptr) {}

void InitDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<StreamDestination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<StreamDestination*>(cinfo->dest);
    if (dest->stream->Write(dest->buffer, 1, kBufferSize) != kBufferSize)
        ERREXIT(cinfo, JERR_FILE_WRITE);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kBufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<StreamDestination*>(cinfo->dest);
    const size_t n = kBufferSize - dest->pub.free_in_buffer;
    if (n > 0 && dest->stream->Write(dest->buffer, 1, n) != n) ERREXIT(cinfo, JERR_FILE_WRITE);
    if (!dest->stream->Flush() || dest->stream->Error() != 0) ERREXIT(cinfo, JERR_FILE_WRITE);
}

} // namespace

void AttachErrorManager(j_common_ptr cinfo, JpegErrorManager* err, CRaster* image) {
    cinfo->err = jpeg_std_error(&err->pub);
    err->pub.error_exit = ErrorExit;
    err->pub.output_message = OutputMessage;
    err->image = image;
}

void CheckScanCount(j_common_ptr cinfo) {
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > kMaxScans) {
        auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
        err->image->SetLastError("JPEG file has too many scans");
        std::longjmp(err->jump, 1);
    }
}

void AttachSource(j_decompress_ptr cinfo, StreamSource* src, ImageStream* stream) {
    src->pub.init_source = InitSource;
    src->pub.fill_input_buffer = FillInputBuffer;
    src->pub.skip_input_data = SkipInputData;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = TermSource;
    src->pub.next_input_byte = nullptr;
    src->pub.bytes_in_buffer = 0;
    src->stream = stream;
    src->startOfFile = true;
    cinfo->src = &src->pub;
}

void AttachDestination(j_compress_ptr cinfo, StreamDestination* dest, ImageStream* stream) {
    dest->pub.init_destination = InitDestination;
    dest->pub.empty_output_buffer = EmptyOutputBuffer;
    dest->pub.term_destination = TermDestination;
    dest->stream = stream;
    cinfo->dest = &dest->pub;
}

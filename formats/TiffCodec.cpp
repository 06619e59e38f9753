// TIFF through libtiff: the stream it reads and writes, where its messages
// go, and the failure texts. Reading is in TiffReader.cpp and TiffPixels.cpp,
// writing in TiffWriter.cpp.
#include "TiffCodec.h"

#include "ImageStream.h"
#include "TiffPage.h"

#include <tiffio.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// Warnings concern files that still decode; they are dropped.
int DropWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// Messages raised with no handle have no codec to go to; they stay off stderr.
void InstallGlobalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
}

ImageStream* StreamOf(thandle_t h) {
    return static_cast<ImageStream*>(h);
}

tmsize_t ReadProc(thandle_t h, void* buffer, tmsize_t size) {
    if (size <= 0) return 0;
    return tmsize_t(StreamOf(h)->Read(buffer, 1, size_t(size)));
}

tmsize_t WriteProc(thandle_t h, void* buffer, tmsize_t size) {
    if (size <= 0) return 0;
    return tmsize_t(StreamOf(h)->Write(buffer, 1, size_t(size)));
}

// libtiff passes relative seeks as unsigned wrapped values; a position
// before the start is a failed seek.
toff_t SeekProc(thandle_t h, toff_t offset, int origin) {
    if (offset == toff_t(-1)) return toff_t(-1);
    const int64_t signedOffset = int64_t(offset);
    if (origin == SEEK_SET && signedOffset < 0) return toff_t(-1);
    if (!StreamOf(h)->Seek(signedOffset, origin)) return toff_t(-1);
    if (origin == SEEK_SET) return offset;
    const int64_t at = StreamOf(h)->Tell();
    return at < 0 ? toff_t(-1) : toff_t(at);
}

int CloseProc(thandle_t) {
    return 0;
}

toff_t SizeProc(thandle_t h) {
    const int64_t size = StreamOf(h)->Size();
    return size < 0 ? 0 : toff_t(size);
}

int MapProc(thandle_t, void**, toff_t*) {
    return 0;
}
void UnmapProc(thandle_t, void*, toff_t) {}

// Larger single allocations inside libtiff come only from damaged files.
constexpr tmsize_t kMaxLibraryAllocation = tmsize_t(1) << 30;

} // namespace

uint64_t TiffStreamSize(TIFF* tif) {
    return SizeProc(TIFFClientdata(tif));
}

CRasterTIF::~CRasterTIF() {
    if (tif_) TIFFClose(tif_);
    tif_ = nullptr;
}

int CRasterTIF::RecordLibraryError(TIFF*, void* codec, const char* module, const char* fmt,
                                   va_list ap) {
    char* message = static_cast<CRasterTIF*>(codec)->libraryMessage_;
    char text[200];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (module && *module)
        std::snprintf(message, sizeof libraryMessage_, "%s: %s", module, text);
    else
        std::snprintf(message, sizeof libraryMessage_, "%s", text);
    return 1;
}

bool CRasterTIF::Fail(const char* text, const char* detail) {
    if (!detail) detail = libraryMessage_;
    if (!*detail) return SetLastError(text), false;
    // SetLastError cuts the text at 255 characters.
    SetLastError((std::string(text) + " (" + detail + ")").c_str());
    return false;
}

TIFF* CRasterTIF::OpenStream(ImageStream* stream, const char* mode) {
    InstallGlobalHandlers();
    libraryMessage_[0] = '\0';
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, RecordLibraryError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, DropWarning, this);
    TIFF* tif = TIFFClientOpenExt("TIFF IMAGE", mode, stream, ReadProc, WriteProc, SeekProc,
                                  CloseProc, SizeProc, MapProc, UnmapProc, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

bool CRasterTIF::Sniff(std::span<const uint8_t> head) {
    // Byte order mark, then 42 (classic) or 43 (BigTIFF) in that order.
    if (head.size() < 8) return false;
    const uint8_t* p = head.data();
    if (p[0] == 'I' && p[1] == 'I') return p[3] == 0 && (p[2] == 42 || p[2] == 43);
    if (p[0] == 'M' && p[1] == 'M') return p[2] == 0 && (p[3] == 42 || p[3] == 43);
    return false;
}

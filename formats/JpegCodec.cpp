#include "JpegCodec.h"

#include "ByteOrder.h"
#include "Colour.h"
#include "Device.h"
#include "ImageStream.h"
#include "InputLimits.h"
#include "JpegErrors.h"
#include "JpegHuffman.h"
#include "JpegRawSample.h"
#include "Metadata.h"
#include "Resize.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/mman.h>

#include <jerror.h>
#include <jpeglib.h>

namespace {

// The library decodes an MCU on its fast path only while the buffer holds
// 512 bytes per block of it (3 KB for a 4:2:0 photo): a small buffer sends
// most MCUs down the slow one.
constexpr size_t kBufferSize = 65536;
// Rows handed to the library per call: enough for any MCU row height.
constexpr JDIMENSION kRowBatch = 16;
// A progressive file can hold endless tiny scans, each costing a pass over
// the whole coefficient buffer; real files have a few dozen at most.
constexpr int kMaxScans = 500;

// ---- error manager ------------------------------------------------------------

using ErrorManager = JpegErrorManager;

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    err->image->SetLastError(text);
    std::longjmp(err->jump, 1);
}

// Warnings (corrupt data, premature end) are recovered from and never printed.
void OutputMessage(j_common_ptr) {}

void AttachErrorManager(j_common_ptr cinfo, ErrorManager* err, CRaster* image) {
    cinfo->err = jpeg_std_error(&err->pub);
    err->pub.error_exit = ErrorExit;
    err->pub.output_message = OutputMessage;
    err->image = image;
}

struct ScanLimit {
    jpeg_progress_mgr pub;
};

void CheckScanCount(j_common_ptr cinfo) {
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > kMaxScans) {
        auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
        err->image->SetLastError("JPEG file has too many scans");
        std::longjmp(err->jump, 1);
    }
}

// ---- source manager -------------------------------------------------------------

struct StreamSource {
    jpeg_source_mgr pub;
    ImageStream* stream;
    bool startOfFile;
    bool ended; // the stream ran out before the end-of-image marker
    JOCTET buffer[kBufferSize];
};

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

// ---- destination manager -------------------------------------------------------

struct StreamDestination {
    jpeg_destination_mgr pub;
    ImageStream* stream;
    JOCTET buffer[kBufferSize];
};

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

void AttachDestination(j_compress_ptr cinfo, StreamDestination* dest, ImageStream* stream) {
    dest->pub.init_destination = InitDestination;
    dest->pub.empty_output_buffer = EmptyOutputBuffer;
    dest->pub.term_destination = TermDestination;
    dest->stream = stream;
    cinfo->dest = &dest->pub;
}

// ---- pixels ---------------------------------------------------------------------

// CMYK JPEGs are stored inverted (255 = no ink), as Adobe writes them, also
// those without Adobe's marker: every reader takes them so.
void CmykToBgr(const JSAMPLE* src, uint8_t* dst, JDIMENSION width) {
    for (JDIMENSION x = 0; x < width; ++x, src += 4, dst += 3) {
        const unsigned c = src[0], m = src[1], y = src[2], k = src[3];
        dst[0] = uint8_t(y * k / 255);
        dst[1] = uint8_t(m * k / 255);
        dst[2] = uint8_t(c * k / 255);
    }
}

// Libjpeg's own buffers (coefficients of progressive files) stay in
// proportion to the picture: no more than twice its samples at full size.
long LibraryMemoryLimit(j_decompress_ptr cinfo) {
    const uint64_t samples = (uint64_t(cinfo->image_width) + 64) *
                             (uint64_t(cinfo->image_height) + 64) * uint64_t(cinfo->num_components);
    const uint64_t limit = std::min<uint64_t>(2 * samples + (64u << 20), uint64_t(4) << 30);
    return long(limit);
}

// A fresh multi-megabyte block is faulted in page by page as the rows are
// written: some 9000 faults for 12 megapixels. Huge pages make that a few dozen.
void PreferHugePages(uint8_t* start, uint64_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t first = (uintptr_t(start) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (uintptr_t(start) + bytes) & ~(kHuge - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)start, (void)bytes;
#endif
}

// ---- Exif -----------------------------------------------------------------------

constexpr uint8_t kBytesPerFormat[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

float UnitFactor(double unit, float current) {
    switch (int(unit)) {
    case 1:
    case 2:
        return 1.0f;
    case 3:
        return 0.39370078f;
    case 4:
        return 0.039370079f;
    case 5:
        return 0.000039370079f;
    default:
        return current;
    }
}

// Dots per inch from an Exif resolution, 0 when it gives none. An absent unit
// means inches, as in TIFF.
int32_t ExifDpi(float resolution, float unitFactor) {
    const float factor = unitFactor != 0 ? unitFactor : 1.0f;
    const float dpi = resolution / factor;
    if (!(dpi >= 1.0f && dpi < 1.0e6f)) return 0;
    return int32_t(dpi);
}

} // namespace

bool ExifReader::Fail(const char* text) {
    std::snprintf(error_, sizeof error_, "%s", text);
    return false;
}

uint16_t ExifReader::Get16(const uint8_t* p) const {
    return bigEndian_ ? GetBE16(p) : GetLE16(p);
}

uint32_t ExifReader::Get32(const uint8_t* p) const {
    return bigEndian_ ? GetBE32(p) : GetLE32(p);
}

double ExifReader::Number(const uint8_t* v, uint16_t format) const {
    switch (format) {
    case 1:
        return v[0];
    case 3:
        return Get16(v);
    case 4:
        return Get32(v);
    case 5:
    case 10: {
        const int32_t num = int32_t(Get32(v)), den = int32_t(Get32(v + 4));
        return den == 0 ? 0.0 : double(num) / double(den);
    }
    case 6:
        return int8_t(v[0]);
    case 8:
        return int16_t(Get16(v));
    case 9:
        return int32_t(Get32(v));
    case 11:
        return std::bit_cast<float>(Get32(v));
    case 12: {
        const uint64_t hi = Get32(bigEndian_ ? v : v + 4), lo = Get32(bigEndian_ ? v + 4 : v);
        return std::bit_cast<double>((hi << 32) | lo);
    }
    default:
        return 0.0; // text and undefined
    }
}

bool ExifReader::ReadEntry(const uint8_t* entry) {
    const uint16_t tag = Get16(entry), format = Get16(entry + 2);
    const uint32_t count = Get32(entry + 4);
    if (format > 12) return Fail("Illegal format code in EXIF dir");
    const uint64_t bytes = uint64_t(count) * kBytesPerFormat[format];
    const uint8_t* value = entry + 8;
    if (bytes > 4) {
        const uint64_t offset = Get32(entry + 8);
        if (offset + bytes > size_) return Fail("Illegal pointer offset value in EXIF.");
        value = tiff_ + offset;
    }
    // A number needs its whole value; shorter entries read as absent.
    if (bytes < kBytesPerFormat[format] || format == 0) return true;
    switch (tag) {
    case 0x011A:
        info_->xResolution = float(Number(value, format));
        break;
    case 0x011B:
        info_->yResolution = float(Number(value, format));
        break;
    case 0x0128:
        info_->unitFactor = UnitFactor(Number(value, format), info_->unitFactor);
        break;
    case 0x0112:
        info_->orientation = uint16_t(Number(value, format));
        break;
    default:
        break;
    }
    return true;
}

bool ExifReader::ReadDirectory(uint32_t offset) {
    if (uint64_t(offset) + 2 > size_) return Fail("Illegally sized directory");
    const uint32_t entries = Get16(tiff_ + offset);
    if (uint64_t(offset) + 2 + 12ull * entries > size_) return Fail("Illegally sized directory");
    for (uint32_t i = 0; i < entries; ++i)
        if (!ReadEntry(tiff_ + offset + 2 + 12 * i)) return false;
    return true;
}

bool ExifReader::Process(const uint8_t* data, size_t length) {
    if (length < 2 + 6 + 8 || std::memcmp(data, "Exif\0\0", 6) != 0)
        return Fail("Incorrect Exif header");
    return ProcessTiff(data + 6, length - 8);
}

bool ExifReader::ProcessTiff(const uint8_t* data, size_t size) {
    if (size < 8) return Fail("Incorrect Exif header");
    tiff_ = data;
    size_ = size;
    if (tiff_[0] == 'I' && tiff_[1] == 'I')
        bigEndian_ = false;
    else if (tiff_[0] == 'M' && tiff_[1] == 'M')
        bigEndian_ = true;
    else
        return Fail("Invalid Exif alignment marker.");
    if (Get16(tiff_ + 2) != 42) return Fail("Invalid Exif start (1)");
    // The resolution of the picture is in the first directory; the
    // directories after it describe the thumbnail.
    const uint32_t first = Get32(tiff_ + 4);
    if (first < 8) return Fail("Illegal subdirectory link");
    if (!ReadDirectory(first)) return false;
    info_->found = true;
    return true;
}

uint8_t ExifOrientation(const std::vector<uint8_t>& exif) {
    ExifInfo info;
    ExifReader reader(&info);
    if (!reader.ProcessTiff(exif.data(), exif.size())) return 1;
    return info.orientation >= 1 && info.orientation <= 8 ? uint8_t(info.orientation) : 1;
}

// ---- codec ------------------------------------------------------------------------

void JpegCodec::ApplyResolution(uint8_t unit, uint16_t xDensity, uint16_t yDensity) {
    int32_t x = 0, y = 0;
    if (exif_.found) {
        x = ExifDpi(exif_.xResolution, exif_.unitFactor);
        y = ExifDpi(exif_.yResolution, exif_.unitFactor);
    }
    // Unit 0 gives only the pixel aspect ratio, not a resolution.
    if (unit == 2) {
        if (!x) x = int32_t(std::floor(xDensity * 2.54 + 0.5));
        if (!y) y = int32_t(std::floor(yDensity * 2.54 + 0.5));
    } else if (unit != 0) {
        if (!x) x = xDensity;
        if (!y) y = yDensity;
    }
    if (x) SetResolutionX(x);
    if (y) SetResolutionY(y);
}

namespace {

void ReadExif(j_decompress_ptr cinfo, ExifInfo* exif) {
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < 4 || std::memcmp(m->data, "Exif", 4))
            continue;
        ExifInfo attempt;
        ExifReader reader(&attempt);
        // The reader's length counts the segment's two length bytes.
        if (reader.Process(m->data, size_t(m->data_length) + 2)) {
            *exif = attempt;
            return;
        }
    }
}

constexpr std::string_view kExifName("Exif\0\0", 6);
constexpr std::string_view kXmpName("http://ns.adobe.com/xap/1.0/\0", 29);
constexpr std::string_view kXmpExtensionName("http://ns.adobe.com/xmp/extension/\0", 35);
constexpr std::string_view kPhotoshopName("Photoshop 3.0\0", 14);
constexpr size_t kGuidLength = 32;
// Extended XMP beyond this is not worth carrying.
constexpr uint32_t kMaxXmpExtension = 16u << 20;
constexpr size_t kMaxMarkerData = 65533;

bool StartsWith(jpeg_saved_marker_ptr m, std::string_view name) {
    return m->data_length >= name.size() && std::memcmp(m->data, name.data(), name.size()) == 0;
}

// Extended XMP arrives in pieces, each naming the whole length and its offset.
// Only a complete extension of one GUID is kept.
void ReadXmpExtension(j_decompress_ptr cinfo, ImageMetadata& meta) {
    const size_t header = kXmpExtensionName.size() + kGuidLength + 8;
    uint64_t received = 0;
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || !StartsWith(m, kXmpExtensionName) ||
            m->data_length <= header)
            continue;
        const uint8_t* p = m->data + kXmpExtensionName.size();
        const std::string guid(reinterpret_cast<const char*>(p), kGuidLength);
        const uint32_t total = GetBE32(p + kGuidLength), offset = GetBE32(p + kGuidLength + 4);
        const size_t length = m->data_length - header;
        if (meta.xmpExtensionGuid.empty()) {
            if (total == 0 || total > kMaxXmpExtension) return;
            meta.xmpExtensionGuid = guid;
            meta.xmpExtension.assign(total, 0);
        }
        if (guid != meta.xmpExtensionGuid || total != meta.xmpExtension.size() ||
            uint64_t(offset) + length > total)
            continue;
        std::memcpy(meta.xmpExtension.data() + offset, m->data + header, length);
        received += length;
    }
    if (received != meta.xmpExtension.size()) {
        meta.xmpExtension.clear();
        meta.xmpExtensionGuid.clear();
    }
}

// The raw blocks of the APP1, APP2 and APP13 segments the library kept.
ImageMetadataPtr ReadMetadata(j_decompress_ptr cinfo) {
    auto meta = std::make_shared<ImageMetadata>();
    std::vector<uint8_t> resources;
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next) {
        const JOCTET* end = m->data + m->data_length;
        const JOCTET* data = m->data;
        if (m->marker == JPEG_APP0 + 1 && meta->exif.empty() && StartsWith(m, kExifName))
            meta->exif.assign(data + kExifName.size(), end);
        else if (m->marker == JPEG_APP0 + 1 && meta->xmp.empty() && StartsWith(m, kXmpName))
            meta->xmp.assign(data + kXmpName.size(), end);
        else if (m->marker == JPEG_APP0 + 13 && StartsWith(m, kPhotoshopName))
            resources.insert(resources.end(), data + kPhotoshopName.size(), end);
    }
    ReadXmpExtension(cinfo, *meta);
    meta->iptc = IptcFromResources(resources.data(), resources.size());
    JOCTET* icc = nullptr;
    unsigned int iccLength = 0;
    if (jpeg_read_icc_profile(cinfo, &icc, &iccLength) && icc) meta->icc.assign(icc, icc + iccLength);
    std::free(icc);
    if (meta->Empty()) return nullptr;
    return meta;
}

void WriteSegment(j_compress_ptr cinfo, int marker, std::string_view name, const uint8_t* data,
                  size_t size) {
    if (size == 0 || name.size() + size > kMaxMarkerData) return;
    jpeg_write_m_header(cinfo, marker, unsigned(name.size() + size));
    for (char c : name)
        jpeg_write_m_byte(cinfo, uint8_t(c));
    for (size_t i = 0; i < size; ++i)
        jpeg_write_m_byte(cinfo, data[i]);
}

void WriteXmpExtension(j_compress_ptr cinfo, const ImageMetadata& meta) {
    const std::vector<uint8_t>& ext = meta.xmpExtension;
    if (ext.empty() || meta.xmpExtensionGuid.size() != kGuidLength || meta.xmp.empty()) return;
    constexpr size_t kPiece = 65400;
    for (size_t offset = 0; offset < ext.size(); offset += kPiece) {
        const size_t length = std::min(kPiece, ext.size() - offset);
        uint8_t header[kGuidLength + 8];
        std::memcpy(header, meta.xmpExtensionGuid.data(), kGuidLength);
        PutBE32(header + kGuidLength, uint32_t(ext.size()));
        PutBE32(header + kGuidLength + 4, uint32_t(offset));
        const size_t size = kXmpExtensionName.size() + sizeof header + length;
        jpeg_write_m_header(cinfo, JPEG_APP0 + 1, unsigned(size));
        for (char c : kXmpExtensionName)
            jpeg_write_m_byte(cinfo, uint8_t(c));
        for (uint8_t b : header)
            jpeg_write_m_byte(cinfo, b);
        for (size_t i = 0; i < length; ++i)
            jpeg_write_m_byte(cinfo, ext[offset + i]);
    }
}

// Written right after the library's own header markers, while encoding.
// A block too large for its segment is left out.
void WriteMetadata(j_compress_ptr cinfo, const ImageMetadata& meta,
                   const std::vector<uint8_t>& resources) {
    WriteSegment(cinfo, JPEG_APP0 + 1, kExifName, meta.exif.data(), meta.exif.size());
    WriteSegment(cinfo, JPEG_APP0 + 1, kXmpName, meta.xmp.data(), meta.xmp.size());
    if (meta.xmp.size() + kXmpName.size() <= kMaxMarkerData) WriteXmpExtension(cinfo, meta);
    if (!meta.icc.empty() && meta.icc.size() <= UINT32_MAX / 2)
        jpeg_write_icc_profile(cinfo, meta.icc.data(), unsigned(meta.icc.size()));
    WriteSegment(cinfo, JPEG_APP0 + 13, kPhotoshopName, resources.data(), resources.size());
}

// Output colour space: grey stays grey, YCbCr and RGB come out as the image's
// BGR, four-component files as CMYK converted per row.
bool ChooseOutput(j_decompress_ptr cinfo) {
    switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
        cinfo->out_color_space = JCS_GRAYSCALE;
        return true;
    case JCS_YCbCr:
    case JCS_RGB:
        cinfo->out_color_space = JCS_EXT_BGR;
        return true;
    case JCS_CMYK:
    case JCS_YCCK:
        cinfo->out_color_space = JCS_CMYK;
        return true;
    default:
        return false;
    }
}

} // namespace

// Kept in members: a library error may jump out of Decode past any local.
// CMYK goes through its profile when it has one; the pixels are then sRGB
// and the profile no longer theirs.
void JpegCodec::TakeMetadata(jpeg_decompress_struct* cinfo, bool cmyk) {
    ImageMetadataPtr metadata = ReadMetadata(cinfo);
    cmykProfile_.reset();
    if (cmyk && metadata) {
        auto converter = std::make_shared<CmykConverter>(metadata->icc, true);
        if (converter->Valid()) {
            cmykProfile_ = converter;
            auto copy = std::make_shared<ImageMetadata>(*metadata);
            copy->icc.clear();
            metadata = copy->Empty() ? nullptr : std::move(copy);
        }
    }
    SetMetadata(std::move(metadata));
}

bool JpegCodec::Sniff(std::span<const uint8_t> head) {
    // The library insists on a start-of-image marker in the first two bytes.
    return head.size() >= 2 && head[0] == 0xFF && head[1] == 0xD8;
}

bool JpegCodec::ReadFrameSize(ImageStream* stream, uint32_t* width, uint32_t* height) {
    if (!stream || stream->GetC() != 0xFF || stream->GetC() != 0xD8) return false;
    for (int guard = 0; guard < 1000; ++guard) {
        int c = stream->GetC();
        while (c == 0xFF) c = stream->GetC();
        if (c < 0 || c == 0xD9 || c == 0xDA) return false;
        if (c == 0x01 || (c >= 0xD0 && c <= 0xD7)) continue; // markers without a length
        const int hi = stream->GetC(), lo = stream->GetC();
        if (hi < 0 || lo < 0) return false;
        const int length = (hi << 8) | lo;
        if (length < 2) return false;
        const bool frame = c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC;
        if (frame) {
            uint8_t b[5];
            if (stream->Read(b, 1, 5) != 5) return false;
            *height = uint32_t((b[1] << 8) | b[2]);
            *width = uint32_t((b[3] << 8) | b[4]);
            return *width > 0 && *height > 0;
        }
        if (!stream->Seek(length - 2, SEEK_CUR)) return false;
    }
    return false;
}

// Reads the markers and picks the output: colour space, scale and memory limit.
void JpegCodec::ReadHeader(jpeg_decompress_struct* cinfo, uint8_t scale) {
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_save_markers(cinfo, JPEG_APP0 + 13, 0xFFFF);
    jpeg_read_header(cinfo, TRUE);
    ReadExif(cinfo, &exif_);
    if (!ChooseOutput(cinfo)) ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
    if (scale > 1) {
        cinfo->scale_num = 1;
        cinfo->scale_denom = scale;
    }
    jpeg_calc_output_dimensions(cinfo);
    cinfo->mem->max_memory_to_use = LibraryMemoryLimit(cinfo);
}

// Into the rows made for the output; a cut sequential file stops at its end.
void JpegCodec::ReadRows(jpeg_decompress_struct* cinfo, bool grey, bool cmyk) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const JDIMENSION width = cinfo->output_width, height = cinfo->output_height;
    const uint32_t rowBytes = width * (grey ? 1 : 3);
    const uint32_t padding = GetStride() - rowBytes;
    JSAMPARRAY cmykRow = nullptr;
    if (cmyk)
        cmykRow = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                              width * 4, 1);
    // Top row of the picture first: scanline s lands in row height - 1 - s.
    while (cinfo->output_scanline < height) {
        const JDIMENSION first = cinfo->output_scanline;
        if (cmyk) {
            if (jpeg_read_scanlines(cinfo, cmykRow, 1) != 1) break;
            if (cmykProfile_)
                cmykProfile_->Row(cmykRow[0], RowPointer(height - 1 - first), width);
            else
                CmykToBgr(cmykRow[0], RowPointer(height - 1 - first), width);
        } else {
            JSAMPROW rows[kRowBatch];
            const JDIMENSION n = std::min(kRowBatch, height - first);
            for (JDIMENSION i = 0; i < n; ++i)
                rows[i] = RowPointer(height - 1 - (first + i));
            if (jpeg_read_scanlines(cinfo, rows, n) == 0) break;
        }
        // Past the end of a cut sequential file the library only invents rows:
        // stop, so that a tiny file declaring a huge picture costs nothing more.
        if (source->ended && !cinfo->progressive_mode) {
            for (JDIMENSION s = first; s < cinfo->output_scanline; ++s)
                std::memset(RowPointer(height - 1 - s) + rowBytes, 0, padding);
            break;
        }
        for (JDIMENSION s = first; s < cinfo->output_scanline; ++s)
            std::memset(RowPointer(height - 1 - s) + rowBytes, 0, padding);
    }
    // The block may hold an earlier picture: rows a short file never reached are black.
    for (JDIMENSION s = cinfo->output_scanline; s < height; ++s)
        std::memset(RowPointer(height - 1 - s), 0, GetStride());
}

// The same from the raw planes: kRanOut when a sequential file ran out,
// where only a decode by rows stops where a full decode stops.
JpegCodec::RawResult JpegCodec::SampleRawPlanes(jpeg_decompress_struct* cinfo, DecodeWindow window,
                                                uint32_t fullW, uint32_t fullH) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const uint32_t w = GetWidth(), h = GetHeight();
    std::vector<uint32_t> columns(w), rows(h);
    for (uint32_t x = 0; x < w; ++x)
        columns[x] = uint32_t(StretchSource(window.x + x, fullW, cinfo->output_width));
    for (uint32_t y = 0; y < h; ++y)
        rows[y] = uint32_t(StretchSource(window.y + y, fullH, cinfo->output_height));
    const size_t padding = GetStride() - 3 * size_t(w);
    auto outRow = [&](uint32_t top) {
        uint8_t* row = RowPointer(h - 1 - top);
        std::memset(row + 3 * size_t(w), 0, padding);
        return row;
    };
    const bool sequential = !cinfo->progressive_mode;
    const std::function<bool()> stop = [&] { return sequential && source->ended; };
    const std::function<uint8_t*(uint32_t)> out = outRow;
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return RawResult::kFailed;
    uint32_t done = 0;
    if (!SampleRawRows(cinfo, columns, rows, out, stop, &done)) return RawResult::kFailed;
    if (sequential && source->ended) return RawResult::kRanOut;
    for (uint32_t top = done; top < h; ++top)
        std::memset(RowPointer(h - 1 - top), 0, GetStride());
    return RawResult::kDone;
}

// The nearest resize to this raster's size, sampled from the rows as they are
// decoded: the pixels of a full decode resized, without holding the picture.
bool JpegCodec::SampleRows(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW,
                           uint32_t fullH) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const JDIMENSION srcW = cinfo->output_width, srcH = cinfo->output_height;
    const uint32_t w = GetWidth(), h = GetHeight();
    std::vector<uint32_t> column(w);
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return false;
    for (uint32_t x = 0; x < w; ++x)
        column[x] = 3 * uint32_t(StretchSource(window.x + x, fullW, srcW));
    // One spare byte per row for the four-byte loads below.
    const JSAMPARRAY batch = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                         JPOOL_IMAGE, srcW * 3 + 1, kRowBatch);
    // Rows above the window are only entropy-decoded.
    if (const JDIMENSION above = JDIMENSION(StretchSource(window.y, fullH, srcH)); above > 0)
        jpeg_skip_scanlines(cinfo, above);
    uint32_t top = 0; // the next output row, counted from the top
    while (cinfo->output_scanline < srcH && top < h) {
        const JDIMENSION first = cinfo->output_scanline;
        const JDIMENSION got = jpeg_read_scanlines(cinfo, batch, std::min(kRowBatch, srcH - first));
        if (got == 0) break;
        for (; top < h; ++top) {
            const uint32_t s = uint32_t(StretchSource(window.y + top, fullH, srcH));
            if (s >= first + got) break;
            const JSAMPLE* row = batch[s - first];
            uint8_t* out = RowPointer(h - 1 - top);
            // Each four-byte store's last byte is overwritten by the next pixel.
            for (uint32_t x = 0; x + 1 < w; ++x)
                std::memcpy(out + 3 * x, row + column[x], 4);
            std::memcpy(out + 3 * (w - 1), row + column[w - 1], 3);
            std::memset(out + 3 * w, 0, GetStride() - 3 * w);
        }
        if (source->ended && !cinfo->progressive_mode) break;
    }
    for (; top < h; ++top)
        std::memset(RowPointer(h - 1 - top), 0, GetStride());
    return true;
}

// The smooth resize to this raster's size, fed the rows as they are decoded.
bool JpegCodec::FilterRows(jpeg_decompress_struct* cinfo) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    SmoothRowSink sink(cinfo->output_width, cinfo->output_height, *this);
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return false;
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW rows[SmoothRowSink::kBatch];
        const JDIMENSION n = std::min<JDIMENSION>(SmoothRowSink::kBatch,
                                                  cinfo->output_height - cinfo->output_scanline);
        for (JDIMENSION i = 0; i < n; ++i)
            rows[i] = sink.NextRow(i);
        const JDIMENSION got = jpeg_read_scanlines(cinfo, rows, n);
        if (got == 0) break;
        sink.Commit(got);
        if (source->ended && !cinfo->progressive_mode) break;
    }
    sink.Finish();
    return true;
}

namespace {

// One axis of a smooth resize from -> to of which only outputs start ..
// start + count - 1 are wanted: the source run [first, first + length) that
// resamples to outputs [out, out + outLength) with exactly the whole
// resize's scale and pixel centres. Its ends fall where a source pixel meets
// an output pixel (multiples of from / gcd), so some runs cannot be shorter
// than the whole axis.
struct SmoothSpan {
    uint32_t first, length, out, outLength;
};

SmoothSpan SpanOfWindow(uint32_t from, uint32_t to, uint32_t start, uint32_t count) {
    const uint64_t g = std::gcd(from, to), p = from / g, q = to / g;
    const double scale = double(from) / to;
    // Beyond the Lanczos-3 support, with room to spare.
    const double reach = 4 * std::max(scale, 1.0) + 2;
    const double lo = (start + 0.5) * scale - reach, hi = (start + count - 0.5) * scale + reach;
    const uint64_t a = lo <= 0 ? 0 : uint64_t(lo) / p * p;
    const uint64_t b = hi >= from ? from : std::min<uint64_t>(from, (uint64_t(hi) / p + 1) * p);
    const uint64_t out = a / p * q;
    const uint64_t outEnd = b == from ? to : b / p * q;
    return {uint32_t(a), uint32_t(b - a), uint32_t(out), uint32_t(outEnd - out)};
}

// Copies rows of a smaller picture into the window-sized one (both bottom-up).
void CopyPart(const CRaster& from, uint32_t x, uint32_t y, CRaster& to) {
    const uint32_t w = to.GetWidth(), h = to.GetHeight(), fromH = from.GetHeight();
    for (uint32_t top = 0; top < h; ++top) {
        uint8_t* row = to.RowPointer(h - 1 - top);
        std::memcpy(row, from.RowPointer(fromH - 1 - (y + top)) + 3 * size_t(x), 3 * size_t(w));
        std::memset(row + 3 * size_t(w), 0, to.GetStride() - 3 * size_t(w));
    }
}

} // namespace

// The window of the smooth resize to fullW x fullH: only the source run each
// axis needs is decoded (columns by the library's crop, rows above skipped,
// rows below never read) and resampled, then the window is cut from it.
bool JpegCodec::FilterWindow(jpeg_decompress_struct* cinfo, DecodeWindow window, uint32_t fullW,
                             uint32_t fullH) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const JDIMENSION srcW = cinfo->output_width, srcH = cinfo->output_height;
    SmoothSpan across = SpanOfWindow(srcW, fullW, window.x, window.width);
    SmoothSpan down = SpanOfWindow(srcH, fullH, window.y, window.height);
    // A run too short to stream (one output row) takes the whole axes.
    if (!SmoothRowSink::CanStream(across.length, down.length, across.outLength, down.outLength))
        across = {0, srcW, 0, fullW}, down = {0, srcH, 0, fullH};
    CRaster part(kTypeJpeg);
    if (!part.Create(across.outLength, down.outLength, 24, kTypeJpeg)) return false;
    SmoothRowSink sink(across.length, down.length, part);
    LocalJump local(cinfo);
    if (setjmp(local.Target())) return false;
    // A pixel of margin keeps the library's upsampling at the run's ends as
    // in the whole picture; the crop widens to whole blocks.
    JDIMENSION cropX = across.first > 0 ? across.first - 1 : 0;
    JDIMENSION cropW = std::min(across.first + across.length + 1, srcW) - cropX;
    if (cropW < srcW) jpeg_crop_scanline(cinfo, &cropX, &cropW);
    const size_t skip = 3 * size_t(across.first - cropX), bytes = 3 * size_t(across.length);
    const JSAMPARRAY batch = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                         JPOOL_IMAGE, cropW * 3, SmoothRowSink::kBatch);
    if (down.first > 0) jpeg_skip_scanlines(cinfo, down.first);
    const JDIMENSION end = down.first + down.length;
    while (cinfo->output_scanline < end) {
        const JDIMENSION n = std::min<JDIMENSION>(SmoothRowSink::kBatch, end - cinfo->output_scanline);
        const JDIMENSION got = jpeg_read_scanlines(cinfo, batch, n);
        if (got == 0) break;
        for (JDIMENSION i = 0; i < got; ++i)
            std::memcpy(sink.NextRow(i), batch[i] + skip, bytes);
        sink.Commit(got);
        if (source->ended && !cinfo->progressive_mode) break;
    }
    sink.Finish();
    CopyPart(part, window.x - across.out, window.y - down.out, *this);
    return true;
}

// The window of the picture decoded at its scale, as the whole decode gives
// it: columns by the library's crop, rows above skipped, rows below unread.
bool JpegCodec::ReadWindowRows(jpeg_decompress_struct* cinfo, bool grey, bool cmyk,
                               DecodeWindow window) {
    const auto* source = reinterpret_cast<const StreamSource*>(cinfo->src);
    const uint32_t w = window.width, h = window.height, bpp = grey ? 1 : 3;
    JDIMENSION cropX = window.x > 0 ? window.x - 1 : 0;
    JDIMENSION cropW = std::min<JDIMENSION>(window.x + w + 1, cinfo->output_width) - cropX;
    if (cropW < cinfo->output_width) jpeg_crop_scanline(cinfo, &cropX, &cropW);
    const uint32_t channels = cmyk ? 4 : bpp;
    const JSAMPARRAY batch = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                         JPOOL_IMAGE, cropW * channels, kRowBatch);
    const size_t skip = size_t(window.x - cropX) * channels, padding = GetStride() - size_t(w) * bpp;
    if (window.y > 0) jpeg_skip_scanlines(cinfo, window.y);
    uint32_t top = 0;
    while (top < h) {
        const JDIMENSION got = jpeg_read_scanlines(cinfo, batch, std::min<JDIMENSION>(kRowBatch, h - top));
        if (got == 0) break;
        for (JDIMENSION i = 0; i < got; ++i, ++top) {
            uint8_t* out = RowPointer(h - 1 - top);
            const JSAMPLE* in = batch[i] + skip;
            if (cmyk && cmykProfile_) cmykProfile_->Row(in, out, w);
            else if (cmyk) CmykToBgr(in, out, w);
            else std::memcpy(out, in, size_t(w) * bpp);
            std::memset(out + size_t(w) * bpp, 0, padding);
        }
        if (source->ended && !cinfo->progressive_mode) break;
    }
    for (; top < h; ++top)
        std::memset(RowPointer(h - 1 - top), 0, GetStride());
    return true;
}

namespace {

// Each 8x8 block of a component costs at least one bit of Huffman-coded data
// (its DC code), so a grey picture fills at most 512 pixels per byte.
// Arithmetic-coded data has no such floor.
bool DataCanFill(const jpeg_decompress_struct& cinfo, int64_t bytes) {
    if (cinfo.arith_code) return true;
    const uint64_t pixels = uint64_t(cinfo.image_width) * cinfo.image_height;
    return !CannotFill(pixels, pixels / 512, bytes);
}

} // namespace

bool JpegCodec::Decode(ImageStream* stream) {
    DecodeRequest request;
    request.scale = std::max<uint8_t>(GetJpegScale(), 1);
    request.width = GetJpegSampleWidth(), request.height = GetJpegSampleHeight();
    request.smooth = GetJpegSampleSmooth();
    request.headerOnly = HeaderOnly();
    return Decode(stream, request, true);
}

bool JpegCodec::Decode(ImageStream* stream, const DecodeRequest& request) {
    SetHeaderOnly(request.headerOnly);
    return Decode(stream, request, true);
}

namespace {

// The request's window within a full x full picture; all of it when the
// window is empty or lies outside.
DecodeWindow WindowIn(DecodeWindow w, uint32_t fullW, uint32_t fullH) {
    if (w.Empty() || w.x >= fullW || w.y >= fullH) return {0, 0, fullW, fullH};
    return {w.x, w.y, std::min(w.width, fullW - w.x), std::min(w.height, fullH - w.y)};
}

bool Whole(DecodeWindow w, uint32_t fullW, uint32_t fullH) {
    return w.width == fullW && w.height == fullH;
}

} // namespace

bool JpegCodec::Decode(ImageStream* stream, const DecodeRequest& request, bool rawPlanes) {
    if (!stream) return Fail("null file handler");
    const int64_t start = stream->Tell();
    const int64_t fileBytes = StreamBytesLeft(stream);
    exif_ = ExifInfo{};
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;
    StreamSource source;
    ScanLimit scanLimit;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, this);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        Discard();
        return false;
    }
    jpeg_create_decompress(&cinfo);
    AttachSource(&cinfo, &source, stream);
    scanLimit.pub.progress_monitor = CheckScanCount;
    cinfo.progress = &scanLimit.pub;
    ReadHeader(&cinfo, request.scale);
    const bool cmyk = cinfo.out_color_space == JCS_CMYK;
    const bool grey = cinfo.out_color_space == JCS_GRAYSCALE;
    if (!DataCanFill(cinfo, fileBytes)) {
        jpeg_destroy_decompress(&cinfo);
        return Fail(kDataCannotFill);
    }
    // Grey and CMYK pictures resize through their own depths: decoded whole,
    // and a window of the resize is then no window of theirs.
    const uint32_t sampleW = request.width, sampleH = request.height;
    const bool smooth = request.smooth;
    const bool sample = !grey && !cmyk && sampleW > 0 && sampleH > 0 &&
                        (smooth ? SmoothRowSink::CanStream(cinfo.output_width,
                                                           cinfo.output_height, sampleW, sampleH)
                                : request.scale <= 1);
    const bool asked = sample || sampleW == 0 || sampleH == 0;
    const uint32_t fullW = sample ? sampleW : cinfo.output_width;
    const uint32_t fullH = sample ? sampleH : cinfo.output_height;
    const DecodeWindow window = asked ? WindowIn(request.window, fullW, fullH) : DecodeWindow{0, 0, fullW, fullH};
    const bool whole = Whole(window, fullW, fullH);
    // The filter writes no row padding.
    if (!Create(window.width, window.height, grey ? 8 : 24, kTypeJpeg,
                sample && smooth ? PixelFill::kZero : PixelFill::kCallerWrites)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    if (exif_.orientation >= 1 && exif_.orientation <= 8) SetOrientation(uint8_t(exif_.orientation));
    TakeMetadata(&cinfo, cmyk);
    ApplyResolution(cinfo.density_unit, cinfo.X_density, cinfo.Y_density);
    if (grey) FillGrayRamp();
    if (HeaderOnly()) {
        jpeg_destroy_decompress(&cinfo);
        return true;
    }
    PreferHugePages(Pixels(), PixelBytes());
    const bool raw = sample && !smooth && rawPlanes && start >= 0 && CanSampleRaw(cinfo);
    cinfo.raw_data_out = raw;
    jpeg_start_decompress(&cinfo);

    // The sampled paths hold objects with destructors while the library
    // reads, so they catch its errors themselves and say so here.
    bool read = true;
    if (sample && smooth) {
        read = whole ? FilterRows(&cinfo) : FilterWindow(&cinfo, window, fullW, fullH);
    } else if (raw) {
        const RawResult result = SampleRawPlanes(&cinfo, window, fullW, fullH);
        if (result == RawResult::kRanOut) {
            jpeg_destroy_decompress(&cinfo);
            if (!stream->Seek(start, SEEK_SET)) return Fail("JPEG file cannot be read again");
            return Decode(stream, request, false);
        }
        read = result == RawResult::kDone;
    } else if (sample) {
        read = SampleRows(&cinfo, window, fullW, fullH);
    } else if (!whole) {
        read = ReadWindowRows(&cinfo, grey, cmyk, window);
    } else {
        ReadRows(&cinfo, grey, cmyk);
    }
    if (!read) {
        jpeg_destroy_decompress(&cinfo);
        Discard();
        return false;
    }
    // Finishing a picture left short would only read on for nothing.
    const JDIMENSION rowsRead = cinfo.output_scanline, rows = cinfo.output_height;
    if (rowsRead < rows) jpeg_abort_decompress(&cinfo);
    else jpeg_finish_decompress(&cinfo);
    // A progressive file's rows all come back, however few of its scans did.
    if (source.ended) AddWarning(CutShortWarning(cinfo.progressive_mode ? rows : rowsRead, rows));
    jpeg_destroy_decompress(&cinfo);
    return true;
}

bool ReadJpegHeader(const std::string& path, JpegHeader& header) {
    FileImageStream stream;
    if (!stream.OpenInput(path.c_str())) return false;
    CRaster errors;
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;
    StreamSource source;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, &errors);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    AttachSource(&cinfo, &source, &stream);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    ExifInfo exif;
    ReadExif(&cinfo, &exif);
    header = JpegHeader{cinfo.image_width, cinfo.image_height, exif.orientation};
    jpeg_destroy_decompress(&cinfo);
    return true;
}

namespace {

// 16-bit JFIF density fields; larger values are kept at the largest.
UINT16 Density(int32_t dpi) {
    return UINT16(std::clamp<int32_t>(dpi, 1, 65535));
}

// 1- and 4-bit grey images (identity ramp): one sample per pixel, its index.
void ExpandIndices(const CRaster& image, uint32_t y, JSAMPLE* out) {
    for (uint32_t x = 0; x < image.GetWidth(); ++x)
        out[x] = image.ReadIndex(x, y);
}

// The encoder's choices beyond quality. Sampling factors are the luma
// component's; chroma stays at 1x1.
void ApplyEncodeOptions(jpeg_compress_struct* cinfo, const EncodeOptions& options) {
    cinfo->optimize_coding = options.jpegOptimize ? TRUE : FALSE;
    if (cinfo->num_components == 3) {
        const int h = options.jpegSubsampling == ChromaSubsampling::k444 ? 1 : 2;
        const int v = options.jpegSubsampling == ChromaSubsampling::k420 ? 2 : 1;
        cinfo->comp_info[0].h_samp_factor = h;
        cinfo->comp_info[0].v_samp_factor = v;
    }
    if (options.jpegProgressive) jpeg_simple_progression(cinfo);
}

// Size, colour, quality and the encoder's choices: the same for the sample
// the tables are made from and for the picture.
void Configure(jpeg_compress_struct* cinfo, const CRaster& image, bool grey, JDIMENSION height) {
    cinfo->image_width = image.GetWidth();
    cinfo->image_height = height;
    cinfo->input_components = grey ? 1 : 3;
    cinfo->in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, image.GetQuality(), FALSE);
    ApplyEncodeOptions(cinfo, image.GetEncodeOptions());
}

// Below a megapixel the library's two passes cost little; above it, about a
// quarter of a megapixel is sampled.
constexpr uint64_t kSampleFrom = uint64_t(1) << 20;
constexpr int kSampleShift = 18;

// Every stride-th MCU row of the picture, encoded with the standard tables
// into a malloc'd buffer. Strips start on MCU rows, so their blocks are the
// picture's own.
bool EncodeSample(const CRaster& image, bool grey, std::vector<JSAMPROW>& rows,
                  unsigned char** out, unsigned long* size) {
    CRaster errors;
    jpeg_compress_struct cinfo;
    ErrorManager jerr;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, &errors);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, size);
    Configure(&cinfo, image, grey, JDIMENSION(rows.size()));
    cinfo.optimize_coding = FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height)
        jpeg_write_scanlines(&cinfo, rows.data() + cinfo.next_scanline,
                             cinfo.image_height - cinfo.next_scanline);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

bool CountSample(const unsigned char* bytes, unsigned long size, HuffmanCounts& counts) {
    CRaster errors;
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, &errors);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes, size);
    jpeg_read_header(&cinfo, TRUE);
    CountHuffmanSymbols(&cinfo, jpeg_read_coefficients(&cinfo), counts);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

struct HuffmanTables {
    JHUFF_TBL dc[2], ac[2];
};

// Tables from a sample of a large picture; false to leave the optimisation
// to the library (small, packed or progressive pictures, or a failure).
bool SampledTables(const CRaster& image, bool grey, HuffmanTables& tables) {
    const EncodeOptions& options = image.GetEncodeOptions();
    const uint64_t pixels = uint64_t(image.GetWidth()) * image.GetHeight();
    if (!options.jpegOptimize || options.jpegProgressive || image.GetBitsPerPixel() < 8 ||
        pixels < kSampleFrom)
        return false;
    const bool tall = !grey && options.jpegSubsampling == ChromaSubsampling::k420;
    const uint32_t mcuRows = tall ? 16 : 8;
    const uint32_t stride = mcuRows * uint32_t(pixels >> kSampleShift);
    const uint32_t height = image.GetHeight();
    std::vector<JSAMPROW> rows; // top-down
    for (uint32_t y = 0; y < height; y += stride)
        for (uint32_t j = 0; j < mcuRows && y + j < height; ++j)
            rows.push_back(image.RowPointer(height - 1 - (y + j)));
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    HuffmanCounts counts;
    const bool counted = EncodeSample(image, grey, rows, &bytes, &size) &&
                         CountSample(bytes, size, counts);
    std::free(bytes);
    if (!counted) return false;
    for (int t = 0; t < 2; ++t) {
        MakeHuffmanTable(counts.dc[t], false, &tables.dc[t]);
        MakeHuffmanTable(counts.ac[t], true, &tables.ac[t]);
    }
    return true;
}

} // namespace

bool JpegCodec::Encode(ImageStream* stream) {
    if (CheckEncodable(stream)) return false;
    const bool grey = GetPaletteCount() != 0;
    if (grey && !HasGrayRamp()) {
        SetLastError("JPEG can save only RGB or GreyScale images");
        return false;
    }
    const bool packed = GetBitsPerPixel() < 8;
    // Made before the library can jump out of this function.
    const std::vector<uint8_t> resources =
        Metadata() ? ResourcesFromIptc(Metadata()->iptc) : std::vector<uint8_t>();
    HuffmanTables tables;
    const volatile bool sampled = SampledTables(*this, grey, tables);
    jpeg_compress_struct cinfo;
    ErrorManager jerr;
    StreamDestination dest;
    AttachErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr, this);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    AttachDestination(&cinfo, &dest, stream);
    Configure(&cinfo, *this, grey, GetHeight());
    if (sampled) {
        for (int t = 0; t < 2; ++t) {
            *cinfo.dc_huff_tbl_ptrs[t] = tables.dc[t];
            *cinfo.ac_huff_tbl_ptrs[t] = tables.ac[t];
        }
        cinfo.optimize_coding = FALSE;
    }
    cinfo.density_unit = 1;
    cinfo.X_density = Density(GetResolutionX());
    cinfo.Y_density = Density(GetResolutionY());
    jpeg_start_compress(&cinfo, TRUE);
    if (const ImageMetadata* meta = Metadata()) WriteMetadata(&cinfo, *meta, resources);

    const JDIMENSION height = cinfo.image_height;
    JSAMPARRAY expanded = nullptr;
    if (packed)
        expanded = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                              cinfo.image_width, 1);
    // The image's rows go to the library as they are, top row first.
    while (cinfo.next_scanline < height) {
        const JDIMENSION first = cinfo.next_scanline;
        if (packed) {
            ExpandIndices(*this, height - 1 - first, expanded[0]);
            jpeg_write_scanlines(&cinfo, expanded, 1);
        } else {
            JSAMPROW rows[kRowBatch];
            const JDIMENSION n = std::min(kRowBatch, height - first);
            for (JDIMENSION i = 0; i < n; ++i)
                rows[i] = RowPointer(height - 1 - (first + i));
            jpeg_write_scanlines(&cinfo, rows, n);
        }
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

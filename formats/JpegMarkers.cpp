#include "JpegMarkers.h"

#include "ByteOrder.h"
#include "Metadata.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

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

} // namespace

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

void WriteMetadata(j_compress_ptr cinfo, const ImageMetadata& meta,
                   const std::vector<uint8_t>& resources) {
    WriteSegment(cinfo, JPEG_APP0 + 1, kExifName, meta.exif.data(), meta.exif.size());
    WriteSegment(cinfo, JPEG_APP0 + 1, kXmpName, meta.xmp.data(), meta.xmp.size());
    if (meta.xmp.size() + kXmpName.size() <= kMaxMarkerData) WriteXmpExtension(cinfo, meta);
    if (!meta.icc.empty() && meta.icc.size() <= UINT32_MAX / 2)
        jpeg_write_icc_profile(cinfo, meta.icc.data(), unsigned(meta.icc.size()));
    WriteSegment(cinfo, JPEG_APP0 + 13, kPhotoshopName, resources.data(), resources.size());
}

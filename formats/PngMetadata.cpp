// The PNG chunks that carry metadata: kept raw while libpng reads, unpacked
// after it is done within limits, and made for writing.
#include "InputLimits.h"
#include "Exif.h"
#include "Metadata.h"
#include "PngLibrary.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace pngcodec {

namespace {

constexpr std::string_view kXmpKey = "XML:com.adobe.xmp";
constexpr std::string_view kIptcKey = "Raw profile type iptc";
constexpr std::string_view kExifKeys[] = {"Raw profile type exif", "Raw profile type APP1"};
constexpr std::string_view kRawXmpKey = "Raw profile type xmp";
// No block worth carrying inflates beyond this.
constexpr size_t kMaxBlock = 16u << 20;

std::string_view Keyword(const png_unknown_chunk& chunk) {
    const char* text = reinterpret_cast<const char*>(chunk.data);
    const size_t n = strnlen(text, std::min<size_t>(chunk.size, 80));
    return std::string_view(text, n);
}

bool Inflate(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = uInt(std::min<size_t>(size, UINT32_MAX));
    out.clear();
    int status = Z_OK;
    while (status == Z_OK && out.size() < kMaxBlock) {
        const size_t at = out.size();
        out.resize(std::min(kMaxBlock, at + 65536));
        z.next_out = out.data() + at;
        z.avail_out = uInt(out.size() - at);
        status = inflate(&z, Z_NO_FLUSH);
        out.erase(out.end() - std::ptrdiff_t(z.avail_out), out.end());
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

// A text chunk's text: tEXt as it is, zTXt and compressed iTXt inflated.
bool ChunkText(const std::vector<uint8_t>& chunk, uint8_t kind, std::vector<uint8_t>& text) {
    const auto end = chunk.end();
    auto at = std::find(chunk.begin(), end, 0); // after the keyword
    if (at == end) return false;
    ++at;
    bool compressed = kind == 'z';
    if (kind == 'i') {
        if (end - at < 2) return false;
        compressed = at[0] != 0;
        at += 2;
        for (int field = 0; field < 2; ++field) { // language, translated keyword
            at = std::find(at, end, 0);
            if (at == end) return false;
            ++at;
        }
    } else if (kind == 'z') {
        if (at == end) return false;
        ++at; // compression method
    }
    if (compressed) return Inflate(&*at, size_t(end - at), text);
    text.assign(at, end);
    return true;
}

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The customary raw profile text: a line with the profile's name, one with
// its length in bytes, then the bytes in hexadecimal over several lines.
std::vector<uint8_t> RawProfile(const std::vector<uint8_t>& text) {
    size_t i = 0, lines = 0;
    while (i < text.size() && lines < 2)
        lines += text[i++] == '\n';
    while (i < text.size() && text[i] == ' ')
        ++i;
    size_t length = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && length <= kMaxBlock)
        length = length * 10 + size_t(text[i++] - '0');
    if (length == 0 || length > kMaxBlock || length > text.size() / 2) return {};
    std::vector<uint8_t> bytes;
    bytes.reserve(length);
    int high = -1;
    for (; i < text.size() && bytes.size() < length; ++i) {
        const int v = HexValue(text[i]);
        if (v < 0) continue;
        if (high < 0)
            high = v;
        else
            bytes.push_back(uint8_t(high << 4 | v)), high = -1;
    }
    if (bytes.size() != length) return {};
    return bytes;
}

std::vector<uint8_t> ProfileFromIccp(const std::vector<uint8_t>& chunk) {
    auto at = std::find(chunk.begin(), chunk.end(), 0); // profile name
    if (chunk.end() - at < 2) return {};
    std::vector<uint8_t> profile;
    if (!Inflate(&*(at + 2), size_t(chunk.end() - at - 2), profile)) return {};
    return profile;
}

// Some writers keep JPEG's "Exif\0\0" in front of the TIFF header.
std::vector<uint8_t> ExifBlock(std::vector<uint8_t> bytes) {
    if (bytes.size() >= 6 && std::memcmp(bytes.data(), "Exif\0\0", 6) == 0)
        bytes.erase(bytes.begin(), bytes.begin() + 6);
    return bytes;
}

ImageMetadataPtr UnpackMetadata(const MetadataChunks& kept) {
    auto meta = std::make_shared<ImageMetadata>();
    meta->exif = ExifBlock(kept.exif);
    std::vector<uint8_t> text;
    if (meta->exif.empty() && !kept.textExif.empty() &&
        ChunkText(kept.textExif, kept.textExifKind, text))
        meta->exif = ExifBlock(RawProfile(text));
    if (!kept.icc.empty()) meta->icc = ProfileFromIccp(kept.icc);
    if (!kept.xmp.empty() && ChunkText(kept.xmp, kept.xmpKind, text)) meta->xmp = text;
    if (meta->xmp.empty() && !kept.textXmp.empty() &&
        ChunkText(kept.textXmp, kept.textXmpKind, text))
        meta->xmp = RawProfile(text);
    if (!kept.iptc.empty() && ChunkText(kept.iptc, kept.iptcKind, text)) {
        std::vector<uint8_t> raw = RawProfile(text);
        const bool resources = raw.size() >= 4 && (std::memcmp(raw.data(), "8BIM", 4) == 0 ||
                                                   std::memcmp(raw.data(), "Photo", 4) == 0);
        if (resources) {
            const size_t skip = raw[0] == 'P' && raw.size() >= 14 ? 14 : 0;
            raw = IptcFromResources(raw.data() + skip, raw.size() - skip);
        }
        meta->iptc = std::move(raw);
    }
    if (meta->Empty()) return nullptr;
    return meta;
}

std::string RawProfileText(const char* name, const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text = std::string("\n") + name + "\n";
    char length[32];
    std::snprintf(length, sizeof length, "%8zu\n", bytes.size());
    text += length;
    for (size_t i = 0; i < bytes.size(); ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
        if (i % 36 == 35 || i + 1 == bytes.size()) text += '\n';
    }
    return text;
}

} // namespace

int KeepMetadataChunk(png_structp png, png_unknown_chunkp chunk) {
    auto* kept = static_cast<MetadataChunks*>(png_get_user_chunk_ptr(png));
    if (!kept || !chunk->data || chunk->size == 0) return 1;
    const std::string_view name(reinterpret_cast<const char*>(chunk->name), 4);
    std::vector<uint8_t>* slot = nullptr;
    uint8_t* kind = nullptr;
    if (name == "eXIf") {
        slot = &kept->exif;
    } else if (name == "iCCP") {
        slot = &kept->icc;
    } else if (name == "iTXt" || name == "zTXt" || name == "tEXt") {
        const std::string_view key = Keyword(*chunk);
        if (key == kXmpKey) slot = &kept->xmp, kind = &kept->xmpKind;
        if (key == kIptcKey) slot = &kept->iptc, kind = &kept->iptcKind;
        if (key == kExifKeys[0] || key == kExifKeys[1])
            slot = &kept->textExif, kind = &kept->textExifKind;
        if (key == kRawXmpKey) slot = &kept->textXmp, kind = &kept->textXmpKind;
    }
    if (!slot || !slot->empty()) return 1; // the first of each kind counts
    try {
        slot->assign(chunk->data, chunk->data + chunk->size);
        if (kind) *kind = chunk->name[0];
    } catch (...) {
    }
    return 1;
}

void TakeMetadata(CRaster& image, const MetadataChunks& kept) {
    try {
        ImageMetadataPtr meta = UnpackMetadata(kept);
        if (meta && !meta->exif.empty()) image.SetOrientation(ExifOrientation(meta->exif));
        image.SetMetadata(std::move(meta));
    } catch (...) {
        image.SetMetadata(nullptr); // a damaged block costs the blocks, not the picture
    }
}

MetadataTexts MakeTexts(const ImageMetadata* meta) {
    MetadataTexts texts;
    if (!meta) return texts;
    texts.xmp.assign(meta->xmp.begin(), meta->xmp.end());
    texts.xmp.resize(strnlen(texts.xmp.c_str(), texts.xmp.size()));
    if (!meta->iptc.empty()) texts.iptc = RawProfileText("iptc", meta->iptc);
    return texts;
}

void WriteMetadataChunks(png_structp png, png_infop info, const ImageMetadata& meta,
                         const MetadataTexts& strings) {
    png_set_benign_errors(png, 1);
    if (!meta.exif.empty() && meta.exif.size() <= INT32_MAX)
        png_set_eXIf_1(png, info, png_uint_32(meta.exif.size()),
                       const_cast<uint8_t*>(meta.exif.data()));
    if (!meta.icc.empty() && meta.icc.size() <= INT32_MAX)
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, meta.icc.data(),
                     png_uint_32(meta.icc.size()));
    png_text texts[2] = {};
    int count = 0;
    if (!strings.xmp.empty()) {
        png_text& t = texts[count++];
        t.compression = PNG_ITXT_COMPRESSION_NONE;
        t.key = const_cast<char*>(kXmpKey.data());
        t.text = const_cast<char*>(strings.xmp.c_str());
        t.itxt_length = strings.xmp.size();
        t.lang = const_cast<char*>("");
        t.lang_key = const_cast<char*>("");
    }
    if (!strings.iptc.empty()) {
        png_text& t = texts[count++];
        t.compression = PNG_TEXT_COMPRESSION_zTXt;
        t.key = const_cast<char*>(kIptcKey.data());
        t.text = const_cast<char*>(strings.iptc.c_str());
        t.text_length = strings.iptc.size();
    }
    if (count) png_set_text(png, info, texts, count);
}

} // namespace pngcodec

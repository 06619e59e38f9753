#include "Metadata.h"

#include "Colour.h"
#include "PhotoTags.h"

// Exiv2 0.27 still hands out std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// The XMP toolkit's initialisation is not thread-safe, and rows are worked
// on in parallel: once, before any other Exiv2 call, with a lock for the
// namespace registrations that follow.
std::mutex gXmpMutex;

void LockXmp(void* data, bool lock) {
    auto* m = static_cast<std::mutex*>(data);
    if (lock)
        m->lock();
    else
        m->unlock();
}

void InitialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A damaged block is left out; Exiv2's complaints about it are not ours.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(LockXmp, &gXmpMutex);
    });
}

Bytes ToBytes(const Exiv2::DataBuf& buf) {
    if (!buf.pData_ || buf.size_ <= 0) return {};
    return Bytes(buf.pData_, buf.pData_ + buf.size_);
}

template <class Data, class Pred> void EraseIf(Data& data, Pred pred) {
    for (auto it = data.begin(); it != data.end();)
        it = pred(*it) ? data.erase(it) : std::next(it);
}

void EraseKey(Exiv2::ExifData& exif, const char* key) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it != exif.end()) exif.erase(it);
}

// Tags of a TIFF file that describe its own pixels or carry the blocks kept
// apart; none of them belongs in another file's Exif.
bool IsLayoutTag(uint16_t tag) {
    static constexpr uint16_t kTags[] = {
        0x00FE, 0x00FF, 0x0100, 0x0101, 0x0102, 0x0103, 0x0106, 0x0107, 0x0108, 0x0109,
        0x010A, 0x0111, 0x0115, 0x0116, 0x0117, 0x0118, 0x0119, 0x011C, 0x0122, 0x0123,
        0x0124, 0x0125, 0x0129, 0x012D, 0x013D, 0x013E, 0x013F, 0x0140, 0x0141, 0x0142,
        0x0143, 0x0144, 0x0145, 0x014A, 0x014C, 0x0152, 0x0153, 0x0154, 0x0155, 0x0156,
        0x0157, 0x0158, 0x0159, 0x015A, 0x015B, 0x0200, 0x0201, 0x0202, 0x0203, 0x0205,
        0x0206, 0x0207, 0x0208, 0x0209, 0x0211, 0x0212, 0x0213, 0x0214, 0x02BC, 0x83BB,
        0x8649, 0x8773, 0x935C};
    return std::find(std::begin(kTags), std::end(kTags), tag) != std::end(kTags);
}

bool IsKeptGroup(const std::string& group) {
    return group == "Image" || group == "Photo" || group == "GPSInfo" || group == "Iop" ||
           Exiv2::ExifTags::isMakerGroup(group);
}

// A directory pointer where it points to no directory (one looping back
// from inside the Exif directory, say) would be written as a plain number,
// leading readers to whatever bytes then sit at that offset.
bool IsStrayPointer(const Exiv2::Exifdatum& d) {
    switch (d.tag()) {
    case 0x8769: // Exif
    case 0x8825: // GPS
        return d.groupName() != "Image";
    case 0xA005: // interoperability
        return d.groupName() != "Photo";
    default:
        return false;
    }
}

// What no output keeps: groups of other files' structure, stray pointers.
bool IsUnwanted(const Exiv2::Exifdatum& d) {
    return !IsKeptGroup(d.groupName()) || IsStrayPointer(d);
}

bool IsLocation(const Exiv2::Xmpdatum& d) {
    return d.groupName() == "exif" && d.tagName().rfind("GPS", 0) == 0;
}

// Values that exist are brought up to date; none is added.
void SetIfPresent(Exiv2::XmpData& xmp, const char* key, uint32_t value) {
    const auto it = xmp.findKey(Exiv2::XmpKey(key));
    if (it != xmp.end()) it->setValue(std::to_string(value));
}

void SetIfPresent(Exiv2::ExifData& exif, const char* key, uint32_t value) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it != exif.end()) *it = value;
}

Bytes UpdatedExif(const Bytes& block, const OutputMetadataSpec& spec) {
    Exiv2::ExifData exif;
    Exiv2::ByteOrder order = Exiv2::ExifParser::decode(exif, block.data(), uint32_t(block.size()));
    if (exif.empty()) return {};
    if (order == Exiv2::invalidByteOrder) order = Exiv2::littleEndian;
    Exiv2::ExifThumb(exif).erase();
    EraseIf(exif, IsUnwanted);
    if (!spec.keepLocation) {
        EraseIf(exif, [](const Exiv2::Exifdatum& d) { return d.groupName() == "GPSInfo"; });
        EraseKey(exif, "Exif.Image.GPSTag");
    }
    exif["Exif.Image.Orientation"] = uint16_t(spec.orientation);
    exif["Exif.Photo.PixelXDimension"] = spec.width;
    exif["Exif.Photo.PixelYDimension"] = spec.height;
    SetIfPresent(exif, "Exif.Image.ImageWidth", spec.width);
    SetIfPresent(exif, "Exif.Image.ImageLength", spec.height);
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order, exif);
    return blob;
}

bool DecodeXmp(const Bytes& packet, Exiv2::XmpData& xmp) {
    return !packet.empty() &&
           Exiv2::XmpParser::decode(xmp, std::string(packet.begin(), packet.end())) == 0;
}

// Where the output has no room for an extension beside the packet, the
// extension's properties join the packet.
void MergeExtension(const ImageMetadata& input, Exiv2::XmpData& xmp) {
    Exiv2::XmpData extension;
    if (!DecodeXmp(input.xmpExtension, extension)) return;
    for (const Exiv2::Xmpdatum& d : extension)
        xmp.add(d);
}

void UpdateXmp(const ImageMetadata& input, const OutputMetadataSpec& spec, ImageMetadata& out) {
    Exiv2::XmpData xmp;
    if (!DecodeXmp(input.xmp, xmp)) return;
    const bool split = spec.splitXmp && !input.xmpExtension.empty();
    if (!split) {
        MergeExtension(input, xmp);
        EraseIf(xmp, [](const Exiv2::Xmpdatum& d) {
            return d.key() == "Xmp.xmpNote.HasExtendedXMP";
        });
    }
    if (!spec.keepLocation) EraseIf(xmp, IsLocation);
    SetIfPresent(xmp, "Xmp.tiff.Orientation", spec.orientation);
    SetIfPresent(xmp, "Xmp.exif.PixelXDimension", spec.width);
    SetIfPresent(xmp, "Xmp.exif.PixelYDimension", spec.height);
    SetIfPresent(xmp, "Xmp.tiff.ImageWidth", spec.width);
    SetIfPresent(xmp, "Xmp.tiff.ImageLength", spec.height);
    std::string packet;
    if (xmp.empty() || Exiv2::XmpParser::encode(packet, xmp, Exiv2::XmpParser::omitPacketWrapper |
                                                                 Exiv2::XmpParser::useCompactFormat) != 0)
        return;
    out.xmp.assign(packet.begin(), packet.end());
    if (split) {
        out.xmpExtension = input.xmpExtension;
        out.xmpExtensionGuid = input.xmpExtensionGuid;
    }
}

Bytes ValidIptc(const Bytes& iptc) {
    Exiv2::IptcData data;
    if (iptc.empty() || Exiv2::IptcParser::decode(data, iptc.data(), uint32_t(iptc.size())) != 0 ||
        data.empty())
        return {};
    return iptc;
}

// Each block on its own: one that does not parse is left out, the others stay.
template <class Step> void Guarded(Step step) {
    try {
        step();
    } catch (...) {
    }
}

} // namespace

Bytes IptcFromResources(const uint8_t* data, size_t size) {
    if (!data || size == 0 || size > 0x7FFFFFFF) return {};
    InitialiseOnce();
    Bytes result;
    Guarded([&] {
        const Exiv2::byte* record = nullptr;
        uint32_t header = 0, length = 0;
        if (Exiv2::Photoshop::locateIptcIrb(data, long(size), &record, &header, &length) != 0)
            return;
        if (record < data || record + header + length > data + size) return;
        result.assign(record + header, record + header + length);
    });
    return result;
}

Bytes ResourcesFromIptc(const Bytes& iptc) {
    if (iptc.empty()) return {};
    InitialiseOnce();
    Bytes result;
    Guarded([&] {
        Exiv2::IptcData data;
        if (Exiv2::IptcParser::decode(data, iptc.data(), uint32_t(iptc.size())) != 0) return;
        result = ToBytes(Exiv2::Photoshop::setIptcIrb(nullptr, 0, data));
    });
    return result;
}

Bytes ExifFromTiffFile(const uint8_t* data, size_t size) {
    if (!data || size < 8 || size > UINT32_MAX) return {};
    InitialiseOnce();
    Bytes result;
    Guarded([&] {
        Exiv2::ExifData exif;
        Exiv2::IptcData iptc;
        Exiv2::XmpData xmp;
        const Exiv2::ByteOrder order =
            Exiv2::TiffParser::decode(exif, iptc, xmp, data, uint32_t(size));
        EraseIf(exif, [](const Exiv2::Exifdatum& d) {
            return IsUnwanted(d) || (d.groupName() == "Image" && IsLayoutTag(d.tag()));
        });
        if (exif.empty()) return;
        // The TIFF reader turns the pixels upright: the block must not turn them again.
        if (exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation")) != exif.end())
            exif["Exif.Image.Orientation"] = uint16_t(1);
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, order == Exiv2::invalidByteOrder ? Exiv2::littleEndian : order,
                                  exif);
        result = std::move(blob);
    });
    return result;
}

bool EmbedInTiff(Bytes& tiff, const ImageMetadata& blocks) {
    if (tiff.size() > UINT32_MAX) return false;
    InitialiseOnce();
    bool ok = false;
    Guarded([&] {
        Exiv2::ExifData exif;
        if (!blocks.exif.empty())
            Exiv2::ExifParser::decode(exif, blocks.exif.data(), uint32_t(blocks.exif.size()));
        // A thumbnail directory would read as a second page.
        Exiv2::ExifThumb(exif).erase();
        EraseIf(exif, IsUnwanted);
        if (!blocks.icc.empty()) {
            Exiv2::DataValue profile(Exiv2::undefined);
            profile.read(blocks.icc.data(), long(blocks.icc.size()));
            exif.add(Exiv2::ExifKey("Exif.Image.InterColorProfile"), &profile);
        }
        Exiv2::IptcData iptc;
        if (!blocks.iptc.empty())
            Exiv2::IptcParser::decode(iptc, blocks.iptc.data(), uint32_t(blocks.iptc.size()));
        Exiv2::XmpData xmp;
        if (!blocks.xmp.empty()) {
            xmp.setPacket(std::string(blocks.xmp.begin(), blocks.xmp.end()));
            xmp.usePacket(true);
        }
        Exiv2::MemIo io;
        Exiv2::TiffParser::encode(io, tiff.data(), uint32_t(tiff.size()),
                                  tiff[0] == 'M' ? Exiv2::bigEndian : Exiv2::littleEndian, exif, iptc,
                                  xmp);
        if (io.size() < 8) return;
        Bytes written(size_t(io.size()));
        io.seek(0, Exiv2::BasicIo::beg);
        if (io.read(written.data(), long(written.size())) != long(written.size())) return;
        tiff.swap(written);
        ok = true;
    });
    return ok;
}

namespace {

std::string Megabytes(size_t bytes) {
    return std::to_string((bytes + (size_t(1) << 19)) >> 20) + " MB";
}

std::string DroppedText(const char* what, size_t bytes, size_t cap) {
    return std::string(what) + " of " + Megabytes(bytes) + " dropped: over the " + Megabytes(cap) +
           " cap";
}

size_t XmpBytes(const ImageMetadata& m) { return m.xmp.size() + m.xmpExtension.size(); }

} // namespace

std::vector<std::string> OversizedBlocks(const ImageMetadata* input) {
    std::vector<std::string> texts;
    if (!input) return texts;
    if (input->exif.size() > kMaxExifBytes)
        texts.push_back(DroppedText("Exif", input->exif.size(), kMaxExifBytes));
    if (XmpBytes(*input) > kMaxXmpBytes)
        texts.push_back(DroppedText("XMP", XmpBytes(*input), kMaxXmpBytes));
    if (input->icc.size() > kMaxIccBytes)
        texts.push_back(DroppedText("colour profile", input->icc.size(), kMaxIccBytes));
    return texts;
}

ImageMetadataPtr OutputMetadata(const ImageMetadata* input, const OutputMetadataSpec& spec) {
    if (!input || !spec.keep || input->Empty()) return nullptr;
    InitialiseOnce();
    auto out = std::make_shared<ImageMetadata>();
    if (input->exif.size() <= kMaxExifBytes)
        Guarded([&] { out->exif = UpdatedExif(input->exif, spec); });
    if (XmpBytes(*input) <= kMaxXmpBytes) Guarded([&] { UpdateXmp(*input, spec, *out); });
    Guarded([&] { out->iptc = ValidIptc(input->iptc); });
    if (spec.keepIcc && input->icc.size() <= kMaxIccBytes && IsUsableProfile(input->icc))
        out->icc = input->icc;
    if (out->Empty()) return nullptr;
    return out;
}

bool ParseExifDateTime(std::string_view text, std::tm& out) {
    // Digits where the form has them; a date with a zero month is unset.
    static constexpr std::string_view kForm = "dddd:dd:dd dd:dd:dd";
    if (text.size() < kForm.size()) return false;
    for (size_t i = 0; i < kForm.size(); ++i)
        if ((kForm[i] == 'd') != (text[i] >= '0' && text[i] <= '9') ||
            (kForm[i] != 'd' && text[i] != kForm[i]))
            return false;
    auto number = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i)
            v = v * 10 + (text[i] - '0');
        return v;
    };
    std::tm tm{};
    tm.tm_year = number(0, 4) - 1900;
    tm.tm_mon = number(5, 2) - 1;
    tm.tm_mday = number(8, 2);
    tm.tm_hour = number(11, 2);
    tm.tm_min = number(14, 2);
    tm.tm_sec = number(17, 2);
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
        return false;
    out = tm;
    return true;
}

PhotoTags ReadPhotoTags(const std::string& path, const std::vector<std::string>& names,
                        bool wantTaken) {
    PhotoTags tags;
    if (names.empty() && !wantTaken) return tags;
    InitialiseOnce();
    try {
        auto image = Exiv2::ImageFactory::open(path);
        if (!image.get()) return tags;
        image->readMetadata();
        const Exiv2::ExifData& exif = image->exifData();
        auto find = [&](const std::string& name) -> const Exiv2::Exifdatum* {
            for (const char* group : {"Exif.Image.", "Exif.Photo.", "Exif.GPSInfo."}) {
                try {
                    const auto it = exif.findKey(Exiv2::ExifKey(group + name));
                    if (it != exif.end()) return &*it;
                } catch (const Exiv2::AnyError&) {
                    // Not a tag of this group.
                }
            }
            return nullptr;
        };
        if (wantTaken)
            if (const auto* d = find("DateTimeOriginal")) {
                std::tm tm;
                if (ParseExifDateTime(d->toString(), tm)) tags.taken = tm;
            }
        for (const std::string& name : names)
            if (const auto* d = find(name)) {
                std::string value = d->print(&exif);
                while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
                    value.pop_back();
                if (!value.empty()) tags.values[name] = std::move(value);
            }
    } catch (const std::exception&) {
        // Unreadable metadata names nothing.
    }
    return tags;
}

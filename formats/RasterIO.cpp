// Format dispatch: CRaster's load, save, decode and encode entry points.
// They are members of CRaster but live here, beside the codecs they reach.
#include "FormatTable.h"
#include "ImageStream.h"

#include <cstring>

CRaster::CRaster(const std::string& path, ImageType type) {
    Initialize(type);
    LoadFile(path, type);
}

bool CRaster::CheckEncodable(ImageStream* stream) {
    if (!stream) {
        SetLastError("null file handler");
        return true;
    }
    if (!block_) {
        SetLastError("null image!!!");
        return true;
    }
    return false;
}

bool CRaster::Decode(ImageStream* stream, ImageType type) {
    if (FindImageFormat(type)) return DecodeWithCodec(*this, stream, type);
    if (type == 0 && DecodeUntyped(*this, stream)) return true;
    SetLastError("Decode: Unknown or wrong format");
    return false;
}

bool CRaster::Encode(ImageStream* stream, ImageType type) {
    if (FindImageFormat(type)) return EncodeWithCodec(*this, stream, type);
    SetLastError("Encode: Unknown format");
    return false;
}

bool CRaster::Decode(FILE* file, ImageType type) {
    FileImageStream stream(file, false);
    return Decode(&stream, type);
}

bool CRaster::Encode(FILE* file, ImageType type) {
    FileImageStream stream(file, false);
    return Encode(&stream, type);
}

namespace {

// The reason a file could not be opened is the load's error.
bool OpenInput(CRaster& image, FileImageStream& file, const std::string& path) {
    if (file.OpenInput(path.c_str())) return true;
    image.SetLastError(file.OpenError());
    return false;
}

} // namespace

bool CRaster::LoadFile(const std::string& path, ImageType type) {
    return LoadFileAsked(*this, path, type, nullptr);
}

bool LoadFileAsked(CRaster& image, const std::string& path, ImageType type,
                   const DecodeRequest* request) {
    if (FindImageFormat(type)) {
        FileImageStream file;
        if (!OpenInput(image, file, path)) return false;
        if (request ? DecodeWithCodec(image, &file, type, *request) : image.Decode(&file, type))
            return true;
    }
    const std::string kept = image.LastErrorText();
    FileImageStream file;
    if (!OpenInput(image, file, path)) return false;
    const bool ok = image.Decode(&file, 0);
    if (!ok && type != 0) image.SetLastError(kept.c_str());
    return ok;
}

bool CRaster::SaveFile(const std::string& path, ImageType type) {
    FileImageStream file;
    if (!file.Open(path.c_str(), "wb")) return false;
    bool ok = Encode(&file, type);
    // Data still in the file buffer can fail to reach the disk.
    if (!file.Flush() || file.Error()) {
        if (ok) SetLastError("write error");
        ok = false;
    }
    if (!file.Close() && ok) {
        SetLastError("write error");
        ok = false;
    }
    // The system's reason ("No space left on device") over the codec's guess.
    if (!ok && file.WriteErrno()) SetLastError(std::strerror(file.WriteErrno()));
    return ok;
}

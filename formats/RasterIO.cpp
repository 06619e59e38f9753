// Format dispatch: CRaster's load, save, decode and encode entry points.
// They are members of CRaster but live here, beside the codecs they reach.
#include "FormatTable.h"
#include "ImageStream.h"

#include <cerrno>
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
    if (type == 0 && DecodeUntyped(*this, stream, DecodeRequest::Of(*this))) return true;
    SetLastError("Decode: Unknown or wrong format");
    return false;
}

bool CRaster::Encode(ImageStream* stream, ImageType type) {
    if (FindImageFormat(type)) return EncodeWithCodec(*this, stream, type);
    SetLastError("Encode: Unknown format");
    return false;
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
    return LoadFileAsked(*this, path, type, DecodeRequest::Of(*this));
}

bool LoadFileAsked(CRaster& image, const std::string& path, ImageType type,
                   const DecodeRequest& request) {
    if (FindImageFormat(type)) {
        FileImageStream file;
        if (!OpenInput(image, file, path)) return false;
        if (DecodeWithCodec(image, &file, type, request)) return true;
    }
    const std::string kept = image.LastErrorText();
    FileImageStream file;
    if (!OpenInput(image, file, path)) return false;
    const bool ok = DecodeUntyped(image, &file, request);
    if (!ok) image.SetLastError(type != 0 ? kept.c_str() : "Decode: Unknown or wrong format");
    return ok;
}

bool CRaster::SaveFile(const std::string& path, ImageType type) {
    return SaveFileAsked(*this, path, type, EncodeRequest::Of(*this, type));
}

bool SaveFileAsked(CRaster& image, const std::string& path, ImageType type,
                   const EncodeRequest& request) {
    FileImageStream file;
    // The system's reason: "Permission denied", "No such file or directory".
    if (!file.Open(path.c_str(), "wb")) {
        image.SetLastError(std::strerror(errno));
        return false;
    }
    bool ok = EncodeWithCodec(image, &file, type, request);
    // Data still in the file buffer can fail to reach the disk.
    if (!file.Flush() || file.Error()) {
        if (ok) image.SetLastError("write error");
        ok = false;
    }
    if (!file.Close() && ok) {
        image.SetLastError("write error");
        ok = false;
    }
    // The system's reason ("No space left on device") over the codec's guess.
    if (!ok && file.WriteErrno()) image.SetLastError(std::strerror(file.WriteErrno()));
    return ok;
}

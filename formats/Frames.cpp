#include "Frames.h"

#include "FormatTable.h"
#include "GifAnimationWriter.h"
#include "GifCodec.h"
#include "ImageStream.h"
#include "ImageType.h"
#include "TiffCodec.h"
#include "WebpCodec.h"

namespace {

// GIF and WebP: the codec walks the file and composes each frame.
template <class Codec> class ComposedFrames : public FrameReader {
public:
    bool Open(const std::string& path) {
        if (!file_.OpenInput(path.c_str())) {
            error_ = file_.OpenError();
            return false;
        }
        if (codec_.StartFrames(&file_, info_)) return true;
        error_ = codec_.LastErrorText();
        return false;
    }
    bool Next(CRaster& frame, uint32_t& delayMs) override {
        codec_.SetLastError("");
        if (!codec_.NextFrame(frame, delayMs)) {
            error_ = codec_.LastErrorText();
            return false;
        }
        // Every frame is the file's picture: its blocks and orientation.
        frame.SetMetadata(codec_.MetadataPtr());
        frame.SetOrientation(codec_.GetOrientation());
        // What a frame lost (a cut or damaged image) goes with it, named by
        // its number; the first frame's words are the one-picture load's,
        // so they are not said twice.
        ++shown_;
        for (const std::string& text : codec_.Warnings())
            frame.AddWarning(shown_ == 1 ? text : "frame " + std::to_string(shown_) + ": " + text);
        codec_.ClearWarnings();
        return true;
    }

private:
    FileImageStream file_;
    Codec codec_;
    uint32_t shown_ = 0;
};

// TIFF: each page read by the codec on its own, as a load of that page.
class TiffPages : public FrameReader {
public:
    bool Open(const std::string& path) {
        path_ = path;
        CRaster first(kTypeTiff);
        first.SetHeaderOnly(true);
        if (!Load(first, 0)) return false;
        info_.count = uint32_t(std::max(first.GetNumFrames(), 1));
        info_.width = first.GetWidth(), info_.height = first.GetHeight();
        return AnimationWithinLimits(info_.count, 1, 1, error_);
    }
    bool Next(CRaster& frame, uint32_t& delayMs) override {
        if (next_ >= info_.count) return false;
        delayMs = 0;
        // The last page's pixels go first: Initialize only forgets them.
        frame.Discard();
        frame.Initialize(kTypeTiff);
        return Load(frame, next_++);
    }

private:
    bool Load(CRaster& page, uint32_t index) {
        FileImageStream file;
        if (!file.OpenInput(path_.c_str())) {
            error_ = file.OpenError();
            return false;
        }
        page.SetFrame(int32_t(index));
        if (DecodeWithCodec(page, &file, kTypeTiff)) return true;
        error_ = page.LastErrorText();
        return false;
    }

    std::string path_;
    uint32_t next_ = 0;
};

template <class Reader>
std::unique_ptr<FrameReader> OpenWith(const std::string& path, std::string& error) {
    auto reader = std::make_unique<Reader>();
    if (reader->Open(path)) return reader;
    error = reader->Error().empty() ? "cannot open file" : reader->Error();
    return nullptr;
}

// TIFF pages one at a time through libtiff's directories.
class TiffPageWriter : public FrameWriter {
public:
    explicit TiffPageWriter(ImageStream* stream) : stream_(stream) {}
    bool Add(CRaster& page, uint32_t) override {
        if (!started_ && !codec_.BeginPages(stream_)) return Failed();
        started_ = true;
        if (page.Metadata() && !page.Metadata()->Empty() && warning_.empty())
            warning_ = "metadata not kept in a TIFF of several pages";
        return codec_.AddPage(page) || Failed();
    }
    bool Finish() override {
        if (!started_) {
            error_ = "no pages to write";
            return false;
        }
        return codec_.EndPages() || Failed();
    }

private:
    bool Failed() {
        error_ = *codec_.LastErrorText() ? codec_.LastErrorText() : "Error saving TIFF file";
        return false;
    }
    ImageStream* stream_;
    CRasterTIF codec_;
    bool started_ = false;
};

} // namespace

bool AnimationWithinLimits(uint64_t count, uint64_t width, uint64_t height, std::string& error) {
    if (count <= kMaxAnimationFrames && count * width * height <= kMaxAnimationPixels) return true;
    error = "animation too large: " + std::to_string(count) + " frames of " +
            std::to_string(width) + " x " + std::to_string(height);
    return false;
}

bool HasFrameReader(ImageType type) {
    return type == kTypeGif || type == kTypeWebp || type == kTypeTiff;
}

std::unique_ptr<FrameReader> OpenFrameReader(const std::string& path, ImageType type,
                                             std::string& error) {
    switch (type) {
    case kTypeGif: return OpenWith<ComposedFrames<GifCodec>>(path, error);
    case kTypeWebp: return OpenWith<ComposedFrames<WebpCodec>>(path, error);
    case kTypeTiff: return OpenWith<TiffPages>(path, error);
    default:
        error = "holds one picture";
        return nullptr;
    }
}

bool HoldsSeveralPictures(ImageType type) {
    return type == kTypeGif || type == kTypeWebp || type == kTypeTiff;
}

std::unique_ptr<FrameWriter> MakeFrameWriter(ImageType type, ImageStream* stream,
                                             const FrameWriterSpec& spec) {
    switch (type) {
    case kTypeGif: return MakeGifFrameWriter(stream, spec);
    case kTypeWebp: return MakeWebpFrameWriter(stream, spec);
    case kTypeTiff: return std::make_unique<TiffPageWriter>(stream);
    default: return nullptr;
    }
}

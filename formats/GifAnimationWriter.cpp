#include "GifAnimationWriter.h"

#include "ByteOrder.h"
#include "ImageStream.h"
#include "Lzw.h"
#include "PaletteSearch.h"
#include "PixelRows.h"

#include <libimagequant.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace {

// Screen pixels as 0xFFRRGGBB when shown, 0 when see-through.
using Pixel = uint32_t;

struct Rect {
    uint32_t x = 0, y = 0, w = 0, h = 0;
    bool Empty() const { return w == 0 || h == 0; }
};

Rect Union(const Rect& a, const Rect& b) {
    if (a.Empty()) return b;
    if (b.Empty()) return a;
    const uint32_t x = std::min(a.x, b.x), y = std::min(a.y, b.y);
    return Rect{x, y, std::max(a.x + a.w, b.x + b.w) - x, std::max(a.y + a.h, b.y + b.h) - y};
}

// The smallest rectangle holding every pixel where keep(p) is false.
template <class Differs>
Rect BoundingBox(uint32_t width, uint32_t height, Differs differs) {
    uint32_t left = width, right = 0, top = height, bottom = 0;
    for (uint32_t y = 0; y < height; ++y) {
        uint32_t x = 0;
        while (x < width && !differs(size_t(y) * width + x)) ++x;
        if (x == width) continue;
        uint32_t last = width - 1;
        while (!differs(size_t(y) * width + last)) --last;
        left = std::min(left, x), right = std::max(right, last);
        top = std::min(top, y), bottom = y;
    }
    if (left > right) return Rect{};
    return Rect{left, top, right - left + 1, bottom - top + 1};
}

// Colours of a frame and how often they occur.
using Histogram = std::unordered_map<uint32_t, uint32_t>;

// At most 255 colours, leaving an index for transparency: the colours
// themselves when they fit, else the library's choice for them.
std::vector<uint32_t> ChoosePalette(const Histogram& histogram) {
    std::vector<uint32_t> palette;
    if (histogram.size() <= 255) {
        for (const auto& [colour, count] : histogram) palette.push_back(colour);
        std::sort(palette.begin(), palette.end());
        return palette;
    }
    liq_attr* attr = liq_attr_create();
    if (!attr) return palette;
    liq_set_max_colors(attr, 255);
    liq_set_speed(attr, 5);
    liq_histogram* hist = liq_histogram_create(attr);
    std::vector<liq_histogram_entry> entries;
    entries.reserve(histogram.size());
    for (const auto& [colour, count] : histogram) {
        const liq_color c{uint8_t(colour >> 16), uint8_t(colour >> 8), uint8_t(colour), 255};
        entries.push_back(liq_histogram_entry{c, count});
    }
    liq_result* result = nullptr;
    if (hist && liq_histogram_add_colors(hist, attr, entries.data(), int(entries.size()), 0) ==
                    LIQ_OK &&
        liq_histogram_quantize(hist, attr, &result) == LIQ_OK) {
        const liq_palette* p = liq_get_palette(result);
        for (unsigned i = 0; i < p->count; ++i)
            palette.push_back(uint32_t(p->entries[i].r) << 16 | uint32_t(p->entries[i].g) << 8 |
                              p->entries[i].b);
        liq_result_destroy(result);
    }
    if (hist) liq_histogram_destroy(hist);
    liq_attr_destroy(attr);
    return palette;
}

// Palette colours in the form the nearest-colour search takes.
struct Mapping {
    explicit Mapping(const std::vector<uint32_t>& colours)
        : quads(Quads(colours)), search(quads.data(), uint32_t(quads.size())) {
        for (size_t i = 0; i < colours.size(); ++i) exact.emplace(colours[i], uint8_t(i));
    }
    static std::vector<RGBQUAD> Quads(const std::vector<uint32_t>& colours) {
        std::vector<RGBQUAD> quads;
        for (uint32_t c : colours)
            quads.push_back(RGBQUAD{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0});
        if (quads.empty()) quads.push_back(RGBQUAD{});
        return quads;
    }
    // The index for colour and its squared distance.
    uint8_t Map(uint32_t colour, uint32_t& error) {
        const auto hit = exact.find(colour & 0xFFFFFF);
        if (hit != exact.end()) {
            error = 0;
            return hit->second;
        }
        const uint8_t r = uint8_t(colour >> 16), g = uint8_t(colour >> 8), b = uint8_t(colour);
        const uint32_t entry = search.NearestEntry(b, g, r);
        const int db = int(entry & 0xFF) - b, dg = int((entry >> 8) & 0xFF) - g;
        const int dr = int((entry >> 16) & 0xFF) - r;
        error = uint32_t(db * db + dg * dg + dr * dr);
        return uint8_t(entry >> 24);
    }
    std::vector<RGBQUAD> quads;
    CPaletteSearch search;
    std::unordered_map<uint32_t, uint8_t> exact;
};

uint32_t TableBits(size_t entries) {
    uint32_t bits = 1;
    while ((size_t(1) << bits) < entries) ++bits;
    return bits;
}

void PutTable(std::vector<uint8_t>& out, const std::vector<uint32_t>& colours, uint32_t bits) {
    for (size_t i = 0; i < (size_t(1) << bits); ++i) {
        const uint32_t c = i < colours.size() ? colours[i] : 0;
        out.insert(out.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
    }
}

// A frame written once the next one has decided its disposal.
struct PendingFrame {
    bool present = false;
    Rect rect;
    std::vector<uint8_t> indexes; // rect.w x rect.h, top row first
    std::vector<uint32_t> local;  // empty: the global palette
    uint8_t transparent = 0;      // the index after the palette's colours
    uint32_t delay = 0;           // hundredths of a second
    uint8_t disposal = 1;         // 1 leave in place, 2 clear to transparency
};

class GifFrameWriter : public FrameWriter {
public:
    GifFrameWriter(ImageStream* stream, const FrameWriterSpec& spec)
        : stream_(stream), spec_(spec), lzw_(std::make_unique<LzwEncoder>()) {}
    bool Add(CRaster& frame, uint32_t delayMs) override;
    bool Finish() override;

private:
    bool Start(const CRaster& frame);
    void Normalise(const CRaster& frame);
    void ClearForNext();
    void Grow(PendingFrame& f, const Rect& to) const;
    bool MakeFrame(const Rect& rect, uint32_t delayMs);
    bool WritePending();
    bool Write(const std::vector<uint8_t>& bytes) {
        if (bytes.empty() || stream_->Write(bytes.data(), 1, bytes.size()) == bytes.size())
            return true;
        error_ = "Write Error in GIF file";
        return false;
    }

    ImageStream* stream_;
    FrameWriterSpec spec_;
    std::unique_ptr<LzwEncoder> lzw_;
    uint32_t width_ = 0, height_ = 0;
    bool started_ = false;
    std::vector<Pixel> shown_, current_;
    std::vector<uint32_t> global_;
    std::unique_ptr<Mapping> globalMap_;
    // The mean squared error a frame may have in the global palette before
    // it gets one of its own.
    double fitError_ = 0;
    PendingFrame pending_;
    bool first_ = true;
};

// The frame as screen pixels: less than half opaque is see-through, the
// rest is put onto the background colour. Frames of another size (pages of
// a TIFF) sit at the top left, clipped.
void GifFrameWriter::Normalise(const CRaster& frame) {
    const uint32_t fw = frame.GetWidth(), fh = frame.GetHeight();
    if ((fw != width_ || fh != height_) && warning_.empty())
        warning_ = "pictures of another size than the first placed at its top left";
    std::fill(current_.begin(), current_.end(), 0);
    std::vector<uint8_t> row(size_t(fw) * 4);
    const RGBQUAD back = spec_.background;
    for (uint32_t y = 0; y < std::min(fh, height_); ++y) {
        ReadRgbRow(frame, y, true, row.data());
        Pixel* out = current_.data() + size_t(y) * width_;
        for (uint32_t x = 0; x < std::min(fw, width_); ++x) {
            const uint8_t* p = row.data() + 4 * size_t(x);
            const uint32_t a = p[3];
            if (a < 128) continue;
            auto mix = [&](uint32_t c, uint32_t under) { return (c * a + under * (255 - a) + 127) / 255; };
            const uint32_t r = mix(p[0], back.rgbRed), g = mix(p[1], back.rgbGreen),
                           b = mix(p[2], back.rgbBlue);
            out[x] = 0xFF000000u | r << 16 | g << 8 | b;
        }
    }
}

bool GifFrameWriter::Start(const CRaster& frame) {
    width_ = frame.GetWidth(), height_ = frame.GetHeight();
    if (width_ == 0 || height_ == 0 || width_ > 0xFFFF || height_ > 0xFFFF) {
        error_ = "Image too large for GIF";
        return false;
    }
    shown_.assign(size_t(width_) * height_, 0);
    current_.assign(shown_.size(), 0);
    Normalise(frame);
    Histogram histogram;
    for (Pixel p : current_)
        if (p) ++histogram[p & 0xFFFFFF];
    global_ = ChoosePalette(histogram);
    globalMap_ = std::make_unique<Mapping>(global_);
    double sum = 0, count = 0;
    for (const auto& [colour, n] : histogram) {
        uint32_t e = 0;
        globalMap_->Map(colour, e);
        sum += double(e) * n, count += n;
    }
    fitError_ = std::max(30.0, 2 * (count ? sum / count : 0));

    const uint32_t bits = TableBits(global_.size() + 1);
    std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
    AppendLE16(out, width_);
    AppendLE16(out, height_);
    out.push_back(uint8_t(0xF0 | (bits - 1)));
    out.insert(out.end(), {0, 0});
    PutTable(out, global_, bits);
    // Without the block a viewer plays the frames once.
    if (spec_.loops != 1) {
        const uint8_t loop[] = {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2',
                                '.',  '0',  3,  1};
        out.insert(out.end(), std::begin(loop), std::end(loop));
        AppendLE16(out, spec_.loops == 0 ? 0 : std::min<uint32_t>(spec_.loops - 1, 0xFFFF));
        out.push_back(0);
    }
    started_ = true;
    return Write(out);
}

// The held frame's place is cleared after it shows when the next frame
// needs shown pixels to turn see-through; it grows to cover them.
void GifFrameWriter::ClearForNext() {
    const Rect clear = BoundingBox(width_, height_, [&](size_t p) {
        return shown_[p] != 0 && current_[p] == 0;
    });
    if (clear.Empty()) return;
    Grow(pending_, Union(pending_.rect, clear));
    pending_.disposal = 2;
    const Rect& r = pending_.rect;
    for (uint32_t y = r.y; y < r.y + r.h; ++y)
        std::fill_n(shown_.begin() + long(size_t(y) * width_ + r.x), r.w, 0);
}

// A larger rectangle, the added pixels left as they are shown.
void GifFrameWriter::Grow(PendingFrame& f, const Rect& to) const {
    std::vector<uint8_t> grown(size_t(to.w) * to.h, f.transparent);
    for (uint32_t y = 0; y < f.rect.h; ++y)
        std::memcpy(grown.data() + size_t(f.rect.y - to.y + y) * to.w + (f.rect.x - to.x),
                    f.indexes.data() + size_t(y) * f.rect.w, f.rect.w);
    f.indexes = std::move(grown);
    f.rect = to;
}

// The changed pixels of rect in the global palette, or in one of their own
// when the global one shows them too poorly; unchanged ones transparent.
bool GifFrameWriter::MakeFrame(const Rect& rect, uint32_t delayMs) {
    PendingFrame f;
    f.present = true;
    f.rect = rect;
    f.delay = (delayMs + 5) / 10;
    f.indexes.assign(size_t(rect.w) * rect.h, 0);
    auto changedAt = [&](uint32_t x, uint32_t y) {
        const size_t p = size_t(y) * width_ + x;
        return current_[p] != shown_[p] ? current_[p] : 0;
    };
    Histogram histogram;
    for (uint32_t y = rect.y; y < rect.y + rect.h; ++y)
        for (uint32_t x = rect.x; x < rect.x + rect.w; ++x)
            if (const Pixel p = changedAt(x, y)) ++histogram[p & 0xFFFFFF];
    double sum = 0, count = 0;
    std::unordered_map<uint32_t, uint8_t> indexOf;
    for (const auto& [colour, n] : histogram) {
        uint32_t e = 0;
        indexOf[colour] = globalMap_->Map(colour, e);
        sum += double(e) * n, count += n;
    }
    if (count > 0 && sum / count > fitError_) {
        f.local = ChoosePalette(histogram);
        Mapping local(f.local);
        for (auto& [colour, index] : indexOf) {
            uint32_t e = 0;
            index = local.Map(colour, e);
        }
    }
    f.transparent = uint8_t(f.local.empty() ? global_.size() : f.local.size());
    for (uint32_t y = 0; y < rect.h; ++y) {
        uint8_t* out = f.indexes.data() + size_t(y) * rect.w;
        for (uint32_t x = 0; x < rect.w; ++x) {
            const Pixel p = changedAt(rect.x + x, rect.y + y);
            out[x] = p ? indexOf[p & 0xFFFFFF] : f.transparent;
        }
    }
    for (uint32_t y = rect.y; y < rect.y + rect.h; ++y)
        std::memcpy(shown_.data() + size_t(y) * width_ + rect.x,
                    current_.data() + size_t(y) * width_ + rect.x, rect.w * sizeof(Pixel));
    pending_ = std::move(f);
    return true;
}

bool GifFrameWriter::WritePending() {
    PendingFrame& f = pending_;
    if (!f.present) return true;
    f.present = false;
    std::vector<uint8_t> out = {0x21, 0xF9, 4, uint8_t(f.disposal << 2 | 1)};
    AppendLE16(out, std::min<uint32_t>(f.delay, 0xFFFF));
    out.insert(out.end(), {f.transparent, 0, ','});
    AppendLE16(out, f.rect.x);
    AppendLE16(out, f.rect.y);
    AppendLE16(out, f.rect.w);
    AppendLE16(out, f.rect.h);
    const size_t entries = (f.local.empty() ? global_.size() : f.local.size()) + 1;
    const uint32_t bits = TableBits(entries);
    if (f.local.empty()) {
        out.push_back(0);
    } else {
        out.push_back(uint8_t(0x80 | (bits - 1)));
        PutTable(out, f.local, bits);
    }
    const int codeSize = int(std::max<uint32_t>(bits, 2));
    out.push_back(uint8_t(codeSize));
    if (!Write(out)) return false;
    const uint32_t w = f.rect.w;
    const bool ok = lzw_->Compress(stream_, codeSize + 1, w, f.rect.h, [&](uint32_t r) {
        return f.indexes.data() + size_t(r) * w;
    });
    if (!ok || !stream_->PutC(0)) {
        error_ = "Write Error in GIF file";
        return false;
    }
    return true;
}

bool GifFrameWriter::Add(CRaster& frame, uint32_t delayMs) {
    if (!frame.HasPixels()) {
        error_ = "null image!!!";
        return false;
    }
    if (!started_) {
        if (!Start(frame)) return false;
    } else {
        Normalise(frame);
    }
    if (pending_.present) {
        ClearForNext();
        if (!WritePending()) return false;
    }
    // The first frame covers the screen: readers that show one picture take
    // its size from the first image.
    Rect rect = first_ ? Rect{0, 0, width_, height_}
                       : BoundingBox(width_, height_,
                                     [&](size_t p) { return current_[p] != shown_[p]; });
    first_ = false;
    // A frame that changes nothing still shows for its time.
    if (rect.Empty()) rect = Rect{0, 0, 1, 1};
    return MakeFrame(rect, delayMs);
}

bool GifFrameWriter::Finish() {
    if (!started_) {
        error_ = "no frames to write";
        return false;
    }
    if (!WritePending() || !stream_->PutC(';')) {
        if (error_.empty()) error_ = "Write Error in GIF file";
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<FrameWriter> MakeGifFrameWriter(ImageStream* stream, const FrameWriterSpec& spec) {
    return std::make_unique<GifFrameWriter>(stream, spec);
}

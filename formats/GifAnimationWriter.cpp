#include "GifAnimationWriter.h"

#include "ByteOrder.h"
#include "ImageStream.h"
#include "GifFramePalette.h"
#include "Lzw.h"
#include "PixelRows.h"

#include <algorithm>
#include <cstring>

namespace {

// Screen pixels as 0xFFRRGGBB when shown, 0 when see-through.
using Pixel = uint32_t;

// A frame may differ from its smooth resize by this much: the mean squared
// distance over the screen, the three channels summed (about 36 dB).
// Palettes take as few colours as keep within it, and a frame's written
// pixels get a palette of their own only when the global one does not.
constexpr double kFrameError = 45;
// The pixels a frame writes may take up the error the rest of the screen
// leaves, but never more than this on average (about 25 dB): a small moving
// sprite keeps its colours.
constexpr double kWrittenErrorAtMost = 600;
// A shown pixel stays when it is at most this much (squared distance, about
// 4 levels a channel) farther from the new colour than the palette's best,
// and never farther than twice that: a smooth resize shifts many pixels by a
// level or two wherever the input changed, and rewriting them costs bytes
// without a visible gain, while colours the palette holds stay exact.
constexpr uint32_t kSameTolerance = 48;
// A pixel on the rim of a place turning see-through may show what it showed
// before the frame at up to this distance (about 20 levels a channel): the
// tail of a smooth resize around a sprite that goes away.
constexpr uint32_t kRimGivenBackAtMost = 1200;
// Opacity from which a see-through pixel is shown, and down to which a
// shown one stays.
constexpr uint32_t kShownFrom = 128, kShownTo = 64;
// Differences no one sees (two levels a channel) are never worth a pixel.
constexpr uint32_t kUnseen = 12;

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
    std::vector<uint8_t> indexes; // rect.w x rect.h, top row first; unchanged pixels transparent
    // The same with unchanged pixels as the colour shown where the palette
    // has it (fewer breaks in runs); empty when no such pixel. The smaller
    // encoding of the two is written.
    std::vector<uint8_t> filled;
    std::vector<uint32_t> local;  // empty: the global palette
    uint8_t transparent = 0;      // the index after the palette's colours
    uint32_t delay = 0;           // hundredths of a second
    uint8_t disposal = 1;         // 1 leave in place, 2 clear to transparency
    bool first = false;           // covers the screen whatever it changes
    // Per rect pixel, shown_ and written_ before the frame: a pixel it wrote
    // can be given back when that was about the same.
    std::vector<Pixel> before, writtenBefore;
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
    void MarkChanges();
    double Allowance(uint64_t written) const;
    void AddLikelyColours(const Histogram& histogram);
    void Reframe(PendingFrame& f, const Rect& to) const;
    Rect GiveBack(const Rect& clear);
    bool MakeFrame(const Rect& rect, uint32_t delayMs);
    bool Compress(const PendingFrame& f, const std::vector<uint8_t>& indexes, int codeSize,
                  std::vector<uint8_t>& out);
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
    // shown_: the palette colours a viewer shows; current_: the frame to show.
    std::vector<Pixel> shown_, current_;
    // Per screen pixel: the frame colour its shown colour was written for.
    std::vector<Pixel> written_;
    // Per screen pixel: the frame's global palette index, and whether it must
    // be written (what is shown is farther from it than that index).
    std::vector<uint8_t> index_, changed_;
    std::vector<uint8_t> alpha_; // the frame's opacity
    uint64_t opaque_ = 0;         // the frame's pixels shown
    std::vector<uint32_t> global_;
    std::vector<uint32_t> input_; // the input's colours, sorted
    std::unique_ptr<Mapping> globalMap_;
    // The last MarkChanges: the squared error of the pixels left as shown.
    double unchangedError_ = 0;
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
    std::fill(alpha_.begin(), alpha_.end(), 0);
    opaque_ = 0;
    std::vector<uint8_t> row(size_t(fw) * 4);
    const RGBQUAD back = spec_.background;
    for (uint32_t y = 0; y < std::min(fh, height_); ++y) {
        ReadRgbRow(frame, y, true, row.data());
        Pixel* out = current_.data() + size_t(y) * width_;
        for (uint32_t x = 0; x < std::min(fw, width_); ++x) {
            const uint8_t* p = row.data() + 4 * size_t(x);
            const uint32_t a = p[3];
            // A pixel shown stays so while a quarter opaque, one see-through
            // shows from half: the edges of a smoothly resized shape would
            // otherwise flicker, and each pixel turning see-through clears a
            // whole earlier frame. Showing only from three quarters made
            // half-opaque shapes that turn up after the first frame vanish.
            alpha_[size_t(y) * width_ + x] = uint8_t(a);
            if (a < (shown_[size_t(y) * width_ + x] ? kShownTo : kShownFrom)) continue;
            auto mix = [&](uint32_t c, uint32_t under) { return (c * a + under * (255 - a) + 127) / 255; };
            const uint32_t r = mix(p[0], back.rgbRed), g = mix(p[1], back.rgbGreen),
                           b = mix(p[2], back.rgbBlue);
            out[x] = 0xFF000000u | r << 16 | g << 8 | b;
            ++opaque_;
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
    written_.assign(shown_.size(), 0);
    current_.assign(shown_.size(), 0);
    alpha_.assign(shown_.size(), 0);
    index_.assign(shown_.size(), 0);
    changed_.assign(shown_.size(), 0);
    Normalise(frame);
    Histogram histogram;
    for (Pixel p : current_)
        if (p) ++histogram[p & 0xFFFFFF];
    for (uint32_t c : spec_.palette) input_.push_back(c & 0xFFFFFF);
    std::sort(input_.begin(), input_.end());
    input_.erase(std::unique(input_.begin(), input_.end()), input_.end());
    uint64_t opaque = 0;
    for (const auto& [colour, n] : histogram) opaque += n;
    // The first frame's palette takes half the bound, leaving the rest to
    // the pixels later frames write over it.
    global_ = SizedPalette(histogram, input_, Allowance(opaque) / 2);
    globalMap_ = std::make_unique<Mapping>(global_);
    AddLikelyColours(histogram);

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
    Reframe(pending_, Union(GiveBack(clear), clear));
    pending_.disposal = 2;
    const Rect& r = pending_.rect;
    for (uint32_t y = r.y; y < r.y + r.h; ++y)
        for (size_t p = size_t(y) * width_ + r.x; p < size_t(y) * width_ + r.x + r.w; ++p) {
            shown_[p] = 0;
            // The half-covered rim of what went away is not written again,
            // so the next frame need not span both places.
            if (alpha_[p] < kShownFrom && current_[p]) current_[p] = 0, --opaque_;
        }
}

// Change is judged on what a viewer sees, not on the frame's own colours:
// a pixel whose shown colour is about as near to it as its palette colour
// would be stays, so the small colour shifts a smooth resize spreads around
// every changed input pixel do not each become a written pixel. Each frame
// is judged against its own colours, so the shown picture never drifts.
void GifFrameWriter::MarkChanges() {
    unchangedError_ = 0;
    for (size_t p = 0; p < current_.size(); ++p) {
        const Pixel c = current_[p];
        if (!c) {
            // Shown pixels that must turn see-through were cleared before.
            changed_[p] = 0;
            continue;
        }
        uint32_t error = 0;
        index_[p] = globalMap_->Map(c, error);
        const Pixel s = shown_[p];
        // Colours the global palette shows poorly are changed unless what is
        // shown is near them: they may call for a palette of their own.
        const uint32_t near = std::min(error, uint32_t(kWrittenErrorAtMost));
        const uint32_t slack = std::max(kUnseen, std::min(near, kSameTolerance));
        // A pixel whose colour is about what it was when written shows as
        // well as rewriting it would: it may be far from its palette colour
        // (an edge of a few-colour palette), but a new palette gains little.
        const bool same = Mapping::Distance(c, written_[p]) <= kSameTolerance;
        changed_[p] = !s || (!same && Mapping::Distance(c, s) > near + slack);
        if (!changed_[p]) unchangedError_ += Mapping::Distance(c, s);
    }
}

// The mean squared error written pixels may have: what the screen's bound
// leaves after the pixels left as shown.
double GifFrameWriter::Allowance(uint64_t written) const {
    if (written == 0) return kFrameError;
    // Over the pixels shown: see-through ones hold no error to lend.
    const double left = kFrameError * double(opaque_) - unchangedError_;
    return std::clamp(left / double(written), kFrameError, kWrittenErrorAtMost);
}

// The first frame seldom shows every colour of an animation, and a frame
// whose colours the global palette lacks costs a palette of its own. Spare
// entries take the colours the input says its frames use, when they show the
// first frame well enough that the steps between kept its colours.
void GifFrameWriter::AddLikelyColours(const Histogram& histogram) {
    // The global table comes first; a search takes 256 colours at most.
    const std::vector<uint32_t> first(spec_.palette.begin(),
                                      spec_.palette.begin() + long(std::min<size_t>(spec_.palette.size(), 256)));
    if (global_.size() >= 255 || first.size() <= global_.size()) return;
    Mapping likely(first);
    if (MeanError(likely, histogram) > kWrittenErrorAtMost) return;
    std::vector<uint32_t> sorted = global_;
    std::sort(sorted.begin(), sorted.end());
    for (uint32_t colour : first) {
        colour &= 0xFFFFFF;
        if (global_.size() >= 255) break;
        if (std::binary_search(sorted.begin(), sorted.end(), colour)) continue;
        sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), colour), colour);
        global_.push_back(colour);
    }
    globalMap_ = std::make_unique<Mapping>(global_);
}

// Another rectangle, the added pixels left as they are shown; pixels left
// out must have been given back.
void GifFrameWriter::Reframe(PendingFrame& f, const Rect& to) const {
    const uint32_t x0 = std::max(f.rect.x, to.x), y0 = std::max(f.rect.y, to.y);
    const uint32_t x1 = std::min(f.rect.x + f.rect.w, to.x + to.w),
                   y1 = std::min(f.rect.y + f.rect.h, to.y + to.h);
    auto move = [&](std::vector<uint8_t>& indexes) {
        if (indexes.empty()) return;
        std::vector<uint8_t> moved(size_t(to.w) * to.h, f.transparent);
        for (uint32_t y = y0; x0 < x1 && y < y1; ++y)
            std::memcpy(moved.data() + size_t(y - to.y) * to.w + (x0 - to.x),
                        indexes.data() + size_t(y - f.rect.y) * f.rect.w + (x0 - f.rect.x), x1 - x0);
        indexes = std::move(moved);
    };
    move(f.indexes);
    move(f.filled);
    f.rect = to;
}

// The held frame is cleared over its whole rectangle, and the next frame
// must write again whatever of it stays: a sprite's blurred rim around the
// place that turns see-through would make the next frame span both sprites,
// and that one clear again. Pixels written outside the place to clear that
// show about what was there before are given back; the rest stay written.
// Returns the rectangle of those.
Rect GifFrameWriter::GiveBack(const Rect& clear) {
    PendingFrame& f = pending_;
    const Rect& r = f.rect;
    auto inside = [](const Rect& a, uint32_t x, uint32_t y) {
        return x >= a.x && x < a.x + a.w && y >= a.y && y < a.y + a.h;
    };
    // The rim of the place to clear, the reach of a smooth resize's blur
    // from what goes away there (its half-covered pixels may stay shown).
    const uint32_t left = std::min(clear.x, 2u), top = std::min(clear.y, 2u);
    const Rect rim{clear.x - left, clear.y - top, clear.w + left + 2, clear.h + top + 2};
    auto back = [&](uint32_t x, uint32_t y) {
        const size_t i = size_t(y - r.y) * r.w + (x - r.x), p = size_t(y) * width_ + x;
        const uint32_t most = inside(rim, x, y) ? kRimGivenBackAtMost : kWrittenErrorAtMost;
        return f.indexes[i] == f.transparent || inside(clear, x, y) ||
               (f.before[i] && Mapping::Distance(written_[p], f.before[i]) <= most);
    };
    if (f.first) return r;
    Rect keep;
    for (uint32_t y = r.y; y < r.y + r.h; ++y)
        for (uint32_t x = r.x; x < r.x + r.w; ++x)
            if (!back(x, y)) keep = Union(keep, Rect{x, y, 1, 1});
    const Rect to = Union(keep, clear);
    for (uint32_t y = r.y; y < r.y + r.h; ++y)
        for (uint32_t x = r.x; x < r.x + r.w; ++x) {
            if (inside(to, x, y)) continue;
            const size_t i = size_t(y - r.y) * r.w + (x - r.x), p = size_t(y) * width_ + x;
            if (f.indexes[i] == f.transparent) continue;
            // Where the colour shown again is near what the next frame wants
            // there, it stands for that colour as if written for it: that
            // frame would otherwise write it and span this place again.
            const bool near = current_[p] &&
                              Mapping::Distance(current_[p], f.before[i]) <= kWrittenErrorAtMost;
            written_[p] = near ? current_[p] : f.writtenBefore[i];
            shown_[p] = f.before[i];
        }
    return keep;
}

// The changed pixels of rect in the global palette, or in one of their own
// when the global one shows them too poorly; unchanged ones transparent.
bool GifFrameWriter::MakeFrame(const Rect& rect, uint32_t delayMs) {
    PendingFrame f;
    f.present = true;
    f.rect = rect;
    f.delay = (delayMs + 5) / 10;
    auto at = [&](uint32_t x, uint32_t y) { return size_t(y + rect.y) * width_ + rect.x + x; };
    Histogram histogram;
    for (uint32_t y = 0; y < rect.h; ++y)
        for (uint32_t x = 0; x < rect.w; ++x)
            if (changed_[at(x, y)]) ++histogram[current_[at(x, y)] & 0xFFFFFF];
    double sum = 0, count = 0;
    for (const auto& [colour, n] : histogram) {
        uint32_t e = 0;
        globalMap_->Map(colour, e);
        sum += double(e) * n, count += n;
    }
    std::unique_ptr<Mapping> local;
    const double allowed = Allowance(uint64_t(count));
    if (count > 0 && sum / count > allowed) {
        f.local = SizedPalette(histogram, input_, allowed);
        local = std::make_unique<Mapping>(f.local);
    }
    Mapping& map = local ? *local : *globalMap_;
    const std::vector<uint32_t>& colours = local ? f.local : global_;
    f.transparent = uint8_t(colours.size());
    f.first = first_;
    f.before.resize(size_t(rect.w) * rect.h);
    f.writtenBefore.resize(f.before.size());
    for (uint32_t y = 0; y < rect.h; ++y) {
        std::copy_n(shown_.begin() + long(at(0, y)), rect.w, f.before.begin() + long(y) * rect.w);
        std::copy_n(written_.begin() + long(at(0, y)), rect.w,
                    f.writtenBefore.begin() + long(y) * rect.w);
    }
    f.indexes.assign(size_t(rect.w) * rect.h, f.transparent);
    f.filled.assign(f.indexes.size(), f.transparent);
    bool anyFilled = false;
    for (uint32_t y = 0; y < rect.h; ++y) {
        uint8_t* out = f.indexes.data() + size_t(y) * rect.w;
        uint8_t* filled = f.filled.data() + size_t(y) * rect.w;
        for (uint32_t x = 0; x < rect.w; ++x) {
            const size_t p = at(x, y);
            uint32_t e = 0;
            if (changed_[p]) {
                const uint8_t i = local ? map.Map(current_[p], e) : index_[p];
                out[x] = filled[x] = i;
                shown_[p] = 0xFF000000u | colours[i];
                written_[p] = current_[p];
            } else if (shown_[p]) {
                const uint8_t i = map.Map(shown_[p], e);
                if (e == 0) filled[x] = i, anyFilled = true;
            }
        }
    }
    if (!anyFilled) f.filled.clear();
    pending_ = std::move(f);
    return true;
}

bool GifFrameWriter::Compress(const PendingFrame& f, const std::vector<uint8_t>& indexes,
                              int codeSize, std::vector<uint8_t>& out) {
    MemoryImageStream memory;
    const uint32_t w = f.rect.w;
    if (!memory.Open() || !lzw_->Compress(&memory, codeSize + 1, w, f.rect.h, [&](uint32_t r) {
            return indexes.data() + size_t(r) * w;
        })) {
        error_ = "Write Error in GIF file";
        return false;
    }
    const uint8_t* data = memory.GetBuffer(false);
    out.assign(data, data + memory.Size());
    return true;
}

bool GifFrameWriter::WritePending() {
    PendingFrame& f = pending_;
    if (!f.present) return true;
    f.present = false;
    // The codes start as wide as the highest index the pixels use, not the
    // table: a frame of few colours or a first frame of the likely colours'
    // table starts narrow.
    auto codeSizeOf = [](const std::vector<uint8_t>& indexes) {
        const uint8_t top = *std::max_element(indexes.begin(), indexes.end());
        return int(std::max<uint32_t>(TableBits(size_t(top) + 1), 2));
    };
    std::vector<uint8_t> data, other;
    if (!Compress(f, f.indexes, codeSizeOf(f.indexes), data)) return false;
    const std::vector<uint8_t>* chosen = &f.indexes;
    if (!f.filled.empty()) {
        if (!Compress(f, f.filled, codeSizeOf(f.filled), other)) return false;
        if (other.size() < data.size()) data.swap(other), chosen = &f.filled;
    }
    const bool seeThrough =
        std::find(chosen->begin(), chosen->end(), f.transparent) != chosen->end();
    std::vector<uint8_t> out = {0x21, 0xF9, 4, uint8_t(f.disposal << 2 | (seeThrough ? 1 : 0))};
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
    out.push_back(uint8_t(codeSizeOf(*chosen)));
    data.push_back(0);
    return Write(out) && Write(data);
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
    MarkChanges();
    Rect rect = first_ ? Rect{0, 0, width_, height_}
                       : BoundingBox(width_, height_, [&](size_t p) { return changed_[p] != 0; });
    // A frame that changes nothing still shows for its time.
    if (rect.Empty()) rect = Rect{0, 0, 1, 1};
    const bool made = MakeFrame(rect, delayMs);
    first_ = false;
    return made;
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

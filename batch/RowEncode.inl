// The quality searches of RowEncode.h: a bracket [fits, over] narrowed by
// interpolating log size over quality, bisecting when that stalls.
#include <algorithm>
#include <cmath>
#include <vector>

// How far under the budget (in log size) a probe aims while nothing fits.
inline constexpr double kAimUnder = 0.05;

template <class Encode>
int SearchQuality(int top, int64_t budget, Encode encode, int& encodes, bool& settled) {
    encodes = 0;
    settled = false;
    int fits = 0, over = top + 1; // highest known to fit, lowest known over
    double fitsLog = 0, overLog = 0;
    int lastOver = 0; // the over before, while nothing fits
    double lastOverLog = 0;
    int next = top;
    while (over - fits > 1) {
        if (encodes == kBudgetEncodes) return fits;
        const int64_t size = encode(next);
        ++encodes;
        if (size < 0) return -1;
        if (size <= budget)
            fits = next, fitsLog = std::log(double(size));
        else
            lastOver = over, lastOverLog = overLog, over = next, overLog = std::log(double(size));
        if (over - fits <= 1) break;
        const double goal = std::log(double(budget));
        if (fits == 0) {
            // Nothing fits yet: aim a little under the budget, from the
            // smallest file over, then along the line through the two
            // smallest: the fixed model alone creeps down a step at a time
            // on pictures whose size falls slowly with quality.
            const double aim = goal - kAimUnder;
            int estimate = EstimateQuality(over, int64_t(std::exp(overLog)), int64_t(std::exp(aim)));
            if (lastOver <= top && lastOverLog > overLog) {
                const double perStep = (lastOverLog - overLog) / (lastOver - over);
                estimate = over - int(std::ceil((overLog - aim) / perStep));
            }
            next = std::clamp(estimate, 1, over - 1);
        } else if (over == top + 1) {
            next = std::clamp(EstimateQuality(fits, int64_t(std::exp(fitsLog)), budget), fits + 1, top);
        } else {
            const double t = (goal - fitsLog) / (overLog - fitsLog);
            next = fits + int(std::floor(t * (over - fits)));
            // The bracket must shrink; near its ends, probe next to the end
            // most likely to be the answer.
            next = std::clamp(next, fits + 1, over - 1);
        }
    }
    settled = true;
    return fits;
}

// The sample's sizes by quality, each encoded once, scaled to the picture:
// the part of the full size that grows with quality.
template <class Sample>
class SampledSizes {
public:
    SampledSizes(int top, Sample sample, double ratio)
        : top_(top), sample_(sample), ratio_(ratio), sizes_(size_t(top) + 2, -1) {}
    bool Failed() const { return failed_; }
    bool Known(int q) const { return q >= 1 && q <= top_ && sizes_[size_t(q)] >= 0; }
    double Part(int q) {
        int64_t& size = sizes_[size_t(q)];
        if (size < 0 && (size = sample_(q)) < 0) failed_ = true;
        return Ratio(q) * double(std::max<int64_t>(1, size));
    }
    // A full encode at q measured part: the scale there, and between it
    // and the next measured quality, where the sample's size may fall more
    // or less steeply than the picture's.
    void Calibrate(int q, double part) {
        Part(q);
        measured_.emplace_back(q, part / double(std::max<int64_t>(1, sizes_[size_t(q)])));
    }
    // a estimated to fit (or known to), b the next estimated over (or known
    // over), from what is sampled already; then narrowed by a guess and its
    // neighbour on the other side of room until they are adjacent: the pair
    // is the answer when the guess was close, and otherwise gives the next
    // guess a slope measured where the answer is. False on a failure.
    bool Narrow(int fits, int over, double room, int& a, int& b) {
        a = fits, b = over;
        for (int q = fits + 1; q < over; ++q)
            if (Known(q) && Part(q) <= room) a = q;
        for (int q = over - 1; q > a; --q)
            if (Known(q) && Part(q) > room) b = q;
        bool guessed = false;
        for (int last = 0; b - a > 1 && !failed_;) {
            const bool informed = Known(a) || Known(b);
            const int m = std::clamp(guessed ? (last == a ? a + 1 : b - 1) : Guess(a, b, room),
                                     a + 1, b - 1);
            (Part(m) <= room ? a : b) = m;
            guessed = !guessed && informed, last = m;
        }
        return !failed_;
    }

private:
    // From the end nearer the budget along the slope of it and the known
    // quality next to it, beyond it: size falls with quality along a curve,
    // and a line to the far end creeps a step at a time along its flat
    // part. Else between both ends along log size, or from one end by the
    // model; with nothing known, the top.
    int Guess(int a, int b, double room) {
        if (!Known(a) && !Known(b)) return b - 1;
        const double goal = std::log(room);
        const bool fromB = !Known(a) || (Known(b) && std::log(Part(b)) - goal < goal - std::log(Part(a)));
        const int near = fromB ? b : a, step = fromB ? 1 : -1;
        int far = 0;
        for (int q = near + step; q >= 1 && q <= top_ && !far; q += step)
            if (Known(q)) far = q;
        const double ln = std::log(Part(near));
        if (far && std::log(Part(far)) != ln) {
            const double perStep = (std::log(Part(far)) - ln) / (far - near);
            return near + int(std::floor((goal - ln) / perStep));
        }
        if (Known(a) && Known(b)) {
            const double la = std::log(Part(a)), lb = std::log(Part(b));
            return lb > la ? a + int(std::floor((goal - la) / (lb - la) * (b - a))) : b - 1;
        }
        return EstimateQuality(near, int64_t(Part(near)), int64_t(room));
    }

    // Full over sample at q: the nearest measured, interpolated in log
    // between measured qualities on either side.
    double Ratio(int q) const {
        const std::pair<int, double>*below = nullptr, *above = nullptr;
        for (const auto& m : measured_) {
            if (m.first <= q && (!below || m.first > below->first)) below = &m;
            if (m.first >= q && (!above || m.first < above->first)) above = &m;
        }
        if (!below && !above) return ratio_;
        if (!below || !above || below->first == above->first) return (below ? below : above)->second;
        const double t = double(q - below->first) / (above->first - below->first);
        return std::exp(std::log(below->second) * (1 - t) + std::log(above->second) * t);
    }

    int top_;
    Sample sample_;
    double ratio_;
    std::vector<std::pair<int, double>> measured_;
    std::vector<int64_t> sizes_;
    bool failed_ = false;
};

template <class Encode, class Sample>
int SearchQualitySampled(int top, int64_t budget, double fixed, double ratio, Encode encode,
                         Sample sample, int& encodes, bool& settled) {
    encodes = 0;
    settled = false;
    SampledSizes<Sample> sizes(top, sample, ratio);
    // The estimate's part that grows with quality, against the budget's.
    const double room = std::max(1.0, double(budget) - fixed);
    int fits = 0, over = top + 1; // known from full encodes
    while (over - fits > 1) {
        if (encodes == kBudgetEncodes) return fits;
        int a = 0, b = 0;
        if (!sizes.Narrow(fits, over, room, a, b)) return -1;
        // The full encode goes to whichever of the pair the sample puts
        // nearer the budget: the one it is least sure of. Nothing between
        // estimated to fit: the lowest open quality shows whether the
        // sample was wrong.
        int next = std::max(a, fits + 1);
        if (next == a && a + 1 < over && sizes.Known(a + 1) &&
            sizes.Part(a + 1) / room < room / sizes.Part(a))
            next = a + 1;
        const int64_t size = encode(next);
        ++encodes;
        if (size < 0) return -1;
        (size <= budget ? fits : over) = next;
        sizes.Calibrate(next, std::max(1.0, double(size) - fixed));
        if (sizes.Failed()) return -1;
    }
    settled = true;
    return fits;
}

// The quality searches of RowEncode.h: a bracket [fits, over] narrowed by
// interpolating log size over quality, bisecting when that stalls.
#include <algorithm>
#include <cmath>
#include <vector>

// Quality on libjpeg's scale of its quantisation tables, in log: a file's
// size falls about as a power of that scale (the power near kSizePower),
// so sizes interpolate along it more nearly straight than along quality.
inline double QualityAxis(double q) {
    q = std::clamp(q, 1.0, 100.0);
    return std::log(std::max(q < 50 ? 5000 / q : 200 - 2 * q, 1.0));
}
inline double QualityOnAxis(double x) {
    const double scale = std::exp(x);
    return scale > 100 ? 5000 / scale : (200 - scale) / 2;
}
inline constexpr double kSizePower = 0.7;
// Near enough the budget, in log size, for a sample to measure the scale at.
inline constexpr double kNearEnough = 0.04;

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
    int64_t Sampled(int q) {
        Part(q);
        return sizes_[size_t(q)];
    }
    bool Known(int q) const { return q >= 1 && q <= top_ && sizes_[size_t(q)] >= 0; }
    // The lowest and the highest quality around q, up to `to`, whose samples
    // are the very size of q's: the encoder was given the same settings
    // there (AV1's level moves about one step in 1.6 of quality), so the
    // picture's file is the same too.
    int SameFrom(int q) const {
        int low = q;
        while (SameAs(q, low - 1)) --low;
        return low;
    }
    int SameTo(int q, int to) const {
        int high = q;
        while (high < to && SameAs(q, high + 1)) ++high;
        return high;
    }
    double Part(int q) {
        int64_t& size = sizes_[size_t(q)];
        if (size < 0) {
            if ((size = sample_(q)) < 0) failed_ = true;
            runs_ = runs_ || (size >= 0 && (SameAs(q, q - 1) || SameAs(q, q + 1)));
        }
        return Ratio(q) * double(std::max<int64_t>(1, size));
    }
    // Whether two neighbouring qualities were seen given the same settings.
    bool Runs() const { return runs_; }
    // A full encode at q measured part: the scale there, and between it
    // and the next measured quality, where the sample's size may fall more
    // or less steeply than the picture's.
    // A provisional scale (from a larger sample) gives way to the first
    // full encode's.
    void Calibrate(int q, double part, bool provisional = false) {
        Part(q);
        if (provisional_) measured_.clear();
        provisional_ = provisional;
        measured_.emplace_back(q, part / double(std::max<int64_t>(1, sizes_[size_t(q)])));
    }
    // a estimated to fit (or known to), b the next estimated over (or known
    // over), from what is sampled already; then narrowed by guesses until
    // they are adjacent. False on a failure.
    bool Narrow(int fits, int over, double room, int& a, int& b) {
        Bracket(fits, over, room, a, b);
        while (b - a > 1 && !failed_) {
            const int m = std::clamp(Guess(room), a + 1, b - 1);
            (Part(m) <= room ? a : b) = m;
        }
        return !failed_;
    }
    // Guesses until a sampled size is within `within` of room (a ratio, in
    // log) or the pair is adjacent: the quality sampled nearest room, 0 on
    // a failure.
    int Approach(double room, double within) {
        int a = 0, b = top_ + 1;
        Bracket(a, b, room, a, b);
        for (int m = 0; !failed_;) {
            if (m && std::abs(Log(m) - std::log(room)) < within) return m;
            if (b - a <= 1) return Known(a) && (!Known(b) || room / Part(a) < Part(b) / room) ? a : b;
            m = std::clamp(Guess(room), a + 1, b - 1);
            (Part(m) <= room ? a : b) = m;
        }
        return 0;
    }

private:
    bool SameAs(int q, int other) const {
        return Known(q) && Known(other) && sizes_[size_t(q)] == sizes_[size_t(other)];
    }
    void Bracket(int fits, int over, double room, int& a, int& b) {
        a = fits, b = over;
        for (int q = fits + 1; q < over; ++q)
            if (Known(q) && Part(q) <= room) a = q;
        for (int q = over - 1; q > a; --q)
            if (Known(q) && Part(q) > room) b = q;
    }
    // Along the line through the sampled size nearest room and the nearest
    // on room's other side, or else the nearest far enough along the axis
    // that a sample's noise between neighbours does not tilt the line
    // (adjacent qualities can differ by less than a percent); from one
    // sampled size, by the usual power; with none, the top.
    int Guess(double room) {
        constexpr double kLeastSpan = 0.15;
        const double goal = std::log(room);
        int near = 0;
        for (int q = 1; q <= top_; ++q)
            if (Known(q) && (!near || std::abs(Log(q) - goal) < std::abs(Log(near) - goal))) near = q;
        if (!near) return top_;
        const double xNear = QualityAxis(near), lNear = Log(near);
        int far = 0;
        auto better = [&](int q) {
            const bool across = (Log(q) > goal) != (lNear > goal);
            const bool farAcross = far && (Log(far) > goal) != (lNear > goal);
            if (across != farAcross) return across;
            if (!across && (std::abs(QualityAxis(q) - xNear) >= kLeastSpan) !=
                               (std::abs(QualityAxis(far) - xNear) >= kLeastSpan))
                return std::abs(QualityAxis(q) - xNear) >= kLeastSpan;
            return std::abs(Log(q) - goal) < std::abs(Log(far) - goal);
        };
        for (int q = 1; q <= top_; ++q)
            if (q != near && Known(q) && Log(q) != lNear && (!far || better(q))) far = q;
        const double x = far ? xNear + (goal - lNear) / (Log(far) - lNear) * (QualityAxis(far) - xNear)
                             : xNear + (lNear - goal) / kSizePower;
        return int(std::floor(QualityOnAxis(x)));
    }
    double Log(int q) { return std::log(Part(q)); }

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
    bool failed_ = false, provisional_ = false, runs_ = false;
};

template <class Encode, class Sample, class Widen>
int SearchQualitySampled(int top, int64_t budget, double fixed, double ratio, Encode encode,
                         Sample sample, int& encodes, bool& settled, Widen widen, bool widenLasts) {
    encodes = 0;
    settled = false;
    SampledSizes<Sample> sizes(top, sample, ratio);
    // The estimate's part that grows with quality, against the budget's.
    const double room = std::max(1.0, double(budget) - fixed);
    int fits = 0, over = top + 1; // known from full encodes
    // A wider sample where the small one comes near the budget sets the
    // scale the first full encode is placed by.
    if (const int q = sizes.Approach(room, kNearEnough)) {
        const double part = widen(q, sizes.Sampled(q));
        if (part < 0) return -1;
        if (part > 0) sizes.Calibrate(q, part, !widenLasts);
    }
    if (sizes.Failed()) return -1;
    while (over - fits > 1) {
        if (encodes == kBudgetEncodes) return fits;
        int a = 0, b = 0;
        if (!sizes.Narrow(fits, over, room, a, b)) return -1;
        if (over <= top && sizes.SameFrom(over) < over) {
            over = std::max(fits + 1, sizes.SameFrom(over));
            continue;
        }
        // The full encode goes to whichever of the pair the sample puts
        // nearer the budget: the one it is least sure of. Nothing between
        // estimated to fit: the lowest open quality shows whether the
        // sample was wrong.
        int next = std::max(a, fits + 1);
        if (next == a && a + 1 < over && sizes.Known(a + 1) &&
            sizes.Part(a + 1) / room < room / sizes.Part(a))
            next = a + 1;
        // The top of a run given the same settings answers for all of it:
        // over, the run is over; fitting, the quality above is next.
        if (sizes.Runs() && next + 1 < over) sizes.Part(next + 1);
        next = sizes.SameTo(next, over - 1);
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

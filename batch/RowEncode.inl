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

template <class Encode, class Sample>
int SearchQualitySampled(int top, int64_t budget, double ratio, Encode encode, Sample sample,
                         int& encodes, bool& settled) {
    encodes = 0;
    settled = false;
    std::vector<int64_t> sampled(size_t(top) + 2, -1);
    bool failed = false;
    auto estimate = [&](int q) {
        if (sampled[size_t(q)] < 0 && (sampled[size_t(q)] = sample(q)) < 0) failed = true;
        return ratio * double(sampled[size_t(q)]);
    };
    const double goal = std::log(double(budget));
    int fits = 0, over = top + 1; // known from full encodes
    while (over - fits > 1) {
        if (encodes == kBudgetEncodes) return fits;
        // On the sample: a estimated to fit (or fits), b estimated over (or
        // over); interpolate in log size where both ends are sampled, else
        // start at the top, and bisect when a step did not halve the range.
        int a = fits, b = over;
        bool bisect = false;
        while (b - a > 1) {
            int m = (a + b) / 2;
            const bool knownA = a > fits, knownB = b < over;
            const bool guess = !bisect;
            if (guess && knownA && knownB) {
                const double la = std::log(estimate(a)), lb = std::log(estimate(b));
                if (lb > la)
                    m = std::clamp(a + int(std::floor((goal - la) / (lb - la) * (b - a))), a + 1, b - 1);
            } else if (guess && knownB) {
                m = std::clamp(EstimateQuality(b, int64_t(estimate(b)), budget), a + 1, b - 1);
            } else if (guess && knownA) {
                m = std::clamp(EstimateQuality(a, int64_t(estimate(a)), budget), a + 1, b - 1);
            } else if (guess) {
                m = b - 1;
            }
            const int width = b - a;
            (estimate(m) <= double(budget) ? a : b) = m;
            if (failed) return -1;
            // The first look at the top narrows little by design.
            bisect = guess && (knownA || knownB) && 2 * (b - a) > width + 1;
        }
        // Nothing between estimated to fit: the lowest open quality shows
        // whether the sample was wrong.
        const int next = std::max(a, fits + 1);
        const int64_t size = encode(next);
        ++encodes;
        if (size < 0) return -1;
        if (size <= budget)
            fits = next;
        else
            over = next;
        estimate(next);
        if (failed) return -1;
        if (sampled[size_t(next)] > 0) ratio = double(size) / double(sampled[size_t(next)]);
    }
    settled = true;
    return fits;
}

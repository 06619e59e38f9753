// The quality search of RowEncode.h: a bracket [fits, over] narrowed by
// interpolating log size over quality, bisecting when that stalls.
#include <algorithm>
#include <cmath>

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

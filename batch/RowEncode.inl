// The quality search of RowEncode.h: a bracket [fits, over] narrowed by
// interpolating log size over quality, bisecting when that stalls.
#include <algorithm>
#include <cmath>

template <class Encode>
int SearchQuality(int top, int64_t budget, Encode encode, int& encodes, bool& settled) {
    encodes = 0;
    settled = false;
    int fits = 0, over = top + 1; // highest known to fit, lowest known over
    double fitsLog = 0, overLog = 0;
    int next = top;
    while (over - fits > 1) {
        if (encodes == kBudgetEncodes) return fits;
        const int64_t size = encode(next);
        ++encodes;
        if (size < 0) return -1;
        if (size <= budget)
            fits = next, fitsLog = std::log(double(size));
        else
            over = next, overLog = std::log(double(size));
        if (over - fits <= 1) break;
        const double goal = std::log(double(budget));
        if (fits == 0) {
            // Nothing fits yet: estimate from the smallest file over.
            next = std::clamp(EstimateQuality(over, int64_t(std::exp(overLog)), budget), 1, over - 1);
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

// Damaged copies of a file: truncations and single-byte changes, as disks,
// downloads and hostile senders make them.
#pragma once

#include "Files.h"

#include <algorithm>
#include <cstdint>
#include <random>

namespace testkit {

struct DamagePlan {
    size_t cuts = 12;   // truncations, their lengths spread evenly (plus a few header lengths)
    size_t header = 0;  // the first bytes, each set to every damaged value
    size_t spread = 0;  // positions spread evenly over the file, each set likewise
    size_t random = 24; // one random byte changed, half of them within the first 128 bytes
    uint32_t seed = 12345;
};

// The values a damaged byte b takes: the extremes and near misses.
inline std::vector<uint8_t> DamagedValues(uint8_t b) {
    std::vector<uint8_t> v;
    for (uint8_t c : {uint8_t(0x00), uint8_t(0xFF), uint8_t(b ^ 0x01), uint8_t(b ^ 0x80),
                      uint8_t(b + 1)})
        if (c != b && std::find(v.begin(), v.end(), c) == v.end()) v.push_back(c);
    return v;
}

template <class Check> void ForEachDamagedCopy(const Bytes& bytes, const DamagePlan& plan, Check check) {
    const size_t n = bytes.size();
    if (n == 0) return;
    std::vector<size_t> cuts = {0, 1, 4, 12, 18, 30, 40, 64};
    for (size_t k = 1; k <= plan.cuts; ++k)
        cuts.push_back(n * k / (plan.cuts + 1));
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (size_t cut : cuts)
        if (cut < n) check(Bytes(bytes.begin(), bytes.begin() + long(cut)));
    auto changeAt = [&](size_t at) {
        for (uint8_t v : DamagedValues(bytes[at])) {
            Bytes copy = bytes;
            copy[at] = v;
            check(copy);
        }
    };
    const size_t header = std::min(n, plan.header);
    for (size_t at = 0; at < header; ++at)
        changeAt(at);
    if (plan.spread > 0)
        for (size_t at = header; at < n; at += std::max<size_t>(1, n / plan.spread))
            changeAt(at);
    std::mt19937 rng(plan.seed);
    for (size_t k = 0; k < plan.random; ++k) {
        Bytes copy = bytes;
        const size_t at = rng() % (k % 2 ? n : std::min<size_t>(n, 128));
        copy[at] = uint8_t(copy[at] ^ (1 + rng() % 255));
        check(copy);
    }
}

} // namespace testkit

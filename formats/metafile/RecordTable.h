// Record type to the player member that draws it: each player keeps one
// sorted table, one line per record, and a small function per record family.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

namespace metafile {

class RecordReader;

template <class Player> struct RecordHandler {
    uint32_t type;
    void (Player::*play)(uint32_t type, const RecordReader& r);
};

template <class Player>
constexpr bool SortedByType(std::span<const RecordHandler<Player>> table) {
    return std::is_sorted(table.begin(), table.end(),
                          [](const auto& a, const auto& b) { return a.type < b.type; }) &&
           std::adjacent_find(table.begin(), table.end(), [](const auto& a, const auto& b) {
               return a.type == b.type;
           }) == table.end();
}

// Plays one record through its handler; records without one draw nothing.
template <class Player>
void PlayRecord(Player& player, std::span<const RecordHandler<Player>> table, uint32_t type,
                const RecordReader& r) {
    const auto it = std::lower_bound(table.begin(), table.end(), type,
                                     [](const auto& h, uint32_t t) { return h.type < t; });
    if (it != table.end() && it->type == type) (player.*(it->play))(type, r);
}

} // namespace metafile

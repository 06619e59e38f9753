#include "NameTurns.h"

#include <filesystem>

void NameTurns::Enter(size_t row, const OutputStem& stem) {
    Entry entry{ResolvedFolder(stem.folder) + '\0' + stem.extension, stem.name};
    std::lock_guard lock(mutex_);
    open_.insert_or_assign(row, std::move(entry));
}

void NameTurns::Wait(size_t row) {
    std::unique_lock lock(mutex_);
    const auto self = open_.find(row);
    if (self == open_.end()) return;
    left_.wait(lock, [&] { return !EarlierRival(self); });
}

void NameTurns::Leave(size_t row) {
    {
        std::lock_guard lock(mutex_);
        open_.erase(row);
    }
    left_.notify_all();
}

// Only rows in hand are open, so this looks at a handful of entries.
bool NameTurns::EarlierRival(const std::map<size_t, Entry>::const_iterator& self) const {
    for (auto it = open_.begin(); it != self; ++it)
        if (it->second.place == self->second.place &&
            NamesMayCollide(it->second.name, self->second.name))
            return true;
    return false;
}

std::string NameTurns::ResolvedFolder(const std::string& folder) {
    const auto known = resolved_.find(folder);
    if (known != resolved_.end()) return known->second;
    std::error_code ec;
    std::string resolved =
        std::filesystem::weakly_canonical(folder.empty() ? "." : folder, ec).string();
    if (ec) resolved = folder;
    return resolved_.emplace(folder, std::move(resolved)).first->second;
}

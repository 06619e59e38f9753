#include "ThumbnailQueue.h"

#include <algorithm>

ThumbnailQueue::ThumbnailQueue(int count) : taken_(size_t(std::max(count, 0)), 0), left_(std::max(count, 0)) {}

void ThumbnailQueue::SetVisible(int first, int last) {
    std::lock_guard lock(mutex_);
    const int n = int(taken_.size());
    if (n == 0) return;
    first_ = std::clamp(first, 0, n - 1);
    last_ = std::clamp(last, first_, n - 1);
    ahead_ = first_;
    behind_ = first_ - 1;
}

int ThumbnailQueue::Next() {
    std::lock_guard lock(mutex_);
    if (closed_ || left_ == 0) return -1;
    const int n = int(taken_.size());
    while (ahead_ < n && taken_[size_t(ahead_)]) ++ahead_;
    while (behind_ >= 0 && taken_[size_t(behind_)]) --behind_;
    // Ties go below the range in sight, where a reader scrolls next.
    const bool takeAhead =
        ahead_ < n && (ahead_ <= last_ || behind_ < 0 || ahead_ - last_ <= first_ - behind_);
    const int pick = takeAhead ? ahead_ : behind_;
    taken_[size_t(pick)] = 1;
    --left_;
    return pick;
}

void ThumbnailQueue::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

// The order the browse list's thumbnails are drawn in by several threads: the
// items in sight first, then outward from them, nearest first. The user may
// scroll at any time, so the range in sight can move between two picks.
#pragma once

#include <mutex>
#include <vector>

class ThumbnailQueue {
public:
    explicit ThumbnailQueue(int count);

    // Items first..last are in sight (clamped to the list).
    void SetVisible(int first, int last);
    // The next item to draw and marks it taken; -1 when none is left or the
    // queue is closed.
    int Next();
    // Every later Next returns -1, so the threads end after their current item.
    void Close();

private:
    std::mutex mutex_;
    std::vector<char> taken_;
    int first_ = 0, last_ = 0;
    // Nearest untaken candidates below and above the range in sight.
    int ahead_ = 0, behind_ = -1;
    int left_;
    bool closed_ = false;
};

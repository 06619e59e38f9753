// The image files of a folder, and with recursion those of every folder below
// it, in a stable order: a folder's own files by name (letter case folded,
// as the browse list orders them), then its subfolders in the same order.
// Links are followed; a link back to a folder being walked is a loop.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct FolderWalkSink {
    // An image file, and its folder relative to the walked one (empty, or
    // ending in '/').
    std::function<void(const std::string& path, const std::string& subfolder)> file;
    // A folder not walked: failed is set for a loop or an unreadable folder,
    // clear for a folder already walked under another name.
    std::function<void(const std::string& path, const std::string& why, bool failed)> skipped;
};

class FolderWalk {
public:
    // Folders never walked into (named as the walked folder itself they are
    // still walked), e.g. the output folder.
    void Exclude(const std::string& folder);
    // Walks folder (its path as given, without a trailing '/').
    void Walk(const std::string& folder, bool recursive, const FolderWalkSink& sink);

private:
    using FolderId = std::pair<unsigned long, unsigned long>; // device, inode
    void WalkFolder(const std::string& folder, const std::string& subfolder, bool recursive,
                    const FolderWalkSink& sink);

    std::set<FolderId> excluded_;
    std::set<FolderId> walked_;
    // Folders being walked, innermost last, to name the target of a loop.
    std::vector<std::pair<FolderId, std::string>> open_;
};

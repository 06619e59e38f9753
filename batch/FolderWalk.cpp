#include "FolderWalk.h"

#include "ImageType.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <vector>

namespace {

std::string FoldCase(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return key;
}

// Folded names first; names equal but for case keep a fixed order.
void SortNames(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const std::string fa = FoldCase(a), fb = FoldCase(b);
        return fa != fb ? fa < fb : a < b;
    });
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

} // namespace

void FolderWalk::Exclude(const std::string& folder) {
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0) excluded_.insert({st.st_dev, st.st_ino});
}

void FolderWalk::Walk(const std::string& folder, bool recursive, const FolderWalkSink& sink) {
    WalkFolder(folder, {}, recursive, sink);
}

void FolderWalk::WalkFolder(const std::string& folder, const std::string& subfolder,
                            bool recursive, const FolderWalkSink& sink) {
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) {
        sink.skipped(folder, std::strerror(errno), true);
        return;
    }
    const FolderId id{st.st_dev, st.st_ino};
    if (!subfolder.empty() && excluded_.count(id)) return;
    for (const auto& [openId, openPath] : open_) {
        if (openId == id) {
            sink.skipped(folder, "folder loop (leads back to " + openPath + ")", true);
            return;
        }
    }
    if (!walked_.insert(id).second) {
        sink.skipped(folder, "folder already listed under another name", false);
        return;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        sink.skipped(folder, std::strerror(errno), true);
        return;
    }
    std::vector<std::string> files, folders;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat target;
        const std::string path = Join(folder, name);
        if (::stat(path.c_str(), &target) != 0) {
            // A path too long, a folder that cannot be searched, a link to
            // nothing that names an image: each is said. Only links to nothing
            // under other names stay unsaid, as the files they are not.
            if (errno != ENOENT || ImageTypeFromExtension(name) != kTypeUnknown)
                sink.skipped(path, std::strerror(errno), true);
            continue;
        }
        if (S_ISDIR(target.st_mode))
            folders.push_back(name);
        else if (S_ISREG(target.st_mode) && ImageTypeFromExtension(name) != kTypeUnknown)
            files.push_back(name);
    }
    ::closedir(dir);
    SortNames(files);
    for (const std::string& name : files)
        sink.file(Join(folder, name), subfolder);
    if (!recursive) return;
    SortNames(folders);
    open_.emplace_back(id, folder);
    for (const std::string& name : folders)
        WalkFolder(Join(folder, name), subfolder + name + "/", true, sink);
    open_.pop_back();
}

#include "NewFile.h"

#include "ImageStream.h"
#include "OutputNaming.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTempPrefix[] = ".tessaline-";
constexpr char kTempSuffix[] = ".tmp";
constexpr size_t kTempDigits = 16;
constexpr int kTempAttempts = 16;

// Temporaries being written, for a signal handler to remove: a slot is
// filled, then marked ready; the handler only reads ready slots.
constexpr int kSlotCount = 300; // above the largest thread count
struct Slot {
    std::atomic<int> state{0}; // 0 free, 1 taken, 2 ready
    char path[PATH_MAX];
};
Slot gSlots[kSlotCount];

int TakeSlot(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kSlotCount; ++i) {
        int expected = 0;
        if (!gSlots[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
        gSlots[i].state.store(2, std::memory_order_release);
        return i;
    }
    return -1; // only the sweep of the next run will find it
}

void FreeSlot(int slot) {
    if (slot >= 0) gSlots[slot].state.store(0, std::memory_order_release);
}

std::string RandomDigits() {
    uint64_t value = 0;
    if (::getrandom(&value, sizeof value, 0) != sizeof value)
        value = uint64_t(::getpid()) << 32 ^ uint64_t(std::time(nullptr)) ^ uint64_t(&value);
    char text[kTempDigits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// Encodes into an open file and closes it; false with the reason.
bool EncodeInto(const PendingFile::Encoder& encode, FILE* file, std::string& error) {
    FileImageStream stream(file, true);
    bool ok = encode(&stream, error);
    const bool flushed = stream.Flush() && stream.Error() == 0;
    const bool closed = stream.Close();
    if (ok && !(flushed && closed)) {
        error = "write error";
        ok = false;
    }
    // The system's reason is the real one; the codec's text only guesses.
    if (!ok && stream.WriteErrno()) error = std::strerror(stream.WriteErrno());
    if (!ok && error.empty()) error = "write error";
    return ok;
}

bool Older(const struct stat& st, const timespec& before) {
    return st.st_mtim.tv_sec < before.tv_sec ||
           (st.st_mtim.tv_sec == before.tv_sec && st.st_mtim.tv_nsec < before.tv_nsec);
}

// A temporary nobody holds a lock on, changed before the run, still under
// that name: a writer that died.
bool RemoveIfLeftover(int dir, const char* name, const timespec& before) {
    const int fd = ::openat(dir, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool removed = false;
    struct stat open, named;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &open) == 0 && S_ISREG(open.st_mode) &&
        Older(open, before) && ::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == open.st_dev && named.st_ino == open.st_ino)
        removed = ::unlinkat(dir, name, 0) == 0;
    ::close(fd);
    return removed;
}

} // namespace

bool IsTemporaryName(const std::string& name) {
    const size_t prefix = sizeof kTempPrefix - 1, suffix = sizeof kTempSuffix - 1;
    if (name.size() != prefix + kTempDigits + suffix || name.rfind(kTempPrefix, 0) != 0 ||
        !name.ends_with(kTempSuffix))
        return false;
    for (size_t i = prefix; i < prefix + kTempDigits; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

bool PendingFile::Write(CRaster& image, const std::string& folder, ImageType type,
                        std::string& error) {
    // A text left by a load that needed a second attempt is not this save's.
    image.SetLastError("");
    return WriteWith(
        folder,
        [&](ImageStream* stream, std::string& reason) {
            if (image.Encode(stream, type)) return true;
            reason = image.LastErrorText();
            return false;
        },
        error);
}

bool PendingFile::WriteWith(const std::string& folder, const Encoder& encode,
                            std::string& error) {
    Discard();
    for (int attempt = 0; fd_ < 0 && attempt < kTempAttempts; ++attempt) {
        temp_ = folder + kTempPrefix + RandomDigits() + kTempSuffix;
        // Known to the signal handler before it exists: a signal between the
        // open and the registration left the temporary behind.
        slot_ = TakeSlot(temp_);
        fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) break;
        const int reason = errno;
        FreeSlot(slot_);
        slot_ = -1;
        errno = reason;
        if (errno != EEXIST) break;
    }
    if (fd_ < 0) {
        error = std::strerror(errno);
        temp_.clear();
        return false;
    }
    ::flock(fd_, LOCK_EX);
    // The encoder gets its own descriptor; the lock stays with ours.
    const int encoderFd = ::dup(fd_);
    // Readable too: a TIFF of several pages reads back its directories.
    FILE* file = encoderFd < 0 ? nullptr : ::fdopen(encoderFd, "w+b");
    if (!file) {
        error = std::strerror(errno);
        if (encoderFd >= 0) ::close(encoderFd);
        Discard();
        return false;
    }
    if (EncodeInto(encode, file, error)) return true;
    Discard();
    return false;
}

uint64_t PendingFile::Bytes() const {
    struct stat st;
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? uint64_t(st.st_size) : 0;
}

void PendingFile::SetDate(const timespec& date) {
    if (fd_ < 0) return;
    const timespec times[2] = {date, date};
    ::futimens(fd_, times);
}

SaveOutcome PendingFile::Publish(const std::string& path, std::string& error, bool replace) {
    if (fd_ < 0) {
        error = "nothing written";
        return SaveOutcome::kFailed;
    }
    if (replace) {
        if (::rename(temp_.c_str(), path.c_str()) != 0) {
            error = std::strerror(errno);
            return SaveOutcome::kFailed;
        }
        Forget();
        return SaveOutcome::kSaved;
    }
    int result = ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    // File systems without the flag still refuse a link over a name.
    if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        result = ::link(temp_.c_str(), path.c_str());
        if (result == 0) ::unlink(temp_.c_str());
    }
    if (result != 0) {
        error = std::strerror(errno);
        return errno == EEXIST ? SaveOutcome::kNameTaken : SaveOutcome::kFailed;
    }
    Forget();
    return SaveOutcome::kSaved;
}

void PendingFile::Discard() {
    if (fd_ >= 0) ::unlink(temp_.c_str());
    Forget();
}

void PendingFile::Forget() {
    FreeSlot(slot_);
    slot_ = -1;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    temp_.clear();
}

SaveOutcome SaveToNewFile(CRaster& image, const std::string& path, ImageType type,
                          std::string& error) {
    // Checked first only to spare the encoding; the move decides.
    if (OutputNameTaken(path)) {
        error = std::strerror(EEXIST);
        return SaveOutcome::kNameTaken;
    }
    PendingFile pending;
    if (!pending.Write(image, FolderOf(path), type, error)) return SaveOutcome::kFailed;
    return pending.Publish(path, error);
}

size_t RemoveLeftoverTemporaries(const std::string& folder, const timespec& before) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return 0;
    size_t removed = 0;
    while (const dirent* entry = ::readdir(dir))
        if (IsTemporaryName(entry->d_name) && RemoveIfLeftover(::dirfd(dir), entry->d_name, before))
            ++removed;
    ::closedir(dir);
    return removed;
}

void RemovePendingTemporaries() {
    for (Slot& slot : gSlots)
        if (slot.state.load(std::memory_order_acquire) == 2) ::unlink(slot.path);
}

// Held report lines: a list only ever pushed onto, so a signal handler can
// walk it while threads add to it; a node whose lines were written goes back
// to free and is reused, so the list stays as long as the most rows held at once.
namespace {

enum HeldState : int { kFreeLines = 0, kFillingLines, kPublishingLines, kHeldLines };

} // namespace

struct HeldLinesNode {
    std::atomic<int> state{kFillingLines};
    HeldLinesNode* next = nullptr; // set before the node is pushed, never changed
    size_t row = 0;
    size_t capacity = 0;
    size_t startLength = 0, savedLength = 0;
    char* text = nullptr; // the start line, the saved line, the temporary's path and a NUL
};

namespace {

std::atomic<HeldLinesNode*> gHeld{nullptr};
std::atomic<size_t> gStarted{0};

HeldLinesNode* ClaimNode(size_t bytes) {
    for (HeldLinesNode* n = gHeld.load(std::memory_order_acquire); n; n = n->next) {
        int expected = kFreeLines;
        if (n->capacity >= bytes && n->state.compare_exchange_strong(expected, kFillingLines))
            return n;
    }
    HeldLinesNode* n = new HeldLinesNode;
    n->capacity = (bytes + 255) & ~size_t(255);
    n->text = new char[n->capacity];
    n->next = gHeld.load(std::memory_order_relaxed);
    while (!gHeld.compare_exchange_weak(n->next, n, std::memory_order_release)) {
    }
    return n;
}

void WriteNode(const HeldLinesNode& n, void (*write)(const char*, size_t)) {
    if (n.row >= gStarted.load(std::memory_order_acquire)) write(n.text, n.startLength);
    write(n.text + n.startLength, n.savedLength);
}

} // namespace

HeldReportLines::HeldReportLines(size_t row, const std::string& start, const std::string& saved,
                                 const std::string& temporary) {
    node_ = ClaimNode(start.size() + saved.size() + temporary.size() + 1);
    node_->row = row;
    node_->startLength = start.size();
    node_->savedLength = saved.size();
    char* at = node_->text;
    for (const std::string* part : {&start, &saved, &temporary})
        at = std::copy(part->begin(), part->end(), at);
    *at = '\0';
    node_->state.store(kPublishingLines, std::memory_order_release);
}

HeldReportLines::~HeldReportLines() {
    int expected = kPublishingLines;
    node_->state.compare_exchange_strong(expected, kFreeLines);
}

void HeldReportLines::Published() {
    int expected = kPublishingLines;
    node_->state.compare_exchange_strong(expected, kHeldLines);
}

void NoteReportStarted(size_t rows) { gStarted.store(rows, std::memory_order_release); }

void ReleaseReportLines(size_t row) {
    // Only this thread frees held lines, so a node seen held stays so.
    for (HeldLinesNode* n = gHeld.load(std::memory_order_acquire); n; n = n->next)
        if (n->state.load(std::memory_order_acquire) == kHeldLines && n->row == row)
            n->state.store(kFreeLines, std::memory_order_release);
}

void ResetReportLines() {
    for (HeldLinesNode* n = gHeld.load(std::memory_order_acquire); n; n = n->next)
        n->state.store(kFreeLines);
    gStarted.store(0);
}

void WriteHeldReportLines(void (*write)(const char* line, size_t length)) {
    // A move under way is settled first: once its temporary is removed it
    // cannot happen any more, and a temporary already gone was moved. (Where
    // the file system lacks a no-replace rename, a link followed by removing
    // the temporary is seen as not moved.)
    for (HeldLinesNode* n = gHeld.load(std::memory_order_acquire); n; n = n->next) {
        if (n->state.load(std::memory_order_acquire) != kPublishingLines) continue;
        const char* temporary = n->text + n->startLength + n->savedLength;
        if (::unlink(temporary) != 0 && errno == ENOENT) n->state.store(kHeldLines);
    }
    bool any = false;
    for (size_t after = 0;;) {
        const HeldLinesNode* next = nullptr;
        for (const HeldLinesNode* n = gHeld.load(std::memory_order_acquire); n; n = n->next)
            if (n->state.load(std::memory_order_acquire) == kHeldLines &&
                (!any || n->row > after) && (!next || n->row < next->row))
                next = n;
        if (!next) return;
        WriteNode(*next, write);
        any = true;
        after = next->row;
    }
}

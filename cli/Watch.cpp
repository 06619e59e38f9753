// tessaline-batch --watch DIR: image files arriving in DIR are processed
// once each, when they have stopped changing. The inputs done are listed in
// a small file in the output folder, so a restart takes none again.
#include "BatchList.h"
#include "BatchRun.h"
#include "CliHost.h"
#include "Commands.h"
#include "ImageType.h"
#include "OutputNaming.h"
#include "StopSignals.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr char kStateName[] = ".tessaline-watch";
// Between looks at files that are settling; a stop is seen this soon too.
constexpr int kPollMs = 100;

using Clock = std::chrono::steady_clock;

std::atomic<bool> gStop{false};

void OnIdleSignal(int) { gStop = true; }

// Stop signals while no run is going end the watch after the current look.
class IdleSignals {
public:
    IdleSignals() {
        struct sigaction action = {};
        action.sa_handler = OnIdleSignal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &action, &previous_[i]);
    }
    ~IdleSignals() {
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &previous_[i], nullptr);
    }

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous_[3];
};

// What identifies an input that was done: a file replaced by another under
// the same name is new.
std::string StateKey(const std::string& path, const struct stat& st) {
    return std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + " " + path;
}

// The done list: read once, appended to a line per row as the run reaches it.
class WatchState {
public:
    explicit WatchState(std::string path) : path_(std::move(path)) {
        std::ifstream in(path_);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) done_.insert(line);
    }
    bool Done(const std::string& key) const { return done_.count(key) > 0; }
    size_t Count() const { return done_.size(); }
    bool Add(const std::string& key) {
        if (!done_.insert(key).second) return true;
        // One write a line, synced: a kill between rows loses no row.
        FILE* file = std::fopen(path_.c_str(), "a");
        if (!file) return false;
        const bool ok = std::fprintf(file, "%s\n", key.c_str()) > 0 && std::fflush(file) == 0 &&
                        ::fsync(::fileno(file)) == 0;
        return std::fclose(file) == 0 && ok;
    }

private:
    std::string path_;
    std::unordered_set<std::string> done_;
};

// The command line's host, noting each row in the state as it ends.
class WatchHost : public CliHost {
public:
    WatchHost(RowList rows, std::vector<std::string> keys, const OperationSettings& settings,
              const RunOptions& options, WatchState& state)
        : CliHost(std::move(rows), settings, options, false), keys_(std::move(keys)),
          state_(state) {}
    void SetRowState(size_t row, RowState state, const std::string&) override {
        if (state != RowState::kWaiting && state != RowState::kWorking && row < keys_.size() &&
            !state_.Add(keys_[row]))
            std::fprintf(stderr, "tessaline-batch: cannot note a done file in %s\n", kStateName);
    }

private:
    std::vector<std::string> keys_;
    WatchState& state_;
};

// A file seen in the folder and when it last changed.
struct Candidate {
    off_t size = -1;
    timespec mtime{};
    Clock::time_point changed;
};

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

class Watcher {
public:
    Watcher(std::string folder, int64_t settleMs, const OperationSettings& settings,
            const RunOptions& options, WatchState& state)
        : folder_(std::move(folder)), settle_(settleMs), settings_(settings), options_(options),
          state_(state) {}

    int Run();

private:
    void Scan();
    void Look(const std::string& name);
    void ReadEvents(int fd);
    std::vector<std::string> Settled();
    int Process(const std::vector<std::string>& paths);

    std::string folder_;
    std::chrono::milliseconds settle_;
    const OperationSettings& settings_;
    const RunOptions& options_;
    WatchState& state_;
    std::map<std::string, Candidate> candidates_;
};

// Image files by name: not hidden (partial downloads often are), not done.
void Watcher::Look(const std::string& name) {
    if (name.empty() || name[0] == '.') return;
    const std::string path = folder_ + "/" + name;
    if (BatchPathType(path) == kTypeUnknown) return;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || state_.Done(StateKey(path, st))) {
        candidates_.erase(path);
        return;
    }
    Candidate& c = candidates_[path];
    if (c.size != st.st_size || !SameTime(c.mtime, st.st_mtim)) {
        c.size = st.st_size;
        c.mtime = st.st_mtim;
        c.changed = Clock::now();
    }
}

void Watcher::Scan() {
    DIR* dir = ::opendir(folder_.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir))
        Look(entry->d_name);
    ::closedir(dir);
}

void Watcher::ReadEvents(int fd) {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            // Events were lost: look at every file again.
            if (event->mask & IN_Q_OVERFLOW) Scan();
            else if (event->len) Look(event->name);
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}

// Files whose size and time have not changed for the settle time, by name.
std::vector<std::string> Watcher::Settled() {
    std::vector<std::string> ready;
    const auto now = Clock::now();
    for (auto it = candidates_.begin(); it != candidates_.end();) {
        const std::string path = it->first;
        ++it;
        Look(path.substr(folder_.size() + 1)); // a change resets its clock
        const auto found = candidates_.find(path);
        if (found != candidates_.end() && now - found->second.changed >= settle_)
            ready.push_back(path);
    }
    return ready;
}

int Watcher::Process(const std::vector<std::string>& paths) {
    RowList rows;
    std::vector<std::string> keys;
    for (const std::string& path : paths) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !rows.Add(path, {})) continue;
        keys.push_back(StateKey(path, st));
        candidates_.erase(path);
    }
    // Series numbers go on from the files done before.
    OperationSettings settings = settings_;
    settings.seriesStart = int32_t(std::min<int64_t>(int64_t(settings.seriesStart) + int64_t(state_.Count()), INT32_MAX - int64_t(paths.size())));
    const size_t count = rows.Count();
    WatchHost host(std::move(rows), std::move(keys), settings, options_, state_);
    BatchRun run(host);
    {
        StopSignals signals(&run, host.ReportDescriptor());
        run.StartBatch();
        run.WaitForBatchDone();
        if (StopSignals::Received()) gStop = true;
    }
    const size_t done = run.SavedCount() + run.FailedCount() + run.SkippedCount();
    if (done < count) gStop = true;
    return run.FailedCount() ? kExitFailed : kExitOk;
}

int Watcher::Run() {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0 || ::inotify_add_watch(fd, folder_.c_str(),
                                      IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO |
                                          IN_ATTRIB | IN_DELETE | IN_MOVED_FROM) < 0) {
        std::fprintf(stderr, "tessaline-batch: --watch: %s: %s\n", folder_.c_str(),
                     std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return kExitFailed;
    }
    IdleSignals idle;
    Scan();
    int status = kExitOk;
    while (!gStop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) > 0) ReadEvents(fd);
        if (gStop) break;
        const std::vector<std::string> ready = Settled();
        if (!ready.empty() && Process(ready) != kExitOk) status = kExitFailed;
    }
    ::close(fd);
    std::fprintf(stderr, "tessaline-batch: stopped watching %s\n", folder_.c_str());
    return status;
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    const auto canonical = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : canonical.string();
}

} // namespace

int RunWatch(const std::string& folder, int64_t settleMs, const OperationSettings& settings,
             const RunOptions& options) {
    const int32_t k = settings.outputFolderIndex;
    const std::string out = k >= 1 && k <= kRecentFolderCount
                                ? FieldText(settings.recentFolders[k - 1])
                                : std::string();
    const std::string watched = Canonical(folder);
    std::error_code ec;
    if (!std::filesystem::is_directory(watched, ec))
        return UsageError("--watch: " + folder + ": not a folder");
    // Outputs beside their inputs would be new arrivals in the folder.
    if (out.empty() || Canonical(out) == watched)
        return UsageError("--watch: give an output folder (--out) other than the watched one");
    std::filesystem::create_directories(out, ec);
    if (!std::filesystem::is_directory(out, ec))
        return UsageError("--watch: cannot make the output folder " + out);
    gStop = false;
    WatchState state(Canonical(out) + "/" + kStateName);
    Watcher watcher(watched, settleMs, settings, options, state);
    return watcher.Run();
}

// Runs a program and collects its exit status and output.
#pragma once

#include "Files.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace testkit {

struct RunResult {
    int status = -1; // exit status, -1 when it did not exit normally
    std::string out, err;
};

enum class Stderr { Separate, Merged, Dropped };

// Starts argv[0] (a path; nothing goes through a shell) with its standard
// streams on these files; an empty err merges stderr into stdout. -1 when
// it cannot start.
inline pid_t Spawn(std::vector<std::string> argv, const std::string& in, const std::string& out,
                   const std::string& err) {
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err.empty())
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    pid_t pid;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Runs to its end. Both streams go to files, so a program writing much to
// either never blocks on a full pipe; input is what it reads on stdin.
inline RunResult Run(std::vector<std::string> argv, Stderr errors = Stderr::Separate,
                     const std::string& input = "") {
    RunResult r;
    TempDir dir;
    const std::string inPath = dir / "stdin", outPath = dir / "stdout", errPath = dir / "stderr";
    WriteWholeFile(inPath, input);
    const std::string err = errors == Stderr::Merged    ? std::string()
                            : errors == Stderr::Dropped ? std::string("/dev/null")
                                                        : errPath;
    const pid_t pid = Spawn(std::move(argv), inPath, outPath, err);
    if (pid > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    r.out = ReadWholeFile(outPath);
    if (errors == Stderr::Separate) r.err = ReadWholeFile(errPath);
    return r;
}

// A command line for /bin/sh, for pipelines and redirections.
inline RunResult RunShell(const std::string& command, Stderr errors = Stderr::Separate,
                          const std::string& input = "") {
    return Run({"/bin/sh", "-c", command}, errors, input);
}

// Single quotes for the shell.
inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// tessaline-batch with these arguments.
inline RunResult RunBatch(std::vector<std::string> args, Stderr errors = Stderr::Separate,
                          const std::string& input = "") {
    args.insert(args.begin(), TESSALINE_BATCH_EXE);
    return Run(std::move(args), errors, input);
}

// tessaline-batch with arguments split by the shell, stderr merged into out.
inline RunResult RunBatchLine(const std::string& args) {
    return RunShell(Quote(TESSALINE_BATCH_EXE) + " " + args, Stderr::Merged);
}

// A program left running, for tests that signal it or bound how long it
// may take; killed when still running at the end.
class Child {
public:
    explicit Child(std::vector<std::string> argv)
        : pid_(Spawn(std::move(argv), "/dev/null", dir_ / "stdout", dir_ / "stderr")) {}
    ~Child() {
        if (Running()) {
            ::kill(pid_, SIGKILL);
            Reap(0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Running() { return pid_ > 0 && !reaped_ && Reap(WNOHANG); }
    void Signal(int signal) { ::kill(pid_, signal); }
    // Waits at most seconds; the exit status, 128 + the signal that ended
    // it, or -1 when it was still running (it is killed then).
    int Wait(double seconds) {
        for (double waited = 0; Running() && waited < seconds; waited += 0.01)
            ::usleep(10000);
        if (Running()) {
            ::kill(pid_, SIGKILL);
            Reap(0);
            return -1;
        }
        return status_;
    }
    std::string Out() const { return ReadWholeFile(dir_ / "stdout"); }
    std::string Err() const { return ReadWholeFile(dir_ / "stderr"); }

private:
    // True while the child runs.
    bool Reap(int flags) {
        int status = 0;
        if (::waitpid(pid_, &status, flags) != pid_) return true;
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }

    TempDir dir_; // before pid_, which the constructor fills using it
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// Collects what this process writes to stderr until Finish: libraries must
// speak through our error texts, not the terminal.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { Finish(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string Finish() {
        if (saved_ < 0) return "";
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
        return ReadWholeFile(dir_ / "stderr");
    }

private:
    TempDir dir_;
    int saved_ = -1;
};

} // namespace testkit

// The commands of tessaline-batch, one file each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Stopped by Ctrl+C, SIGTERM or SIGHUP before every row had started.
constexpr int kExitStopped = 3;

// Prints the message (when given) and the usage text to stderr.
int UsageError(const std::string& message);
// The whole help text.
std::string UsageText();

// The commands other than a batch run, named by the first argument.
struct Command {
    const char* name;
    const char* args; // "FILE...", or nullptr when it takes none
    const char* help;
    int (*run)(const std::vector<std::string>& args); // the arguments after the name
};

const std::vector<Command>& CommandTable();

int RunInfo(const std::vector<std::string>& files);
int RunConvert(const std::string& in, const std::string& out);
int RunBatch(const std::vector<std::string>& args);

struct OperationSettings;
struct RunOptions;
// Processes the image files that arrive in folder until a stop signal.
int RunWatch(const std::string& folder, int64_t settleMs, const OperationSettings& settings,
             const RunOptions& options);

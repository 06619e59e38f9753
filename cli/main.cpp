// tessaline-batch: the headless front end of the batch engine.
#include "Commands.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("no files given");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h") {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }
    if (command == "--version") {
        std::printf("tessaline-batch %s\n", TESSALINE_VERSION);
        return kExitOk;
    }
    if (command == "--info") {
        if (args.size() < 2) return UsageError("--info needs at least one file");
        return RunInfo(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (command == "--convert") {
        if (args.size() != 3) return UsageError("--convert needs IN and OUT");
        return RunConvert(args[1], args[2]);
    }
    return RunBatch(args);
}

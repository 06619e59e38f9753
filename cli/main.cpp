// tessaline-batch: the headless front end of the batch engine.
#include "Commands.h"
#include "WorkerPool.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    KeepRowBuffers();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("no files given");
    const std::string command = args[0] == "-h" ? "--help" : args[0];
    for (const Command& c : CommandTable())
        if (command == c.name) return c.run(std::vector<std::string>(args.begin() + 1, args.end()));
    return RunBatch(args);
}

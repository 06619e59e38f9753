#include "Commands.h"

#include <cstdio>

namespace {

int Help(const std::vector<std::string>&) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
}

int Version(const std::vector<std::string>&) {
    std::printf("tessaline-batch %s\n", TESSALINE_VERSION);
    return kExitOk;
}

int Info(const std::vector<std::string>& files) {
    if (files.empty()) return UsageError("--info needs at least one file");
    return RunInfo(files);
}

int Convert(const std::vector<std::string>& files) {
    if (files.size() != 2) return UsageError("--convert needs IN and OUT");
    return RunConvert(files[0], files[1]);
}

} // namespace

const std::vector<Command>& CommandTable() {
    static const std::vector<Command> kTable = {
        {"--info", "FILE...",
         "print size, depth, format, resolution and transparency of each file; exit 1 when any "
         "fails to load",
         Info},
        {"--convert", "IN OUT",
         "load IN (type from its extension) and save OUT (type from its extension); never "
         "overwrites an existing OUT",
         Convert},
        {"--help", nullptr, "show this text", Help},
        {"--version", nullptr, "show the version", Version},
    };
    return kTable;
}

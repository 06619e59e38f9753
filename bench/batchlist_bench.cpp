// Milliseconds per file to make the batch list's rows (name, size, date) for
// the files given, as the window does when files are added.
#include "BatchList.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: batchlist_bench FILE...\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    int rows = 0;
    for (int i = 1; i < argc; ++i)
        rows += MakeBatchItem(argv[i]).has_value();
    const std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    std::printf("%d rows of %d files, %.3f ms per file\n", rows, argc - 1, spent.count() / (argc - 1));
    return rows == argc - 1 ? 0 : 1;
}

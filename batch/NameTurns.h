// Rows of a run that are worked on at once pick their output names as if
// they ran one after another: a row names its output only when no earlier
// row that may want the same name is still unfinished, since that row may
// yet take the name or, failing, leave it free.
#pragma once

#include "OutputNaming.h"

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

class NameTurns {
public:
    // Called in row order, before the row starts. The folder is compared
    // with its links resolved, so two spellings of one folder are one.
    void Enter(size_t row, const OutputStem& stem);
    // Blocks until every earlier row that may want the same name has left.
    void Wait(size_t row);
    // The row's output is written or given up, or it never gets one.
    void Leave(size_t row);

private:
    struct Entry {
        std::string place; // resolved folder and extension
        std::string name;
    };
    bool EarlierRival(const std::map<size_t, Entry>::const_iterator& self) const;
    std::string ResolvedFolder(const std::string& folder);

    std::mutex mutex_;
    std::condition_variable left_;
    std::map<size_t, Entry> open_;
    // Only Enter, on the run's own thread, uses this.
    std::unordered_map<std::string, std::string> resolved_;
};

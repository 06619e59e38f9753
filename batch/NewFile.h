// Output files that appear whole or not at all: the picture is written to a
// hidden temporary in the output folder and moved onto its name only when
// complete, never over a file that exists. A killed process leaves at most a
// temporary, which the next run into that folder removes.
#pragma once

#include "CRaster.h"

#include <ctime>
#include <functional>
#include <string>

class ImageStream;

// How a new output file came out.
enum class SaveOutcome { kSaved, kNameTaken, kFailed };

// A written temporary waiting for its name; removed unless published.
class PendingFile {
public:
    PendingFile() = default;
    ~PendingFile() { Discard(); }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Encodes image into a new temporary in folder (empty for the current
    // folder, else ending in '/'); on failure nothing is left and error
    // holds the reason.
    bool Write(CRaster& image, const std::string& folder, ImageType type, std::string& error);
    // The same with the encoding done by encode into the open stream (which
    // can also be read back); false with the reason in error.
    using Encoder = std::function<bool(ImageStream* stream, std::string& error)>;
    bool WriteWith(const std::string& folder, const Encoder& encode, std::string& error);
    // Size of the written temporary.
    uint64_t Bytes() const;
    // Moves the temporary onto path unless anything exists under it; with
    // replace, over what is there, in one step (a reader sees the old file
    // or the new one, never part of either).
    SaveOutcome Publish(const std::string& path, std::string& error, bool replace = false);
    // The written file's modification (and access) time.
    void SetDate(const timespec& date);
    const std::string& TemporaryPath() const { return temp_; }
    void Discard();

private:
    void Forget();

    std::string temp_;
    // Held open and locked until published, so no sweep takes it meanwhile.
    int fd_ = -1;
    int slot_ = -1;
};

// Writes path only when nothing exists under the name.
SaveOutcome SaveToNewFile(CRaster& image, const std::string& path, ImageType type,
                          std::string& error);

// True for the names PendingFile gives its temporaries.
bool IsTemporaryName(const std::string& name);

// Removes the temporaries in folder (empty for the current folder) last
// changed before `before` that no live process is writing. Returns how many.
size_t RemoveLeftoverTemporaries(const std::string& folder, const timespec& before);

// Removes every temporary this process is writing; safe in a signal handler.
void RemovePendingTemporaries();

struct HeldLinesNode;

// Report lines of outputs on disk but not yet reported: rows report in
// order, so a quick row's file can stand under its name while an earlier
// row still works. A process ended by a second stop signal writes them
// before it goes (WriteHeldReportLines), so no published file goes unsaid.
// Held before the move, since the signal can come between the move and the
// report; the move is known to have happened when its temporary is gone.
class HeldReportLines {
public:
    // start: the row's first report line, written only when the run has not
    // written it yet; saved: the line of its published file.
    HeldReportLines(size_t row, const std::string& start, const std::string& saved,
                    const std::string& temporary);
    // Drops the lines unless Published was called.
    ~HeldReportLines();
    HeldReportLines(const HeldReportLines&) = delete;
    HeldReportLines& operator=(const HeldReportLines&) = delete;
    void Published();

private:
    HeldLinesNode* node_;
};
// The run wrote the first report line of rows before `rows`.
void NoteReportStarted(size_t rows);
// The run wrote the row's lines itself.
void ReleaseReportLines(size_t row);
// A new run: no row is held, none started.
void ResetReportLines();
// Writes the held lines in row order through write, each a whole line ending
// in '\n'; safe in a signal handler when write is.
void WriteHeldReportLines(void (*write)(const char* line, size_t length));

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

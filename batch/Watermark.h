// The image watermark of a run: its file is read once, and the picture is
// scaled once for each output width the run meets, whatever the row count.
#pragma once

#include "CRaster.h"
#include "RunOptions.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class WatermarkSource {
public:
    explicit WatermarkSource(WatermarkOption option) : option_(std::move(option)) {}
    WatermarkSource(const WatermarkSource&) = delete;
    WatermarkSource& operator=(const WatermarkSource&) = delete;

    const WatermarkOption& Option() const { return option_; }
    // Reads the file the first time any thread asks; false with the reason
    // in Error() when it could not be read.
    bool Ready();
    const std::string& Error() const { return error_; }
    // The picture at its share of an output width wide (24-bit, alpha plane
    // where it has transparency); null when it could not be read.
    std::shared_ptr<const CRaster> ForWidth(uint32_t width);

private:
    void Load();

    WatermarkOption option_;
    std::once_flag loaded_;
    bool ok_ = false;
    std::string error_;
    CRaster picture_;
    std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<const CRaster>> scaled_;
};

// Lays the watermark over the image as its option says (anchor and margin,
// or tiled). False with the reason when the watermark could not be read.
bool ApplyWatermark(CRaster& image, WatermarkSource& source, std::string& error);

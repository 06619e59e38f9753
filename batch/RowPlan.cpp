#include "RowPlan.h"

#include "FormatTable.h"
#include "IcoCodec.h"
#include "NameTemplate.h"
#include "Orientation.h"
#include "PhotoTags.h"
#include "ResizeTarget.h"

#include <sys/stat.h>
#include <utility>

namespace {

bool TurnsSides(uint32_t orientation) { return orientation >= 5 && orientation <= 8; }

bool HeaderSize(const std::string& path, ImageType type, const RunOptions& options,
                uint32_t& width, uint32_t& height, uint32_t& orientation, std::string& error) {
    CRaster image(type);
    if (options.iconFirstEntry) image.SetFormatOption(kIcoFirstEntry, kTypeIco);
    if (!LoadFileAsked(image, path, type, DecodeRequest::Header())) {
        error = *image.LastErrorText() ? image.LastErrorText() : "cannot open file";
        return false;
    }
    width = image.GetWidth();
    height = image.GetHeight();
    orientation = image.GetOrientation();
    return true;
}

} // namespace

void OutputSizeOf(uint32_t& w, uint32_t& h, uint32_t orientation, const OperationSettings& s,
                  const RunOptions& o) {
    if (o.autoRotate && TurnsSides(orientation)) std::swap(w, h);
    if (s.rotateEnabled && (s.rotation == kRotate90 || s.rotation == kRotate270)) std::swap(w, h);
    if (s.resizeEnabled)
        if (const auto target = ComputeResizeTarget(w, h, s, o)) w = target->width, h = target->height;
}

bool PlannedOutputSize(const std::string& path, ImageType type, const OperationSettings& settings,
                       const RunOptions& options, uint32_t& width, uint32_t& height,
                       std::string& error) {
    uint32_t orientation = 1;
    if (!HeaderSize(path, type, options, width, height, orientation, error)) return false;
    OutputSizeOf(width, height, orientation, settings, options);
    return true;
}

RowNaming NameRow(const OperationSettings& settings, const RunOptions& options,
                  const std::string& path, ImageType type, const RowPlacement& place) {
    RowNaming naming;
    naming.stem = MakeOutputStem(settings, path, type, place.number, place.subfolder);
    naming.subfolder = place.subfolder;
    if (options.nameTemplate.empty()) return naming;

    NameFacts facts = PathFacts(path, int64_t(settings.seriesStart) + place.number);
    const TemplateNeeds needs = NeedsOf(options.nameTemplate);
    if (needs.size) {
        std::string ignored; // a row whose headers do not load fails at its load
        PlannedOutputSize(path, type, settings, options, facts.width, facts.height, ignored);
    }
    if (needs.date) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) facts.fileTime = st.st_mtime;
    }
    if (needs.date || !needs.exifTags.empty()) {
        PhotoTags tags = ReadPhotoTags(path, needs.exifTags, needs.date);
        facts.taken = tags.taken;
        facts.exif = std::move(tags.values);
    }
    std::string relative;
    if (!ExpandNameTemplate(options.nameTemplate, facts, relative, naming.warnings, naming.error))
        return naming;
    // Folders the template makes go below the output folder (the input's
    // own for "Original Folder").
    const size_t slash = relative.rfind('/');
    if (slash != std::string::npos) {
        const std::string folders = relative.substr(0, slash + 1);
        naming.stem.folder += folders;
        const bool chosen = settings.outputFolderIndex >= 1;
        naming.subfolder = (chosen ? place.subfolder : std::string()) + folders;
    }
    naming.stem.name = relative.substr(slash == std::string::npos ? 0 : slash + 1);
    return naming;
}

std::string ExactName(const OutputStem& stem) {
    return stem.folder + stem.name + "." + stem.extension;
}

bool KeptDate(const std::string& path, DateSource source, timespec& date) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    date = st.st_mtim;
    if (source == DateSource::kExif) {
        PhotoTags tags = ReadPhotoTags(path, {}, true);
        if (tags.taken) {
            std::tm tm = *tags.taken;
            const std::time_t t = std::mktime(&tm);
            if (t != -1) date = timespec{t, 0};
        }
    }
    return true;
}

void RunPlanner::AddInput(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) inputs_.emplace(uint64_t(st.st_dev), uint64_t(st.st_ino));
}

PlannedRow RunPlanner::Plan(const std::string& path, const RowPlacement& place) {
    PlannedRow plan;
    const ImageType type = ImageTypeFromExtension(path);
    if (type == kTypeUnknown) {
        plan.reason = "unknown file type";
        return plan;
    }
    RowNaming naming = NameRow(settings_, options_, path, type, place);
    plan.warnings = std::move(naming.warnings);
    const std::string exact = ExactName(naming.stem);
    if (!naming.error.empty()) {
        plan.output = exact;
        plan.reason = naming.error;
        return plan;
    }
    if (options_.onExists == OnExists::kSkip && OutputNameTaken(exact) && !planned_.count(exact)) {
        plan.state = RowState::kSkipped;
        plan.output = exact;
        return plan;
    }
    if (!PlannedOutputSize(path, type, settings_, options_, plan.width, plan.height, plan.reason))
        return plan;
    auto taken = [&](const std::string& name) { return planned_.count(name) > 0; };
    bool replace = options_.onExists == OnExists::kReplace && !taken(exact);
    if (replace) {
        struct stat st;
        replace = ::stat(exact.c_str(), &st) != 0 ||
                  !inputs_.count({uint64_t(st.st_dev), uint64_t(st.st_ino)});
    }
    plan.output = replace ? exact : FirstFreeName(naming.stem, taken);
    const ImageFormat* format = FindImageFormat(naming.stem.saveType);
    plan.format = format ? format->name : "";
    plan.state = RowState::kSaved;
    planned_.insert(plan.output);
    return plan;
}

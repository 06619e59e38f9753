// tessaline-docgen KIND OUT: writes a man page or a completion script made
// from the programs' own option tables, so that what is installed cannot
// drift from what the programs accept. Run by the build, not installed.
#include "Actions.h"
#include "Completion.h"
#include "ManPage.h"
#include "WindowCommandLine.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const ManSection kSettingsFiles = {
    "Files",
    {"The settings are kept in an INI file: tessaline.ini beside the tessaline program when "
     "that folder can be written, else $XDG_CONFIG_HOME/tessaline/tessaline.ini "
     "(~/.config/tessaline/tessaline.ini without XDG_CONFIG_HOME). The section "
     "[Quorvel Image Resizer] holds the settings record the Windows program shares; "
     "[Tessaline Options] the settings it does not know."}};

std::vector<ManSection> BatchExtras() {
    return {
        kSettingsFiles,
        {"Examples",
         {"Every JPEG of a folder at 1600 pixels on the longer side, as WebP, into small/:",
          "  tessaline-batch --resize-longest 1600 --format webp --out small photos/*.jpg",
          "A whole folder tree, the subfolders kept, on four cores:",
          "  tessaline-batch --recursive --jobs 4 --out /backup/small /photos"}},
        {"See also", {"tessaline(1)"}},
    };
}

CommandLineDoc WindowDoc() {
    namespace line = window_command_line;
    CommandLineDoc doc;
    doc.program = "tessaline";
    doc.summary = line::kSummary;
    doc.summary[0] = char(std::tolower(static_cast<unsigned char>(doc.summary[0])));
    doc.summary.pop_back(); // the full stop
    doc.synopsis = {std::string("[options] ") + line::kFilesSyntax};
    doc.description = {
        "Quorvel Image Resizer, a desktop batch image resizer. Pick a folder, see its images as "
        "thumbnails, add them to the batch list, choose the output format and quality, the "
        "output folder, renaming, resizing, rotating and a text stamp, and press Start: the "
        "batch worker works through the list, several images at once.",
        "The FILEs and FOLDERs given start in the batch list, as the file manager's \"Open With\" "
        "passes them; the first one's folder is browsed.",
        "tessaline-batch(1) runs the same batch engine from the command line, with the "
        "settings the window saved."};
    doc.sections = {{"Options",
                     {{line::kFilesName, "", line::kFilesHelp, {}},
                      {"-h, --help", "", "show the options", {}},
                      {"--help-all", "", "show the options with Qt's own options", {}},
                      {"-v, --version", "", "show the version", {}},
                      {"-platform", "NAME",
                       "Qt's display platform, e.g. xcb, wayland or offscreen (Qt's own options are "
                       "listed by --help-all)",
                       {}}}}};
    return doc;
}

CommandLineDoc ActionDoc() {
    CommandLineDoc doc;
    doc.program = "tessaline-action";
    doc.summary = "run tessaline-batch from a file manager's menu";
    doc.synopsis = {"[OPTIONS] FILE..."};
    doc.description = {
        "Runs tessaline-batch with the OPTIONS and FILEs given, as the file managers' \"Quorvel "
        "Image Resizer\" entries do for the selected images and folders. No terminal shows the "
        "report there, so it is appended to $XDG_STATE_HOME/tessaline/file-manager.log "
        "(~/.local/state/tessaline/file-manager.log; the last few thousand lines are kept) and "
        "the outcome is shown by notify-send: \"Done: N saved\", \"S saved, F failed\" with "
        "the first failures, or \"Nothing was run\" with the reason."};
    doc.exitStatus = "that of tessaline-batch.";
    return doc;
}

// The MimeType= list of the desktop file, so the file-manager entries show
// for exactly the types the program declares.
std::string DesktopMimeTypes(const std::string& desktopFile) {
    std::ifstream in(desktopFile);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("MimeType=", 0) == 0) return line.substr(9);
    return {};
}

bool Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) std::fprintf(stderr, "tessaline-docgen: cannot write %s\n", path.c_str());
    return bool(out);
}

// The file-manager entries; OUT is a folder receiving one file each.
int WriteActions(const std::string& folder, const std::string& desktopFile) {
    const std::string types = DesktopMimeTypes(desktopFile);
    if (types.empty()) {
        std::fprintf(stderr, "tessaline-docgen: no MimeType= in %s\n", desktopFile.c_str());
        return 1;
    }
    const std::filesystem::path dir = folder;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir / "nemo", ec);
    const auto actions = FileManagerActions();
    bool ok = Write(dir / "tessaline.desktop", DolphinServiceMenu(actions, types)) &&
              Write(dir / "tessaline.py", NautilusExtension(actions, types)) &&
              Write(dir / "thunar-uca.xml", ThunarActions(actions));
    for (const FileManagerAction& a : actions)
        ok = ok && Write(dir / "nemo" / ("tessaline-" + a.id + ".nemo_action"), NemoAction(a, types));
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string kind = argc > 1 ? argv[1] : "";
    if (kind == "actions" && argc == 4) return WriteActions(argv[2], argv[3]);
    if (argc != 3) {
        std::fprintf(stderr, "usage: tessaline-docgen man-batch|man-window|man-action|bash|zsh OUT\n"
                             "       tessaline-docgen actions FOLDER DESKTOP-FILE\n");
        return 2;
    }
    std::string text;
    if (kind == "man-batch")
        text = ManPage(BatchCommandDoc(), TESSALINE_VERSION, BatchExtras());
    else if (kind == "man-window")
        text = ManPage(WindowDoc(), TESSALINE_VERSION,
                       {kSettingsFiles, {"See also", {"tessaline-batch(1)"}}});
    else if (kind == "man-action")
        text = ManPage(ActionDoc(), TESSALINE_VERSION, {{"See also", {"tessaline-batch(1)"}}});
    else if (kind == "bash")
        text = BashCompletion(BatchCommandDoc());
    else if (kind == "zsh")
        text = ZshCompletion(BatchCommandDoc());
    else {
        std::fprintf(stderr, "tessaline-docgen: unknown kind %s\n", argv[1]);
        return 2;
    }
    return Write(argv[2], text) ? 0 : 1;
}

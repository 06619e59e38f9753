// The man pages and shell completion made at build time, as a user meets
// them: every option --help shows is in both, the pages format cleanly, and
// bash completes option names and fixed values.
#include "BatchOptions.h"
#include "CommandLineDoc.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <set>

using namespace testkit;

namespace {

const std::string kGenerated = TESSALINE_GENERATED_DIR;

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        lines.insert(text.substr(pos, end - pos));
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    lines.erase("");
    return lines;
}

// What bash's completion offers for the words typed so far (the last one
// being completed), from the generated script alone.
std::set<std::string> Complete(const std::vector<std::string>& words, const std::string& cwd = ".") {
    std::string array;
    for (const std::string& w : words)
        array += " " + Quote(w);
    const std::string script = "cd " + Quote(cwd) + " && source " +
                               Quote(kGenerated + "/tessaline-batch.bash") +
                               " && COMP_WORDS=(tessaline-batch" + array + ") && COMP_CWORD=" +
                               std::to_string(words.size()) +
                               " && _tessaline_batch && printf '%s\\n' \"${COMPREPLY[@]}\"";
    const RunResult r = Run({"/bin/bash", "-c", script});
    EXPECT_EQ(r.status, 0) << r.err;
    return Lines(r.out);
}

std::set<std::string> FormatNames() {
    std::set<std::string> names;
    for (const char* text : kOutputFormatTexts) {
        std::string name = text;
        for (char& c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        names.insert(name);
    }
    return names;
}

} // namespace

TEST(Packaging, EveryOptionInHelpIsInManPageAndCompletion) {
    const RunResult help = RunBatch({"--help"});
    ASSERT_EQ(help.status, 0);
    const std::string man = ReadWholeFile(kGenerated + "/tessaline-batch.1");
    const std::string bash = ReadWholeFile(kGenerated + "/tessaline-batch.bash");
    const std::string zsh = ReadWholeFile(kGenerated + "/_tessaline-batch");
    // The bash script's list of option names, as words.
    const size_t list = bash.find("compgen -W '--");
    ASSERT_NE(list, std::string::npos);
    const std::string names = " " + bash.substr(list + 12, bash.find('\'', list + 12) - list - 12) + " ";
    int count = 0;
    for (const std::string& line : Lines(help.out)) {
        // An option line: two spaces, then the option's name up to a space.
        if (line.rfind("  --", 0) != 0) continue;
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        ++count;
        std::string roff = "\\fB";
        for (char c : name)
            roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(man.find(roff + "\\fR"), std::string::npos) << name;
        EXPECT_NE(names.find(" " + name + " "), std::string::npos) << name;
        EXPECT_NE(zsh.find("'" + name), std::string::npos) << name;
    }
    EXPECT_GT(count, 40);
}

// A choice the shell offers must be one the parser takes, and the parser
// must not take just anything.
TEST(Packaging, EveryChoiceIsAccepted) {
    for (const BatchOption& o : BatchOptionTable()) {
        if (!o.choices) continue;
        for (const std::string& choice : SplitWords(o.choices)) {
            OperationSettings settings{};
            RunOptions options;
            std::string error;
            EXPECT_TRUE(o.apply(settings, options, choice, error)) << o.name << " " << choice;
        }
        OperationSettings settings{};
        RunOptions options;
        std::string error;
        EXPECT_FALSE(o.apply(settings, options, "no-such-value", error)) << o.name;
    }
}

TEST(Packaging, BashCompletes) {
    TempDir dir;
    std::filesystem::create_directory(dir / "sub");
    WriteWholeFile(dir / "a.jpg", "x");
    const std::set<std::string> formats = FormatNames();
    EXPECT_EQ(Complete({"--format", ""}), formats);
    EXPECT_EQ(Complete({"a.jpg", "--format", "=", "w"}), (std::set<std::string>{"webp"}));
    EXPECT_EQ(Complete({"--format=p"}), (std::set<std::string>{"png", "pcx"}));
    EXPECT_EQ(Complete({"--resample", "s"}), (std::set<std::string>{"smooth"}));
    EXPECT_EQ(Complete({"--metad"}), (std::set<std::string>{"--metadata"}));
    EXPECT_EQ(Complete({"--quality", ""}), std::set<std::string>{}) << "a number: nothing to offer";
    EXPECT_EQ(Complete({"--out", ""}, dir.path()), (std::set<std::string>{"sub"}));
    EXPECT_EQ(Complete({"--jobs", "2", ""}, dir.path()), (std::set<std::string>{"a.jpg", "sub"}));
    EXPECT_EQ(Complete({"--settings", "a"}, dir.path()), (std::set<std::string>{"a.jpg"}));
}

// Each generated or shipped file read by the tool its consumer uses.
TEST(Packaging, InstalledFilesParse) {
    struct Case {
        const char* tool;
        std::vector<std::string> argv;
    } cases[] = {
        {"/usr/bin/zsh", {"/usr/bin/zsh", "-n", kGenerated + "/_tessaline-batch"}},
        {"/usr/bin/python3",
         {"/usr/bin/python3", "-c",
          "import ast, sys; ast.parse(open(sys.argv[1]).read())",
          kGenerated + "/actions/tessaline.py"}},
        {"/usr/bin/appstreamcli",
         {"/usr/bin/appstreamcli", "validate", "--no-net", "--pedantic",
          std::string(TESSALINE_SOURCE_DIR) + "/packaging/org.quorvel.tessaline.metainfo.xml"}},
    };
    for (const Case& c : cases) {
        if (!FileExists(c.tool)) {
            std::printf("skipped: %s is not installed\n", c.tool);
            continue;
        }
        const RunResult r = testkit::Run(c.argv, Stderr::Merged);
        EXPECT_EQ(r.status, 0) << c.argv.back() << "\n" << r.out;
    }
}

TEST(Packaging, ManPagesFormatCleanly) {
    if (!FileExists("/usr/bin/groff") || !FileExists("/usr/bin/man")) GTEST_SKIP() << "no groff";
    for (const char* page : {"tessaline-batch", "tessaline", "tessaline-action"}) {
        const std::string path = kGenerated + "/" + page + ".1";
        const RunResult lint = testkit::Run({"/usr/bin/groff", "-man", "-ww", "-z", "-Tutf8", path});
        EXPECT_EQ(lint.status, 0) << page;
        EXPECT_EQ(lint.err, "") << page;
        const RunResult shown =
            RunShell("MANWIDTH=80 man -l " + Quote(path + ".gz") + " | col -b", Stderr::Merged);
        EXPECT_EQ(shown.status, 0) << shown.out;
        EXPECT_NE(shown.out.find("SYNOPSIS"), std::string::npos) << page;
        EXPECT_NE(shown.out.find(std::string("SEE ALSO")), std::string::npos) << page;
    }
    const RunResult batch = RunShell(
        "MANWIDTH=80 man -l " + Quote(kGenerated + "/tessaline-batch.1.gz") + " | col -b");
    EXPECT_NE(batch.out.find("--format FORMAT"), std::string::npos) << "a copyable option name";
}

// The file managers' entry point: the report goes to a log, and the
// notification says what failed, never "Done" over a lost row.
TEST(Packaging, FileManagerActionTellsTheOutcome) {
    TempDir dir;
    std::filesystem::create_directory(dir / "bin");
    WriteWholeFile(dir / "bin/notify-send", "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$NOTIFIED\"\n");
    std::filesystem::permissions(dir / "bin/notify-send", std::filesystem::perms::owner_all);
    ASSERT_EQ(RunShell("convert -size 8x6 xc:red " + Quote(dir / "good.bmp")).status, 0);
    WriteWholeFile(dir / "junk.bmp", "BM not a picture");
    const std::string batchDir = std::filesystem::path(TESSALINE_BATCH_EXE).parent_path();
    const std::string action = std::string(TESSALINE_SOURCE_DIR) + "/packaging/tessaline-action";
    struct Case {
        std::vector<std::string> files;
        int status;
        const char* title;
    } cases[] = {
        {{"good.bmp"}, 0, "Done: 1 saved"},
        {{"good.bmp", "junk.bmp"}, 1, "1 saved, 1 failed"},
        {{}, 2, "Nothing was run"},
    };
    for (const Case& c : cases) {
        std::string command = "cd " + Quote(dir.path()) + " && PATH=" + Quote(dir / "bin") + ":" +
                              Quote(batchDir) + ":/usr/bin:/bin XDG_STATE_HOME=" +
                              Quote(dir / "state") + " NOTIFIED=" + Quote(dir / "notified") +
                              " " + Quote(action) + " --settings s.ini --format png --out out";
        for (const std::string& f : c.files)
            command += " " + f;
        const RunResult r = RunShell(command, Stderr::Merged);
        EXPECT_EQ(r.status, c.status) << r.out;
        const std::string notified = ReadWholeFile(dir / "notified");
        EXPECT_NE(notified.find(std::string(c.title) + "\n"), std::string::npos) << notified;
        EXPECT_NE(notified.find("Report: " + dir / "state/tessaline/file-manager.log"),
                  std::string::npos);
    }
    EXPECT_NE(ReadWholeFile(dir / "notified").find("tessaline-batch: no files given"),
              std::string::npos)
        << "the reason a run did not start is shown";
    const std::string log = ReadWholeFile(dir / "state/tessaline/file-manager.log");
    EXPECT_NE(log.find("failed to load image: "), std::string::npos) << log;
}

// The Nautilus extension against a stand-in for Nautilus's Python module:
// a menu for images and folders only, and the entry runs tessaline-action
// on exactly the selected paths.
TEST(Packaging, NautilusExtensionRunsTheAction) {
    if (!FileExists("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    const char* script = R"(
import importlib.util, subprocess, sys, types
class MenuItem:
    def __init__(self, name, label, **_):
        self.label, self.submenu, self.handler = label, None, None
    def set_submenu(self, menu): self.submenu = menu
    def connect(self, _signal, handler, *args): self.handler = (handler, args)
class Menu:
    def __init__(self): self.items = []
    def append_item(self, item): self.items.append(item)
repo = types.ModuleType("gi.repository")
repo.GObject = types.SimpleNamespace(GObject=type("GObject", (), {}))
repo.Nautilus = types.SimpleNamespace(MenuProvider=type("MenuProvider", (), {}), MenuItem=MenuItem, Menu=Menu)
sys.modules["gi"], sys.modules["gi.repository"] = types.ModuleType("gi"), repo
spec = importlib.util.spec_from_file_location("extension", sys.argv[1])
extension = importlib.util.module_from_spec(spec)
spec.loader.exec_module(extension)
def selected(*files):
    return [types.SimpleNamespace(get_mime_type=lambda t=t: t,
                                  get_location=lambda p=p: types.SimpleNamespace(get_path=lambda: p))
            for p, t in files]
menu = extension.TessalineMenu()
print("text:", len(menu.get_file_items(selected(("/p/a.txt", "text/plain"), ("/p/b.jpg", "image/jpeg")))))
top, = menu.get_file_items(selected(("/p/-b.jpg", "image/jpeg"), ("/p/d", "inode/directory")))
ran = []
subprocess.Popen = lambda argv, **_: ran.append(argv)
for item in top.submenu.items:
    handler, args = item.handler
    handler(item, *args)
    print(item.label, "->", ran[-1])
)";
    // A tessaline-batch that lists one shipped and one saved preset.
    TempDir dir;
    WriteWholeFile(dir / "tessaline-batch",
                   "#!/bin/sh\nprintf 'Web 1600 px JPG (shipped)\\nMine\\n'\n");
    std::filesystem::permissions(dir / "tessaline-batch", std::filesystem::perms::owner_all);
    WriteWholeFile(dir / "check.py", script);
    const RunResult r = RunShell("PATH=" + Quote(dir.path()) + ":/usr/bin:/bin /usr/bin/python3 " +
                                     Quote(dir / "check.py") + " " +
                                     Quote(kGenerated + "/actions/tessaline.py"),
                                 Stderr::Merged);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("text: 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Resize with the saved settings -> ['tessaline-action', '--', '/p/-b.jpg', "
                         "'/p/d']\n"),
              std::string::npos)
        << r.out;
    const std::string shipped = "Resize with \"Web 1600 px JPG\" -> ['tessaline-action', '--preset', "
                                "'Web 1600 px JPG', '--', '/p/-b.jpg', '/p/d']\n";
    ASSERT_NE(r.out.find(shipped), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(shipped, r.out.find(shipped) + 1), std::string::npos) << "listed once\n" << r.out;
    EXPECT_NE(r.out.find("Resize with \"Mine\" -> ['tessaline-action', '--preset', 'Mine', '--'"),
              std::string::npos)
        << r.out;
}

// The static entries (Dolphin, Nemo, Thunar) each run tessaline-action with
// the saved settings or one shipped preset, the name surviving its quoting.
TEST(Packaging, FileManagerEntriesRunEachShippedPreset) {
    TempDir dir;
    WriteWholeFile(dir / "tessaline-action", "#!/bin/sh\nprintf '[%s]' \"$@\"\n");
    std::filesystem::permissions(dir / "tessaline-action", std::filesystem::perms::owner_all);
    // What each entry runs, with %F as one selected file.
    const auto ran = [&](std::string command) {
        for (size_t at; (at = command.find("%F")) != std::string::npos;) command.replace(at, 2, "a.jpg");
        for (size_t at = 0; (at = command.find("%%", at)) != std::string::npos; ++at) command.erase(at, 1);
        return RunShell("PATH=" + Quote(dir.path()) + ":/usr/bin:/bin; " + command).out;
    };
    const auto after = [](const std::string& text, const std::string& start, const std::string& end) {
        std::vector<std::string> found;
        for (size_t at = 0; (at = text.find(start, at)) != std::string::npos;) {
            at += start.size();
            found.push_back(text.substr(at, text.find(end, at) - at));
        }
        return found;
    };
    const std::multiset<std::string> expected = {
        "[a.jpg]", "[--preset][Web 1600 px JPG][a.jpg]", "[--preset][Email 1024 px][a.jpg]",
        "[--preset][Square 1080 WebP][a.jpg]"};
    std::multiset<std::string> dolphin, nemo, thunar;
    for (const std::string& exec : after(ReadWholeFile(kGenerated + "/actions/tessaline.desktop"), "\nExec=", "\n"))
        dolphin.insert(ran(exec));
    for (const auto& entry : std::filesystem::directory_iterator(kGenerated + "/actions/nemo"))
        for (const std::string& exec : after(ReadWholeFile(entry.path()), "\nExec=", "\n"))
            nemo.insert(ran(exec));
    for (std::string command : after(ReadWholeFile(kGenerated + "/actions/thunar-uca.xml"), "<command>", "</command>")) {
        for (size_t at; (at = command.find("&amp;")) != std::string::npos;) command.replace(at, 5, "&");
        thunar.insert(ran(command));
    }
    EXPECT_EQ(dolphin, expected);
    EXPECT_EQ(nemo, expected);
    EXPECT_EQ(thunar, expected);
}

#include "support/Codec.h"
#include "SettingsFile.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testkit;

namespace {

OperationSettings SampleSettings() {
    OperationSettings s = MakeUnsetSettings();
    ApplySettingsDefaults(s);
    s.useDefaults = 0;
    s.jpegQuality = 75;
    s.renameEnabled = 1;
    SetFieldText(s.namePrefix, "x");
    SetFieldText(s.recentFolders[0], "/srv/out");
    SetFieldText(s.recentFolders[1], "/tmp/two");
    s.outputFolderIndex = 2;
    s.stampColour = MakeColorRef(1, 2, 3);
    return s;
}

// The value as the Windows profile functions write it, spelled out here with
// printf rather than the code under test.
std::string WindowsValue(const OperationSettings& s) {
    const auto* b = reinterpret_cast<const uint8_t*>(&s);
    std::string text;
    unsigned sum = 0;
    char pair[3];
    for (size_t i = 0; i < sizeof s; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", b[i]);
        text += pair;
        sum += b[i];
    }
    std::snprintf(pair, sizeof pair, "%02X", sum % 256);
    return text + pair;
}

bool SameRecord(const OperationSettings& a, const OperationSettings& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(ProfileStruct, EncodesUpperCaseHexWithByteSum) {
    const uint8_t bytes[] = {0x00, 0xAB, 0xFF, 0x10};
    EXPECT_EQ(EncodeProfileStruct(bytes), "00ABFF10BA");
    uint8_t back[4] = {};
    ASSERT_TRUE(DecodeProfileStruct("00abff10ba", back));
    EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
}

TEST(ProfileStruct, DamagedValuesAreRefused) {
    uint8_t back[4] = {9, 9, 9, 9};
    for (const char* bad :
         {"00ABFF10", "00ABFF10BA00", "00ABFF10BB", "00ABFG10BA", "", "00AB FF10B"})
        EXPECT_FALSE(DecodeProfileStruct(bad, back)) << bad;
    EXPECT_EQ(back[0], 9); // untouched
}

TEST(SettingsFile, RoundTripGivesBackEveryByte) {
    TempDir dir;
    const OperationSettings s = SampleSettings();
    ASSERT_TRUE(SaveSettings(dir / "a.ini", s));
    OperationSettings loaded;
    ASSERT_TRUE(LoadSettings(dir / "a.ini", loaded));
    EXPECT_TRUE(SameRecord(loaded, s));
    const std::string text = ReadWholeFile(dir / "a.ini");
    EXPECT_EQ(text.rfind("[Quorvel Image Resizer]\r\nAppSettings=", 0), 0u);
    EXPECT_EQ(text.size(), 23 + 2 + 12 + 5008 * 2 + 2 + 2u);
}

TEST(SettingsFile, ReadsAFileInTheWindowsLayout) {
    TempDir dir;
    const OperationSettings s = SampleSettings();
    WriteWholeFile(dir / "w.ini", "[Other]\r\nAppSettings=00\r\n\r\n[quorvel image resizer]\r\n"
                                  "  appsettings = " +
                                      WindowsValue(s) + "\r\n");
    OperationSettings loaded;
    ASSERT_TRUE(LoadSettings(dir / "w.ini", loaded));
    EXPECT_TRUE(SameRecord(loaded, s));
    EXPECT_EQ(FieldText(loaded.recentFolders[1]), "/tmp/two");
}

TEST(SettingsFile, WritingKeepsEveryOtherSectionAndKey) {
    TempDir dir;
    const std::string before = "; comment\r\n[Shortcuts]\r\nStart=Ctrl+S\r\n\r\n"
                               "[Quorvel Image Resizer]\r\nOther=1\r\nAppSettings=" +
                               WindowsValue(MakeUnsetSettings()) +
                               "\r\nLater=2\r\n\r\n[Tail]\r\nAppSettings=keep\r\n";
    WriteWholeFile(dir / "k.ini", before);
    const OperationSettings s = SampleSettings();
    ASSERT_TRUE(SaveSettings(dir / "k.ini", s));
    const std::string expected = "; comment\r\n[Shortcuts]\r\nStart=Ctrl+S\r\n\r\n"
                                 "[Quorvel Image Resizer]\r\nOther=1\r\nAppSettings=" +
                                 WindowsValue(s) +
                                 "\r\nLater=2\r\n\r\n[Tail]\r\nAppSettings=keep\r\n";
    EXPECT_EQ(ReadWholeFile(dir / "k.ini"), expected);
}

TEST(SettingsFile, KeyIsAddedToItsSectionOrANewOne) {
    IniFile ini;
    ini.Parse("[A]\nx=1\n\n[Quorvel Image Resizer]\ny=2\n\n[B]\nz=3\n");
    ini.Set(kSettingsSection, kSettingsKey, "V");
    EXPECT_EQ(ini.Text(), "[A]\nx=1\n\n[Quorvel Image Resizer]\ny=2\nAppSettings=V\n\n[B]\nz=3\n");
    ini.Parse("[A]\r\nx=1\r\n");
    ini.Set(kSettingsSection, kSettingsKey, "V");
    EXPECT_EQ(ini.Text(), "[A]\r\nx=1\r\n\r\n[Quorvel Image Resizer]\r\nAppSettings=V\r\n");
}

// A damaged record is refused with its reason, like an unreadable file, and
// never saved over; a missing one gives the defaults without a word.
TEST(SettingsFile, DamagedRecordsAreRefusedMissingOnesGiveDefaults) {
    TempDir dir;
    const std::string good = WindowsValue(SampleSettings());
    std::string wrongSum = good;
    wrongSum.back() = wrongSum.back() == '0' ? '1' : '0';
    std::string nonHex = good;
    nonHex[100] = 'Z';
    const struct {
        std::string value;
        const char* reason;
    } cases[] = {
        {"[Quorvel Image Resizer]\r\nAppSettings=" + good.substr(0, good.size() - 4),
         "settings record damaged: 5007 bytes where 5009 belong"},
        {"[Quorvel Image Resizer]\r\nAppSettings=" + good + "00",
         "settings record damaged: 5010 bytes where 5009 belong"},
        {"[Quorvel Image Resizer]\r\nAppSettings=" + wrongSum, "settings record damaged: wrong checksum"},
        {"[Quorvel Image Resizer]\r\nAppSettings=" + nonHex, "settings record damaged: not hexadecimal"},
        {"[Another Section]\r\nAppSettings=" + good, ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        const std::string text = c.value.empty() ? "" : c.value + "\r\n";
        WriteWholeFile(dir / "d.ini", text);
        OperationSettings loaded = SampleSettings();
        std::string why = "unset";
        EXPECT_FALSE(LoadSettings(dir / "d.ini", loaded, nullptr, &why));
        EXPECT_TRUE(SameRecord(loaded, MakeUnsetSettings()));
        EXPECT_EQ(why, c.reason);
        const bool saved = SaveSettings(dir / "d.ini", SampleSettings(), nullptr, &why);
        EXPECT_EQ(saved, !*c.reason) << c.reason;
        if (*c.reason) {
            EXPECT_EQ(why, c.reason);
            EXPECT_EQ(ReadWholeFile(dir / "d.ini"), text) << "left for the user to look at";
        }
    }
    OperationSettings loaded = SampleSettings();
    EXPECT_FALSE(LoadSettings(dir / "missing.ini", loaded));
    EXPECT_EQ(loaded.useDefaults, 1);
}

// Root reads and writes past permissions, so only the mode-free cases are
// certain; the permission case runs for other users.
TEST(SettingsFile, UnreadableFilesSayWhyAndAreNeverSavedOver) {
    TempDir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir / "adir.ini"));
    WriteWholeFile(dir / "huge.ini", "[A]\r\n" + std::string((16 << 20) + 1, ';'));
    ASSERT_EQ(::mkfifo((dir / "fifo.ini").c_str(), 0644), 0);
    WriteWholeFile(dir / "locked.ini", "[A]\r\nx=1\r\n");
    ::chmod((dir / "locked.ini").c_str(), 0);
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {dir / "adir.ini", "Is a directory"},
        {dir / "huge.ini", "Larger than 16 MB"},
        {dir / "fifo.ini", "Not a regular file"},
        {"/dev/zero", "Not a regular file"}, // endless: never read into memory
        {dir / "locked.ini", ::geteuid() == 0 ? nullptr : "Permission denied"},
    };
    for (const auto& c : cases) {
        if (!c.reason) continue;
        const bool file = std::filesystem::is_regular_file(c.path);
        const std::string before = file ? ReadWholeFile(c.path) : "";
        OperationSettings loaded = SampleSettings();
        std::string why;
        EXPECT_FALSE(LoadSettings(c.path, loaded, nullptr, &why)) << c.path;
        EXPECT_EQ(why, c.reason) << c.path;
        EXPECT_EQ(loaded.useDefaults, 1);
        if (c.path.starts_with("/dev")) continue;
        EXPECT_FALSE(SaveSettings(c.path, SampleSettings(), nullptr, &why)) << c.path;
        EXPECT_EQ(why, c.reason) << c.path;
        if (file) {
            EXPECT_EQ(ReadWholeFile(c.path), before) << c.path;
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir / "adir.ini"));
    EXPECT_FALSE(SaveSettings(dir / "no/such/folder.ini", SampleSettings()));
    // A missing file is no read error: it gives the defaults.
    std::string why = "unset";
    OperationSettings loaded;
    EXPECT_FALSE(LoadSettings(dir / "missing.ini", loaded, nullptr, &why));
    EXPECT_EQ(why, "");
}

// A save writes through links, keeps read-only files, and removes what a
// killed save left behind.
TEST(SettingsFile, SaveRespectsTheFileItFinds) {
    TempDir dir;
    namespace fs = std::filesystem;
    const OperationSettings s = SampleSettings();
    fs::create_directory(dir / "real");
    WriteWholeFile(dir / "real/linked.ini", "[Keep]\r\nk=1\r\n");
    fs::create_symlink("real/linked.ini", dir / "link.ini");
    fs::create_symlink(dir / "real/new.ini", dir / "dangling.ini");
    for (const char* link : {"link.ini", "dangling.ini"}) {
        ASSERT_TRUE(SaveSettings(dir / link, s)) << link;
        EXPECT_TRUE(fs::is_symlink(dir / link)) << link;
        OperationSettings loaded;
        ASSERT_TRUE(LoadSettings(fs::canonical(dir / link), loaded)) << link;
        EXPECT_TRUE(SameRecord(loaded, s)) << link;
    }
    EXPECT_EQ(ReadWholeFile(dir / "real/linked.ini").rfind("[Keep]\r\nk=1\r\n", 0), 0u);

    const std::string readOnly = "[A]\r\nx=1\r\n";
    WriteWholeFile(dir / "ro.ini", readOnly);
    fs::permissions(dir / "ro.ini", fs::perms::owner_read | fs::perms::group_read);
    std::string why;
    EXPECT_FALSE(SaveSettings(dir / "ro.ini", s, nullptr, &why));
    EXPECT_EQ(why, "Read-only file");
    EXPECT_EQ(ReadWholeFile(dir / "ro.ini"), readOnly);

    WriteWholeFile(dir / "real/.linked.ini.save-Ab12Cd", "half a save");
    WriteWholeFile(dir / "real/.linked.ini.save-notours", "kept");
    ASSERT_TRUE(SaveSettings(dir / "link.ini", s));
    EXPECT_FALSE(FileExists(dir / "real/.linked.ini.save-Ab12Cd"));
    EXPECT_TRUE(FileExists(dir / "real/.linked.ini.save-notours"));
}

// Each save reads, changes and writes under a lock: writers in two processes
// keep each other's keys.
TEST(SettingsFile, ConcurrentSavesLoseNoKey) {
    TempDir dir;
    const std::string path = dir / "shared.ini";
    constexpr int kWriters = 2, kKeys = 100;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int k = 0; k < kKeys; ++k) {
                const std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
                ok = UpdateSettingsFile(path, [&](IniFile& ini) { ini.Set("Keys", key, "1"); }) && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    IniFile ini;
    ASSERT_TRUE(ini.Load(path));
    int missing = 0;
    for (int w = 0; w < kWriters; ++w)
        for (int k = 0; k < kKeys; ++k)
            missing += !ini.Get("Keys", "w" + std::to_string(w) + "k" + std::to_string(k));
    EXPECT_EQ(missing, 0);
}

TEST(SettingsLocation, CompanionFileOfTheProgram) {
    struct Case {
        const char* program;
        const char* companion;
    };
    for (const Case c : {Case{"/opt/tools/resizer.exe", "/opt/tools/resizer.ini"},
                         Case{"/usr/bin/tessaline", "/usr/bin/tessaline.ini"},
                         Case{"/my.apps/resizer", "/my.apps/resizer.ini"},
                         Case{"resizer2.exe", "resizer2.ini"}, Case{"resizer", "resizer.ini"}})
        EXPECT_EQ(CompanionFilePath(c.program, "ini"), c.companion);
    EXPECT_EQ(CompanionFilePath("/usr/bin/tessaline", "txt"), "/usr/bin/tessaline.txt");
}

TEST(SettingsLocation, BesideTheProgramWhileItCanBeWritten) {
    TempDir dir;
    const SettingsLocation where =
        ResolveSettingsLocation(dir / "tessaline", dir / "cfg", "/home/u");
    EXPECT_EQ(where.besidePath, dir / "tessaline.ini");
    EXPECT_EQ(where.userPath, dir / "cfg/tessaline/tessaline.ini");
    EXPECT_EQ(where.writePath, where.besidePath);
    EXPECT_EQ(where.readPath, where.besidePath);
}

TEST(SettingsLocation, PerUserFileWhenTheProgramsFolderIsNotWritable) {
    TempDir dir;
    const std::string program = dir / "gone/bin/tessaline"; // a folder nobody can write in
    SettingsLocation where = ResolveSettingsLocation(program, dir / "cfg", "/home/u");
    EXPECT_EQ(where.writePath, dir / "cfg/tessaline/tessaline.ini");
    // Without XDG_CONFIG_HOME (or with a relative one) it is ~/.config.
    where = ResolveSettingsLocation(program, "", dir.path());
    EXPECT_EQ(where.writePath, dir / ".config/tessaline/tessaline.ini");
    where = ResolveSettingsLocation(program, "relative/cfg", dir.path());
    EXPECT_EQ(where.writePath, dir / ".config/tessaline/tessaline.ini");

    // Saving creates the per-user folder; the next start reads it back.
    const OperationSettings s = SampleSettings();
    ASSERT_TRUE(SaveSettingsAt(where, s));
    where = ResolveSettingsLocation(program, "", dir.path());
    EXPECT_EQ(where.readPath, dir / ".config/tessaline/tessaline.ini");
    OperationSettings loaded;
    ASSERT_TRUE(LoadSettings(where.readPath, loaded));
    EXPECT_TRUE(SameRecord(loaded, s));
}

TEST(SettingsLocation, ReadsThePerUserFileWhenNoneLiesBesideTheProgram) {
    TempDir dir;
    std::filesystem::create_directories(dir / "cfg/tessaline");
    WriteWholeFile(dir / "cfg/tessaline/tessaline.ini", "");
    SettingsLocation where = ResolveSettingsLocation(dir / "tessaline", dir / "cfg", "");
    EXPECT_EQ(where.readPath, dir / "cfg/tessaline/tessaline.ini");
    EXPECT_EQ(where.writePath, dir / "tessaline.ini");
    WriteWholeFile(dir / "tessaline.ini", "");
    where = ResolveSettingsLocation(dir / "tessaline", dir / "cfg", "");
    EXPECT_EQ(where.readPath, dir / "tessaline.ini");
    // A read-only file beside the program is read, and saves go to the user's.
    ::chmod((dir / "tessaline.ini").c_str(), 0444);
    ::unlink((dir / "cfg/tessaline/tessaline.ini").c_str());
    where = ResolveSettingsLocation(dir / "tessaline", dir / "cfg", "");
    EXPECT_EQ(where.readPath, dir / "tessaline.ini");
    EXPECT_EQ(where.writePath, dir / "cfg/tessaline/tessaline.ini");
}

TEST(RunOptionsSection, RoundTripsBesideAnUnchangedRecord) {
    TempDir dir;
    const OperationSettings s = SampleSettings();
    RunOptions o;
    o.autoRotate = false;
    o.metadata = MetadataMode::kKeepAllButLocation;
    o.background = MakeColorRef(0x12, 0xAB, 0xEF);
    o.resample = ResampleFilter::kSmooth;
    o.onlyShrink = true;
    o.longestSide = 2048;
    o.percent = 25;
    o.threads = 3;
    o.lossless = true;
    o.iconFirstEntry = true;
    o.encode = EncodeOptions{false, true, ChromaSubsampling::k444, 9, PngFilter::kPaeth, false, true};
    o.palette = PaletteMode::kAdaptive;
    o.paletteDither = false;
    o.maxSize = 250000;
    o.neverLarger = true;
    o.jpegTurn = JpegTurnEdges::kReEncode;
    o.frames = FrameChoice::kFirst;
    o.page = 3;
    o.fixedSizeFit = FixedSizeFit::kPad;
    o.anchor = Anchor::kSouthWest;
    ASSERT_TRUE(ParseCropRectangle("1,2,300,400", o.crop));
    o.border = BorderOption{9, true, MakeColorRef(1, 2, 3)};
    o.watermark = WatermarkOption{true, "/logos/a b=c.png", Anchor::kNorth, 0, 33, 0, true};
    o.strict = true;
    ASSERT_TRUE(SaveSettings(dir / "o.ini", s, &o));
    const std::string text = ReadWholeFile(dir / "o.ini");
    // The record's line is the one the Windows program reads, byte for byte.
    EXPECT_NE(text.find("AppSettings=" + WindowsValue(s) + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("[Tessaline Options]\r\nAutoRotate=0\r\nMetadata=no-location\r\n"
                        "Background=12ABEF\r\nResample=smooth\r\n"),
              std::string::npos);
    OperationSettings loaded;
    RunOptions back;
    ASSERT_TRUE(LoadSettings(dir / "o.ini", loaded, &back));
    EXPECT_TRUE(SameRecord(loaded, s));
    EXPECT_EQ(back.autoRotate, o.autoRotate);
    EXPECT_EQ(back.metadata, o.metadata);
    EXPECT_EQ(back.background, o.background);
    EXPECT_EQ(back.resample, o.resample);
    EXPECT_EQ(back.onlyShrink, o.onlyShrink);
    EXPECT_EQ(back.longestSide, o.longestSide);
    EXPECT_EQ(back.percent, o.percent);
    EXPECT_EQ(back.threads, o.threads);
    EXPECT_EQ(back.lossless, o.lossless);
    EXPECT_EQ(back.iconFirstEntry, o.iconFirstEntry);
    EXPECT_EQ(back.encode.jpegOptimize, o.encode.jpegOptimize);
    EXPECT_EQ(back.encode.jpegProgressive, o.encode.jpegProgressive);
    EXPECT_EQ(back.encode.jpegSubsampling, o.encode.jpegSubsampling);
    EXPECT_EQ(back.encode.pngLevel, o.encode.pngLevel);
    EXPECT_EQ(back.encode.pngFilter, o.encode.pngFilter);
    EXPECT_EQ(back.encode.pngReduce, o.encode.pngReduce);
    EXPECT_EQ(back.encode.zopfli, o.encode.zopfli);
    EXPECT_EQ(back.palette, o.palette);
    EXPECT_EQ(back.paletteDither, o.paletteDither);
    EXPECT_EQ(back.maxSize, o.maxSize);
    EXPECT_EQ(back.neverLarger, o.neverLarger);
    EXPECT_EQ(back.jpegTurn, o.jpegTurn);
    EXPECT_EQ(back.frames, o.frames);
    EXPECT_EQ(back.page, o.page);
    EXPECT_EQ(back.fixedSizeFit, o.fixedSizeFit);
    EXPECT_EQ(back.anchor, o.anchor);
    EXPECT_EQ(back.crop, o.crop);
    EXPECT_EQ(back.border, o.border);
    EXPECT_EQ(back.watermark, o.watermark);
    // An aspect crop and a border without a colour read back as such.
    ASSERT_TRUE(ParseCropAspect("4:3", o.crop));
    o.border = BorderOption{2, false, 0};
    ASSERT_TRUE(SaveSettings(dir / "o.ini", s, &o));
    ASSERT_TRUE(LoadSettings(dir / "o.ini", loaded, &back));
    EXPECT_EQ(back.crop, o.crop);
    EXPECT_EQ(back.border, o.border);
    EXPECT_EQ(back.strict, o.strict);
}

TEST(RunOptionsSection, ByteSizesReadAsWritten) {
    const struct {
        const char* text;
        bool ok;
        int64_t bytes;
    } cases[] = {{"200K", true, 200000}, {"1.5M", true, 1500000}, {"350000", true, 350000},
                 {"none", true, 0},      {"0", true, 0},          {"0.0001K", false, 0},
                 {"K", false, 0},        {"-5K", false, 0},       {"12KB", false, 0}};
    for (const auto& c : cases) {
        int64_t bytes = -1;
        EXPECT_EQ(ParseByteSize(c.text, bytes), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(bytes, c.bytes) << c.text;
        int64_t back = -1;
        EXPECT_TRUE(ParseByteSize(ByteSizeText(bytes), back));
        EXPECT_EQ(back, bytes) << c.text;
    }
}

TEST(RunOptionsSection, UnreadableKeysKeepTheirDefaults) {
    IniFile ini;
    ini.Parse("[Tessaline Options]\nAutoRotate=maybe\nMetadata=all\nBackground=12345\n"
              "Resample=cubic\nPercent=0\nThreads=-1\nLongestSide=30001\nLossless=1\n");
    RunOptions o;
    ReadRunOptions(ini, o);
    const RunOptions defaults;
    EXPECT_EQ(o.autoRotate, defaults.autoRotate);
    EXPECT_EQ(o.metadata, defaults.metadata);
    EXPECT_EQ(o.background, defaults.background);
    EXPECT_EQ(o.resample, defaults.resample);
    EXPECT_EQ(o.percent, defaults.percent);
    EXPECT_EQ(o.threads, defaults.threads);
    EXPECT_EQ(o.longestSide, defaults.longestSide);
    EXPECT_TRUE(o.lossless);
}

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <string>
#include <vector>

#include "Payload.h"
#include "Posix.h"
#include "StandInLog.h"
#include "TestSupport.h"
#include "product.h"

namespace bundora {
namespace {

namespace fs = std::filesystem;
using test::exists;
using test::listing;
using test::readFile;
using test::readStandInLog;
using test::TempDir;
using test::writeFile;

// A launcher folder with a packed launcher, an installer folder named by the registry file, a
// temporary folder, and the stand-in's log.
class PackedLauncher : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"launch", "inst", "tmp"}) {
            fs::create_directory(root.path() / d);
        }
        launcher = pack("bundora");
        setInstallDir(installFolder);
    }
    std::string pack(const std::string& name, const char* installer = BUNDORA_STANDIN) {
        const std::string path = root / ("launch/" + name);
        fs::copy_file(BUNDORA_IMAGE, path);
        FileSource standIn(installer);
        appendEntry(path, "Trestel.exe", 0, standIn);
        MemorySource readme(std::string("payload readme"));
        appendEntry(path, "readme.txt", 0, readme);
        return path;
    }
    void setInstallDir(const std::string& value) {
        writeFile(registry,
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\r\n"
                  "\"INSTALLDIR\"=\"" +
                      value + "\"\r\n");
    }
    void module(const std::string& name) { writeFile(root / ("launch/" + name), "module"); }
    test::ProgramResult run(const std::string& program, int sleepMs = 0,
                            const std::string& display = "-DISPLAY") {
        return runArgs({program}, sleepMs, display);
    }
    test::ProgramResult runArgs(const std::vector<std::string>& args, int sleepMs = 0,
                                const std::string& display = "-DISPLAY") {
        std::vector<std::string> argv = runPrefix;
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = {"BUNDORA_REGISTRY=" + registry,
                                        "TEMP=" + tempFolder,
                                        "BUNDORA_STANDIN_LOG=" + log,
                                        "BUNDORA_STANDIN_SLEEP_MS=" + std::to_string(sleepMs),
                                        display,
                                        "-WAYLAND_DISPLAY"};
        env.insert(env.end(), moreEnv.begin(), moreEnv.end());
        return test::runProgram(argv, env);
    }
    std::vector<std::string> expectedArgs(const std::string& installer, const std::string& mod) {
        return {installer, root / "launch" + "/" + mod};
    }

    // From here on the launcher runs as uid 65534 with TEMP a shared sticky folder under root
    // (which the caller must be); the shared folder.
    std::string asAnotherUserInSharedTemp() {
        runPrefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        ::chmod(root.str().c_str(), 0755);
        const std::string shared = root / "shared";
        fs::create_directory(shared);
        ::chmod(shared.c_str(), 01777);
        tempFolder = shared;
        log = shared + "/log";
        return shared;
    }

    TempDir root;
    std::vector<std::string> runPrefix;  // e.g. a command that runs the launcher as another user
    std::vector<std::string> moreEnv;    // changes to the environment beside the usual ones
    std::string launcher;
    std::string registry = root / "registry.reg";
    std::string installFolder = root / "inst/";
    std::string tempFolder = root / "tmp";
    std::string log = root / "log";
};

TEST_F(PackedLauncher, PresentInstallerWithContentRunsWithoutExtraction) {
    fs::copy_file(BUNDORA_STANDIN, installFolder + "Trestel.exe");
    ::chmod((installFolder + "Trestel.exe").c_str(), 0755);
    module("one.bbl");
    const auto r = run(launcher);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(exists(installFolder + "readme.txt"));
    const auto runs = readStandInLog(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args, expectedArgs(installFolder + "Trestel.exe", "one.bbl"));
}

TEST_F(PackedLauncher, EmptyInstallerIsExtractedAgainAndRun) {
    writeFile(installFolder + "Trestel.exe", "");
    module("one.dct");
    const auto r = run(launcher);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(installFolder + "Trestel.exe"), readFile(BUNDORA_STANDIN));
    EXPECT_EQ(readFile(installFolder + "readme.txt"), "payload readme");
    ASSERT_EQ(readStandInLog(log).size(), 1u);
}

TEST_F(PackedLauncher, WithoutInstallDirTheTemporaryFolderIsUsed) {
    fs::remove(registry);
    module("one.cmt");
    const auto r = run(launcher);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string installer = tempFolder + "/Trestel.exe";
    EXPECT_EQ(readFile(installer), readFile(BUNDORA_STANDIN));
    struct stat st {};
    ASSERT_EQ(::stat(installer.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    const auto runs = readStandInLog(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args, expectedArgs(installer, "one.cmt"));
}

TEST_F(PackedLauncher, InstallDirWithoutFinalSeparatorGetsTheNameAppendedDirectly) {
    setInstallDir(root / "inst");
    module("one.bbl");
    const auto r = run(launcher);
    // The payload lands in the folder; the installer path misses it, so the run can't start
    // and ends with status 1 and the reason.
    EXPECT_TRUE(exists(installFolder + "Trestel.exe"));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "bundora: installer run: cannot start " + root / "instTrestel.exe" +
                         ": it is missing, empty or not executable\n");
    EXPECT_TRUE(readStandInLog(log).empty());
}

TEST_F(PackedLauncher, ModulesRunOneAfterAnotherInListingOrder) {
    for (const char* name : {"b.bbl", "a.dev", "c d.brp", "UPPER.BBL", "notes.txt"}) {
        module(name);
    }
    fs::create_directory(root / "launch/sub.bbl");
    writeFile(root / "launch/sub.bbl/inner.bbl", "module");
    const auto r = run(launcher, 150);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    std::vector<std::string> order;
    for (const auto& e : fs::directory_iterator(root.path() / "launch")) {
        const std::string n = e.path().filename().string();
        if (n == "b.bbl" || n == "a.dev" || n == "c d.brp") {
            order.push_back(n);
        }
    }
    const auto runs = readStandInLog(log);
    ASSERT_EQ(runs.size(), 3u);
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].args, expectedArgs(installFolder + "Trestel.exe", order[i]));
        EXPECT_GE(runs[i].end - runs[i].start, 150 * 1000000LL);
        if (i > 0) {
            EXPECT_LE(runs[i - 1].end, runs[i].start)
                << "runs " << i - 1 << " and " << i << " overlap";
        }
    }
}

TEST_F(PackedLauncher, NoModuleShowsTheMessageOnStandardErrorAfterExtracting) {
    const auto r = run(launcher);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Unable to find modules to install in: \n\n" + root / "launch" +
                         "/\n\nPlease put bundora in the same folder as your modules.\n");
    EXPECT_TRUE(exists(installFolder + "Trestel.exe"));
    EXPECT_TRUE(readStandInLog(log).empty());

    // A launcher saved under another name shows that name, without its extension.
    const std::string renamed = root / "launch/Lorvex Mods.run";
    fs::rename(launcher, renamed);
    const auto again = run(renamed);
    EXPECT_NE(again.err.find("Please put Lorvex Mods in the same folder"), std::string::npos)
        << again.err;

    // A folder name with terminal escapes shows them escaped.
    const std::string odd = root / "launch/\x1b]0;owned\x07";
    fs::create_directory(odd);
    fs::rename(renamed, odd + "/bundora");
    const auto escaped = run(odd + "/bundora");
    EXPECT_NE(escaped.err.find("launch/\\x1b]0;owned\\x07/\n"), std::string::npos) << escaped.err;
    EXPECT_EQ(escaped.err.find('\x1b'), std::string::npos);
}

TEST_F(PackedLauncher, UnreachableDisplayStillGetsTheMessageOut) {
    // A display named in the environment that nobody answers on: no crash, the text on stderr.
    const auto r = run(launcher, 0, "DISPLAY=:97");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Unable to find modules to install in: \n\n" + root / "launch" +
                         "/\n\nPlease put bundora in the same folder as your modules.\n"),
              std::string::npos)
        << r.err;
}

TEST_F(PackedLauncher, FailedExtractionEndsWithStatusOneAndOneLine) {
    setInstallDir(root / "missing/");
    module("one.bbl");
    const auto r = run(launcher);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bundora: extraction: cannot open destination folder " + root / "missing/" +
                         ": No such file or directory\n");
    EXPECT_TRUE(readStandInLog(log).empty());
}

TEST_F(PackedLauncher, HelpOrVersionGivenAloneAnswerWithoutARun) {
    module("one.bbl");
    const std::string version =
        std::string("bundora (") + product::kName + ") " + product::kVersion + "\n";
    for (const auto& [arg, start] : {std::pair<std::string, std::string>{"--version", version},
                                     {"--help", "Usage: bundora\n"}}) {
        const auto r = runArgs({launcher, arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.substr(0, start.size()), start);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(fs::is_empty(root / "inst"));
    EXPECT_TRUE(readStandInLog(log).empty());

    // Beside other arguments they are ignored, as every argument is.
    EXPECT_EQ(runArgs({launcher, "--version", "x"}).status, 0);
    EXPECT_EQ(readStandInLog(log).size(), 1u);
}

TEST_F(PackedLauncher, KilledDuringExtractionLeavesNothingBehind) {
    module("one.bbl");
    // A file-size limit below the installer's size kills the launcher in the middle of writing
    // it (SIGXFSZ); the readme, appended last, is written first and complete.
    rlimit fsize{}, core{};
    ::getrlimit(RLIMIT_FSIZE, &fsize);
    ::getrlimit(RLIMIT_CORE, &core);
    const rlimit cut{4096, fsize.rlim_max}, noCore{0, core.rlim_max};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::setrlimit(RLIMIT_FSIZE, &cut);
    const auto killed = run(launcher);
    ::setrlimit(RLIMIT_FSIZE, &fsize);
    ::setrlimit(RLIMIT_CORE, &core);
    EXPECT_EQ(killed.status, 128 + SIGXFSZ) << killed.err;
    EXPECT_EQ(listing(installFolder), std::vector<std::string>{"readme.txt"});

    const auto again = run(launcher);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(listing(installFolder), (std::vector<std::string>{"Trestel.exe", "readme.txt"}));
    EXPECT_EQ(readStandInLog(log).size(), 1u);
}

// Owners and folder rights matter here, so the launcher runs as another user (needs root).
TEST_F(PackedLauncher, AsAnotherUserAPlantedInstallerNeitherBlocksNorRuns) {
    if (::geteuid() != 0 || !exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root and setpriv";
    }
    constexpr uid_t kUser = 65534, kPlanter = 65533;
    const std::string shared = asAnotherUserInSharedTemp();
    setInstallDir(shared + "/");
    module("one.bbl");
    const std::string planted = shared + "/Trestel.exe";
    writeFile(planted, "#!/bin/sh\necho planted\n");
    ::chmod(planted.c_str(), 0755);
    ASSERT_EQ(::chown(planted.c_str(), kPlanter, kPlanter), 0);
    // The private folder of a killed earlier run of this user (its marker lists what it made),
    // and the user's own folders that merely look alike: only the first goes.
    const std::string stale = shared + "/bundora-AbCdEf";
    fs::create_directory(stale);
    writeFile(stale + "/.bundora-run", std::string("fTrestel.exe\0dsub\0fsub/x\0", 25));
    fs::create_directory(stale + "/sub");
    writeFile(stale + "/Trestel.exe", "old");
    writeFile(stale + "/sub/x", "x");
    for (const std::string own :
         {"/bundora-31999-my-notes", "/bundora-99999999-photos", "/bundora-XyZ123"}) {
        fs::create_directory(shared + own);
        writeFile(shared + own + "/note", "mine");
    }
    // A marker, but "other" is not listed: the folder stays with it.
    writeFile(shared + "/bundora-XyZ123/.bundora-run", "fnote");
    writeFile(shared + "/bundora-XyZ123/other", "mine");
    // A run's folder whose marker somebody holds locked: skipped at once, never waited for.
    fs::create_directory(shared + "/bundora-HeLd01");
    writeFile(shared + "/bundora-HeLd01/.bundora-run", std::string("fx\0", 3));
    writeFile(shared + "/bundora-HeLd01/x", "x");
    const posix::UniqueFd held(::open((shared + "/bundora-HeLd01/.bundora-run").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(held.get(), LOCK_SH), 0);
    for (const auto& e : fs::recursive_directory_iterator(shared)) {
        if (e.path().filename().string() != "Trestel.exe" || e.path().parent_path() != shared) {
            ASSERT_EQ(::lchown(e.path().c_str(), kUser, kUser), 0);
        }
    }

    auto r = run(launcher);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto runs = readStandInLog(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args[0].rfind(shared + "/bundora-", 0), 0u) << runs[0].args[0];
    EXPECT_EQ(runs[0].args[1], root / "launch/one.bbl");
    EXPECT_EQ(readFile(planted), "#!/bin/sh\necho planted\n");
    EXPECT_EQ(listing(shared),
              (std::vector<std::string>{"Trestel.exe", "bundora-31999-my-notes",
                                        "bundora-31999-my-notes/note", "bundora-99999999-photos",
                                        "bundora-99999999-photos/note", "bundora-HeLd01",
                                        "bundora-HeLd01/.bundora-run", "bundora-HeLd01/x",
                                        "bundora-XyZ123", "bundora-XyZ123/other", "log"}));

    // The user's installer without the execute bit, in a folder the user can't write to.
    const std::string locked = root / "locked";
    fs::create_directory(locked);
    writeFile(locked + "/Trestel.exe", "#!/bin/sh\n");  // 0644
    setInstallDir(locked + "/");
    r = run(launcher);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "bundora: installer: " + locked +
                  "/Trestel.exe is not executable and can't be replaced: no write access to " +
                  locked + "\n");
}

// A folder that others may write to is never the installer's: they could rename their program
// over it between the check and the start. And a file another user puts in the way of the
// extraction in a shared sticky folder makes the run go on from a private folder.
TEST_F(PackedLauncher, AsAnotherUserFoldersOthersCanChangeAreNotUsed) {
    if (::geteuid() != 0 || !exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root and setpriv";
    }
    constexpr uid_t kUser = 65534, kOther = 65533;
    const std::string shared = asAnotherUserInSharedTemp();
    module("one.bbl");
    struct Case {
        const char* name;
        mode_t mode;  // of the installer folder, or of the folder above it
        bool above;
    };
    for (const Case& c :
         {Case{"open", 0777, false}, Case{"group", 0775, false}, Case{"above", 0777, true}}) {
        const std::string folder = root / (std::string(c.name) + (c.above ? "/in/" : "/"));
        fs::create_directories(folder);
        ::chmod((root / c.name).c_str(), c.mode);
        ASSERT_EQ(::chown(folder.c_str(), kUser, kUser), 0);
        // The user's own installer, but another could have renamed theirs over it.
        fs::copy_file(BUNDORA_STANDIN, folder + "Trestel.exe");
        ASSERT_EQ(::chown((folder + "Trestel.exe").c_str(), kUser, kUser), 0);
        setInstallDir(folder);
        fs::remove(log);
        const auto r = run(launcher);
        EXPECT_EQ(r.status, 0) << c.name << r.err;
        const auto runs = readStandInLog(log);
        ASSERT_EQ(runs.size(), 1u) << c.name;
        EXPECT_EQ(runs[0].args[0].rfind(shared + "/bundora-", 0), 0u) << c.name;
        EXPECT_NE(r.err.find("not used: others may write to " + root / c.name), std::string::npos)
            << c.name << r.err;
    }

    // Another user's file where the extraction writes, in the shared sticky folder.
    setInstallDir(shared + "/");
    writeFile(shared + "/readme.txt", "theirs");
    ASSERT_EQ(::chown((shared + "/readme.txt").c_str(), kOther, kOther), 0);
    fs::remove(log);
    const auto r = run(launcher);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto runs = readStandInLog(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args[0].rfind(shared + "/bundora-", 0), 0u) << runs[0].args[0];
    EXPECT_EQ(readFile(shared + "/readme.txt"), "theirs");
    EXPECT_NE(r.err.find("using a private folder"), std::string::npos) << r.err;
}

// The real installer, extracted into the shared temporary folder and started from there, loads
// no plugin another user put there: not beside it, not through a qt.conf beside it, not from
// the current folder, and not through a relative QT_PLUGIN_PATH entry. A style the user names
// (from a folder of root's) ends it once its toolkit is up, after the platform theme.
TEST_F(PackedLauncher, AsAnotherUserPluginsPlantedBesideTheInstallerNeverRun) {
    if (::geteuid() != 0 || !exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root and setpriv";
    }
    constexpr uid_t kPlanter = 65533;
    const std::string shared = asAnotherUserInSharedTemp();
    fs::remove(registry);  // no installer folder: the temporary one
    fs::remove(launcher);
    launcher = pack("bundora", TRESTEL_PROGRAM);
    module("one.bbl");
    for (const std::string folder :
         {"/platformthemes", "/theirs/platformthemes", "/here/platformthemes"}) {
        fs::create_directories(shared + folder);
        fs::copy_file(PLANTED_THEME, shared + folder + "/libplanted.so");
    }
    for (const char* conf : {"/qt.conf", "/qt6.conf"}) {
        writeFile(shared + conf,
                  "[Paths]\nPrefix=" + shared + "/theirs\nPlugins=" + shared + "/theirs\n");
    }
    for (const auto& e : fs::recursive_directory_iterator(shared)) {
        ASSERT_EQ(::lchown(e.path().c_str(), kPlanter, kPlanter), 0);
    }
    const std::string probe = root / "probe";
    fs::create_directories(probe + "/styles");
    fs::copy_file(PROBE_STYLE, probe + "/styles/libprobe.so");
    const std::string planted = shared + "/planted.log";
    moreEnv = {"QT_QPA_PLATFORM=offscreen", "QT_QPA_PLATFORMTHEME=evil", "QT_STYLE_OVERRIDE=probe",
               "QT_PLUGIN_PATH=.:" + probe, "PLANTED_LOG=" + planted};

    const auto r =
        runArgs({"/bin/sh", "-c", "cd \"$0\" && exec \"$1\"", shared + "/here", launcher});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(shared + "/Trestel.exe"), readFile(TRESTEL_PROGRAM)) << "started from there";
    EXPECT_EQ(readFile(planted), "probe\n");
}

// A folder reached through another user's link is not the installer's, whatever the link points
// to now: by the start it could point anywhere.
TEST_F(PackedLauncher, AsAnotherUserALinkOfAnotherUserMakesTheFolderUntrusted) {
    if (::geteuid() != 0 || !exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root and setpriv";
    }
    constexpr uid_t kUser = 65534, kOther = 65533;
    const std::string shared = asAnotherUserInSharedTemp();
    module("one.bbl");
    const std::string mine = root / "mine";
    fs::create_directory(mine);
    fs::copy_file(BUNDORA_STANDIN, mine + "/Trestel.exe");
    ASSERT_EQ(::chown(mine.c_str(), kUser, kUser), 0);
    ASSERT_EQ(::chown((mine + "/Trestel.exe").c_str(), kUser, kUser), 0);
    const std::string link = shared + "/their-link";
    fs::create_directory_symlink(mine, link);
    ASSERT_EQ(::lchown(link.c_str(), kOther, kOther), 0);
    setInstallDir(link + "/");
    const auto r = run(launcher);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto runs = readStandInLog(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args[0].rfind(shared + "/bundora-", 0), 0u) << runs[0].args[0];
    EXPECT_NE(r.err.find("not used: " + link + " is a link of another user"), std::string::npos)
        << r.err;
}

TEST_F(PackedLauncher, ImageWithoutPayloadExtractsNothingAndRunsNothing) {
    const std::string bare = root / "launch/bare";
    fs::copy_file(BUNDORA_IMAGE, bare);
    module("one.bbl");
    const auto r = run(bare);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot start"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(root / "inst"));
}

TEST(LauncherImage, CarriesItsVersionResource) {
    const std::string image = readFile(BUNDORA_IMAGE);
    const std::string resource = std::string("ProductName=Pocket Lorvex Installer\0", 36) +
                                 std::string("FileVersion=1.00\0", 17) + "ProductVersion=1.00";
    EXPECT_NE(image.find(resource), std::string::npos);
}

TEST(DeliveredLauncher, CarriesTheInstallerAsTrestelExe) {
    FileSource packed(BUNDORA_PACKED);
    std::vector<std::string> names;
    std::string data;
    walk(packed, [&](Entry& e) {
        names.push_back(e.name);
        data.assign(e.bytes().begin(), e.bytes().end());
    });
    EXPECT_EQ(names, std::vector<std::string>{"Trestel.exe"});
    EXPECT_EQ(data, readFile(TRESTEL_PROGRAM));
}

}  // namespace
}  // namespace bundora

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Form1.h"
#include "MemoryRegistry.h"
#include "Payload.h"
#include "TestSupport.h"

namespace bundora {
namespace {

namespace fs = std::filesystem;
using test::MemoryRegistry;
using test::readFile;
using test::TempDir;
using test::writeFile;

class FakeRunner : public ProcessRunner {
public:
    int Run(const std::string& commandLine, std::string* startError) override {
        lines.push_back(commandLine);
        if (failStart) {
            *startError = "No such file or directory";
            return -1;
        }
        return 0;
    }
    std::vector<std::string> lines;
    bool failStart = false;
};

class FakeMessageBox : public MessageBox {
public:
    void Show(const std::string& text, const std::string& title, int icon) override {
        shown.push_back({text, title, icon});
    }
    struct Shown {
        std::string text, title;
        int icon;
    };
    std::vector<Shown> shown;
};

class Launcher : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(launcherDir / "mods");
        fs::create_directory(installDir / "pl");
        // The launcher's executable: an image with an installer and a readme appended.
        writeFile(exe, std::string(2048, '\0'));
        add("readme.txt", "read me");
        add("Trestel.exe", "#!/bin/sh\n# new installer\n");
        registry.data().setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex", "INSTALLDIR",
                                  installFolder);
    }
    void add(const std::string& name, const std::string& data) {
        MemorySource content(data);
        appendEntry(exe, name, 0, content);
    }
    Form1 form() {
        Form1Deps deps;
        deps.registry = &registry;
        deps.runner = &runner;
        deps.messageBox = &box;
        deps.getenv = [this](const char* name) -> const char* {
            auto it = environment.find(name);
            return it == environment.end() ? nullptr : it->second.c_str();
        };
        deps.exePath = exe;
        deps.payloadPath = exe;
        deps.errors = &errors;
        return Form1(deps);
    }
    std::string commandFor(const std::string& module) const {
        return "\"" + installFolder + "Trestel.exe\" \"" + launcherDir / "mods" + "/" + module +
               "\"";
    }

    TempDir launcherDir;
    TempDir installDir;
    std::string exe = launcherDir / "mods/pl-launcher.bin";
    std::string installFolder = installDir / "pl/";
    MemoryRegistry registry;
    FakeRunner runner;
    FakeMessageBox box;
    std::map<std::string, std::string> environment;
    std::ostringstream errors;
};

TEST_F(Launcher, InstallerFolderComesFromTheRegistryUnchanged) {
    EXPECT_EQ(form().GetPocketLorvexPath(), installFolder);
    // Without a final separator the name is appended directly; the payload goes into the
    // folder itself.
    registry.data().setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex", "INSTALLDIR",
                              installDir / "pl");
    EXPECT_EQ(form().GetPocketLorvexPath(), installDir / "pl");
    EXPECT_EQ(form().PocketLorvexInstallerPath(), installDir / "plTrestel.exe");
    EXPECT_TRUE(test::exists(installDir / "pl/Trestel.exe"));
    EXPECT_FALSE(test::exists(installDir / "plTrestel.exe"));
}

TEST_F(Launcher, WithoutRegistryValueTheTemporaryFolderIsUsedNeverTheRoot) {
    registry.data() = RegistryData{};
    environment["TEMP"] = "/t/emp";
    environment["TMPDIR"] = "/t/mpdir";
    EXPECT_EQ(form().GetPocketLorvexPath(), "/t/emp/");
    environment["TEMP"] = "";
    EXPECT_EQ(form().GetPocketLorvexPath(), "/t/mpdir/");
    environment["TEMP"] = "/";
    EXPECT_EQ(form().GetPocketLorvexPath(), "/t/mpdir/");
    environment.clear();
    EXPECT_EQ(form().GetPocketLorvexPath(), "/tmp/");
    // A value longer than 254 characters reads as missing.
    registry.data().setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex", "INSTALLDIR",
                              std::string(255, 'x'));
    EXPECT_EQ(form().GetPocketLorvexPath(), "/tmp/");
}

TEST_F(Launcher, InstallerIsExtractedUnlessItOrItsLinkTargetQualifies) {
    const std::string installer = installFolder + "Trestel.exe";
    EXPECT_EQ(form().PocketLorvexInstallerPath(), installer);
    EXPECT_EQ(readFile(installer), "#!/bin/sh\n# new installer\n");
    EXPECT_EQ(readFile(installFolder + "readme.txt"), "read me");

    writeFile(installer, "");
    form().PocketLorvexInstallerPath();
    EXPECT_EQ(readFile(installer), "#!/bin/sh\n# new installer\n");

    // 0644: present and trusted, but it could never be run.
    for (mode_t mode : {0777, 0757, 0775, 0644}) {
        writeFile(installer, "planted");
        ::chmod(installer.c_str(), mode);
        form().PocketLorvexInstallerPath();
        EXPECT_EQ(readFile(installer), "#!/bin/sh\n# new installer\n") << std::oct << mode;
    }
    // A link in the installer's place counts by its target: it is kept when the target
    // qualifies, else replaced, the target left alone.
    TempDir elsewhere;
    for (const auto& [mode, kept] :
         std::vector<std::pair<mode_t, bool>>{{0700, true}, {0644, false}, {0775, false}}) {
        writeFile(elsewhere / "real", "#!/bin/sh\n");
        ::chmod((elsewhere / "real").c_str(), mode);
        fs::remove(installer);
        fs::create_symlink(elsewhere / "real", installer);
        form().PocketLorvexInstallerPath();
        EXPECT_EQ(fs::is_symlink(installer), kept) << std::oct << mode;
        EXPECT_EQ(readFile(elsewhere / "real"), "#!/bin/sh\n");
    }
}

TEST_F(Launcher, DoubleQuoteInAPathNeverReachesTheInstaller) {
    // Quoted into the command line, this one would make the installer open "a b.bbl".
    writeFile(launcherDir / "mods/a\" \"b.bbl", "m");
    writeFile(launcherDir / "mods/a b.bbl", "m");
    Form1 f = form();
    f.Load();
    EXPECT_EQ(runner.lines, std::vector<std::string>{commandFor("a b.bbl")});
    EXPECT_EQ(f.runCount(), 2);
    EXPECT_EQ(errors.str(), "bundora: skipped module " + launcherDir / "mods/a\" \"b.bbl" +
                                ": a double quote in its path can't be passed to the installer\n");

    // An installer folder with one ends the run before anything is written.
    fs::create_directory(installDir / "q\"uote");
    registry.data().setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex", "INSTALLDIR",
                              installDir / "q\"uote/");
    try {
        form().Load();
        FAIL() << "no failure";
    } catch (const LaunchError& e) {
        EXPECT_EQ(e.step(), "installer folder") << e.what();
    }
    EXPECT_TRUE(fs::is_empty(installDir / "q\"uote"));
}

TEST_F(Launcher, CommandLineIsBuiltCharacterForCharacter) {
    writeFile(launcherDir / "mods/sample.bbl", "m");
    form().Load();
    ASSERT_EQ(runner.lines.size(), 1u);
    EXPECT_EQ(runner.lines[0], "\"" + installDir.str() + "/pl/Trestel.exe\" \"" +
                                   launcherDir.str() + "/mods/sample.bbl\"");
}

TEST_F(Launcher, NoModuleShowsTheMessageAfterExtracting) {
    Form1 f = form();
    f.Load();
    EXPECT_TRUE(runner.lines.empty());
    EXPECT_EQ(f.runCount(), 0);
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].text, "Unable to find modules to install in: \r\r" + launcherDir.str() +
                                     "/mods/\r\rPlease put pl-launcher in the same folder as "
                                     "your modules.");
    EXPECT_EQ(box.shown[0].title, "Pocket Lorvex Installer");
    EXPECT_EQ(box.shown[0].icon, 64);
    EXPECT_TRUE(test::exists(installFolder + "Trestel.exe"));
    Form1Deps atRoot;
    atRoot.exePath = "/pl-launcher.bin";
    EXPECT_EQ(Form1(atRoot).launcherFolder(), "/");
}

// It wouldn't start for the next module either: the run ends there, with the reason.
TEST_F(Launcher, InstallerThatCannotStartEndsTheRunWithItsReason) {
    writeFile(launcherDir / "mods/a.bbl", "m");
    writeFile(launcherDir / "mods/b.bbl", "m");
    runner.failStart = true;
    Form1 f = form();
    try {
        f.Load();
        FAIL() << "no failure";
    } catch (const LaunchError& e) {
        EXPECT_EQ(e.step(), "installer run");
        EXPECT_EQ(std::string(e.what()), "installer run: cannot start " + installFolder +
                                             "Trestel.exe: No such file or directory");
    }
    EXPECT_EQ(runner.lines.size(), 1u);
    EXPECT_EQ(errors.str(), "");
}

// What was checked is what starts: a program renamed over the installer between the check and
// the start is not run, for a script (its interpreter reads it through /dev/fd) as for a binary.
TEST_F(Launcher, InstallerRenamedAfterTheCheckIsNotWhatStarts) {
    class SwappingRunner : public ProcessRunner {
    public:
        int Run(const std::string& line, std::string* why) override {
            return realProcessRunner().Run(line, why);
        }
        int RunProgram(int fd, const std::string& line, std::string* why) override {
            writeFile(swapped + ".new", "#!/bin/sh\necho planted >> \"" + log + "\"\n");
            ::chmod((swapped + ".new").c_str(), 0755);
            fs::rename(swapped + ".new", swapped);
            return realProcessRunner().RunProgram(fd, line, why);
        }
        std::string swapped, log;
    } swapping;
    const std::string log = installDir / "log";
    swapping.swapped = installFolder + "Trestel.exe";
    swapping.log = log;
    writeFile(swapping.swapped, "#!/bin/sh\necho \"checked $1\" >> \"" + log + "\"\n");
    ::chmod(swapping.swapped.c_str(), 0755);
    writeFile(launcherDir / "mods/a.bbl", "m");
    Form1 f = [&] {
        Form1Deps deps;
        deps.registry = &registry;
        deps.runner = &swapping;
        deps.messageBox = &box;
        deps.exePath = exe;
        deps.payloadPath = exe;
        deps.errors = &errors;
        return Form1(deps);
    }();
    f.Load();
    EXPECT_EQ(readFile(log), "checked " + launcherDir / "mods/a.bbl" + "\n") << errors.str();
}

// The same with the installer folder reached through the user's own link, which points at
// another folder by the time the installer starts: the folder checked is the one used.
TEST_F(Launcher, InstallerFolderLinkThatPointsElsewhereAtTheStartIsNotFollowed) {
    class FlippingRunner : public ProcessRunner {
    public:
        int Run(const std::string& line, std::string* why) override {
            return realProcessRunner().Run(line, why);
        }
        int RunProgram(int fd, const std::string& line, std::string* why) override {
            fs::remove(link);
            fs::create_directory_symlink(elsewhere, link);
            return realProcessRunner().RunProgram(fd, line, why);
        }
        std::string link, elsewhere;
    } flipping;
    const std::string log = installDir / "log";
    fs::create_directory(installDir / "planted");
    for (const auto& [folder, text] :
         {std::pair<std::string, std::string>{"pl", "checked"}, {"planted", "planted"}}) {
        const std::string installer = installDir / (folder + "/Trestel.exe");
        writeFile(installer, "#!/bin/sh\necho " + text + " >> \"" + log + "\"\n");
        ::chmod(installer.c_str(), 0755);
    }
    flipping.link = installDir / "link";
    flipping.elsewhere = installDir / "planted";
    fs::create_directory_symlink(installDir / "pl", flipping.link);
    registry.data().setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex", "INSTALLDIR",
                              flipping.link + "/");
    writeFile(launcherDir / "mods/a.bbl", "m");
    Form1Deps deps;
    deps.registry = &registry;
    deps.runner = &flipping;
    deps.messageBox = &box;
    deps.exePath = exe;
    deps.payloadPath = exe;
    deps.errors = &errors;
    Form1(deps).Load();
    EXPECT_EQ(readFile(log), "checked\n") << errors.str();
}

// The private folder goes only where no one else can change it: the temporary folder when it
// qualifies, else the runtime folder, else the user's cache folder; none: the run ends.
TEST_F(Launcher, PrivateFolderOnlyUnderAFolderOthersCannotChange) {
    TempDir base;
    for (const char* folder : {"open", "run", "home"}) {
        fs::create_directory(base / folder);
    }
    ::chmod((base / "open").c_str(), 0777);
    ::chmod((base / "run").c_str(), 0700);
    // The installer folder is open to all: the run extracts privately.
    registry.data().setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex", "INSTALLDIR",
                              base / "open/");
    writeFile(launcherDir / "mods/a.bbl", "m");
    const struct {
        std::map<std::string, std::string> env;
        std::string under;  // empty: the run ends
        bool cacheMade;     // ~/.cache exists after the run
    } cases[] = {
        {{{"TEMP", base / "run"}, {"HOME", base / "home"}}, base / "run/bundora-", false},
        {{{"TEMP", base / "open"}, {"XDG_RUNTIME_DIR", base / "run"}},
         base / "run/bundora-",
         false},
        {{{"TEMP", base / "open"}, {"XDG_RUNTIME_DIR", "run"}, {"HOME", base / "home"}},
         base / "home/.cache/bundora-",
         true},
        {{{"TEMP", base / "open"}, {"XDG_CACHE_HOME", base / "open"}}, "", true},
    };
    for (const auto& c : cases) {
        environment = c.env;
        runner.lines.clear();
        try {
            form().Load();
            ASSERT_EQ(runner.lines.size(), 1u);
            EXPECT_EQ(runner.lines[0].rfind("\"" + c.under, 0), 0u) << runner.lines[0];
        } catch (const LaunchError& e) {
            EXPECT_EQ(c.under, "") << e.what();
            EXPECT_EQ(std::string(e.what()),
                      "private folder: no folder that only this user can "
                      "change: others may write to " +
                          base / "open");
        }
        // Removed again when the run ends.
        EXPECT_EQ(test::listing(base / "run"), std::vector<std::string>{});
        EXPECT_EQ(test::exists(base / "home/.cache"), c.cacheMade) << c.under;
    }
    EXPECT_EQ(test::listing(base / "home"), std::vector<std::string>{".cache"});
}

// The clean-up of an abandoned private folder removes what its marker lists, but no line that
// leads out of it (absolute, "..", through a link); an emptied one without a marker goes too.
TEST_F(Launcher, AbandonedPrivateFoldersAreRemovedOnlyWithinThemselves) {
    TempDir base;
    TempDir outside;
    writeFile(outside / "victim", "keep");
    const std::string stale = base / "bundora-Ab12Cd";
    fs::create_directory(stale);
    writeFile(stale + "/mine", "x");
    fs::create_directory_symlink(outside.path(), stale + "/link");
    std::string marker;
    for (const std::string& line : {std::string("fmine"), "f" + outside / "victim",
                                    "f../../" + outside.path().filename().string() + "/victim",
                                    std::string("flink/victim"), std::string("dlink")}) {
        marker += line + '\0';
    }
    writeFile(stale + "/.bundora-run", marker);
    fs::create_directory(base / "bundora-Em9tY1");  // emptied, its marker gone
    fs::create_directory(base / "bundora-notes");   // not a private folder's name
    const posix::UniqueFd baseFd(::open(base.str().c_str(), O_RDONLY | O_DIRECTORY));
    sweepAbandonedRuns(baseFd.get());
    EXPECT_EQ(readFile(outside / "victim"), "keep");
    EXPECT_TRUE(fs::is_symlink(stale + "/link"));
    EXPECT_FALSE(test::exists(stale + "/mine"));
    EXPECT_FALSE(test::exists(base / "bundora-Em9tY1"));
    EXPECT_TRUE(test::exists(base / "bundora-notes"));
}

TEST_F(Launcher, FailedExtractionEndsTheRunBeforeAnyInstallerRun) {
    writeFile(launcherDir / "mods/a.bbl", "m");
    add("..\\outside", "x");
    Form1 f = form();
    try {
        f.Load();
        FAIL() << "no failure";
    } catch (const LaunchError& e) {
        EXPECT_EQ(e.step(), "extraction");
        EXPECT_NE(std::string(e.what()).find("..\\outside"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(runner.lines.empty());
    EXPECT_TRUE(box.shown.empty());
}

TEST_F(Launcher, FailureReportIsOneLineWhateverTheNamesHold) {
    add(std::string("bad\0name\n\\x", 11), "x");
    testing::internal::CaptureStderr();
    Form1Deps deps;
    deps.registry = &registry;
    deps.runner = &runner;
    deps.messageBox = &box;
    deps.exePath = exe;
    deps.payloadPath = exe;
    EXPECT_EQ(runLauncher(deps), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "bundora: extraction: entry name \"bad\\x00name\\x0a\\x\" refused: it contains "
              "a NUL byte\n");
}

}  // namespace
}  // namespace bundora

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Module1.h"
#include "StandInLog.h"
#include "TestSupport.h"

namespace bundora {
namespace {

namespace fs = std::filesystem;
using test::readStandInLog;
using test::TempDir;
using test::writeFile;
using Names = std::vector<std::string>;

TEST(FileStatus, TellsContentEmptinessAndAbsence) {
    TempDir dir;
    writeFile(dir / "full", "x");
    writeFile(dir / "empty", "");
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "full", dir / "link");
    EXPECT_EQ(FileStatus(dir / "full"), 1);
    EXPECT_EQ(FileStatus(dir / "link"), 1);
    EXPECT_EQ(FileStatus(dir / "empty"), 0);
    EXPECT_EQ(FileStatus(dir / "missing"), -1);
    EXPECT_EQ(FileStatus(dir / "folder"), -1);
    EXPECT_EQ(FileStatus(dir / "full/below"), -1);
    EXPECT_EQ(FileStatus(""), -1);
}

Names sorted(Names names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FindFiles, TakesFilesByTheirLastThreeCharactersOnly) {
    TempDir dir;
    for (const char* name :
         {"x.bbl", "y.BBL", "notes.txt", "abbl", ".hidden.cmt", "m.dct", "dev", "a.brpx"}) {
        writeFile(dir / name, "m");
    }
    fs::create_directory(dir / "z.dev");
    fs::create_symlink(dir / "x.bbl", dir / "linked.bbl");
    fs::create_symlink(dir / "z.dev", dir / "folderlink.dev");
    const Names found = FindFiles(dir.str() + "/", "bbl;dct;cmt;dev;brp");
    EXPECT_EQ(sorted(found), (Names{".hidden.cmt", "abbl", "dev", "linked.bbl", "m.dct", "x.bbl"}));

    // Listing order, not sorted: the same order as the folder's own listing.
    Names listed;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        const std::string n = e.path().filename().string();
        if (std::find(found.begin(), found.end(), n) != found.end()) {
            listed.push_back(n);
        }
    }
    EXPECT_EQ(found, listed);
}

TEST(FindFiles, NothingMatchedGivesOneEmptyElement) {
    TempDir dir;
    EXPECT_EQ(FindFiles(dir.str() + "/", "bbl;dct"), Names{""});
    writeFile(dir / "y.BBL", "m");
    fs::create_directory(dir / "z.bbl");
    EXPECT_EQ(FindFiles(dir.str() + "/", "bbl;dct"), Names{""});
    EXPECT_EQ(FindFiles(dir.str() + "/", ""), Names{"y.BBL"});
}

TEST(FindFiles, EndingListForms) {
    TempDir dir;
    for (const char* name : {"ab", "xab", "b", "abcd", "c.txt"}) {
        writeFile(dir / name, "m");
    }
    EXPECT_EQ(sorted(FindFiles(dir.str() + "/", "")), (Names{"ab", "abcd", "b", "c.txt", "xab"}));
    EXPECT_EQ(FindFiles(dir.str() + "/", "txt"), Names{"c.txt"});
    // A shorter ending matches only a name equal to it; a longer one never matches.
    EXPECT_EQ(FindFiles(dir.str() + "/", "ab"), Names{"ab"});
    EXPECT_EQ(FindFiles(dir.str() + "/", "abcd;"), Names{""});
    EXPECT_EQ(sorted(FindFiles(dir.str() + "/", ";b;xyz")), Names{"b"});
}

TEST(FindFiles, UnlistableFolderIsAnError) {
    TempDir dir;
    EXPECT_THROW(FindFiles(dir / "missing/", "bbl"), std::system_error);
}

TEST(CommandLine, SplitsLikeTheWindowsRuntime) {
    using Args = std::vector<std::string>;
    EXPECT_EQ(splitCommandLine("\"/opt/a b/Trestel.exe\" \"/m d/x.bbl\""),
              (Args{"/opt/a b/Trestel.exe", "/m d/x.bbl"}));
    EXPECT_EQ(splitCommandLine("prog  a\tb   "), (Args{"prog", "a", "b"}));
    EXPECT_EQ(splitCommandLine("p a\\\\\\\"b"), (Args{"p", "a\\\"b"}));    // 3 backslashes, quote
    EXPECT_EQ(splitCommandLine("p a\\\\\"b c\""), (Args{"p", "a\\b c"}));  // 2 backslashes, quote
    EXPECT_EQ(splitCommandLine("p a\\\\b"), (Args{"p", "a\\\\b"}));        // no quote follows
    EXPECT_EQ(splitCommandLine("p \"a\"\"b\""), (Args{"p", "a\"b"}));
    EXPECT_EQ(splitCommandLine("p \"\""), (Args{"p", ""}));
    EXPECT_EQ(splitCommandLine("\"C:\\dir\\\"x y"), (Args{"C:\\dir\\x", "y"}));
    EXPECT_EQ(splitCommandLine(""), Args{""});
}

class RunAndWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("BUNDORA_STANDIN_LOG", log.c_str(), 1);
        ::unsetenv("BUNDORA_STANDIN_EXIT");
        ::unsetenv("BUNDORA_STANDIN_SLEEP_MS");
    }
    void TearDown() override {
        ::unsetenv("BUNDORA_STANDIN_LOG");
        ::unsetenv("BUNDORA_STANDIN_EXIT");
        ::unsetenv("BUNDORA_STANDIN_SLEEP_MS");
    }
    TempDir dir;
    std::string log = dir / "log";
    std::string standIn = BUNDORA_STANDIN;
};

TEST_F(RunAndWaitTest, ReturnsTheChildsExitCodeAfterItEnded) {
    ::setenv("BUNDORA_STANDIN_EXIT", "3", 1);
    ::setenv("BUNDORA_STANDIN_SLEEP_MS", "200", 1);
    EXPECT_EQ(RunAndWait("\"" + standIn + "\" arg"), 3);
    timespec after{};
    clock_gettime(CLOCK_REALTIME, &after);
    const auto runs = readStandInLog(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_LE(runs[0].end, after.tv_sec * 1000000000LL + after.tv_nsec);
    EXPECT_GE(runs[0].end - runs[0].start, 200 * 1000000LL);
}

TEST_F(RunAndWaitTest, ArgumentsReachTheChildUnchangedWithoutAShell) {
    const std::string line = "\"" + standIn +
                             "\" \"/tmp/with blanks/$HOME;`id`|&>x*.bbl\" 'single' "
                             "\"say \\\"hi\\\"\" back\\slash";
    EXPECT_EQ(RunAndWait(line), 0);
    const auto runs = readStandInLog(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args,
              (std::vector<std::string>{standIn, "/tmp/with blanks/$HOME;`id`|&>x*.bbl", "'single'",
                                        "say \"hi\"", "back\\slash"}));
    EXPECT_FALSE(test::exists("x"));
}

TEST_F(RunAndWaitTest, ProgramThatCannotStartGivesMinusOne) {
    std::string why;
    EXPECT_EQ(RunAndWait("\"" + dir / "no such program" + "\" x", nullptr, &why), -1);
    EXPECT_NE(why.find("No such file"), std::string::npos) << why;
    writeFile(dir / "not-executable", "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(RunAndWait("\"" + dir / "not-executable" + "\""), -1);
    writeFile(dir / "garbage", "just text, no program");
    ::chmod((dir / "garbage").c_str(), 0755);
    EXPECT_EQ(RunAndWait("\"" + dir / "garbage" + "\""), -1);  // never handed to a shell
    EXPECT_EQ(RunAndWait("no-such-program-anywhere-1234 x"), -1);
    EXPECT_EQ(RunAndWait(""), -1);
}

TEST_F(RunAndWaitTest, KilledChildGivesOneHundredTwentyEightPlusTheSignal) {
    writeFile(dir / "selfkill", "#!/bin/sh\nkill -TERM $$\n");
    ::chmod((dir / "selfkill").c_str(), 0755);
    EXPECT_EQ(RunAndWait("\"" + dir / "selfkill" + "\""), 128 + SIGTERM);
    EXPECT_EQ(RunAndWait("sh -c \"exit 7\""), 7);  // found along PATH
}

}  // namespace
}  // namespace bundora

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Extract.h"
#include "Payload.h"
#include "Posix.h"
#include "TestSupport.h"

namespace bundora {
namespace {

namespace fs = std::filesystem;
using test::exists;
using test::listing;
using test::pattern;
using test::readFile;
using test::TempDir;
using test::writeFile;

// Builds a carrying file from entries given in the order of appending.
class Carrier {
public:
    explicit Carrier(const TempDir& dir) : path_(dir / "carrier") {
        writeFile(path_, std::string(4096, '\0'));
    }
    Carrier& add(const std::string& name, const std::string& data, int32_t flag = 0) {
        MemorySource content(data);
        appendEntry(path_, name, flag, content);
        return *this;
    }
    void extractTo(const std::string& dest) {
        FileSource src(path_);
        extractPayload(src, dest);
    }

private:
    std::string path_;
};

using Names = std::vector<std::string>;

class Extraction : public ::testing::Test {
protected:
    TempDir scratch;
    TempDir destDir;
    std::string dest = destDir.str() + "/";  // as the launcher passes it
    Carrier carrier{scratch};
};

TEST_F(Extraction, NothingAppendedWritesNothing) {
    carrier.extractTo(dest);
    EXPECT_TRUE(listing(destDir.str()).empty());
}

TEST_F(Extraction, BackupKeepsTheOldFileAndReplacesAnOlderBackup) {
    writeFile(destDir / "Trestel.exe", "old installer");
    writeFile(destDir / "Trestel.exe.Form1.backup", std::string(10000, 'b'));
    ::chmod((destDir / "Trestel.exe.Form1.backup").c_str(), 0444);
    carrier.add("Trestel.exe", "new installer", 1).extractTo(dest);
    EXPECT_EQ(readFile(destDir / "Trestel.exe"), "new installer");
    EXPECT_EQ(readFile(destDir / "Trestel.exe.Form1.backup"), "old installer");
    EXPECT_EQ(listing(destDir.str()), (Names{"Trestel.exe", "Trestel.exe.Form1.backup"}));
}

TEST_F(Extraction, NoBackupOfAMissingOrEmptyTarget) {
    writeFile(destDir / "empty.dat", "");
    carrier.add("missing.dat", "m", 1).add("empty.dat", "e", 1).extractTo(dest);
    EXPECT_EQ(readFile(destDir / "missing.dat"), "m");
    EXPECT_EQ(readFile(destDir / "empty.dat"), "e");
    EXPECT_EQ(listing(destDir.str()), (Names{"empty.dat", "missing.dat"}));
}

TEST_F(Extraction, WithoutBackupFlagALongerTargetIsReplacedExactly) {
    writeFile(destDir / "Trestel.exe", pattern(50000));
    carrier.add("Trestel.exe", "short", 0).add("other", "o", 2).extractTo(dest);
    EXPECT_EQ(readFile(destDir / "Trestel.exe"), "short");
    EXPECT_EQ(listing(destDir.str()), (Names{"Trestel.exe", "other"}));
}

TEST_F(Extraction, SubfolderIsCreatedOrUsedAsItIs) {
    fs::create_directory(destDir / "have");
    writeFile(destDir / "have/keep.txt", "keep");
    carrier.add("new\\one.txt", "1").add("have\\two.txt", "2").add("have/three.txt", "3");
    carrier.extractTo(dest);
    EXPECT_EQ(readFile(destDir / "new/one.txt"), "1");
    EXPECT_EQ(readFile(destDir / "have/two.txt"), "2");
    EXPECT_EQ(readFile(destDir / "have/three.txt"), "3");
    EXPECT_EQ(readFile(destDir / "have/keep.txt"), "keep");
}

TEST_F(Extraction, TwoMissingFolderLevelsEndTheExtraction) {
    // Walk order: "after" first, then the failing entry, then "before" is never reached.
    carrier.add("before.txt", "b").add("up\\down\\file.txt", "f").add("after.txt", "a");
    try {
        carrier.extractTo(dest);
        FAIL() << "no error";
    } catch (const ExtractError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot create folder"), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find(destDir.str() + "/up/down:"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(listing(destDir.str()), Names{"after.txt"});
}

TEST_F(Extraction, EmptyEntryProducesAnEmptyFile) {
    writeFile(destDir / "zero", "was here");
    carrier.add("zero", "").extractTo(dest);
    EXPECT_TRUE(exists(destDir / "zero"));
    EXPECT_EQ(readFile(destDir / "zero"), "");
}

TEST_F(Extraction, SameNameTwiceEndsWithTheFirstAppended) {
    carrier.add("dup.txt", "appended first").add("dup.txt", "appended second").extractTo(dest);
    EXPECT_EQ(readFile(destDir / "dup.txt"), "appended first");
}

TEST_F(Extraction, ExecutablesGetExecuteModeOtherFilesDoNot) {
    const mode_t mask = ::umask(022);
    carrier
        .add("prog", std::string("\x7f"
                                 "ELF",
                                 4) +
                         pattern(100))
        .add("script", "#!/bin/sh\nexit 0\n")
        .add("data.bbl", "ELF but not at the start");
    carrier.extractTo(dest);
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(::stat((destDir / "prog").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(::stat((destDir / "script").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(::stat((destDir / "data.bbl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(EntryNames, OutsideTheDestinationAreRefused) {
    for (const std::string& name :
         std::vector<std::string>{"", "..\\evil", "a\\..\\..\\evil", "/etc/evil", "\\evil",
                                  "C:evil", "c:\\evil", "a\\\\b", "a\\", ".", "a/./b"}) {
        EXPECT_THROW(entryPathParts(name), ExtractError) << '"' << name << '"';
    }
    // The reason is never cut off or broken onto a second line by what the name holds.
    for (const auto& [name, shown] : std::vector<std::pair<std::string, std::string>>{
             {std::string("a\0b", 3), "\"a\\x00b\" refused: it contains a NUL byte"},
             {"bad\nname\\..\\x", "\"bad\\x0aname\\..\\x\" refused: it has a \"..\" part"}}) {
        try {
            entryPathParts(name);
            ADD_FAILURE() << "no error for " << shown;
        } catch (const ExtractError& e) {
            EXPECT_NE(std::string(e.what()).find(shown), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(entryPathParts("Trestel.exe"), Names{"Trestel.exe"});
    EXPECT_EQ(entryPathParts("a\\b/c..d"), (Names{"a", "b", "c..d"}));
    EXPECT_EQ(entryPathParts("..x"), Names{"..x"});
}

TEST_F(Extraction, RefusedNameWritesNothingAndEndsWithAnError) {
    fs::create_directory(destDir / "inner");
    const std::string innerDest = destDir / "inner";
    carrier.add("..\\escaped.txt", "bad").add("fine.txt", "ok");
    try {
        FileSource src(scratch / "carrier");
        extractPayload(src, innerDest);
        FAIL() << "no error";
    } catch (const ExtractError& e) {
        EXPECT_NE(std::string(e.what()).find("..\\escaped.txt"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(exists(destDir / "escaped.txt"));
    EXPECT_EQ(listing(destDir.str()), (Names{"inner", "inner/fine.txt"}));
}

TEST_F(Extraction, SymlinkedSubfolderIsNotFollowed) {
    TempDir outside;
    fs::create_directory_symlink(outside.path(), destDir / "link");
    carrier.add("link\\planted", "x");
    try {
        carrier.extractTo(dest);
        FAIL() << "no error";
    } catch (const ExtractError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot open folder " + destDir.str() + "/link: is a link, not followed");
    }
    EXPECT_TRUE(listing(outside.str()).empty());
}

TEST_F(Extraction, FailedBackupLeavesTheOldTargetWholeAndNoPartFile) {
    writeFile(destDir / "Trestel.exe", "good old installer");
    fs::create_directory(destDir / "Trestel.exe.Form1.backup");
    writeFile(destDir / "Trestel.exe.Form1.backup/x", "blocks the delete");
    carrier.add("Trestel.exe", pattern(70000), 1);
    EXPECT_THROW(carrier.extractTo(dest), ExtractError);
    EXPECT_EQ(readFile(destDir / "Trestel.exe"), "good old installer");
    EXPECT_EQ(listing(destDir.str()),
              (Names{"Trestel.exe", "Trestel.exe.Form1.backup", "Trestel.exe.Form1.backup/x"}));
}

TEST_F(Extraction, TargetThatIsAFolderEndsWithAnErrorAndNoPartFile) {
    fs::create_directory(destDir / "Trestel.exe");
    writeFile(destDir / "Trestel.exe/inside", "i");
    carrier.add("Trestel.exe", "data");
    EXPECT_THROW(carrier.extractTo(dest), ExtractError);
    EXPECT_EQ(listing(destDir.str()), (Names{"Trestel.exe", "Trestel.exe/inside"}));
}

TEST_F(Extraction, MissingDestinationFolderIsAnError) {
    carrier.add("a", "a");
    EXPECT_THROW(carrier.extractTo(destDir / "missing/"), ExtractError);
}

// Abandonment is judged by the writer's lock, not by process numbers: a file of a live
// process's number (as another PID namespace would see it) that nobody holds locked goes, one
// that a live writer holds stays whatever number it carries.
// No other user can open a temporary, so none can lock it (and make the writer wait): it is 0600
// until complete, then gets its mode, less the umask.
TEST_F(Extraction, TemporaryIsOnlyTheUsersUntilComplete) {
    carrier
        .add("prog", std::string("\x7f"
                                 "ELF",
                                 4) +
                         pattern(10))
        .add("data.bbl", "data");
    const mode_t mask = ::umask(027);
    std::vector<mode_t> whileWritten;
    const MadeRecorder look = [&](const std::string&, bool) {
        for (const auto& e : fs::directory_iterator(destDir.path())) {
            if (isTemporaryName(e.path().filename().string())) {
                struct stat st {};
                ::stat(e.path().c_str(), &st);
                whileWritten.push_back(st.st_mode & 07777);
            }
        }
    };
    const posix::UniqueFd folder(::open(destDir.str().c_str(), O_RDONLY | O_DIRECTORY));
    FileSource src(scratch / "carrier");
    extractPayloadAt(src, folder.get(), dest, look, nullptr, Temporaries::Named);
    ::umask(mask);
    EXPECT_EQ(whileWritten, (std::vector<mode_t>{0600, 0600}));
    struct stat st {};
    ASSERT_EQ(::stat((destDir / "prog").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    ASSERT_EQ(::stat((destDir / "data.bbl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Extraction, TemporariesNobodyHoldsLockedAreSweptOthersKept) {
    const std::string dead = ".bundora-999999999";  // above any pid_max: never a process
    const std::string alive = ".bundora-" + std::to_string(::getpid());
    carrier.add("a.txt", "a").add("sub\\b.txt", "b");
    for (const Temporaries how : {Temporaries::Unnamed, Temporaries::Named}) {
        fs::remove_all(destDir.path());
        fs::create_directories(destDir / "sub");
        for (const std::string& name : {dead + "-0.part", "sub/" + dead + "-3.part",
                                        alive + "-9.part", dead + "x-1.part", dead + "-2.partx"}) {
            writeFile(destDir / name, "left");
        }
        const int held = ::open((destDir / (dead + "-4.part")).c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        FileSource src(scratch / "carrier");
        extractPayload(src, dest, nullptr, how);
        ::close(held);
        EXPECT_EQ(listing(destDir.str()), (Names{dead + "-2.partx", dead + "-4.part",
                                                 dead + "x-1.part", "a.txt", "sub", "sub/b.txt"}))
            << (how == Temporaries::Named ? "named" : "unnamed");
    }
}

TEST_F(Extraction, BrokenChainKeepsWhatWasWrittenBefore) {
    carrier.add("first", "1").add("second", "2");
    // Damage the footer in front of "second"'s data: the footer of "first".
    std::string bytes = readFile(scratch / "carrier");
    const size_t firstFooter = 4096 + 1 + 14 + 5;  // data, record of "first", then its footer
    ASSERT_EQ(bytes.substr(firstFooter, 18), "TARVO-FOOTER-IDENT");
    bytes[firstFooter + 18] = 0x7f;  // RecordPosition now points past the end
    writeFile(scratch / "carrier", bytes);
    EXPECT_THROW(carrier.extractTo(dest), PayloadError);
    EXPECT_EQ(listing(destDir.str()), Names{"second"});
}

}  // namespace
}  // namespace bundora

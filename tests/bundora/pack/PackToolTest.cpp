#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "product.h"

namespace bundora {
namespace {

using test::pattern;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

class PackTool : public ::testing::Test {
protected:
    test::ProgramResult pack(std::vector<std::string> args) {
        args.insert(args.begin(), BUNDORA_PACK);
        return runProgram(args);
    }
    TempDir dir;
    std::string carrier = dir / "carrier";
};

TEST_F(PackTool, AppendsListsAndExtracts) {
    writeFile(carrier, std::string(1000, '\0'));
    writeFile(dir / "one", pattern(300));
    writeFile(dir / "two", "");
    EXPECT_EQ(pack({"list", carrier}).out, "");
    EXPECT_EQ(pack({"append", carrier, "Trestel.exe", dir / "one"}).status, 0);
    EXPECT_EQ(pack({"append", carrier, "--backup", "sub\\two name", dir / "two"}).status, 0);
    const auto listed = pack({"list", carrier});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, "0 1 sub\\two name\n300 0 Trestel.exe\n");
    EXPECT_EQ(listed.err, "");

    TempDir out;
    const auto extracted = pack({"extract", carrier, out.str()});
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(readFile(out / "Trestel.exe"), pattern(300));
    EXPECT_EQ(readFile(out / "sub/two name"), "");
}

// A second entry of a name would never be extracted: refused unless --replace, which puts the
// new data in its place and keeps the other entries and their order.
TEST_F(PackTool, NameAlreadyCarriedIsRefusedOrReplacedOnRequest) {
    writeFile(carrier, std::string(1000, '\0'));
    ::chmod(carrier.c_str(), 0751);
    writeFile(dir / "one", "first");
    writeFile(dir / "two", "second!");
    ASSERT_EQ(pack({"append", carrier, "sub\\Trestel.exe", dir / "one"}).status, 0);
    ASSERT_EQ(pack({"append", carrier, "b", dir / "two"}).status, 0);
    const std::string before = readFile(carrier);
    const auto refused = pack({"append", carrier, "sub/Trestel.exe", dir / "two"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "bundora-pack: append: " + carrier +
                               " already carries an entry named \"sub/Trestel.exe\"; give "
                               "--replace to replace it\n");
    EXPECT_EQ(readFile(carrier), before);

    EXPECT_EQ(pack({"append", carrier, "--replace", "sub/Trestel.exe", dir / "two"}).status, 0);
    // In its place: listed last appended first, it stays behind "b".
    EXPECT_EQ(pack({"list", carrier}).out, "7 0 b\n7 0 sub/Trestel.exe\n");
    EXPECT_EQ(readFile(carrier).substr(0, 1000), std::string(1000, '\0'));
    struct stat st {};
    ::stat(carrier.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0751u);
    TempDir out;
    ASSERT_EQ(pack({"extract", carrier, out.str()}).status, 0);
    EXPECT_EQ(readFile(out / "sub/Trestel.exe"), "second!");
    EXPECT_EQ(test::listing(dir.str()).size(), 3u);  // no temporary left beside the carrier

    // A name that would be a folder of a carried one's path, or the other way round: the carrier
    // could never be extracted, with --replace neither.
    const std::string carried = readFile(carrier);
    for (const char* name : {"sub", "b/x", "sub\\Trestel.exe\\x"}) {
        for (const bool replace : {false, true}) {
            std::vector<std::string> args = {"append", carrier, name, dir / "one"};
            if (replace) {
                args.push_back("--replace");
            }
            const auto clash = pack(args);
            EXPECT_EQ(clash.status, 1) << name;
            EXPECT_NE(clash.err.find("can't be extracted beside \"" + std::string(name) + "\""),
                      std::string::npos)
                << clash.err;
        }
    }
    EXPECT_EQ(readFile(carrier), carried);

    // Names are listed with their control characters escaped.
    writeFile(dir / "esc", "e");
    ASSERT_EQ(pack({"append", carrier, "\x1b]0;title\x07\nfake", dir / "esc"}).status, 0);
    const std::string listed = pack({"list", carrier}).out;
    EXPECT_EQ(listed.substr(0, listed.find('\n') + 1), "1 0 \\x1b]0;title\\x07\\x0afake\n");
}

TEST_F(PackTool, BrokenCarrierGivesStatusOneAndOneLineWithThePosition) {
    std::string bytes = std::string(100, '\0') + "TARVO-FOOTER-IDENT" + std::string("\0\0\0\0", 4);
    writeFile(carrier, bytes);
    for (const auto& args : {std::vector<std::string>{"list", carrier},
                             std::vector<std::string>{"extract", carrier, dir.str()},
                             std::vector<std::string>{"append", carrier, "x", carrier}}) {
        const auto r = pack(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("position 101"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(readFile(carrier), bytes);
}

TEST_F(PackTool, RefusesEntryNamesTheLauncherWouldRefuse) {
    writeFile(carrier, std::string(100, '\0'));
    writeFile(dir / "one", "data");
    for (const std::string name : {"..\\evil", "/etc/evil", "a\\\\b"}) {
        const auto r = pack({"append", carrier, name, dir / "one"});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err.rfind("bundora-pack: append: entry name \"" + name + "\" refused: ", 0), 0u)
            << r.err;
    }
    EXPECT_EQ(readFile(carrier), std::string(100, '\0'));
}

TEST_F(PackTool, BadUsageGivesStatusTwoAndOneLineWithAPointerToTheHelp) {
    for (const auto& args : {std::vector<std::string>{},
                             {"frobnicate"},
                             {"append", carrier, "x"},
                             {"list"},
                             {"extract", carrier}}) {
        const auto r = pack(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.find("bundora-pack: "), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_NE(r.err.find("\nTry 'bundora-pack --help' for more information.\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
    const auto help = pack({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("append CARRIER NAME SOURCE"), std::string::npos);
    const auto version = pack({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.substr(0, version.out.find('\n') + 1),
              std::string("bundora-pack (") + product::kName + ") " + product::kVersion + "\n");
    EXPECT_NE(version.out.find("\nThere is NO WARRANTY"), std::string::npos) << version.out;
}

TEST_F(PackTool, MissingFilesGiveStatusOne) {
    const auto r = pack({"list", dir / "nothing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nothing"), std::string::npos);
    writeFile(carrier, std::string(100, '\0'));
    EXPECT_EQ(pack({"append", carrier, "x", dir / "nothing"}).status, 1);
    EXPECT_EQ(readFile(carrier), std::string(100, '\0'));
}

}  // namespace
}  // namespace bundora

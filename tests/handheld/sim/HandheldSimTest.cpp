// handheld-sim: its commands through the library and the built program's exit statuses.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "HandheldHelpers.h"
#include "HandheldSim.h"
#include "product.h"

namespace {

class SimTest : public ::testing::Test {
protected:
    int Sim(std::vector<std::string> args) {
        std::ostringstream o, e;
        const int status = handheldsim::Run(args, o, e);
        out = o.str();
        err = e.str();
        return status;
    }

    test::TempDir dir;
    std::string root = dir / "hh";
    std::string out, err;
};

TEST_F(SimTest, CreateMakesAHandheldTheEmulatorUnderstands) {
    ASSERT_EQ(Sim({"create", root, "--card", "Storage Card", "--card=SD", "--read-only", "SD",
                   "--capacity", ":main=64K", "--speed", "1M"}),
              0)
        << err;
    for (const char* folder : {"Program Files", "My Documents", "Windows"}) {
        EXPECT_TRUE(std::filesystem::is_directory(root + "/" + folder)) << folder;
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(root + "/Storage Card/.storage-card"));
    const auto mainSettings = handheld::ParseSettings(test::readFile(root + "/.handheld"));
    EXPECT_EQ(mainSettings.capacity, 65536u);
    EXPECT_EQ(mainSettings.speed, 1048576u);
    EXPECT_TRUE(handheld::ParseSettings(test::readFile(root + "/SD/.storage-card")).readOnly);

    handheld::EmulatedHandheld device(root);
    ASSERT_TRUE(test::Connect(device));
    const auto found = test::Search(device, u"*");
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(found[2].name, "SD");
    EXPECT_EQ(found[2].attributes, 0x110u);

    // An existing handheld is not overwritten.
    EXPECT_EQ(Sim({"create", root}), 1);
    EXPECT_NE(err.find("exists"), std::string::npos);
}

TEST_F(SimTest, CreateChecksItsArguments) {
    const std::vector<std::vector<std::string>> bad = {{"--card", "A:B"},
                                                       {"--card", "x", "--card", "X"},
                                                       {"--card", "Windows"},
                                                       {"--read-only", "NoCard"},
                                                       {"--capacity", ":main"},
                                                       {"--capacity", ":main=lots"},
                                                       {"--speed"},
                                                       {"extra"},
                                                       {"--bogus"}};
    for (const auto& options : bad) {
        std::vector<std::string> args = {"create", root};
        args.insert(args.end(), options.begin(), options.end());
        EXPECT_EQ(Sim(args), 2) << options[0];
    }
    EXPECT_FALSE(test::exists(root));
}

TEST_F(SimTest, ShowTellsTheState) {
    EXPECT_EQ(Sim({"show", root}), 0);
    EXPECT_NE(out.find("not attached"), std::string::npos);
    ASSERT_EQ(Sim({"create", root, "--card", "CF", "--capacity", "CF=2K"}), 0);
    test::writeFile(root + "/CF/module.bbl", std::string(1500, 'm'));
    EXPECT_EQ(Sim({"show", root}), 0);
    EXPECT_NE(out.find("attached"), std::string::npos);
    EXPECT_NE(out.find("CF\\  [storage card: 1500 bytes used of 2048 (548 free)]"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("module.bbl  1500 bytes"), std::string::npos) << out;
    EXPECT_EQ(out.find(".storage-card"), std::string::npos) << out;
    // Names are shown with terminal controls escaped, C1 ones too.
    test::writeFile(root +
                        "/CF/\x1b]0;x\x07\xc2\x9b"
                        "2J.bbl",
                    "m");
    EXPECT_EQ(Sim({"show", root}), 0);
    EXPECT_NE(out.find("\\x1b]0;x\\x07\\xc2\\x9b2J.bbl  1 bytes"), std::string::npos) << out;
}

TEST_F(SimTest, UnplugAndPlug) {
    ASSERT_EQ(Sim({"create", root}), 0);
    handheld::EmulatedHandheld device(root);
    ASSERT_TRUE(test::Connect(device));

    ASSERT_EQ(Sim({"unplug", root}), 0);
    EXPECT_FALSE(test::exists(root));
    EXPECT_TRUE(std::filesystem::is_directory(handheldsim::UnpluggedPath(root)));
    EXPECT_FALSE(test::PutFile(device, u"x.bin", "x"));
    EXPECT_EQ(device.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Sim({"show", root + "/"}), 0);
    EXPECT_NE(out.find("unplugged"), std::string::npos);
    EXPECT_EQ(Sim({"unplug", root}), 1);
    EXPECT_NE(err.find("unplugged already"), std::string::npos);
    EXPECT_EQ(Sim({"set", root, "--answer", "no"}), 1);

    ASSERT_EQ(Sim({"plug", root}), 0);
    EXPECT_TRUE(std::filesystem::is_directory(root + "/Program Files"));
    EXPECT_EQ(Sim({"plug", root}), 1);
    ASSERT_TRUE(test::Connect(device));
    EXPECT_TRUE(test::PutFile(device, u"x.bin", "x"));

    EXPECT_EQ(Sim({"unplug", dir / "nothing"}), 1);
}

TEST_F(SimTest, SetChangesSettingsAndKeepsOtherLines) {
    ASSERT_EQ(Sim({"create", root, "--card", "SD"}), 0);
    test::writeFile(root + "/.handheld", "# my notes\nspeed=5\n");
    ASSERT_EQ(Sim({"set", root, "--read-only", ":main", "--capacity", "SD=1K", "--answer", "refuse",
                   "--speed", "none"}),
              0)
        << err;
    EXPECT_EQ(test::readFile(root + "/.handheld"), "# my notes\nread-only\nanswer=refuse\n");
    EXPECT_EQ(test::readFile(root + "/SD/.storage-card"), "capacity=1024\n");

    ASSERT_EQ(Sim({"set", root, "--writable", ":main", "--answer", "yes", "--capacity", "SD=none",
                   "--card", "New Card"}),
              0)
        << err;
    EXPECT_EQ(test::readFile(root + "/.handheld"), "# my notes\n");
    EXPECT_EQ(test::readFile(root + "/SD/.storage-card"), "");
    EXPECT_TRUE(std::filesystem::is_regular_file(root + "/New Card/.storage-card"));

    // A storage that doesn't exist changes nothing at all.
    EXPECT_EQ(Sim({"set", root, "--read-only", ":main", "--read-only", "Nope"}), 1);
    EXPECT_EQ(test::readFile(root + "/.handheld"), "# my notes\n");
    EXPECT_EQ(Sim({"set", root}), 2);

    // A settings file that is a link is not followed.
    test::writeFile(dir / "elsewhere", "speed=1\n");
    std::filesystem::remove(root + "/.handheld");
    std::filesystem::create_symlink(dir / "elsewhere", root + "/.handheld");
    EXPECT_EQ(Sim({"set", root, "--read-only", ":main"}), 1);
    EXPECT_EQ(test::readFile(dir / "elsewhere"), "speed=1\n");
}

TEST_F(SimTest, SetGivesTheHandheldANameAnOsVersionAndAPassword) {
    ASSERT_EQ(Sim({"create", root}), 0);
    ASSERT_EQ(Sim({"set", root, "--name", "Pocket 2", "--os", "4.21", "--password", "0815"}), 0)
        << err;
    EXPECT_EQ(test::readFile(root + "/.handheld"), "name=Pocket 2\nos=4.21\npassword=0815\n");
    EXPECT_EQ(Sim({"show", root}), 0);
    EXPECT_NE(out.find("Name: \"Pocket 2\", OS 4.21, locked with a password"), std::string::npos)
        << out;
    // An empty password unlocks it for good; the rest stays.
    ASSERT_EQ(Sim({"set", root, "--password", ""}), 0) << err;
    EXPECT_EQ(test::readFile(root + "/.handheld"), "name=Pocket 2\nos=4.21\n");

    // What can't be a name, an OS version or a password changes nothing.
    const std::vector<std::vector<std::string>> bad = {
        {"--name", ""},          {"--name", " padded"},  {"--name", std::string(65, 'n')},
        {"--name", "tab\there"}, {"--os", "5"},          {"--os", "5.2.1"},
        {"--os", "1000.1"},      {"--password", "a\nb"}, {"--password", " 1"}};
    for (const auto& options : bad) {
        std::vector<std::string> args = {"set", root};
        args.insert(args.end(), options.begin(), options.end());
        EXPECT_EQ(Sim(args), 2) << options[0] << " " << options[1];
    }
    EXPECT_EQ(test::readFile(root + "/.handheld"), "name=Pocket 2\nos=4.21\n");

    // serve: several handhelds, but --name and --os only for one; each handheld once.
    ASSERT_EQ(Sim({"create", dir / "other"}), 0);
    EXPECT_EQ(Sim({"serve", root, dir / "other", "--os", "5.2"}), 2);
    EXPECT_EQ(Sim({"serve", root, root + "/"}), 2);
    EXPECT_EQ(Sim({"serve", root, dir / "missing"}), 1);
    EXPECT_NE(err.find("no handheld at"), std::string::npos) << err;
}

TEST(SimProgramTest, ExitStatusesAndHelp) {
    test::TempDir dir;
    const auto sim = [](std::vector<std::string> args) {
        args.insert(args.begin(), HANDHELD_SIM_PROGRAM);
        return test::runProgram(args);
    };
    // A usage error is one line and a pointer to the help of what was asked for.
    const std::vector<std::pair<std::vector<std::string>, std::string>> misuses = {
        {{}, "handheld-sim: no command given\nTry 'handheld-sim --help'"},
        {{"frobnicate"}, "handheld-sim: unknown command \"frobnicate\"\nTry 'handheld-sim --help'"},
        {{"set", dir / "hh", "--speed", "x"},
         "handheld-sim set: \"x\" is not a speed in bytes per second\n"
         "Try 'handheld-sim set --help'"},
    };
    for (const auto& [args, expected] : misuses) {
        const auto r = sim(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, expected + " for more information.\n");
    }
    auto r = sim({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
              std::string("handheld-sim (") + product::kName + ") " + product::kVersion + "\n");
    EXPECT_NE(r.out.find(std::string("\nCopyright (C) ") + product::kCopyright + "\nLicense "),
              std::string::npos)
        << r.out;
    for (const char* command : {"create", "show", "unplug", "plug", "set"}) {
        r = sim({command, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(std::string("handheld-sim ") + command), std::string::npos) << r.out;
    }
    EXPECT_EQ(sim({"create", dir / "hh", "--card", "SD"}).status, 0);
    r = sim({"show", dir / "hh"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Storage cards: SD"), std::string::npos) << r.out;
    r = sim({"plug", dir / "hh"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());
}

}  // namespace

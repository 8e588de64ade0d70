// The link: connect outcomes, link checks, unplugging and calls without a link.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "HandheldHelpers.h"

using handheld::EmulatedHandheld;

namespace {

class ConnectTest : public ::testing::Test {
protected:
    // Moves the handheld's folder away (an unplug) and returns where it went.
    std::string Unplug() {
        const std::string aside = dir / "aside";
        EXPECT_EQ(std::rename(root.c_str(), aside.c_str()), 0);
        return aside;
    }

    test::TempDir dir;
    std::string root = dir / "root";
};

TEST_F(ConnectTest, AttachedHandheldAnswersAtOnceAndBadRecordsFail) {
    test::makeDir(root);
    EmulatedHandheld device(root);
    const RAPIINIT init = test::StartConnect(device);
    EXPECT_GT(init.heRapiInit, 0);
    EXPECT_TRUE(test::Signalled(init.heRapiInit, 0));
    EXPECT_EQ(init.hrRapiInit, 0);
    EXPECT_EQ(device.CeRapiUninit(), 0);

    RAPIINIT wrong{16, 0, 0};
    EXPECT_LT(device.CeRapiInitEx(&wrong), 0);
    EXPECT_LT(device.CeRapiInitEx(nullptr), 0);
}

TEST_F(ConnectTest, VanishedRootNeverAnswers) {
    // A root missing from the start is covered by the device module's end-to-end tests.
    test::makeDir(root);
    EmulatedHandheld device(root);
    ASSERT_TRUE(test::Connect(device));
    std::filesystem::remove(root);
    const RAPIINIT init = test::StartConnect(device);
    EXPECT_FALSE(test::Signalled(init.heRapiInit, 200));
    CE_FIND_DATA data{};
    EXPECT_EQ(device.CeFindFirstFile(u"*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(ConnectTest, AnswerSettingRefusesOrStaysSilent) {
    test::makeDir(root);
    test::writeFile(root + "/.handheld", "answer=refuse\n");
    EmulatedHandheld device(root);
    RAPIINIT init = test::StartConnect(device);
    EXPECT_TRUE(test::Signalled(init.heRapiInit, 0));
    EXPECT_LT(init.hrRapiInit, 0);
    EXPECT_FALSE(test::PutFile(device, u"a.txt", "x"));
    device.CeRapiUninit();

    test::writeFile(root + "/.handheld", "speed=100\r\n  answer = no \n");
    init = test::StartConnect(device);
    EXPECT_FALSE(test::Signalled(init.heRapiInit, 300));
    device.CeRapiUninit();

    // Unknown lines are ignored; an answering handheld connects again.
    test::writeFile(root + "/.handheld", "colour=blue\nanswer=yes\n");
    EXPECT_TRUE(test::Connect(device));
    EXPECT_FALSE(test::exists(root + "/a.txt"));
}

TEST_F(ConnectTest, NameAndPasswordComeFromTheSettings) {
    EmulatedHandheld device(root);
    char16_t names[64];
    EXPECT_EQ(device.RapiEnumDevices(names, 64), 0u);  // not attached: none

    test::makeDir(root);
    test::writeFile(root + "/.handheld", "name=Pocket \xf0\x9f\x93\x98\npassword=0815\n");
    const std::u16string expected = u"Pocket \U0001F4D8";
    const RAPI_DWORD needed = device.RapiEnumDevices(nullptr, 0);
    ASSERT_EQ(needed, expected.size() + 2);
    EXPECT_EQ(device.RapiEnumDevices(names, needed), needed);
    EXPECT_EQ(std::u16string(names, needed), expected + u'\0' + u'\0');
    EXPECT_EQ(device.RapiSelectDevice(names), 1);
    EXPECT_EQ(test::ErrorOf(device, device.RapiSelectDevice(u"Emulated handheld")),
              ERROR_FILE_NOT_FOUND);

    // Locked: the connect is refused until the right password is given.
    EXPECT_EQ(device.RapiDeviceLocked(), 1);
    RAPIINIT init = test::StartConnect(device);
    EXPECT_TRUE(test::Signalled(init.heRapiInit, 0));
    EXPECT_EQ(static_cast<uint32_t>(init.hrRapiInit), 0x80070056u);
    EXPECT_EQ(test::ErrorOf(device, device.RapiUnlockDevice(u"1234")), ERROR_INVALID_PASSWORD);
    EXPECT_EQ(device.RapiDeviceLocked(), 1);
    EXPECT_EQ(device.RapiUnlockDevice(u"0815"), 1);
    EXPECT_EQ(device.RapiDeviceLocked(), 0);
    EXPECT_TRUE(test::Connect(device));
    // Another password set later locks it again.
    test::writeFile(root + "/.handheld", "password=new\n");
    EXPECT_EQ(device.RapiDeviceLocked(), 1);
}

TEST_F(ConnectTest, RootIsReadFromTheEnvironmentAtEachConnectOrFollowsXdgDataHome) {
    const std::string other = dir / "other";
    test::makeDir(root);
    test::makeDir(other);
    test::writeFile(other + "/marker.txt", "");
    EmulatedHandheld device;  // default root
    setenv("TRESTEL_DEVICE", root.c_str(), 1);
    ASSERT_TRUE(test::Connect(device));
    EXPECT_TRUE(test::Search(device, u"*").empty());
    setenv("TRESTEL_DEVICE", other.c_str(), 1);
    ASSERT_TRUE(test::Connect(device));
    ASSERT_EQ(test::Search(device, u"*").size(), 1u);
    unsetenv("TRESTEL_DEVICE");

    // Without the variable: the data folder of the desktop's conventions.
    const char* home = getenv("HOME");
    const std::string savedHome = home != nullptr ? home : "";
    unsetenv("TRESTEL_DEVICE");
    setenv("XDG_DATA_HOME", "/some/data", 1);
    EXPECT_EQ(handheld::DefaultRoot(), "/some/data/trestel/handheld");
    setenv("HOME", "/home/someone", 1);
    // A relative XDG_DATA_HOME counts as unset.
    for (const char* relative : {"data", "./data", "~/data"}) {
        setenv("XDG_DATA_HOME", relative, 1);
        EXPECT_EQ(handheld::DefaultRoot(), "/home/someone/.local/share/trestel/handheld")
            << relative;
    }
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(handheld::DefaultRoot(), "/home/someone/.local/share/trestel/handheld");
    setenv("TRESTEL_DEVICE", "/dev/handheld", 1);
    EXPECT_EQ(handheld::DefaultRoot(), "/dev/handheld");
    unsetenv("TRESTEL_DEVICE");
    setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(ConnectTest, LinkCheckKeepsOpenHandlesAndUninitEndsTheLink) {
    test::makeDir(root);
    EmulatedHandheld device(root);
    ASSERT_TRUE(test::Connect(device));
    const RAPI_HANDLE h = test::Open(device, u"f.bin");
    ASSERT_GT(h, 0);
    ASSERT_TRUE(test::Connect(device));  // the installer's link check
    RAPI_DWORD written = 0;
    EXPECT_EQ(device.CeWriteFile(h, "abc", 3, &written, nullptr), 1);
    EXPECT_EQ(device.CeCloseHandle(h), 1);
    EXPECT_EQ(test::readFile(root + "/f.bin"), "abc");

    EXPECT_EQ(device.CeRapiUninit(), 0);
    EXPECT_EQ(device.CeRapiUninit(), 0);  // harmless without a link
    EXPECT_EQ(test::ErrorOf(device, device.CeCreateDirectory(u"d", nullptr)),
              ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(test::exists(root + "/d"));
}

TEST_F(ConnectTest, UnplugDuringWritesFailsEveryLaterCall) {
    test::makeDir(root);
    EmulatedHandheld device(root);
    ASSERT_TRUE(test::Connect(device));
    const RAPI_HANDLE h = test::Open(device, u"big.bin");
    ASSERT_GT(h, 0);
    const std::string block(4096, 'x');
    RAPI_DWORD written = 0;
    ASSERT_EQ(device.CeWriteFile(h, block.data(), 4096, &written, nullptr), 1);

    const std::string aside = Unplug();
    EXPECT_EQ(device.CeWriteFile(h, block.data(), 4096, &written, nullptr), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(device.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    // Nobody can delete the partial file any more: the handheld drops it itself.
    EXPECT_FALSE(test::exists(aside + "/big.bin"));

    // Putting the folder back doesn't revive the old link; a new connect does.
    ASSERT_EQ(std::rename(aside.c_str(), root.c_str()), 0);
    EXPECT_EQ(device.CeWriteFile(h, block.data(), 4096, &written, nullptr), 0);
    EXPECT_EQ(test::ErrorOf(device, device.CeCreateDirectory(u"d", nullptr)),
              ERROR_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(test::Connect(device));
    EXPECT_EQ(test::ErrorOf(device, device.CeWriteFile(h, block.data(), 4096, &written, nullptr)),
              ERROR_INVALID_HANDLE);
    EXPECT_FALSE(test::exists(root + "/big.bin"));
}

// Each call looks the root up by its name in the folder that holds it: a root given with a
// trailing separator is found so, and another folder put in its place is another handheld.
TEST_F(ConnectTest, RootReplacedUnderItsNameIsUnplugged) {
    test::makeDir(root);
    EmulatedHandheld device(root + "/");
    ASSERT_TRUE(test::Connect(device));
    EXPECT_EQ(device.CeCreateDirectory(u"d", nullptr), 1);
    std::filesystem::remove_all(root);
    test::makeDir(root);
    EXPECT_EQ(test::ErrorOf(device, device.CeCreateDirectory(u"e", nullptr)),
              ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(test::exists(root + "/e"));
}

// The root is looked up again only after entries beside it changed: changes to other entries
// keep the link, and a folder renamed into the root's place after them is still another handheld.
TEST_F(ConnectTest, ChangesBesideTheRootKeepTheLinkAndAFolderMovedInPlaceIsUnplugged) {
    test::makeDir(root);
    EmulatedHandheld device(root);
    ASSERT_TRUE(test::Connect(device));
    EXPECT_EQ(device.CeCreateDirectory(u"a", nullptr), 1);
    EXPECT_EQ(device.CeCreateDirectory(u"b", nullptr), 1);  // nothing changed beside it
    test::makeDir(dir / "other");
    ASSERT_EQ(std::rename((dir / "other").c_str(), (dir / "next").c_str()), 0);
    EXPECT_EQ(device.CeCreateDirectory(u"c", nullptr), 1);
    EXPECT_EQ(device.CeCreateDirectory(u"d", nullptr), 1);

    Unplug();
    ASSERT_EQ(std::rename((dir / "next").c_str(), root.c_str()), 0);
    EXPECT_EQ(test::ErrorOf(device, device.CeCreateDirectory(u"e", nullptr)),
              ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(test::exists(root + "/e"));
}

TEST_F(ConnectTest, UnplugAfterTheLastWriteKeepsTheFinishedFile) {
    test::makeDir(root);
    test::writeFile(root + "/kept.bin", "old contents");
    EmulatedHandheld device(root);
    ASSERT_TRUE(test::Connect(device));
    const RAPI_HANDLE done = test::Open(device, u"done.bin");
    const RAPI_HANDLE opened = test::Open(device, u"kept.bin", 4 /* OPEN_ALWAYS */);
    ASSERT_GT(done, 0);
    ASSERT_GT(opened, 0);
    RAPI_DWORD written = 0;
    ASSERT_EQ(device.CeWriteFile(done, "all", 3, &written, nullptr), 1);

    const std::string aside = Unplug();
    EXPECT_EQ(device.CeCloseHandle(done), 0);  // the link is gone, the file is complete
    EXPECT_EQ(test::readFile(aside + "/done.bin"), "all");
    // A file that was opened, not emptied, keeps what it had.
    EXPECT_EQ(device.CeWriteFile(opened, "new", 3, &written, nullptr), 0);
    EXPECT_EQ(test::readFile(aside + "/kept.bin"), "old contents");

    // A root replaced by a fresh folder while connected is an unplugged handheld too.
    test::makeDir(root);
    ASSERT_TRUE(test::Connect(device));
    std::filesystem::remove(root);
    test::makeDir(root);
    EXPECT_FALSE(test::PutFile(device, u"a.txt", "a"));
    EXPECT_EQ(device.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(test::exists(root + "/a.txt"));
}

TEST_F(ConnectTest, PacedLinkTakesAtLeastItsTime) {
    test::makeDir(root);
    test::writeFile(root + "/.handheld", "speed=40K\n");
    EmulatedHandheld device(root);
    ASSERT_TRUE(test::Connect(device));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(test::PutFile(device, u"slow.bin", std::string(20480, 's')));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(450));  // 20 KiB at 40 KiB/s
}

}  // namespace

// Folders, files, searches and paths of the emulated handheld.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "HandheldHelpers.h"
#include "Posix.h"
#include "Storage.h"

using handheld::EmulatedHandheld;

namespace {

constexpr RAPI_DWORD kCard = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::makeDir(root);
        ASSERT_TRUE(test::Connect(device));
    }

    RAPI_HANDLE Create(const char16_t* path, RAPI_DWORD disposition = CREATE_ALWAYS) {
        return test::Open(device, path, disposition);
    }

    // The error of a create that must fail.
    RAPI_DWORD CreateError(const char16_t* path, RAPI_DWORD disposition = CREATE_ALWAYS) {
        const RAPI_HANDLE h = Create(path, disposition);
        if (h != INVALID_HANDLE_VALUE) {
            device.CeCloseHandle(h);
            return 0;
        }
        return device.CeGetLastError();
    }

    RAPI_DWORD ErrorOf(RAPI_BOOL result) { return test::ErrorOf(device, result); }

    // A folder holding a storage-card marker with the given settings.
    void Marked(const std::string& name, const std::string& settings = "") {
        test::makeDir(root + "/" + name);
        test::writeFile(root + "/" + name + "/.storage-card", settings);
    }

    test::TempDir dir;
    std::string root = dir / "root";
    EmulatedHandheld device{root};
};

TEST_F(FilesTest, RootSearchMarksCardsAndHidesMarkers) {
    test::makeDir(root + "/Program Files");
    Marked("Storage Card", "capacity=1M\n");
    Marked("card2", "read-only\n");
    test::makeDir(root + "/Windows/.storage-card");  // a marker must be a file
    test::writeFile(root + "/readme.txt", "hello");
    test::writeFile(root + "/.handheld", "speed=0\n");

    const auto found = test::Search(device, u"*");
    ASSERT_EQ(test::Names(found), "card2;Program Files;readme.txt;Storage Card;Windows;");
    const RAPI_DWORD attributes[] = {kCard, FILE_ATTRIBUTE_DIRECTORY, 0, kCard,
                                     FILE_ATTRIBUTE_DIRECTORY};
    for (size_t i = 0; i < found.size(); ++i) {
        // Folders exactly; for the file only that it is no folder.
        const RAPI_DWORD mask = attributes[i] != 0 ? ~RAPI_DWORD{0} : FILE_ATTRIBUTE_DIRECTORY;
        EXPECT_EQ(found[i].attributes & mask, attributes[i]) << found[i].name;
    }
    EXPECT_EQ(found[2].size, 5u);

    // Below the root a folder with a marker is a plain folder.
    Marked("Program Files/Nested");
    const auto nested = test::Search(device, u"Program Files\\*");
    ASSERT_EQ(nested.size(), 1u);
    EXPECT_EQ(nested[0].attributes, FILE_ATTRIBUTE_DIRECTORY);

    // Inside a card: the marker is not listed.
    EXPECT_TRUE(test::Search(device, u"Storage Card\\*").empty());
    EXPECT_EQ(device.CeGetLastError(), ERROR_FILE_NOT_FOUND);

    // Nor can it be made, removed or replaced, whatever the case of its name.
    EXPECT_EQ(CreateError(u"Storage Card\\.storage-card"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateError(u".HANDHELD"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateError(u"Program Files\\.handheld"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ErrorOf(device.CeDeleteFile(u"Storage Card\\.storage-card")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(device.CeDeleteFile(u".handheld"), 0);
    EXPECT_EQ(device.CeCreateDirectory(u".handheld", nullptr), 0);
    EXPECT_EQ(test::readFile(root + "/Storage Card/.storage-card"), "capacity=1M\n");
    EXPECT_EQ(test::readFile(root + "/.handheld"), "speed=0\n");
}

// Temporaries that a writer killed between create and rename left: never listed or counted,
// removed at the next open of the handheld unless a live writer holds them locked.
TEST_F(FilesTest, LeftTemporariesAreHiddenUncountedAndRemovedWhenOpenedAgain) {
    Marked("Storage Card");
    test::writeFile(root + "/Storage Card/m.bbl", std::string(300000, 'm'));
    test::writeFile(root + "/Storage Card/.~4242-0.tmp", std::string(300000, 'm'));
    test::writeFile(root + "/.~4242-1.tmp", "x");
    test::writeFile(root + "/.~4242-x.tmp", "not ours");
    const int held = ::open((root + "/.~1-2.tmp").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    EXPECT_EQ(test::Names(test::Search(device, u"Storage Card\\*")), "m.bbl;");
    const posix::UniqueFd card(::open((root + "/Storage Card").c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(handheld::UsedBytes(card.get(), false), 300000u);
    const std::string names = test::Names(test::Search(device, u"*"));
    EXPECT_EQ(names.find(".~4242-1.tmp"), std::string::npos) << names;
    EXPECT_EQ(names.find(".~1-2.tmp"), std::string::npos) << names;

    EmulatedHandheld again{root};
    ASSERT_TRUE(test::Connect(again));
    ::close(held);
    EXPECT_EQ(test::listing(root),
              (std::vector<std::string>{".~1-2.tmp", ".~4242-x.tmp", "Storage Card",
                                        "Storage Card/.storage-card", "Storage Card/m.bbl"}));
}

TEST_F(FilesTest, SearchEndsPatternsAndHandles) {
    CE_FIND_DATA data{};
    EXPECT_EQ(device.CeFindFirstFile(u"*", &data), INVALID_HANDLE_VALUE);  // empty root
    test::writeFile(root + "/only.txt", "");
    const RAPI_HANDLE h = device.CeFindFirstFile(u"*", &data);
    ASSERT_GT(h, 0);
    EXPECT_EQ(std::u16string(data.cFileName), u"only.txt");
    EXPECT_EQ(ErrorOf(device.CeFindNextFile(h, &data)), ERROR_NO_MORE_FILES);
    EXPECT_EQ(device.CeFindClose(h), 1);
    EXPECT_EQ(device.CeFindClose(h), 0);
    EXPECT_EQ(ErrorOf(device.CeCloseHandle(12345)), ERROR_INVALID_HANDLE);

    // File and search handles are distinct, and a search handle closes like a file's.
    const RAPI_HANDLE file = Create(u"f");
    const RAPI_HANDLE search = device.CeFindFirstFile(u"*", &data);
    ASSERT_GT(file, 0);
    ASSERT_GT(search, 0);
    EXPECT_NE(file, search);
    EXPECT_EQ(device.CeCloseHandle(search), 1);
    EXPECT_EQ(device.CeFindNextFile(search, &data), 0);
    EXPECT_EQ(device.CeCloseHandle(file), 1);

    // Patterns are case-insensitive wildcards.
    test::makeDir(root + "/Program Files/Pocket Lorvex");
    for (const char* name : {"a.BBL", "b.bbl", "c.dct", "ab.bbl"}) {
        test::writeFile(root + "/Program Files/Pocket Lorvex/" + name, "");
    }
    const auto names = test::Names;
    EXPECT_EQ(names(test::Search(device, u"program files\\POCKET LORVEX\\*.bbl")),
              "a.BBL;ab.bbl;b.bbl;");
    EXPECT_EQ(names(test::Search(device, u"Program Files\\Pocket Lorvex\\?.bbl")), "a.BBL;b.bbl;");
    EXPECT_EQ(names(test::Search(device, u"Program Files\\Pocket Lorvex\\*.*")),
              "a.BBL;ab.bbl;b.bbl;c.dct;");
    EXPECT_TRUE(test::Search(device, u"Missing\\*").empty());
    EXPECT_EQ(device.CeGetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, CreateAndDeleteAnswerEachError) {
    // Whole copies and replacements are covered end to end by the device module's tests.
    test::makeDir(root + "/Program Files");
    EXPECT_EQ(device.CeCreateDirectory(u"Program Files\\Pocket Lorvex\\", nullptr), 1);
    ASSERT_TRUE(test::PutFile(device, u"Program Files\\Pocket Lorvex\\sample.bbl", "short"));
    const std::string onDisk = root + "/Program Files/Pocket Lorvex/sample.bbl";

    EXPECT_EQ(CreateError(u"Program Files\\Pocket Lorvex\\sample.bbl", CREATE_NEW),
              ERROR_FILE_EXISTS);
    EXPECT_EQ(test::readFile(onDisk), "short");

    EXPECT_EQ(device.CeDeleteFile(u"Program Files\\Pocket Lorvex\\sample.bbl"), 1);
    EXPECT_FALSE(test::exists(onDisk));
    EXPECT_EQ(ErrorOf(device.CeDeleteFile(u"Program Files\\Pocket Lorvex\\sample.bbl")),
              ERROR_FILE_NOT_FOUND);
    // Folders stay.
    EXPECT_EQ(ErrorOf(device.CeDeleteFile(u"Program Files\\Pocket Lorvex")), ERROR_ACCESS_DENIED);

    EXPECT_EQ(ErrorOf(device.CeCreateDirectory(u"No Such\\Pocket Lorvex\\", nullptr)),
              ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(test::exists(root + "/No Such"));
    EXPECT_EQ(CreateError(u"No Such\\Pocket Lorvex\\a.bbl"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(ErrorOf(device.CeCreateDirectory(u"Program Files", nullptr)), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(CreateError(u"Program Files"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(std::filesystem::is_directory(root + "/Program Files"));
    test::writeFile(root + "/plain", "");
    EXPECT_EQ(CreateError(u"plain\\a.bbl"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateError(u"bad*name"), ERROR_INVALID_NAME);

    // A move never replaces what holds the new name, and takes files and folders only.
    ASSERT_TRUE(test::PutFile(device, u"Program Files\\.new.bbl", "new"));
    ASSERT_TRUE(test::PutFile(device, u"Program Files\\old.bbl", "old"));
    EXPECT_EQ(ErrorOf(device.CeMoveFile(u"Program Files\\.new.bbl", u"Program Files\\OLD.bbl")),
              ERROR_ALREADY_EXISTS);
    EXPECT_EQ(test::readFile(root + "/Program Files/old.bbl"), "old");
    EXPECT_EQ(device.CeDeleteFile(u"Program Files\\old.bbl"), 1);
    EXPECT_EQ(device.CeMoveFile(u"Program Files\\.new.bbl", u"Program Files\\old.bbl"), 1);
    EXPECT_EQ(test::readFile(root + "/Program Files/old.bbl"), "new");
    EXPECT_FALSE(test::exists(root + "/Program Files/.new.bbl"));
    EXPECT_EQ(ErrorOf(device.CeMoveFile(u"Program Files\\gone.bbl", u"x.bbl")),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ErrorOf(device.CeMoveFile(u"Program Files\\old.bbl", u"..\\x.bbl")),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(ErrorOf(device.CeMoveFile(u"Program Files\\old.bbl", u".handheld")),
              ERROR_ACCESS_DENIED);
    std::filesystem::create_symlink("/etc/passwd", root + "/link");
    EXPECT_EQ(ErrorOf(device.CeMoveFile(u"link", u"y")), ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, ManySmallWritesArriveWholeAndInOrder) {
    // More than the device's write buffer, in the installer's 4096-byte writes.
    const std::string data = test::pattern(5 * 1024 * 1024 / 2 + 1234);
    ASSERT_TRUE(test::PutFile(device, u"big.bin", data));
    EXPECT_EQ(test::readFile(root + "/big.bin"), data);
}

TEST_F(FilesTest, ReadBackThroughTheDevice) {
    ASSERT_TRUE(test::PutFile(device, u"r.bin", "contents"));
    const RAPI_HANDLE h =
        device.CeCreateFile(u"r.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
    ASSERT_GT(h, 0);
    char buffer[32] = {};
    RAPI_DWORD read = 0;
    EXPECT_EQ(device.CeReadFile(h, buffer, sizeof buffer, &read, nullptr), 1);
    EXPECT_EQ(std::string(buffer, read), "contents");
    RAPI_DWORD written = 0;  // opened for reading
    EXPECT_EQ(ErrorOf(device.CeWriteFile(h, "x", 1, &written, nullptr)), ERROR_ACCESS_DENIED);
    EXPECT_EQ(device.CeCloseHandle(h), 1);
    EXPECT_EQ(test::readFile(root + "/r.bin"), "contents");

    // Creating a file is a change even when it is opened for reading only.
    test::writeFile(root + "/.handheld", "read-only\n");
    EXPECT_EQ(device.CeCreateFile(u"new.bin", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.CeGetLastError(), ERROR_WRITE_PROTECT);
    const RAPI_HANDLE again =
        device.CeCreateFile(u"r.bin", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, 0);
    EXPECT_GT(again, 0);  // opening an existing file for reading is fine
    device.CeCloseHandle(again);
}

TEST_F(FilesTest, ReadOnlyStoragesRefuseChanges) {
    Marked("SD", "read-only\n");
    test::writeFile(root + "/SD/old.bbl", "old");
    EXPECT_EQ(CreateError(u"SD\\new.bbl"), ERROR_WRITE_PROTECT);
    // Also where the module folder doesn't exist yet.
    EXPECT_EQ(CreateError(u"SD\\Pocket Lorvex\\new.bbl"), ERROR_WRITE_PROTECT);
    EXPECT_EQ(CreateError(u"SD\\old.bbl"), ERROR_WRITE_PROTECT);
    EXPECT_EQ(test::readFile(root + "/SD/old.bbl"), "old");
    EXPECT_EQ(ErrorOf(device.CeCreateDirectory(u"SD\\Pocket Lorvex\\", nullptr)),
              ERROR_WRITE_PROTECT);
    EXPECT_EQ(ErrorOf(device.CeDeleteFile(u"SD\\old.bbl")), ERROR_WRITE_PROTECT);
    EXPECT_TRUE(test::exists(root + "/SD/old.bbl"));

    // Main memory is not affected by a card's setting, and has its own.
    EXPECT_TRUE(test::PutFile(device, u"main.bbl", "m"));
    test::writeFile(root + "/.handheld", "read-only\n");
    EXPECT_EQ(CreateError(u"main2.bbl"), ERROR_WRITE_PROTECT);
    EXPECT_EQ(ErrorOf(device.CeDeleteFile(u"main.bbl")), ERROR_WRITE_PROTECT);
}

TEST_F(FilesTest, CapacityLimitsCreatesAndWrites) {
    test::writeFile(root + "/.handheld", "capacity=10K\n");
    Marked("Card", "capacity=1K\n");
    test::writeFile(root + "/Card/existing.bin", std::string(1000, 'c'));

    // Main memory: files on the card don't count.
    ASSERT_TRUE(test::PutFile(device, u"a.bin", std::string(8192, 'a')));
    const RAPI_HANDLE h = Create(u"b.bin");
    ASSERT_GT(h, 0);
    const std::string block(4096, 'b');
    RAPI_DWORD written = 99;
    EXPECT_EQ(device.CeWriteFile(h, block.data(), 2048, &written, nullptr), 1);
    EXPECT_EQ(device.CeWriteFile(h, block.data(), 1, &written, nullptr), 0);  // 10241 bytes
    EXPECT_EQ(device.CeGetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(device.CeCloseHandle(h), 1);
    EXPECT_EQ(std::filesystem::file_size(root + "/b.bin"), 2048u);  // the failed write left nothing

    EXPECT_EQ(CreateError(u"c.bin"), ERROR_DISK_FULL);  // no room left
    EXPECT_FALSE(test::exists(root + "/c.bin"));
    // Replacing a file frees its room first.
    EXPECT_TRUE(test::PutFile(device, u"a.bin", std::string(8000, 'A')));

    // The card has its own capacity.
    EXPECT_FALSE(test::PutFile(device, u"Card\\x.bin", std::string(100, 'x')));
    EXPECT_EQ(device.CeGetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(device.CeDeleteFile(u"Card\\existing.bin"), 1);
    EXPECT_TRUE(test::PutFile(device, u"Card\\x.bin", std::string(1024, 'x')));

    // Free space follows each storage's capacity and what it holds, never beyond the desktop's.
    const auto freeIn = [&](const char16_t* path) {
        uint64_t free = 1;
        uint64_t total = 1;
        uint64_t totalFree = 1;
        return device.CeGetDiskFreeSpaceEx(path, &free, &total, &totalFree) == 1 &&
                       free == totalFree
                   ? std::pair(free, total)
                   : std::pair(~uint64_t{0}, ~uint64_t{0});
    };
    EXPECT_EQ(freeIn(u"Card\\"), std::pair(uint64_t{0}, uint64_t{1024}));
    // The root is main memory, as is any folder that is not a card's.
    test::makeDir(root + "/Program Files");
    for (const char16_t* path : {u"", u"\\", u"Program Files", u"Program Files\\"}) {
        EXPECT_EQ(freeIn(path), std::pair(uint64_t{10240 - 8000 - 2048}, uint64_t{10240}));
    }
    EXPECT_EQ(device.CeDeleteFile(u"Card\\x.bin"), 1);
    EXPECT_EQ(freeIn(u"Card"), std::pair(uint64_t{1024}, uint64_t{1024}));
    // A move onto the card is refused when it can't take the file.
    EXPECT_EQ(ErrorOf(device.CeMoveFile(u"a.bin", u"Card\\a.bin")), ERROR_DISK_FULL);
    EXPECT_EQ(ErrorOf(device.CeGetDiskFreeSpaceEx(u"No Such\\", nullptr, nullptr, nullptr)),
              ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, PathsCannotLeaveTheRoot) {
    const std::string outside = dir / "outside";
    test::makeDir(outside);
    test::writeFile(outside + "/secret", "secret");
    test::makeDir(root + "/sub");
    for (const char16_t* path :
         {u"..\\outside\\x", u"sub\\..\\..\\outside\\x", u"\\x", u"/x", u"C:\\x", u"C:x",
          u"sub/../../outside/x", u"sub\\.\\x", u"sub\\\\x", u""}) {
        EXPECT_EQ(Create(path), INVALID_HANDLE_VALUE);
        EXPECT_NE(device.CeGetLastError(), 0u);
        EXPECT_EQ(device.CeCreateDirectory(path, nullptr), 0);
        EXPECT_EQ(device.CeDeleteFile(path), 0);
    }
    EXPECT_EQ(ErrorOf(device.CeDeleteFile(u"..\\outside\\secret")), ERROR_BAD_PATHNAME);

    // Links leading out of the root are never followed.
    ASSERT_EQ(symlink(outside.c_str(), (root + "/link").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (root + "/sub/secret").c_str()), 0);
    EXPECT_EQ(Create(u"link\\x"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Create(u"sub\\secret"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.CeDeleteFile(u"link\\secret"), 0);
    EXPECT_EQ(device.CeDeleteFile(u"sub\\secret"), 0);
    EXPECT_EQ(device.CeCreateDirectory(u"link\\new", nullptr), 0);
    EXPECT_TRUE(test::Search(device, u"link\\*").empty());
    EXPECT_EQ(test::readFile(outside + "/secret"), "secret");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1);
    EXPECT_TRUE(test::exists(root + "/sub/secret"));
    for (const auto& found : test::Search(device, u"*")) {
        EXPECT_NE(found.name, "link");  // links are not listed
    }

    // A hard link to a file outside: replacing it or writing into it makes a file of the
    // device's own and leaves the outside file as it was.
    ASSERT_EQ(link((outside + "/secret").c_str(), (root + "/hard.bbl").c_str()), 0);
    ASSERT_EQ(link((outside + "/secret").c_str(), (root + "/hard2.bbl").c_str()), 0);
    EXPECT_TRUE(test::PutFile(device, u"hard.bbl", "module"));
    const RAPI_HANDLE h = Create(u"hard2.bbl", 4);  // OPEN_ALWAYS keeps the contents
    ASSERT_GT(h, 0);
    RAPI_DWORD written = 0;
    EXPECT_EQ(device.CeWriteFile(h, "S", 1, &written, nullptr), 1);
    EXPECT_EQ(device.CeCloseHandle(h), 1);
    EXPECT_EQ(test::readFile(root + "/hard.bbl"), "module");
    EXPECT_EQ(test::readFile(root + "/hard2.bbl"), "Secret");
    EXPECT_EQ(test::readFile(outside + "/secret"), "secret");
}

TEST_F(FilesTest, NamesBeyondAsciiTravelBothWays) {
    // "Kärtchen" with a character outside the basic plane (a surrogate pair on the device).
    const std::u16string card = u"K\u00e4rtchen \U0001F4BE";
    const std::string cardUtf8 = "K\xc3\xa4rtchen \xf0\x9f\x92\xbe";
    test::makeDir(root + "/" + cardUtf8);
    test::writeFile(root + "/" + cardUtf8 + "/.storage-card", "");
    CE_FIND_DATA data{};
    const RAPI_HANDLE h = device.CeFindFirstFile(u"*", &data);
    ASSERT_GT(h, 0);
    EXPECT_EQ(std::u16string(data.cFileName), card);
    EXPECT_EQ(data.dwFileAttributes, kCard);
    device.CeFindClose(h);

    const std::u16string target = card + u"\\\u00fcber.bbl";
    ASSERT_TRUE(test::PutFile(device, target.c_str(), "u"));
    EXPECT_EQ(test::readFile(root + "/" + cardUtf8 +
                             "/\xc3\xbc"
                             "ber.bbl"),
              "u");

    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(CreateError(lone), ERROR_INVALID_NAME);
}

TEST_F(FilesTest, FileRemovedWhileWrittenFailsTheWrite) {
    Marked("Card");
    const RAPI_HANDLE h = Create(u"Card\\m.bbl");
    ASSERT_GT(h, 0);
    RAPI_DWORD written = 0;
    ASSERT_EQ(device.CeWriteFile(h, "abc", 3, &written, nullptr), 1);
    std::filesystem::remove_all(root + "/Card");  // the card is pulled out
    EXPECT_EQ(device.CeWriteFile(h, "def", 3, &written, nullptr), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(device.CeGetLastError(), ERROR_WRITE_FAULT);
    device.CeCloseHandle(h);
}

}  // namespace

namespace {

// Writes 4096-byte blocks into an open file until count bytes are written or a write fails:
// the bytes written.
uint64_t WriteUpTo(EmulatedHandheld& device, RAPI_HANDLE h, uint64_t count) {
    const std::string block(4096, 'w');
    uint64_t done = 0;
    RAPI_DWORD written = 0;
    while (done < count && device.CeWriteFile(h, block.data(), 4096, &written, nullptr) == 1) {
        done += written;
    }
    return done;
}

}  // namespace

TEST_F(FilesTest, OneCardsCapacityCountsForEveryConnectionAndProcess) {
    Marked("Card", "capacity=1M\n");
    constexpr uint64_t kMiB = 1024 * 1024;

    // Two connections writing at once: together never beyond the card.
    EmulatedHandheld other{root};
    ASSERT_TRUE(test::Connect(other));
    const RAPI_HANDLE a = Create(u"Card\\a.bin");
    const RAPI_HANDLE b = test::Open(other, u"Card\\b.bin");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    uint64_t fromA = 0, fromB = 0;
    for (int round = 0; round < 200; ++round) {
        fromA += WriteUpTo(device, a, 4096);
        fromB += WriteUpTo(other, b, 4096);
    }
    EXPECT_EQ(device.CeGetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(other.CeGetLastError(), ERROR_DISK_FULL);
    EXPECT_LE(fromA + fromB, kMiB);
    EXPECT_GT(fromA, 0u);
    EXPECT_GT(fromB, 0u);
    EXPECT_EQ(device.CeCloseHandle(a), 1);
    EXPECT_EQ(other.CeCloseHandle(b), 1);
    const auto onCard = std::filesystem::file_size(root + "/Card/a.bin") +
                        std::filesystem::file_size(root + "/Card/b.bin");
    // Each wrote until the card was full: what one took ahead and didn't write went to the other.
    EXPECT_EQ(onCard, fromA + fromB);
    EXPECT_EQ(onCard, kMiB);
    EXPECT_FALSE(test::PutFile(device, u"Card\\more.bin", "x"));
    EXPECT_EQ(device.CeGetLastError(), ERROR_DISK_FULL);
    // A removal through one connection makes room for the other, to the byte.
    EXPECT_EQ(other.CeDeleteFile(u"Card\\b.bin"), 1);
    EXPECT_TRUE(test::PutFile(device, u"Card\\more.bin", std::string(fromB, 'm')));
    EXPECT_EQ(device.CeDeleteFile(u"Card\\more.bin"), 1);
    EXPECT_EQ(device.CeDeleteFile(u"Card\\a.bin"), 1);
    // A file moved onto the card counts for the other connection too, and one moved off frees.
    ASSERT_TRUE(test::PutFile(device, u"big.bin", std::string(600 * 1024, 'g')));
    EXPECT_EQ(device.CeMoveFile(u"big.bin", u"Card\\big.bin"), 1);
    EXPECT_FALSE(test::PutFile(other, u"Card\\second.bin", std::string(600 * 1024, 's')));
    EXPECT_EQ(other.CeGetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(other.CeDeleteFile(u"Card\\second.bin"), 1);
    EXPECT_EQ(device.CeMoveFile(u"Card\\big.bin", u"big.bin"), 1);
    EXPECT_TRUE(test::PutFile(other, u"Card\\second.bin", std::string(600 * 1024, 's')));
    EXPECT_EQ(other.CeDeleteFile(u"Card\\second.bin"), 1);
    EXPECT_EQ(other.CeRapiUninit(), 0);
    // A file removed from outside counts at the next create of a connection writing alone.
    ASSERT_TRUE(test::PutFile(device, u"Card\\full.bin", std::string(kMiB, 'f')));
    std::filesystem::remove(root + "/Card/full.bin");
    EXPECT_TRUE(test::PutFile(device, u"Card\\again.bin", std::string(kMiB, 'a')));
    EXPECT_EQ(device.CeDeleteFile(u"Card\\again.bin"), 1);

    // Two processes, each writing 700 KiB onto the 1 MiB card at once.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte;
        EmulatedHandheld mine{root};
        const bool ok = test::Connect(mine) && read(go[0], &byte, 1) == 1;
        const RAPI_HANDLE h = ok ? test::Open(mine, u"Card\\child.bin") : INVALID_HANDLE_VALUE;
        const uint64_t done = h > 0 ? WriteUpTo(mine, h, 700 * 1024) : 0;
        _exit(h > 0 && mine.CeCloseHandle(h) == 1 ? static_cast<int>(done / 4096) : 255);
    }
    const RAPI_HANDLE h = Create(u"Card\\parent.bin");
    ASSERT_GT(h, 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    const uint64_t mine = WriteUpTo(device, h, 700 * 1024);
    EXPECT_EQ(device.CeCloseHandle(h), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(go[0]);
    close(go[1]);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 255);
    const uint64_t theirs = static_cast<uint64_t>(WEXITSTATUS(status)) * 4096;
    EXPECT_LT(mine + theirs, 1400u * 1024);  // one of them ran out of room
    EXPECT_LE(std::filesystem::file_size(root + "/Card/parent.bin") +
                  std::filesystem::file_size(root + "/Card/child.bin"),
              kMiB);
}

TEST(SharedLinkTest, EveryUserOfTheLinkWaitsForTheBytesBookedBefore) {
    test::TempDir dir;
    const handheld::Fd root(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto first = handheld::SharedLink::Open(root.get());
    auto second = handheld::SharedLink::Open(root.get());
    ASSERT_TRUE(first && second);
    const auto start = std::chrono::steady_clock::now();
    const auto one = first->book(1000, 1000);  // a second's worth each
    const auto two = second->book(1000, 1000);
    const auto three = first->book(500, 1000);
    EXPECT_GE(one - start, std::chrono::seconds(1));
    EXPECT_GE(two - one, std::chrono::seconds(1));
    EXPECT_GE(three - two, std::chrono::milliseconds(500));
    EXPECT_LT(three - start, std::chrono::seconds(3));  // nothing counted twice
}

// Installs from the terminal against the fakes: where the module goes, what standard error says
// and the exit status.

#include <gmock/gmock.h>

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "FakeDevice.h"
#include "FakeWaiter.h"
#include "Terminal.h"
#include "TestSupport.h"

using ::testing::HasSubstr;

namespace {

constexpr RAPI_DWORD kCard = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale::c());
        ASSERT_TRUE(dir.isValid());
        module = dir.filePath("sample.bbl").toStdString();
        QFile f(QString::fromStdString(module));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray::fromStdString(test::pattern(10000)));
        device.rootEntries = {{kCard, u"SD Card"}, {FILE_ATTRIBUTE_DIRECTORY, u"Windows"}};
    }

    // Runs trestel with the arguments; returns the status and leaves standard error in err.
    int run(std::vector<std::string> args, bool bTerminal = false) {
        args.insert(args.begin(), "trestel");
        std::vector<const char*> argv;
        for (const std::string& a : args) {
            argv.push_back(a.c_str());
        }
        char* buffer = nullptr;
        size_t size = 0;
        FILE* stream = open_memstream(&buffer, &size);
        Terminal::Platform platform{&device, &waiter, stream, bTerminal};
        const int nStatus = Terminal::Run(int(argv.size()), argv.data(), platform);
        std::fclose(stream);
        err.assign(buffer, size);
        std::free(buffer);
        return nStatus;
    }

    QTemporaryDir dir;
    std::string module;
    FakeDevice device;
    FakeWaiter waiter;
    std::string err;
};

TEST_F(TerminalTest, InstallsAndFailsWithTheWindowsTextsAndStatus) {
    struct Case {
        const char* name;
        std::vector<std::string> to;
        std::function<void(FakeDevice&, FakeWaiter&)> arrange;
        int status;
        const char* said;             // the last line on standard error
        const char16_t* installedAt;  // null: nothing installed
    };
    const auto none = [](FakeDevice&, FakeWaiter&) {};
    const Case cases[] = {
        {"main memory",
         {"--to", "main"},
         none,
         0,
         "Installation of sample.bbl is completed.",
         u"Program Files\\Pocket Lorvex\\sample.bbl"},
        {"a card, its name in any case",
         {"--to", "sd card"},
         none,
         0,
         "Installation of sample.bbl is completed.",
         u"SD Card\\Pocket Lorvex\\sample.bbl"},
        {"write-protected card",
         {"--to", "SD Card"},
         [](FakeDevice& d, FakeWaiter&) { d.createError = ERROR_WRITE_PROTECT; },
         1,
         "The media is write protected.",
         nullptr},
        {"a write fails",
         {"--to", "main"},
         [](FakeDevice& d, FakeWaiter&) {
             d.writeScript = [](int nth, RAPI_DWORD n) {
                 return nth == 2 ? FakeDevice::WriteReply{0, 0} : FakeDevice::WriteReply{1, n};
             };
         },
         1,
         "has failed!  An error occurred during installation.",
         nullptr},
        {"no handheld",
         {"--to", "main"},
         [](FakeDevice&, FakeWaiter& w) { w.result = WAIT_TIMEOUT; },
         1,
         "no handheld answered",
         nullptr},
        {"too large for the card",
         {"--to", "SD Card"},
         [](FakeDevice& d, FakeWaiter&) { d.diskFree = 9999; },
         1,
         "There is not enough space on the disk.",
         nullptr},
        {"the link lost",
         {"--to", "main"},
         [](FakeDevice& d, FakeWaiter&) { d.failures.ThrowOn("CeWriteFile", 2); },
         1,
         "The connection to the handheld was lost during the copy.",
         nullptr},
        {"no handheld of any kind",
         {"--to", "main"},
         [](FakeDevice& d, FakeWaiter& w) {
             d.devices.clear();
             w.result = WAIT_TIMEOUT;
         },
         1,
         "make the emulated one with 'handheld-sim create'",
         nullptr},
        {"no such card", {"--to", "Other"}, none, 1, "no storage card named 'Other'", nullptr},
        {"a locked handheld",
         {"--to", "main"},
         [](FakeDevice& d, FakeWaiter&) { d.locked = true; },
         1,
         "the handheld is locked",
         nullptr},
        {"the handheld named",
         {"--to", "main", "--handheld", "Second"},
         [](FakeDevice& d, FakeWaiter&) {
             d.devices = {u"First", u"Second"};
         },
         0,
         "Installation of sample.bbl is completed.",
         u"Program Files\\Pocket Lorvex\\sample.bbl"},
        {"a handheld not attached",
         {"--to", "main", "--handheld", "Third"},
         [](FakeDevice& d, FakeWaiter&) {
             d.devices = {u"First", u"Second"};
         },
         1,
         "no handheld named 'Third' (attached: First, Second)",
         nullptr},
        {"a folder that is not a card",
         {"--to", "Windows"},
         none,
         1,
         "(FOLDER is 'main' or one "
         "of: SD Card)",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device = FakeDevice();
        device.rootEntries = {{kCard, u"SD Card"}, {FILE_ATTRIBUTE_DIRECTORY, u"Windows"}};
        waiter = FakeWaiter();
        c.arrange(device, waiter);
        std::vector<std::string> args{"--install", module};
        args.insert(args.end(), c.to.begin(), c.to.end());

        EXPECT_EQ(run(args), c.status);

        const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
        EXPECT_THAT(last, HasSubstr(c.said)) << err;
        EXPECT_EQ(last.rfind("trestel: ", 0), 0u) << last;
        if (c.installedAt != nullptr) {
            EXPECT_EQ(device.File(c.installedAt), test::pattern(10000));
        }
        EXPECT_EQ(device.files.size(), c.installedAt != nullptr ? 1u : 0u);
        // The link is closed again whenever it was opened.
        EXPECT_EQ(device.Count("CeRapiUninit"), device.Count("CeRapiInitEx"));
        if (c.to.size() > 2 && c.status == 0) {
            EXPECT_EQ(device.selected, u"Second");
        }
    }
}

TEST_F(TerminalTest, AMissingModuleFailsBeforeTheHandheldIsTouched) {
    EXPECT_EQ(run({"--install", dir.filePath("gone.bbl").toStdString(), "--to", "main"}), 1);
    EXPECT_THAT(err, HasSubstr("gone.bbl: File does not exist!"));
    EXPECT_TRUE(device.log.empty());
}

TEST_F(TerminalTest, BadUsageIsStatusTwoAndTouchesNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"--install", module},
        {"--to", "main"},
        {"--install", module, "--to"},
        {"--install", module, "--to", ""},
        {"--install", module, "--to", "main", "--to", "SD Card"},
        {"--install", module, "--to", "main", "extra"},
        {"--install", module, "--to", "main", "--handheld"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.size());
        EXPECT_EQ(run(args), 2);
        EXPECT_THAT(err, HasSubstr("Try 'trestel --help' for more information."));
        EXPECT_TRUE(device.log.empty());
    }
    const char* const window[] = {"trestel", "sample.bbl"};
    EXPECT_FALSE(Terminal::Wanted(2, window));
    const char* const terminal[] = {"trestel", "x", "--to"};
    EXPECT_TRUE(Terminal::Wanted(3, terminal));
}

TEST_F(TerminalTest, ProgressIsABarOnATerminalAndTenthsOtherwise) {
    // 40 blocks: one line at each tenth, never one per block.
    QFile f(QString::fromStdString(module));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray::fromStdString(test::pattern(40 * 4096)));
    f.close();

    ASSERT_EQ(run({"--install", module, "--to", "main"}), 0);
    const auto lines = std::count(err.begin(), err.end(), '\n');
    // Tenths 0 (block 1 of 40 is 0) to 10 of the copy and of its check, then the outcome.
    EXPECT_EQ(lines, 2 * 11 + 1) << err;
    EXPECT_THAT(err, HasSubstr("trestel: 163,840 of 163,840 bytes copied\n"));
    EXPECT_THAT(err, HasSubstr("trestel: 163,840 of 163,840 bytes checked\n"));
    EXPECT_EQ(err.find('\r'), std::string::npos);

    ASSERT_EQ(run({"--install", module, "--to", "main"}, true), 0);
    EXPECT_THAT(err, HasSubstr("\r[###############...............] 81,920 of 163,840 bytes "
                               "copied"));
    EXPECT_THAT(err, HasSubstr("\r[##############################] 163,840 of 163,840 bytes "
                               "copied\n\r[.............................."));
    EXPECT_THAT(err, HasSubstr("\r[##############################] 163,840 of 163,840 bytes "
                               "checked\ntrestel: Installation of sample.bbl is completed.\n"));
}

}  // namespace

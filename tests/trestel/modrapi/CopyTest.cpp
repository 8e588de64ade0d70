// The transfer of one module file to the handheld, against the fakes.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <functional>
#include <optional>
#include <regex>

#include "Fixture.h"
#include "TestSupport.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::u16string kTarget = u"Program Files\\Pocket Lorvex\\sample.bbl";
const QString sTarget = QString::fromStdU16String(kTarget);

class CopyTest : public ModRapiTest {
protected:
    void SetUp() override {
        ModRapiTest::SetUp();
        ASSERT_TRUE(dir.isValid());
        // Each progress call must come while the copy is flagged as running.
        window.onFloodUpdate = [this](int16_t, const QString&) {
            flagDuringUpdates &= engine().bCopying == -1;
        };
    }
    void TearDown() override {
        EXPECT_EQ(engine().bCopying, 0);
        EXPECT_TRUE(flagDuringUpdates);
        ModRapiTest::TearDown();
    }

    QString source(const std::string& data, const QString& name = "sample.bbl") {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        EXPECT_EQ(f.write(data.data(), qint64(data.size())), qint64(data.size()));
        return f.fileName();
    }
    // A file of n bytes without storing them (sparse).
    QString sparse(int64_t n, const QString& name = "huge.bbl") {
        const QString sPath = dir.filePath(name);
        const int fd = ::open(QFile::encodeName(sPath).constData(), O_CREAT | O_WRONLY, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, n), 0);
        ::close(fd);
        return sPath;
    }

    // The device's log with each temporary name written as <temp>.
    std::vector<std::string> Log() const {
        static const std::regex temporary(R"(\.~trestel-[0-9a-f]+\.tmp)");
        std::vector<std::string> out;
        for (const std::string& line : device.log) {
            out.push_back(std::regex_replace(line, temporary, "<temp>"));
        }
        return out;
    }
    // The progress updates of one pass: "copied" (the writes) or "checked" (the read-back).
    std::vector<FakeWindow::Update> Updates(const char* pass) const {
        std::vector<FakeWindow::Update> out;
        for (const auto& u : window.updates) {
            if (u.text.endsWith(QString::fromLatin1(pass))) {
                out.push_back(u);
            }
        }
        return out;
    }
    // The module folder's files besides the module: temporaries left behind.
    std::vector<std::u16string> Temporaries() const {
        std::vector<std::u16string> out;
        for (const auto& [path, content] : device.files) {
            if (path.find(u"\\.~trestel-") != std::u16string::npos) {
                out.push_back(path);
            }
        }
        return out;
    }

    QTemporaryDir dir;
    bool flagDuringUpdates = true;
};

TEST_F(CopyTest, EmptyFileMakesNoWriteButOneUpdateInEachPass) {
    engine().CopyFileToDevice(source(""), sTarget);

    EXPECT_THAT(window.log,
                ElementsAre("FloodInit(0)", "FloodUpdate(0, 0 of 0 bytes copied)", "FloodInit(0)",
                            "FloodUpdate(0, 0 of 0 bytes checked)",
                            "ShowMessage(Information, Installation of sample.bbl is completed.)",
                            "HideProgress()"));
    // Written under a temporary name, read back (nothing after its end), then put in place.
    EXPECT_THAT(Log(), ElementsAre("CeCreateDirectory(Program Files\\Pocket Lorvex\\, null)",
                                   "CeGetDiskFreeSpaceEx(Program Files\\Pocket Lorvex)",
                                   "CeCreateFile(Program Files\\Pocket Lorvex\\<temp>, 0x40000000, "
                                   "0, null, 2, 0x80, 0)",
                                   "CeCloseHandle(100)",
                                   "CeCreateFile(Program Files\\Pocket Lorvex\\<temp>, 0x80000000, "
                                   "0, null, 3, 0x80, 0)",
                                   "CeReadFile(101, 1)", "CeCloseHandle(101)",
                                   "CeMoveFile(Program Files\\Pocket Lorvex\\<temp>, Program "
                                   "Files\\Pocket Lorvex\\sample.bbl)"));
    EXPECT_TRUE(device.HasFile(kTarget));
    EXPECT_EQ(device.File(kTarget), "");
}

TEST_F(CopyTest, OneFullChunkIsTheLastChunkAndReplacesALongerFile) {
    device.files[kTarget] = std::string(50000, 'o');
    const std::string data = test::pattern(4096);
    engine().CopyFileToDevice(source(data), sTarget);

    EXPECT_THAT(device.Calls("CeWriteFile"), ElementsAre("CeWriteFile(100, 4096)"));
    EXPECT_THAT(device.Calls("CeReadFile"),
                ElementsAre("CeReadFile(101, 4096)", "CeReadFile(101, 1)"));
    EXPECT_THAT(window.inits, ElementsAre(1, 1));
    ASSERT_EQ(window.updates.size(), 2u);
    EXPECT_EQ(window.updates[0].value, 1);
    EXPECT_EQ(window.updates[0].text, "4,096 of 4,096 bytes copied");
    EXPECT_EQ(window.updates[1].text, "4,096 of 4,096 bytes checked");
    // The longer module stayed until the new one was in place, then went.
    EXPECT_THAT(Temporaries(), IsEmpty());
    EXPECT_EQ(device.File(kTarget), data);
    EXPECT_EQ(window.messages.at(0).icon, MessageIcon::Information);
    EXPECT_EQ(device.OpenHandles(), 0u);
}

TEST_F(CopyTest, TenThousandBytesInThreeWrites) {
    const std::string data = test::pattern(10000);
    engine().CopyFileToDevice(source(data), sTarget);

    EXPECT_THAT(window.log,
                ElementsAre("FloodInit(2)", "FloodUpdate(1, 4,096 of 10,000 bytes copied)",
                            "FloodUpdate(2, 8,192 of 10,000 bytes copied)",
                            "FloodUpdate(2, 10,000 of 10,000 bytes copied)", "FloodInit(2)",
                            "FloodUpdate(1, 4,096 of 10,000 bytes checked)",
                            "FloodUpdate(2, 8,192 of 10,000 bytes checked)",
                            "FloodUpdate(2, 10,000 of 10,000 bytes checked)",
                            "ShowMessage(Information, Installation of sample.bbl is completed.)",
                            "HideProgress()"));
    EXPECT_THAT(
        device.Calls("CeWriteFile"),
        ElementsAre("CeWriteFile(100, 4096)", "CeWriteFile(100, 4096)", "CeWriteFile(100, 1808)"));
    EXPECT_THAT(device.Calls("CeReadFile"),
                ElementsAre("CeReadFile(101, 4096)", "CeReadFile(101, 4096)",
                            "CeReadFile(101, 1808)", "CeReadFile(101, 1)"));
    EXPECT_EQ(device.File(kTarget), data);
    EXPECT_EQ(device.Count("CeCloseHandle"), 2);
    EXPECT_EQ(device.Count("CeDeleteFile"), 0);
}

TEST_F(CopyTest, ALargeFileArrivesWhole) {
    // Past the size from which the image is held in huge pages, and not a multiple of them.
    const std::string data = test::pattern((size_t(3) << 20) + 1234, 5);
    engine().CopyFileToDevice(source(data), sTarget);

    EXPECT_EQ(device.Count("CeWriteFile"), 769);
    EXPECT_EQ(device.Count("CeReadFile"), 770);
    EXPECT_TRUE(device.File(kTarget) == data);
    EXPECT_EQ(Updates("copied").back().text, "3,146,962 of 3,146,962 bytes copied");
    EXPECT_EQ(window.updates.back().text, "3,146,962 of 3,146,962 bytes checked");
}

TEST_F(CopyTest, TextsFollowTheDesktopNameAndTheLocalesSeparator) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    engine().CopyFileToDevice(source(test::pattern(10000), "Atlas Lorvex.map"),
                              "SD\\Pocket Lorvex\\other.map");

    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, "Installation of Atlas Lorvex.map is completed.");
    EXPECT_TRUE(device.folders.count(u"SD\\Pocket Lorvex\\"));
    ASSERT_EQ(window.updates.size(), 6u);
    EXPECT_EQ(window.updates[2].text, "10.000 of 10.000 bytes copied");
    EXPECT_EQ(window.updates[5].text, "10.000 of 10.000 bytes checked");
}

TEST_F(CopyTest, CreateErrorsShowTheirMessageAndTouchNothingElse) {
    const std::pair<RAPI_DWORD, const char*> cases[] = {
        {3, "The system cannot find the path specified."},
        {19, "The media is write protected."},
        {112, "There is not enough space on the disk."},
        {5, "An unknown error occurred."},
        {80, "An unknown error occurred."},
    };
    const QString sSource = source(test::pattern(9000));
    for (const auto& [code, text] : cases) {
        SCOPED_TRACE(code);
        device.log.clear();
        window.log.clear();
        device.createError = code;

        engine().CopyFileToDevice(sSource, sTarget);

        EXPECT_THAT(window.log,
                    ElementsAre("FloodInit(2)", "ShowMessage(Error, " + std::string(text) + ")",
                                "HideProgress()"));
        EXPECT_THAT(device.log,
                    ElementsAre(::testing::StartsWith("CeCreateDirectory("),
                                ::testing::StartsWith("CeGetDiskFreeSpaceEx("),
                                ::testing::StartsWith("CeCreateFile("), "CeGetLastError()"));
        EXPECT_EQ(engine().bCopying, 0);
    }
}

const QString kFailure10000 =
    "Installation of sample.bbl has failed!  An error occurred during installation.  Make sure "
    "there is enough memory to accommodate a file that is 10,000 bytes.";
const QString kLinkLost =
    "Installation of sample.bbl has failed!  The connection to the handheld was lost during the "
    "copy.  Make sure the handheld is attached, then connect and copy again.";

TEST_F(CopyTest, AFailedWriteInTheMiddleRemovesTheTemporaryBeforeTheMessage) {
    device.writeScript = [](int nth, RAPI_DWORD n) {
        return nth == 2 ? FakeDevice::WriteReply{0, 0} : FakeDevice::WriteReply{1, n};
    };
    std::vector<std::string> logAtMessage;
    window.onShowMessage = [&](const QString&) { logAtMessage = Log(); };

    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);

    EXPECT_THAT(
        window.log,
        ElementsAre("FloodInit(2)", "FloodUpdate(1, 4,096 of 10,000 bytes copied)",
                    "FloodUpdate(1, 4,096 of 10,000 bytes copied)",
                    "ShowMessage(Error, " + kFailure10000.toStdString() + ")", "HideProgress()"));
    EXPECT_THAT(device.Calls("CeWriteFile"),
                ElementsAre("CeWriteFile(100, 4096)", "CeWriteFile(100, 4096)"));
    // Closed before it is deleted, so that the delete can succeed; both before the message.
    ASSERT_GE(logAtMessage.size(), 2u);
    EXPECT_EQ(logAtMessage[logAtMessage.size() - 2], "CeCloseHandle(100)");
    EXPECT_EQ(logAtMessage.back(), "CeDeleteFile(Program Files\\Pocket Lorvex\\<temp>)");
    EXPECT_EQ(Log(), logAtMessage);
    EXPECT_FALSE(device.HasFile(kTarget));
    EXPECT_THAT(Temporaries(), IsEmpty());
}

TEST_F(CopyTest, ATemporaryThatCannotBeDeletedNowGoesAtTheNextConnect) {
    // The first write of each copy is taken, the second fails.
    device.writeScript = [](int nth, RAPI_DWORD n) {
        return nth % 2 == 0 ? FakeDevice::WriteReply{0, 0} : FakeDevice::WriteReply{1, n};
    };
    device.deleteError = ERROR_DEVICE_NOT_CONNECTED;
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    // Never under the module's name; each copy's own temporary is remembered once.
    EXPECT_FALSE(device.HasFile(kTarget));
    ASSERT_EQ(Temporaries().size(), 2u);
    EXPECT_EQ(engine().LeftOnDevice().size(), 2);

    // A connect that fails deletes nothing; the next one that succeeds deletes them.
    device.initOutcome = E_FAIL_HR;
    EXPECT_EQ(engine().RapiConnect(), 0);
    EXPECT_EQ(device.Count("CeDeleteFile"), 2);
    device.initOutcome = 0;
    device.deleteError = 0;
    EXPECT_EQ(engine().RapiConnect(), -1);
    EXPECT_THAT(Temporaries(), IsEmpty());
    EXPECT_THAT(engine().LeftOnDevice(), IsEmpty());

    // A file already gone is forgotten too.
    device.deleteError = ERROR_DEVICE_NOT_CONNECTED;
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    device.deleteError = ERROR_FILE_NOT_FOUND;
    EXPECT_EQ(engine().RapiConnect(), -1);
    EXPECT_THAT(engine().LeftOnDevice(), IsEmpty());
}

TEST_F(CopyTest, TemporariesOfAnyInstallerAreRemovedWhenTheFoldersAreFound) {
    const std::u16string stale = u"SD\\Pocket Lorvex\\.~trestel-0123abcd.tmp";
    const std::u16string other = u"Program Files\\Pocket Lorvex\\.~trestel-99.tmp";
    device.rootEntries = {{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY, u"SD"}};
    device.files = {{stale, "half"},
                    {other, "half"},
                    {u"SD\\Pocket Lorvex\\a.bbl", "module"},
                    {u"SD\\Pocket Lorvex\\sub\\.~trestel-1.tmp", "not in a module folder"},
                    // Set aside by installs killed before the new module took the name: back
                    // under a free name, gone where the new one is in place.
                    {u"SD\\Pocket Lorvex\\b.bbl.~trestel-old", "old b"},
                    {u"SD\\Pocket Lorvex\\a.bbl.~trestel-old", "old a"}};

    EXPECT_EQ(engine().FindModuleFolders(), -1);

    EXPECT_EQ(device.File(u"SD\\Pocket Lorvex\\b.bbl"), "old b");
    EXPECT_FALSE(device.HasFile(u"SD\\Pocket Lorvex\\b.bbl.~trestel-old"));
    EXPECT_FALSE(device.HasFile(u"SD\\Pocket Lorvex\\a.bbl.~trestel-old"));

    EXPECT_FALSE(device.HasFile(stale));
    EXPECT_FALSE(device.HasFile(other));
    EXPECT_EQ(device.File(u"SD\\Pocket Lorvex\\a.bbl"), "module");
    EXPECT_TRUE(device.HasFile(u"SD\\Pocket Lorvex\\sub\\.~trestel-1.tmp"));
}

TEST_F(CopyTest, AModuleThatCannotFitFailsBeforeTheFirstWrite) {
    struct Case {
        const char* name;
        std::function<void(FakeDevice&)> arrange;
        bool copied;
    };
    const Case cases[] = {
        {"one byte short", [](FakeDevice& d) { d.diskFree = 9999; }, false},
        {"just fits", [](FakeDevice& d) { d.diskFree = 10000; }, true},
        {"the handheld can't tell",
         [](FakeDevice& d) {
             d.diskFree = 0;
             d.diskFreeError = ERROR_CALL_NOT_IMPLEMENTED;
         },
         true},
        {"the call isn't there",
         [](FakeDevice& d) {
             d.diskFree = 0;
             d.failures.ThrowOn("CeGetDiskFreeSpaceEx");
         },
         true},
    };
    const QString sSource = source(test::pattern(10000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevice fresh;
        fresh.files[kTarget] = "old";
        c.arrange(fresh);
        Bind(&window, &fresh, &waiter);
        window.messages.clear();

        engine().CopyFileToDevice(sSource, sTarget);

        ASSERT_EQ(window.messages.size(), 1u);
        if (c.copied) {
            EXPECT_EQ(window.messages[0].text, "Installation of sample.bbl is completed.");
            EXPECT_EQ(fresh.File(kTarget), test::pattern(10000));
        } else {
            EXPECT_EQ(window.messages[0].text, "There is not enough space on the disk.");
            EXPECT_EQ(fresh.Count("CeCreateFile"), 0);
            EXPECT_EQ(fresh.File(kTarget), "old");
        }
        EXPECT_EQ(engine().FreeSpace("Program Files\\Pocket Lorvex\\"),
                  c.copied && fresh.diskFree == 0 ? std::nullopt
                                                  : std::optional<uint64_t>(fresh.diskFree));
    }
}

TEST_F(CopyTest, ShortWritesResumeAtTheFirstByteNotTaken) {
    const std::string data = test::pattern(10000, 3);
    device.writeScript = [](int nth, RAPI_DWORD n) {
        return FakeDevice::WriteReply{1, nth % 2 == 1 ? n / 3 + 1 : n};
    };

    engine().CopyFileToDevice(source(data), sTarget);

    EXPECT_EQ(device.File(kTarget), data);
    EXPECT_EQ(window.messages.at(0).icon, MessageIcon::Information);
    for (const auto& call : device.Calls("CeWriteFile")) {
        const int n = std::stoi(call.substr(call.find(", ") + 2));
        EXPECT_GT(n, 0);
        EXPECT_LE(n, 4096);
    }
    EXPECT_EQ(Updates("copied").back().text, "10,000 of 10,000 bytes copied");
    EXPECT_EQ(Updates("copied").size(), static_cast<std::size_t>(device.Count("CeWriteFile")));
}

TEST_F(CopyTest, EveryFailureRemovesTheTemporaryAndKeepsTheOldModule) {
    using Reply = FakeDevice::WriteReply;
    struct Case {
        const char* name;
        std::function<void(FakeDevice&)> arrange;
        int writes;
        const QString& message;
    };
    // The nth call of name runs then.
    const auto onNth = [](const std::string& name, int nth, std::function<void(FakeDevice&)> then) {
        return [=](FakeDevice& d) {
            d.onCall = [&d, name, nth, then](const std::string& called) {
                if (called == name && d.Count(name) == nth) {
                    then(d);
                }
            };
        };
    };
    const Case cases[] = {
        {"close fails", [](FakeDevice& d) { d.closeResult = 0; }, 3, kFailure10000},
        // Non-zero low bits are success; 0x10000 has none.
        {"only the low 16 bits count",
         [](FakeDevice& d) {
             d.writeScript = [](int nth, RAPI_DWORD n) {
                 return Reply{nth == 1 ? -1 : nth == 2 ? 2 : 0x10000, n};
             };
         },
         3, kFailure10000},
        {"write takes nothing",
         [](FakeDevice& d) { d.writeScript = [](int, RAPI_DWORD) {
                                 return Reply{1, 0};
                             }; }, 1,
         kFailure10000},
        {"write takes too much",
         [](FakeDevice& d) { d.writeScript = [](int, RAPI_DWORD) {
                                 return Reply{1, 4097};
                             }; }, 1,
         kFailure10000},
        // What the handheld holds is read back: a byte changed on the card fails the install.
        {"read back differs",
         onNth("CeReadFile", 2,
               [](FakeDevice& d) {
                   for (auto& [path, content] : d.files) {
                       if (path.find(u".~trestel-") != std::u16string::npos) {
                           content[5000] ^= 1;
                       }
                   }
               }),
         3, kFailure10000},
        {"read back is short",
         onNth("CeReadFile", 1,
               [](FakeDevice& d) {
                   for (auto& [path, content] : d.files) {
                       if (path.find(u".~trestel-") != std::u16string::npos) {
                           content.resize(9000);
                       }
                   }
               }),
         3, kFailure10000},
        {"read back is longer",
         onNth("CeReadFile", 1,
               [](FakeDevice& d) {
                   for (auto& [path, content] : d.files) {
                       if (path.find(u".~trestel-") != std::u16string::npos) {
                           content += "x";
                       }
                   }
               }),
         3, kFailure10000},
        {"read back can't open",
         onNth("CeCreateFile", 2, [](FakeDevice& d) { d.createError = ERROR_ACCESS_DENIED; }), 3,
         kFailure10000},
        {"move refused", [](FakeDevice& d) { d.moveError = ERROR_ACCESS_DENIED; }, 3,
         kFailure10000},
        // Transport failures: the link, not the memory.
        {"write throws", [](FakeDevice& d) { d.failures.ThrowOn("CeWriteFile", 2); }, 2, kLinkLost},
        {"write fails with the link gone",
         [](FakeDevice& d) {
             d.writeError = ERROR_DEVICE_NOT_CONNECTED;
             d.writeScript = [](int nth, RAPI_DWORD n) { return Reply{nth == 2 ? 0 : 1, n}; };
         },
         2, kLinkLost},
        {"read throws", [](FakeDevice& d) { d.failures.ThrowOn("CeReadFile", 2); }, 3, kLinkLost},
        {"move with the link gone", [](FakeDevice& d) { d.moveError = ERROR_DEVICE_NOT_CONNECTED; },
         3, kLinkLost},
    };
    const QString sSource = source(test::pattern(10000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevice fresh;
        fresh.files[kTarget] = "old module";
        c.arrange(fresh);
        Bind(&window, &fresh, &waiter);
        window.messages.clear();
        bool bTemporaryAtMessage = true;
        window.onShowMessage = [&](const QString&) {
            bTemporaryAtMessage = std::any_of(fresh.files.begin(), fresh.files.end(), [](auto& f) {
                return f.first.find(u".~trestel-") != std::u16string::npos;
            });
        };

        engine().CopyFileToDevice(sSource, sTarget);

        EXPECT_EQ(fresh.Count("CeWriteFile"), c.writes);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].text, c.message);
        EXPECT_FALSE(bTemporaryAtMessage) << "the temporary was still there at the message";
        EXPECT_EQ(fresh.File(kTarget), "old module");
        EXPECT_EQ(fresh.files.size(), 1u);
        EXPECT_FALSE(engine().LastCopyCompleted());
        EXPECT_EQ(engine().bCopying, 0);
    }
}

TEST_F(CopyTest, AStopEndsAfterTheCurrentBlockWithoutAMessage) {
    device.files[kTarget] = "old module";
    for (const char* pass : {"copied", "checked"}) {
        SCOPED_TRACE(pass);
        window.messages.clear();
        window.onFloodUpdate = [&](int16_t, const QString& sText) {
            if (sText.endsWith(QString::fromLatin1(pass))) {
                engine().RequestStop();
            }
        };
        const int nWrites = device.Count("CeWriteFile");

        engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);

        EXPECT_EQ(device.Count("CeWriteFile") - nWrites, std::string(pass) == "copied" ? 1 : 3);
        EXPECT_THAT(window.messages, IsEmpty());
        EXPECT_EQ(device.File(kTarget), "old module");
        EXPECT_THAT(Temporaries(), IsEmpty());
        EXPECT_FALSE(engine().LastCopyCompleted());
    }
    // The next copy is not stopped by the last one's request.
    window.onFloodUpdate = nullptr;
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    EXPECT_TRUE(engine().LastCopyCompleted());
    EXPECT_EQ(device.File(kTarget), test::pattern(10000));
}

TEST_F(CopyTest, AnUnreadableSourceLeavesTheHandheldUntouched) {
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.bbl"));
    ASSERT_EQ(mkfifo(QFile::encodeName(dir.filePath("pipe.bbl")).constData(), 0600), 0);
    const QString sLocked = source("secret", "locked.bbl");
    ASSERT_EQ(chmod(QFile::encodeName(sLocked).constData(), 0), 0);
    const bool bRoot = geteuid() == 0;

    for (const QString& sPath : {dir.filePath("missing.bbl"), dir.filePath("folder.bbl"),
                                 dir.filePath("pipe.bbl"), sLocked, QString()}) {
        if (sPath == sLocked && bRoot) {
            continue;  // root reads it anyway
        }
        SCOPED_TRACE(sPath.toStdString());
        window.log.clear();
        window.messages.clear();

        engine().CopyFileToDevice(sPath, sTarget);

        EXPECT_THAT(device.log, IsEmpty());
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].icon, MessageIcon::Error);
        EXPECT_TRUE(window.messages[0].text.startsWith("Installation of "));
        EXPECT_TRUE(window.messages[0].text.contains("has failed!"));
        EXPECT_TRUE(window.messages[0].text.contains("The file " + sPath + " cannot be"));
        EXPECT_THAT(window.inits, IsEmpty());
        EXPECT_THAT(window.updates, IsEmpty());
        EXPECT_EQ(window.log.back(), "HideProgress()");
    }
}

TEST_F(CopyTest, AFileOfTwoGibibytesIsRefusedBeforeAnythingIsTouched) {
    const QString sHuge = sparse(int64_t(1) << 31);

    engine().CopyFileToDevice(sHuge, sTarget);

    EXPECT_THAT(device.log, IsEmpty());
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].icon, MessageIcon::Error);
    EXPECT_EQ(window.messages[0].text,
              "Installation of huge.bbl has failed!  The file " + sHuge +
                  " is 2,147,483,648 bytes long; files of 2,147,483,648 bytes or more cannot be "
                  "installed.");
    EXPECT_THAT(window.log.back(), "HideProgress()");
}

TEST_F(CopyTest, FilesOf128MiBAndMoreCountTheBarInLargerUnits) {
    // 128 MiB and one chunk: 32,769 blocks don't fit the bar's 16 bits, so a unit is two blocks.
    device.keepContent = false;
    const int64_t n = int64_t(134217728) + 4096;

    engine().CopyFileToDevice(sparse(n), sTarget);

    ASSERT_EQ(window.inits.size(), 2u);
    EXPECT_EQ(window.inits[0], 16384);
    EXPECT_EQ(window.inits[1], 16384);
    EXPECT_EQ(device.Count("CeWriteFile"), 32769);
    // One update per write and per read, none above the scale, so each one lets the window
    // handle its input.
    ASSERT_EQ(window.updates.size(), 2 * 32769u);
    EXPECT_EQ(window.updates.front().value, 0);
    EXPECT_EQ(window.updates.front().text, "4,096 of 134,221,824 bytes copied");
    EXPECT_EQ(window.updates.back().value, 16384);
    EXPECT_EQ(window.updates.back().text, "134,221,824 of 134,221,824 bytes checked");
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, "Installation of huge.bbl is completed.");
}

TEST_F(CopyTest, ByteCountsAreGroupedByThreesWhateverTheLocalesGrouping) {
    // en_IN would group as 1,00,00,000 and de_DE uses a dot: the picture is groups of three
    // with the locale's separator.
    device.keepContent = false;
    const QString sSource = sparse(10000000);
    for (const auto& [locale, expected] :
         {std::pair{QLocale(QLocale::English, QLocale::India), "10,000,000 of 10,000,000"},
          std::pair{QLocale(QLocale::German, QLocale::Germany), "10.000.000 of 10.000.000"}}) {
        QLocale::setDefault(locale);
        window.updates.clear();
        engine().CopyFileToDevice(sSource, sTarget);
        ASSERT_FALSE(window.updates.empty());
        EXPECT_EQ(Updates("copied").back().text, QString::fromLatin1(expected) + " bytes copied");
    }
}

TEST_F(CopyTest, FailingWindowCallsAreSkippedAndNeverEscape) {
    const std::string data = test::pattern(10000);
    for (const char* name : {"FloodInit", "FloodUpdate", "ShowMessage", "HideProgress"}) {
        window.failures.ThrowOn(name);
    }

    EXPECT_NO_THROW(engine().CopyFileToDevice(source(data), sTarget));

    EXPECT_EQ(device.File(kTarget), data);
    EXPECT_EQ(window.Count("FloodUpdate"), 3 + 3);
    EXPECT_EQ(window.Count("ShowMessage"), 1);
    EXPECT_EQ(window.Count("HideProgress"), 1);

    // Anything thrown from the window ends the copy with the flag cleared.
    window.onFloodUpdate = [](int16_t, const QString&) { throw std::bad_alloc(); };
    window.failures = FailureScript();
    EXPECT_NO_THROW(engine().CopyFileToDevice(source(test::pattern(5000)), sTarget));
    EXPECT_EQ(device.Count("CeWriteFile"), 3 + 2);
    EXPECT_FALSE(window.progressVisible);
}

TEST_F(CopyTest, EveryDeviceCallMayThrowWithoutEscaping) {
    const QString kCompleted = "Installation of sample.bbl is completed.";
    const QString kLinkLost9000 =
        "Installation of sample.bbl has failed!  The connection to the handheld was lost during "
        "the copy.  Make sure the handheld is attached, then connect and copy again.";
    const std::pair<const char*, QString> cases[] = {
        {"CeCreateDirectory", kCompleted},
        {"CeGetDiskFreeSpaceEx", kCompleted},
        {"CeCreateFile", "An unknown error occurred."},
        {"CeGetLastError", kCompleted},
        {"CeWriteFile", kLinkLost9000},
        {"CeCloseHandle", kLinkLost9000},
        {"CeReadFile", kLinkLost9000},
        {"CeMoveFile", kLinkLost9000},
        {"CeDeleteFile", kCompleted},
    };
    const QString sSource = source(test::pattern(9000));
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        device.failures = FailureScript();
        device.failures.ThrowOn(name);
        window.log.clear();
        window.messages.clear();

        EXPECT_NO_THROW(engine().CopyFileToDevice(sSource, sTarget));

        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].text, text);
        EXPECT_EQ(window.log.back(), "HideProgress()");
        EXPECT_EQ(engine().bCopying, 0);
    }
}

}  // namespace

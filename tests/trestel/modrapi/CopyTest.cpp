// The transfer of one module file to the handheld, against the fakes.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <functional>

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

    QTemporaryDir dir;
    bool flagDuringUpdates = true;
};

TEST_F(CopyTest, EmptyFileMakesNoWriteButOneUpdate) {
    engine().CopyFileToDevice(source(""), sTarget);

    EXPECT_THAT(window.log,
                ElementsAre("FloodInit(0)", "FloodUpdate(0, 0 of 0 bytes copied)",
                            "ShowMessage(Information, Installation of sample.bbl is completed.)",
                            "HideProgress()"));
    EXPECT_THAT(device.log,
                ElementsAre("CeCreateDirectory(Program Files\\Pocket Lorvex\\, null)",
                            "CeCreateFile(Program Files\\Pocket Lorvex\\sample.bbl, 0x40000000, 0, "
                            "null, 2, 0x80, 0)",
                            "CeCloseHandle(100)"));
    EXPECT_TRUE(device.HasFile(kTarget));
    EXPECT_EQ(device.File(kTarget), "");
}

TEST_F(CopyTest, OneFullChunkIsTheLastChunkAndReplacesALongerFile) {
    device.files[kTarget] = std::string(50000, 'o');
    const std::string data = test::pattern(4096);
    engine().CopyFileToDevice(source(data), sTarget);

    EXPECT_THAT(device.Calls("CeWriteFile"), ElementsAre("CeWriteFile(100, 4096)"));
    EXPECT_THAT(window.inits, ElementsAre(1));
    ASSERT_EQ(window.updates.size(), 1u);
    EXPECT_EQ(window.updates[0].value, 1);
    EXPECT_EQ(window.updates[0].text, "4,096 of 4,096 bytes copied");
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
                            "FloodUpdate(2, 10,000 of 10,000 bytes copied)",
                            "ShowMessage(Information, Installation of sample.bbl is completed.)",
                            "HideProgress()"));
    EXPECT_THAT(
        device.Calls("CeWriteFile"),
        ElementsAre("CeWriteFile(100, 4096)", "CeWriteFile(100, 4096)", "CeWriteFile(100, 1808)"));
    EXPECT_EQ(device.File(kTarget), data);
    EXPECT_EQ(device.Count("CeCloseHandle"), 1);
    EXPECT_EQ(device.Count("CeDeleteFile"), 0);
}

TEST_F(CopyTest, ALargeFileArrivesWhole) {
    // Past the size from which the image is held in huge pages, and not a multiple of them.
    const std::string data = test::pattern((size_t(3) << 20) + 1234, 5);
    engine().CopyFileToDevice(source(data), sTarget);

    EXPECT_EQ(device.Count("CeWriteFile"), 769);
    EXPECT_TRUE(device.File(kTarget) == data);
    EXPECT_EQ(window.updates.back().text, "3,146,962 of 3,146,962 bytes copied");
}

TEST_F(CopyTest, TextsFollowTheDesktopNameAndTheLocalesSeparator) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    engine().CopyFileToDevice(source(test::pattern(10000), "Atlas Lorvex.map"),
                              "SD\\Pocket Lorvex\\other.map");

    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, "Installation of Atlas Lorvex.map is completed.");
    EXPECT_TRUE(device.folders.count(u"SD\\Pocket Lorvex\\"));
    ASSERT_EQ(window.updates.size(), 3u);
    EXPECT_EQ(window.updates[2].text, "10.000 of 10.000 bytes copied");
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
                                ::testing::StartsWith("CeCreateFile("), "CeGetLastError()"));
        EXPECT_EQ(engine().bCopying, 0);
    }
}

const QString kFailure10000 =
    "Installation of sample.bbl has failed!  An error occurred during installation.  Make sure "
    "there is enough memory to accommodate a file that is 10,000 bytes.";

TEST_F(CopyTest, AFailedWriteInTheMiddleRemovesThePartialFile) {
    device.writeScript = [](int nth, RAPI_DWORD n) {
        return nth == 2 ? FakeDevice::WriteReply{0, 0} : FakeDevice::WriteReply{1, n};
    };

    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);

    EXPECT_THAT(
        window.log,
        ElementsAre("FloodInit(2)", "FloodUpdate(1, 4,096 of 10,000 bytes copied)",
                    "FloodUpdate(1, 4,096 of 10,000 bytes copied)",
                    "ShowMessage(Error, " + kFailure10000.toStdString() + ")", "HideProgress()"));
    EXPECT_THAT(device.Calls("CeWriteFile"),
                ElementsAre("CeWriteFile(100, 4096)", "CeWriteFile(100, 4096)"));
    // Closed before it is deleted, so that the delete can succeed.
    EXPECT_EQ(device.log.at(device.log.size() - 2), "CeCloseHandle(100)");
    EXPECT_EQ(device.log.back(), "CeDeleteFile(Program Files\\Pocket Lorvex\\sample.bbl)");
    EXPECT_FALSE(device.HasFile(kTarget));
}

TEST_F(CopyTest, APartialFileThatCannotBeDeletedNowGoesAtTheNextConnect) {
    // The first write of each copy is taken, the second fails.
    device.writeScript = [](int nth, RAPI_DWORD n) {
        return nth % 2 == 0 ? FakeDevice::WriteReply{0, 0} : FakeDevice::WriteReply{1, n};
    };
    device.deleteError = ERROR_DEVICE_NOT_CONNECTED;
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    EXPECT_THAT(engine().LeftOnDevice(), ElementsAre(sTarget));  // once, however often it failed

    // A connect that fails deletes nothing; the next one that succeeds deletes it.
    device.initOutcome = E_FAIL_HR;
    EXPECT_EQ(engine().RapiConnect(), 0);
    EXPECT_EQ(device.Count("CeDeleteFile"), 2);
    device.initOutcome = 0;
    device.deleteError = 0;
    EXPECT_EQ(engine().RapiConnect(), -1);
    EXPECT_FALSE(device.HasFile(kTarget));
    EXPECT_THAT(engine().LeftOnDevice(), IsEmpty());

    // A file already gone is forgotten too; a copy that completes forgets its target.
    device.deleteError = ERROR_DEVICE_NOT_CONNECTED;
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    device.deleteError = ERROR_FILE_NOT_FOUND;
    EXPECT_EQ(engine().RapiConnect(), -1);
    EXPECT_THAT(engine().LeftOnDevice(), IsEmpty());
    device.deleteError = ERROR_DEVICE_NOT_CONNECTED;
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    device.writeScript = nullptr;
    engine().CopyFileToDevice(source(test::pattern(10000)), sTarget);
    EXPECT_THAT(engine().LeftOnDevice(), IsEmpty());
    EXPECT_EQ(engine().RapiConnect(), -1);
    EXPECT_TRUE(device.HasFile(kTarget));
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
    EXPECT_EQ(window.updates.back().text, "10,000 of 10,000 bytes copied");
    EXPECT_EQ(window.updates.size(), static_cast<std::size_t>(device.Count("CeWriteFile")));
}

TEST_F(CopyTest, WritesOrACloseThatFailInAnyWayFailTheWholeCopy) {
    using Reply = FakeDevice::WriteReply;
    struct Case {
        const char* name;
        std::function<void(FakeDevice&)> arrange;
        int writes;
    };
    const Case cases[] = {
        {"close fails", [](FakeDevice& d) { d.closeResult = 0; }, 3},
        // Non-zero low bits are success; 0x10000 has none.
        {"only the low 16 bits count",
         [](FakeDevice& d) {
             d.writeScript = [](int nth, RAPI_DWORD n) {
                 return Reply{nth == 1 ? -1 : nth == 2 ? 2 : 0x10000, n};
             };
         },
         3},
        // Fails the copy instead of leaving a hole.
        {"write throws", [](FakeDevice& d) { d.failures.ThrowOn("CeWriteFile", 2); }, 2},
        {"write takes nothing",
         [](FakeDevice& d) { d.writeScript = [](int, RAPI_DWORD) {
                                 return Reply{1, 0};
                             }; }, 1},
        {"write takes too much",
         [](FakeDevice& d) { d.writeScript = [](int, RAPI_DWORD) {
                                 return Reply{1, 4097};
                             }; }, 1},
    };
    const QString sSource = source(test::pattern(10000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevice fresh;
        c.arrange(fresh);
        Bind(&window, &fresh, &waiter);
        window.messages.clear();

        engine().CopyFileToDevice(sSource, sTarget);

        EXPECT_EQ(fresh.Count("CeWriteFile"), c.writes);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].text, kFailure10000);
        EXPECT_EQ(fresh.log.back(), "CeDeleteFile(Program Files\\Pocket Lorvex\\sample.bbl)");
        EXPECT_FALSE(fresh.HasFile(kTarget));
        EXPECT_EQ(engine().bCopying, 0);
    }
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

    ASSERT_EQ(window.inits.size(), 1u);
    EXPECT_EQ(window.inits[0], 16384);
    EXPECT_EQ(device.Count("CeWriteFile"), 32769);
    // One update per write, none above the scale, so each one lets the window handle its input.
    ASSERT_EQ(window.updates.size(), 32769u);
    EXPECT_EQ(window.updates.front().value, 0);
    EXPECT_EQ(window.updates.front().text, "4,096 of 134,221,824 bytes copied");
    EXPECT_EQ(window.updates.back().value, 16384);
    EXPECT_EQ(window.updates.back().text, "134,221,824 of 134,221,824 bytes copied");
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
        EXPECT_EQ(window.updates.back().text, QString::fromLatin1(expected) + " bytes copied");
    }
}

TEST_F(CopyTest, FailingWindowCallsAreSkippedAndNeverEscape) {
    const std::string data = test::pattern(10000);
    for (const char* name : {"FloodInit", "FloodUpdate", "ShowMessage", "HideProgress"}) {
        window.failures.ThrowOn(name);
    }

    EXPECT_NO_THROW(engine().CopyFileToDevice(source(data), sTarget));

    EXPECT_EQ(device.File(kTarget), data);
    EXPECT_EQ(window.Count("FloodUpdate"), 3);
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
    const std::pair<const char*, QString> cases[] = {
        {"CeCreateDirectory", "Installation of sample.bbl is completed."},
        {"CeCreateFile", "An unknown error occurred."},
        {"CeGetLastError", "Installation of sample.bbl is completed."},
        {"CeWriteFile",
         "Installation of sample.bbl has failed!  An error occurred during installation.  Make "
         "sure there is enough memory to accommodate a file that is 9,000 bytes."},
        {"CeCloseHandle",
         "Installation of sample.bbl has failed!  An error occurred during installation.  Make "
         "sure there is enough memory to accommodate a file that is 9,000 bytes."},
        {"CeDeleteFile", "Installation of sample.bbl is completed."},
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

// The device module end to end against the built-in emulated handheld in a temporary folder.

#include <gmock/gmock.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>

#include "Fixture.h"
#include "TestSupport.h"

using ::testing::ElementsAre;

namespace {

// One handheld root for the whole process: the device takes its root from the environment
// when it is first used.
const QString& deviceRoot() {
    static QTemporaryDir* dir = [] {
        auto* d = new QTemporaryDir;
        setenv("TRESTEL_DEVICE", QFile::encodeName(d->filePath("handheld")).constData(), 1);
        return d;
    }();
    static const QString root = dir->filePath("handheld");
    return root;
}

class EmulatedHandheldTest : public ::testing::Test, public EngineHolder {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale::c());
        ASSERT_TRUE(source.isValid());
        QDir(root).removeRecursively();
        QDir(root + ".away").removeRecursively();
        ASSERT_TRUE(QDir().mkpath(root + "/Program Files"));
        Bind(&window, nullptr, nullptr, 2000);
    }
    void TearDown() override {
        engine().RapiDisconnect();
        EXPECT_EQ(engine().bCopying, 0);
        engine_.reset();
    }

    void write(const QString& path, const QByteArray& data) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    void card(const QString& name, const QByteArray& settings = {}) {
        write(root + "/" + name + "/.storage-card", settings);
    }
    QString module(const std::string& data, const QString& name = "sample.bbl") {
        const QString path = source.filePath(name);
        write(path, QByteArray::fromStdString(data));
        return path;
    }
    QByteArray onDevice(const QString& relative) const {
        QFile f(root + "/" + relative);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool existsOnDevice(const QString& relative) const {
        return QFile::exists(root + "/" + relative);
    }
    QString lastMessage() const {
        return window.messages.empty() ? QString() : window.messages.back().text;
    }

    const QString& root = deviceRoot();
    QTemporaryDir source;
    FakeWindow window;
};

TEST_F(EmulatedHandheldTest, ConnectsListsCardsCopiesIntoANewCardFolderAndReplaces) {
    card("SD Card");
    ASSERT_TRUE(QDir().mkpath(root + "/My Documents"));
    ASSERT_EQ(engine().RapiConnect(), -1);

    engine().FindModuleFolders();
    ASSERT_THAT(window.folders, ElementsAre("SD Card\\Pocket Lorvex"));

    const std::string data = test::pattern(10000);
    engine().CopyFileToDevice(module(data), "SD Card\\Pocket Lorvex\\sample.bbl");

    EXPECT_EQ(lastMessage(), "Installation of sample.bbl is completed.");
    EXPECT_EQ(onDevice("SD Card/Pocket Lorvex/sample.bbl").toStdString(), data);
    // The copy and its read-back.
    EXPECT_THAT(window.inits, ElementsAre(2, 2));
    EXPECT_EQ(window.updates.size(), 6u);
    EXPECT_EQ(QDir(root + "/SD Card/Pocket Lorvex").entryList(QDir::Files | QDir::Hidden),
              QStringList("sample.bbl"));

    // A shorter module replaces a longer file in main memory, one that is a hard link to a
    // file outside the handheld: that file stays as it was.
    const QString outside = source.filePath("outside.bbl");
    write(outside, QByteArray(30000, 'o'));
    ASSERT_TRUE(QDir().mkpath(root + "/Program Files/Pocket Lorvex"));
    ASSERT_EQ(
        ::link(QFile::encodeName(outside).constData(),
               QFile::encodeName(root + "/Program Files/Pocket Lorvex/sample.bbl").constData()),
        0);
    const std::string shorter = test::pattern(4096);
    engine().CopyFileToDevice(module(shorter), "Program Files\\Pocket Lorvex\\sample.bbl");
    EXPECT_EQ(lastMessage(), "Installation of sample.bbl is completed.");
    EXPECT_EQ(onDevice("Program Files/Pocket Lorvex/sample.bbl").toStdString(), shorter);
    QFile left(outside);
    ASSERT_TRUE(left.open(QIODevice::ReadOnly));
    EXPECT_EQ(left.readAll(), QByteArray(30000, 'o'));
}

TEST_F(EmulatedHandheldTest, AMissingParentFolderIsReportedAndNothingIsMade) {
    ASSERT_EQ(engine().RapiConnect(), -1);

    engine().CopyFileToDevice(module(test::pattern(100)), "Gone Card\\Pocket Lorvex\\sample.bbl");

    EXPECT_EQ(lastMessage(), "The system cannot find the path specified.");
    EXPECT_FALSE(existsOnDevice("Gone Card"));
}

TEST_F(EmulatedHandheldTest, AModuleTooLargeForTheCardIsRefusedBeforeAnyWrite) {
    card("Small", "capacity=8K\n");
    ASSERT_EQ(engine().RapiConnect(), -1);

    engine().CopyFileToDevice(module(test::pattern(20000)), "Small\\Pocket Lorvex\\sample.bbl");

    EXPECT_EQ(lastMessage(), "There is not enough space on the disk.");
    // Told for a module folder not made yet too: that of the card it would be made on.
    QDir(root + "/Small/Pocket Lorvex").removeRecursively();
    EXPECT_EQ(engine().FreeSpace("Small\\Pocket Lorvex"), std::optional<uint64_t>(8192));
    EXPECT_TRUE(window.updates.empty());
    EXPECT_EQ(QDir(root + "/Small/Pocket Lorvex").entryList(QDir::Files | QDir::Hidden),
              QStringList());
    EXPECT_FALSE(window.progressVisible);
}

TEST_F(EmulatedHandheldTest, AReadOnlyCardIsReportedAndLeftAsItWas) {
    card("Locked", "read-only\n");
    write(root + "/Locked/Pocket Lorvex/other.bbl", "kept");
    ASSERT_EQ(engine().RapiConnect(), -1);

    engine().CopyFileToDevice(module(test::pattern(100)), "Locked\\Pocket Lorvex\\sample.bbl");

    EXPECT_EQ(lastMessage(), "The media is write protected.");
    EXPECT_EQ(QDir(root + "/Locked/Pocket Lorvex").entryList(QDir::Files),
              QStringList("other.bbl"));
    EXPECT_EQ(onDevice("Locked/Pocket Lorvex/other.bbl"), "kept");
}

TEST_F(EmulatedHandheldTest, AnUnplugInTheMiddleFailsTheCopy) {
    card("SD");
    ASSERT_EQ(engine().RapiConnect(), -1);
    window.onFloodUpdate = [this](int16_t nValue, const QString&) {
        if (nValue == 1) {
            QDir().rename(root, root + ".away");
        }
    };

    engine().CopyFileToDevice(module(test::pattern(40000)), "SD\\Pocket Lorvex\\sample.bbl");

    // The lost link is named, not the memory.
    EXPECT_EQ(lastMessage(),
              "Installation of sample.bbl has failed!  The connection to the handheld was lost "
              "during the copy.  Make sure the handheld is attached, then connect and copy again.");
    EXPECT_EQ(window.updates.size(), 2u);
    EXPECT_FALSE(window.progressVisible);
    // The unplugged handheld is not recreated by the calls that follow the unplug.
    EXPECT_FALSE(QFileInfo::exists(root));
    // A handheld that was plugged in again answers once more.
    ASSERT_TRUE(QDir().rename(root + ".away", root));
    EXPECT_EQ(engine().RapiConnect(), -1);
    // Its temporary, left while the handheld was away, goes when the folders are found.
    EXPECT_EQ(engine().FindModuleFolders(), -1);
    EXPECT_EQ(QDir(root + "/SD/Pocket Lorvex").entryList(QDir::Files | QDir::Hidden),
              QStringList());
}

TEST_F(EmulatedHandheldTest, AnAbsentHandheldIsToldAtOnceASilentOneTimesOut) {
    // No handheld at all: nothing to wait for, and the user is told so.
    ASSERT_TRUE(QDir().rename(root, root + ".away"));
    Bind(&window, nullptr, nullptr, 300);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine().RapiConnect(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(engine().LastConnectFault(), modRapi::ConnectFault::NoHandheld);
    ASSERT_TRUE(QDir().rename(root + ".away", root));

    write(root + "/.handheld", "answer=no\n");
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine().RapiConnect(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(engine().LastConnectFault(), modRapi::ConnectFault::NoAnswer);

    write(root + "/.handheld", "answer=refuse\n");
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine().RapiConnect(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

    QFile::remove(root + "/.handheld");
    EXPECT_EQ(engine().RapiConnect(), -1);
    EXPECT_FALSE(window.hourglass);
}

}  // namespace

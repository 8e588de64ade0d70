// The path helpers: file and folder parts of a path, and whether a desktop file exists.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "Fixture.h"
#include "LocalPath.h"

namespace {

using DesktopPath::FileExists;
using DesktopPath::GetFileName;
using DesktopPath::GetFolderPath;

TEST(PathParts, WorkedValuesAndLongStrings) {
    struct Case {
        const char* path;
        const char* name;
        const char* folder;
    };
    const Case cases[] = {
        {"C:\\Modules\\sample.bbl", "sample.bbl", "C:\\Modules\\"},
        {"Program Files\\Pocket Lorvex\\sample.bbl", "sample.bbl",
         "Program Files\\Pocket Lorvex\\"},
        {"sample.bbl", "sample.bbl", ""},
        {"C:sample.bbl", "sample.bbl", ""},
        {"C:\\Modules\\", "", "C:\\Modules\\"},
        {"\\sample.bbl", "sample.bbl", "\\"},
        // The desktop's own separator ends the file name too, but not the device folder part.
        {"C:/Modules/sample.bbl", "sample.bbl", ""},
        {"/home/ann/Modules/sample.bbl", "sample.bbl", ""},
        {"Card\\Pocket Lorvex/x.bbl", "x.bbl", "Card\\"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(GetFileName(c.path), QString(c.name));
        EXPECT_EQ(GetFolderPath(c.path), QString(c.folder));
    }

    // The caller's string is left alone, and long strings are handled.
    const QString sPath = "a\\b:c";
    EXPECT_EQ(GetFileName(sPath), "c");
    EXPECT_EQ(GetFolderPath(sPath), "a\\");
    EXPECT_EQ(sPath, "a\\b:c");

    const QString sLong = QString(40000, u'x') + "\\" + QString(40000, u'y');
    EXPECT_EQ(GetFileName(sLong), QString(40000, u'y'));
    EXPECT_EQ(GetFolderPath(sLong).size(), 40001);
}

TEST(PathParts, LocalNamesKeepBytesThatAreNotUtf8) {
    struct Case {
        QByteArray bytes;
        const char16_t* shown;  // as displayed: each byte that is not UTF-8 as U+FFFD
    };
    const Case cases[] = {
        {"plain.bbl", u"plain.bbl"},
        {"W\xc3\xb6rter \xe2\x82\xac \xf0\x9f\x93\x96.dct", u"W\u00f6rter \u20ac \U0001f4d6.dct"},
        {"latin1 \xe9t\xe9.bbl", u"latin1 \ufffdt\ufffd.bbl"},
        // Overlong, encoded surrogate, past U+10FFFF, cut short, stray continuation byte.
        {"\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x82|\x80",
         u"\ufffd\ufffd|\ufffd\ufffd\ufffd|\ufffd\ufffd\ufffd\ufffd|\ufffd\ufffd|\ufffd"},
        // An escaped byte right after a character outside the basic plane.
        {"\xf0\x9f\x93\x96\xff", u"\U0001f4d6\ufffd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.toHex().toStdString());
        const QString decoded = LocalPath::decode(c.bytes);
        EXPECT_EQ(LocalPath::encode(decoded), c.bytes);
        EXPECT_EQ(LocalPath::forDisplay(decoded), QString::fromUtf16(c.shown));
    }
}

class FileExistsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString make(const QString& name, const QByteArray& data = "data") {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
        return f.fileName();
    }
    QString at(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
};

TEST_F(FileExistsTest, PlainAndUnreadableFilesAndEmptyPath) {
    make("sample.bbl");
    make("empty.bbl", QByteArray());
    EXPECT_EQ(FileExists(at("sample.bbl")), -1);
    EXPECT_EQ(FileExists(at("empty.bbl")), -1);
    EXPECT_EQ(FileExists(at("missing.bbl")), 0);
    EXPECT_EQ(FileExists(at("nowhere/sample.bbl")), 0);
    EXPECT_EQ(FileExists(""), 0);
    EXPECT_EQ(FileExists(dir.path() + "/"), 0);
    EXPECT_EQ(FileExists(at("sample.bbl") + "/"), 0);
    // Unreadable files count too.
    const QString sLocked = make("locked.bbl");
    ASSERT_EQ(chmod(QFile::encodeName(sLocked).constData(), 0), 0);
    EXPECT_EQ(FileExists(sLocked), -1);
    EXPECT_EQ(FileExists(at("lock*")), -1);

    // Relative paths are taken from the current folder.
    make("here.bbl");
    const QString sOld = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    EXPECT_EQ(FileExists("here.bbl"), -1);
    EXPECT_EQ(FileExists("*.bbl"), -1);
    EXPECT_EQ(FileExists("there.bbl"), 0);
    QDir::setCurrent(sOld);
}

TEST_F(FileExistsTest, WildcardsInTheLastComponentOnly) {
    make("sample.bbl");
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub?"));
    EXPECT_EQ(FileExists(at("*.bbl")), -1);
    EXPECT_EQ(FileExists(at("s?mple.bbl")), -1);
    EXPECT_EQ(FileExists(at("*")), -1);
    EXPECT_EQ(FileExists(at("sample.*")), -1);
    EXPECT_EQ(FileExists(at("*.dct")), 0);
    EXPECT_EQ(FileExists(at("s?ample.bbl")), 0);
    EXPECT_EQ(FileExists(at("?")), 0);
    // Case-sensitive, and no other pattern characters.
    EXPECT_EQ(FileExists(at("*.BBL")), 0);
    make("[ab].bbl");
    EXPECT_EQ(FileExists(at("a.bbl")), 0);
    EXPECT_EQ(FileExists(at("[ab].*")), -1);
    // A wildcard in a folder component is a literal character there.
    EXPECT_EQ(FileExists(at("sub*/sample.bbl")), 0);
    make("sub?/inner.bbl");
    EXPECT_EQ(FileExists(at("sub?/*.bbl")), -1);
    EXPECT_EQ(FileExists(at("su*/inner.bbl")), 0);
    // Hidden names never match.
    make(".hidden.bbl");
    for (const char* name : {".hidden.bbl", "*hidden*", ".*"}) {
        EXPECT_EQ(FileExists(at(name)), 0) << name;
    }
}

TEST_F(FileExistsTest, OnlyRegularFilesMatchAfterFollowingLinks) {
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.bbl"));
    EXPECT_EQ(FileExists(at("folder.bbl")), 0);
    EXPECT_EQ(FileExists(at("*.bbl")), 0);

    ASSERT_EQ(mkfifo(QFile::encodeName(at("pipe.bbl")).constData(), 0600), 0);
    EXPECT_EQ(FileExists(at("pipe.bbl")), 0);
    EXPECT_EQ(FileExists(at("p*")), 0);

    EXPECT_EQ(FileExists("/dev/null"), 0);

    ASSERT_TRUE(QFile::link(at("folder.bbl"), at("dirlink.bbl")));
    ASSERT_TRUE(QFile::link(at("gone.bbl"), at("dangling.bbl")));
    EXPECT_EQ(FileExists(at("dirlink.bbl")), 0);
    EXPECT_EQ(FileExists(at("dangling.bbl")), 0);
    EXPECT_EQ(FileExists(at("d*")), 0);

    make("target.bin");
    ASSERT_TRUE(QFile::link(at("target.bin"), at("filelink.bbl")));
    EXPECT_EQ(FileExists(at("filelink.bbl")), -1);
    EXPECT_EQ(FileExists(at("*.bbl")), -1);
}

TEST_F(FileExistsTest, NamesBeyondAsciiAndOddInput) {
    make(QString::fromUtf8("Wörterbuch €.dct"));
    EXPECT_EQ(FileExists(at(QString::fromUtf8("Wörterbuch €.dct"))), -1);
    EXPECT_EQ(FileExists(at(QString::fromUtf8("W?rterbuch ?.dct"))), -1);
    EXPECT_EQ(FileExists(at("W?rterbuch")), 0);
    EXPECT_EQ(FileExists(at(QString("a") + QChar(u'\0') + "b")), 0);
    EXPECT_EQ(FileExists(QString(5000, u'x')), 0);
}

}  // namespace

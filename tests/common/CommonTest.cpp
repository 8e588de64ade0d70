// The shared helpers: whole reads and writes on real descriptors, the eventfd signal, text
// conversion, wildcards and one-line text.

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "LargeBuffer.h"
#include "Posix.h"
#include "TestSupport.h"
#include "Text.h"

namespace {

TEST(PosixTest, ReadsOnlyRegularFilesWholeAndWithinTheLimit) {
    test::TempDir dir;
    const std::string file = dir / "f", fifo = dir / "p";
    const std::string data(200000, 'x');
    {
        posix::UniqueFd out(::open(file.c_str(), O_WRONLY | O_CREAT, 0600));
        ASSERT_EQ(posix::writeAll(out.get(), data.data(), data.size()), 0);
    }
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    struct stat st {};
    posix::UniqueFd in = posix::openRegularFile(AT_FDCWD, file.c_str(), 0, &st);
    ASSERT_TRUE(in.valid());
    EXPECT_EQ(st.st_size, 200000);
    std::string text;
    EXPECT_TRUE(posix::readAll(in.get(), text));
    EXPECT_EQ(text, data);

    in = posix::openRegularFile(AT_FDCWD, file.c_str());
    text.clear();
    EXPECT_FALSE(posix::readAll(in.get(), text, 100000));
    EXPECT_EQ(errno, EFBIG);

    // A FIFO with no writer and a folder are turned away at once, without blocking.
    EXPECT_FALSE(posix::openRegularFile(AT_FDCWD, fifo.c_str()).valid());
    EXPECT_FALSE(posix::openRegularFile(AT_FDCWD, dir.path().c_str()).valid());
    EXPECT_FALSE(posix::openRegularFile(AT_FDCWD, (dir / "none").c_str()).valid());

    posix::LargeBuffer buffer;
    ASSERT_TRUE(buffer.allocate(size_t{5} << 20));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.get()) % (size_t{2} << 20), 0u);
    EXPECT_EQ(buffer.get()[(size_t{5} << 20) - 1], 0);
}

TEST(PosixTest, WriteToAClosedPipeReportsItsError) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    posix::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    readEnd.reset();
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(posix::writeAll(writeEnd.get(), "abc", 3), EPIPE);
}

// The reason openChecked gives, empty when it opened the path as trusted.
std::string whyNot(const std::string& path) {
    const posix::Checked checked = posix::openChecked(path);
    EXPECT_EQ(checked.trusted(), checked.why.empty()) << path;
    return checked.why;
}

TEST(PosixTest, OpensAPathOnlyThroughPartsNoOneElseCanChange) {
    test::TempDir dir;
    for (const char* folder : {"safe", "open", "open/inner", "sticky", "safe/sub"}) {
        test::makeDir(dir / folder);
    }
    for (const char* file : {"safe/lib.so", "open/inner/lib.so", "sticky/lib.so", "safe/open.so"}) {
        posix::UniqueFd(::open((dir / file).c_str(), O_WRONLY | O_CREAT, 0644));
    }
    ASSERT_EQ(::chmod((dir / "safe").c_str(), 0755), 0);
    ASSERT_EQ(::chmod((dir / "open").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01777), 0);
    ASSERT_EQ(::chmod((dir / "safe/open.so").c_str(), 0666), 0);
    ASSERT_EQ(::symlink((dir / "open/inner/lib.so").c_str(), (dir / "safe/link.so").c_str()), 0);
    ASSERT_EQ(::symlink("../lib.so", (dir / "safe/sub/up.so").c_str()), 0);
    ASSERT_EQ(::symlink("loop", (dir / "safe/loop").c_str()), 0);

    const struct {
        std::string path, why;
    } cases[] = {
        {dir / "safe/lib.so", ""},
        {dir / "sticky/lib.so", ""},
        {dir / "safe/sub/../lib.so", ""},
        // The user's own link counts by where it leads, walked the same way.
        {dir / "safe/sub/up.so", ""},
        // A folder further up counts as much as the file's own.
        {dir / "open/inner/lib.so", "others may write to " + dir / "open"},
        {dir / "safe/link.so", "others may write to " + dir / "open"},
        {dir / "safe/open.so", "others may write to " + dir / "safe/open.so"},
        {dir / "safe/none.so",
         "cannot check " + dir / "safe/none.so" + ": No such file or directory"},
        {dir / "safe/lib.so/x", "cannot check " + dir / "safe/lib.so" + ": Not a directory"},
        {dir / "safe/loop",
         "cannot check " + dir / "safe/loop" + ": Too many levels of symbolic links"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(whyNot(c.path), c.why) << c.path;
    }
    // A relative path is walked from "/" through the current folder.
    const std::string here = std::filesystem::current_path();
    std::filesystem::current_path(dir / "safe");
    EXPECT_EQ(whyNot("lib.so"), "");
    std::filesystem::current_path(here);

    if (::geteuid() == 0) {
        // Another user's file, and another user's link, whatever it points to.
        ASSERT_EQ(::symlink((dir / "safe/lib.so").c_str(), (dir / "safe/theirs.so").c_str()), 0);
        ASSERT_EQ(::lchown((dir / "safe/theirs.so").c_str(), 65534, 65534), 0);
        EXPECT_EQ(whyNot(dir / "safe/theirs.so"),
                  dir / "safe/theirs.so" + " is a link of another user");
        ASSERT_EQ(::chown((dir / "safe/lib.so").c_str(), 65534, 65534), 0);
        EXPECT_EQ(whyNot(dir / "safe/lib.so"), dir / "safe/lib.so" + " belongs to another user");
    }
}

// What was checked is what the descriptor holds: a link that points elsewhere by the time the
// file is used changes nothing.
TEST(PosixTest, ALinkThatPointsElsewhereAtTheMomentOfUseNeverWins) {
    test::TempDir dir;
    test::makeDir(dir / "a");
    test::makeDir(dir / "b");
    test::writeFile(dir / "a/lib.so", "checked");
    test::writeFile(dir / "b/lib.so", "planted");
    ASSERT_EQ(::symlink((dir / "a").c_str(), (dir / "link").c_str()), 0);
    const posix::Checked checked = posix::openChecked(dir / "link/lib.so");
    ASSERT_TRUE(checked.trusted()) << checked.why;
    ASSERT_EQ(::unlink((dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "b").c_str(), (dir / "link").c_str()), 0);
    std::string data;
    const posix::UniqueFd use(
        ::open(("/proc/self/fd/" + std::to_string(checked.fd.get())).c_str(), O_RDONLY));
    ASSERT_TRUE(posix::readAll(use.get(), data));
    EXPECT_EQ(data, "checked");

    // Below a folder checked before, the same.
    const posix::Checked folder = posix::openChecked(dir / "a");
    ASSERT_TRUE(folder.trusted());
    const posix::Checked file = posix::openCheckedAt(folder.fd.get(), dir / "a", "lib.so");
    EXPECT_TRUE(file.trusted()) << file.why;
    EXPECT_EQ(file.st.st_size, 7);
}

// No lock is ever waited for: a temporary somebody else holds is neither taken nor removed, at
// once.
TEST(PosixTest, AHeldLockHangsNothing) {
    test::TempDir dir;
    const posix::UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    const posix::UniqueFd mine(::open((dir / "t").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    const posix::UniqueFd theirs(::open((dir / "t").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(theirs.get(), LOCK_SH), 0);
    ::alarm(10);  // a wait would end the test here instead of hanging it
    EXPECT_FALSE(posix::lockAsNamed(mine.get(), folder.get(), "t"));
    EXPECT_FALSE(test::exists(dir / "t")) << "the new name is given up";
    posix::UniqueFd(::open((dir / "held").c_str(), O_RDWR | O_CREAT, 0600));
    const posix::UniqueFd holder(::open((dir / "held").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(holder.get(), LOCK_SH), 0);
    EXPECT_FALSE(posix::removeIfAbandoned(folder.get(), "held"));
    EXPECT_TRUE(test::exists(dir / "held"));
    ::alarm(0);
    // Nobody holds it any more: it goes.
    ::flock(holder.get(), LOCK_UN);
    EXPECT_TRUE(posix::removeIfAbandoned(folder.get(), "held"));
}

TEST(PosixTest, ReadsAndWritesAtAnOffsetAndSignalsAnEvent) {
    test::TempDir dir;
    const std::string file = dir / "f";
    const std::string data = test::pattern(70000);
    posix::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(posix::pwriteAll(fd.get(), data.data(), data.size(), 100), 0);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 0);  // the position stays
    std::string back(data.size(), '\0');
    EXPECT_EQ(posix::preadFull(fd.get(), back.data(), back.size(), 100), 70000);
    EXPECT_EQ(back, data);
    // Fewer bytes only at the end of the file.
    EXPECT_EQ(posix::preadFull(fd.get(), back.data(), back.size(), 60100), 10000);
    EXPECT_EQ(back.substr(0, 10000), data.substr(60000));
    EXPECT_EQ(posix::fileStatusAt(AT_FDCWD, file.c_str()), 1);
    posix::UniqueFd(::open((dir / "empty").c_str(), O_WRONLY | O_CREAT, 0600));
    EXPECT_EQ(posix::fileStatusAt(AT_FDCWD, (dir / "empty").c_str()), 0);
    EXPECT_EQ(posix::fileStatusAt(AT_FDCWD, dir.path().c_str()), -1);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    posix::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    EXPECT_EQ(posix::pwriteAll(writeEnd.get(), "abc", 3, 0), ESPIPE);
    EXPECT_EQ(posix::preadFull(readEnd.get(), back.data(), 3, 0), -1);

    posix::UniqueFd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    posix::signalEvent(event.get());
    posix::signalEvent(event.get());
    uint64_t count = 0;
    EXPECT_EQ(::read(event.get(), &count, sizeof count), ssize_t{sizeof count});
    EXPECT_EQ(count, 2u);
}

TEST(TextTest, OneLineShowsControlCharactersAsHex) {
    const struct {
        std::string_view in;
        std::string out;
    } cases[] = {
        {std::string_view("a\nb\0c\x7f\xc3\xa9", 8), "a\\x0ab\\x00c\\x7f\xc3\xa9"},
        // C1: CSI as a byte (an 8-bit terminal's) and as UTF-8 U+009B; NEL as UTF-8.
        {"\x9b"
         "31m",
         "\\x9b31m"},
        {"\xc2\x9b"
         "2J\xc2\x85",
         "\\xc2\\x9b2J\\xc2\\x85"},
        // Line separator and a right-to-left override; a Latin-1 byte and U+00A0 stay.
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xae"
         "c",
         "a\\xe2\\x80\\xa8b\\xe2\\x80\\xaec"},
        {"caf\xe9 \xc2\xa0", "caf\xe9 \xc2\xa0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::oneLine(c.in), c.out);
    }
}

TEST(TextTest, ConvertsBetweenEncodings) {
    std::string out;
    EXPECT_TRUE(text::utf16ToUtf8(u"Gr\u00FC\u00DF \U0001F600", out));
    EXPECT_EQ(out, "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
    const std::u16string unpaired = {u'a', char16_t(0xD800), u'b'};
    EXPECT_FALSE(text::utf16ToUtf8(unpaired, out));
    EXPECT_EQ(text::utf16ToUtf8Lossy(unpaired),
              "a\xEF\xBF\xBD"
              "b");

    std::u32string points;
    EXPECT_TRUE(text::utf8ToUtf32("\xC3\xBC\xF0\x9F\x98\x80", points));
    EXPECT_EQ(points, U"\u00FC\U0001F600");
    EXPECT_TRUE(text::isValidUtf8("\xC3\xBC\xF0\x9F\x98\x80 plain"));
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80", "\x80"}) {
        EXPECT_FALSE(text::utf8ToUtf32(bad, points)) << bad;
        EXPECT_FALSE(text::isValidUtf8(bad)) << bad;
    }
}

TEST(TextTest, MatchesWildcards) {
    using text::Case;
    struct Row {
        std::u32string_view pattern, name;
        Case sense;
        bool match;
    } rows[] = {
        {U"*.bbl", U"a.bbl", Case::Sensitive, true},
        {U"*.bbl", U"a.BBL", Case::Sensitive, false},
        {U"*.bbl", U"a.BBL", Case::IgnoreAscii, true},
        {U"a?c", U"abc", Case::Sensitive, true},
        {U"a?c", U"ac", Case::Sensitive, false},
        {U"*a*b", U"xaxxb", Case::Sensitive, true},
        {U"*", U"", Case::Sensitive, true},
        {U"\u00DC*", U"\u00FCx", Case::IgnoreAscii, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(text::wildcardMatch(row.pattern, row.name, row.sense), row.match);
    }
}

}  // namespace

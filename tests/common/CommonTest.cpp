// The shared helpers: whole reads and writes on real descriptors, the eventfd signal, text
// conversion, wildcards and one-line text.

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
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
    EXPECT_EQ(text::oneLine(std::string_view("a\nb\0c\x7f\xc3\xa9", 8)),
              "a\\x0ab\\x00c\\x7f\xc3\xa9");
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

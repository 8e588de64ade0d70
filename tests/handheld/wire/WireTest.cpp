// The Remote API codec of handheld-sim serve, fed request bodies directly: what SynCE sends,
// and what a broken or hostile client could send.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <malloc.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EmulatedHandheld.h"
#include "RapiWire.h"
#include "TestSupport.h"

namespace {

// Little-endian message builder.
struct Bytes {
    std::string s;
    Bytes& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            s.push_back(static_cast<char>(v >> (8 * i)));
        }
        return *this;
    }
    Bytes& units(std::u16string_view t) {
        for (char16_t c : t) {
            s.push_back(static_cast<char>(c & 0xFF));
            s.push_back(static_cast<char>(c >> 8));
        }
        return *this;
    }
    Bytes& str1(std::u16string_view t) {
        return u32(1).u32(uint32_t(t.size() + 1)).units(t).units(std::u16string_view(u"", 1));
    }
    Bytes& str2(std::u16string_view t) {
        return u32(uint32_t(t.size() + 1) * 2).units(t).units(std::u16string_view(u"", 1));
    }
    Bytes& raw(std::string_view r) {
        s.append(r);
        return *this;
    }
};

uint32_t At(const std::string& s, size_t i) {
    uint32_t v = 0;
    for (int k = 3; k >= 0; --k) {
        v = v << 8 | static_cast<unsigned char>(s.at(i * 4 + static_cast<size_t>(k)));
    }
    return v;
}

// Bytes the process holds in use on its heap (every arena and large block).
size_t HeapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

class Wire : public ::testing::Test {
protected:
    void SetUp() override {
        test::makeDir(dir / "hh");
        test::makeDir(dir / "hh/Storage Card");
        test::writeFile(dir / "hh/Storage Card/.storage-card", "");
    }
    // A freshly connected handheld, as serve makes one per stream.
    handheld::EmulatedHandheld& device() {
        hh = std::make_unique<handheld::EmulatedHandheld>(dir / "hh");
        RAPIINIT init{sizeof(RAPIINIT), -1, 0};
        EXPECT_EQ(hh->CeRapiInitEx(&init), 0);
        return *hh;
    }
    test::TempDir dir;
    std::unique_ptr<handheld::EmulatedHandheld> hh;
};

TEST_F(Wire, AnswersWhatTheRequestDeserves) {
    const std::string big(5000, 'x');
    struct Case {
        const char* what;
        wire::OsVersion os;
        std::string request;
        std::string reply;   // expected start of the reply
        bool whole = false;  // the reply is exactly that
    };
    const Case cases[] = {
        {"unknown command, v1: not supported HRESULT",
         {4, 21},
         Bytes().u32(0x99).s,
         Bytes().u32(1).u32(0x80070032u).s},
        // Version 2: the last error alone, so that SynCE's reads of the results fail and keep
        // the failure values it starts them at (a registry enumeration ends, a write fails).
        {"unknown command, v2: ERROR_NOT_SUPPORTED alone",
         {5, 2},
         Bytes().u32(0x99).s,
         Bytes().u32(50).s,
         true},
        {"no command at all", {5, 2}, std::string("\x11\x00", 2), Bytes().u32(50).s, true},
        {"v1 command number under v2 is another call",
         {5, 2},
         Bytes().u32(0x3B).s,
         Bytes().u32(50).s,
         true},
        {"v2 registry enumeration is not offered",
         {5, 2},
         Bytes().u32(0x30).u32(0x80000002u).u32(0).u32(255).s,
         Bytes().u32(50).s,
         true},
        {"v2 set attributes is never sent by SynCE: not offered",
         {5, 2},
         Bytes().u32(0x15).str2(u"\\x").u32(0x80).s,
         Bytes().u32(50).s,
         true},
        {"v1 configuration: the call's own result is the failure",
         {4, 21},
         Bytes().u32(0x56).u32(1).u32(4).u32(1).units(u"<a>").u32(1).s,
         Bytes().u32(0).u32(0x80070032u).s,
         true},
        {"v2 configuration: the last error, then the failed result",
         {5, 2},
         Bytes().u32(0x0E).str2(u"<a>").u32(1).s,
         Bytes().u32(50).u32(0x80070032u).s,
         true},
        {"v2 search finding nothing in a folder: no more files",
         {5, 2},
         Bytes().u32(0x11).str2(u"\\Storage Card\\new.bin").s,
         Bytes().u32(18).u32(0xFFFFFFFFu).u32(0).s,
         true},
        {"v1 search in a missing folder: path not found",
         {4, 21},
         Bytes().u32(0x00).str1(u"\\Nowhere\\x").s,
         Bytes().u32(0).u32(3).u32(0xFFFFFFFFu).s},
        {"v2 power status has no last error: TRUE and the record",
         {5, 2},
         Bytes().u32(0x49).u32(0).s,
         Bytes().u32(1).raw(std::string("\x01\x01\x64\x00", 4)).s},
        {"v2 power status cut short: FALSE, no last error",
         {5, 2},
         Bytes().u32(0x49).s,
         Bytes().u32(0).s,
         true},
        {"v1 system information as an optional record",
         {4, 21},
         Bytes().u32(0x2F).u32(1).u32(36).u32(0).s,
         Bytes().u32(0).u32(0).u32(1).u32(36).u32(1).raw(std::string("\x05\x00", 2)).s},
        {"v2 system information: the record after the last error",
         {5, 2},
         Bytes().u32(0x3D).s,
         Bytes().u32(0).raw(std::string("\x05\x00\x00\x00\x00\x10", 6)).s},
        {"v1 memory division: three optional values",
         {4, 21},
         Bytes().u32(0x28).u32(1).u32(4).u32(0).u32(0).u32(1).u32(4).u32(0).s,
         Bytes().u32(0).u32(0).u32(1).u32(1).u32(4).u32(1).s},
        {"v1 set attributes: read-only can't be held",
         {4, 21},
         Bytes().u32(0x04).u32(0x1).str1(u"\\Storage Card").s,
         Bytes().u32(0).u32(5).u32(0).s},
        {"v1 set attributes: a folder stays a folder",
         {4, 21},
         Bytes().u32(0x04).u32(0x10).str1(u"\\Storage Card").s,
         Bytes().u32(0).u32(0).u32(1).s},
        {"v2 remove the card's own folder: access denied",
         {5, 2},
         Bytes().u32(0x29).str2(u"\\Storage Card").s,
         Bytes().u32(5).u32(0).s},
        {"v1 remove a missing folder: path not found",
         {4, 21},
         Bytes()
             .u32(0x18)
             .u32(1)
             .u32(10)
             .u32(1)
             .units(u"\\Gone")
             .units(std::u16string_view(u"", 1))
             .s,
         Bytes().u32(0).u32(3).u32(0).s},
        {"v2 size of no file: an invalid size and no high part",
         {5, 2},
         Bytes().u32(0x2E).u32(0x4242).u32(1).u32(4).u32(0).s,
         Bytes().u32(6).u32(0xFFFFFFFFu).u32(0).s,
         true},
        {"v1 time sync: the handheld's clock is the desktop's",
         {4, 21},
         Bytes().u32(0x37).u32(0).u32(0).u32(0).u32(10000).s,
         Bytes().u32(0).u32(0).s,
         true},
        {"v2 oversized path: refused as too long",
         {5, 2},
         Bytes().u32(0x14).str2(u"\\" + std::u16string(260, u'a')).s,
         Bytes().u32(206).u32(0xFFFFFFFFu).s},
        {"string longer than the body",
         {5, 2},
         Bytes().u32(0x11).u32(1000).units(u"ab").s,
         Bytes().u32(87).u32(0xFFFFFFFFu).u32(0).s},
        {"v1 write declaring 4 GiB of data",
         {4, 21},
         Bytes().u32(0x07).u32(0x100).u32(1).u32(0xFFFFFFF0u).raw("abc").s,
         Bytes().u32(0).u32(87).u32(0).u32(0).s},
        {"v2 write on a handle never opened",
         {5, 2},
         Bytes().u32(0x18).u32(0x4242).u32(3).raw("abc").s,
         Bytes().u32(6).u32(0).u32(0).s},
        {"v2 read of 4 GiB on no handle: nothing read",
         {5, 2},
         Bytes().u32(0x17).u32(7).u32(~0u).s,
         Bytes().u32(6).u32(0).u32(0).s},
        {"v2 attributes of the card",
         {5, 2},
         Bytes().u32(0x14).str2(u"\\Storage Card").s,
         Bytes().u32(0).u32(0x110).s},
        {"v1 attributes of the root",
         {4, 21},
         Bytes().u32(0x03).str1(u"\\").s,
         Bytes().u32(0).u32(0).u32(0x10).s},
        {"v1 attributes with a wildcard",
         {4, 21},
         Bytes().u32(0x03).str1(u"\\S*").s,
         Bytes().u32(0).u32(123).u32(0xFFFFFFFFu).s},
        {"v2 special folder: My Documents",
         {5, 2},
         Bytes().u32(0x4B).u32(5).u32(260).s,
         Bytes().u32(0).u32(13).units(u"\\My Documents").s},
        {"v1 special folder into a small buffer",
         {4, 21},
         Bytes().u32(0x44).u32(5).u32(4).s,
         Bytes().u32(0).u32(122).u32(0).s},
        {"v1 folder without its optional string",
         {4, 21},
         Bytes().u32(0x17).u32(0).u32(0).s,
         Bytes().u32(0).u32(87).u32(0).s},
        {"v2 version reports the served OS",
         {6, 1},
         Bytes().u32(0x43).s,
         Bytes().u32(0).u32(1).u32(276).u32(276).u32(6).u32(1).s},
        {"v1 find-all of a missing folder: no entries",
         {4, 21},
         Bytes().u32(0x09).str1(u"\\Nowhere\\*").u32(0x81).s,
         Bytes().u32(0).u32(0).s},
    };
    for (const auto& c : cases) {
        wire::Session session(device(), c.os);
        std::string reply;
        session.answer(c.request, reply);
        EXPECT_EQ(c.whole ? reply : reply.substr(0, c.reply.size()), c.reply) << c.what;
    }
}

TEST_F(Wire, FindRecordsAndNamesFollowEachProtocol) {
    test::writeFile(dir / "hh/Storage Card/a.txt", "hello");
    for (const wire::OsVersion os : {wire::OsVersion{4, 21}, wire::OsVersion{5, 2}}) {
        wire::Session session(device(), os);
        const bool v1 = session.protocol() == 1;
        std::string reply;
        // find first: [le][handle][u32 size][record]; the record is exactly as long as declared
        session.answer(v1 ? Bytes().u32(0x00).str1(u"\\Storage Card").s
                          : Bytes().u32(0x11).str2(u"\\Storage Card").s,
                       reply);
        const size_t base = v1 ? 1 : 0;
        ASSERT_GE(reply.size(), 16u) << At(reply, base);
        EXPECT_NE(At(reply, base + 1), 0xFFFFFFFFu);
        EXPECT_EQ(At(reply, base + 2), 40u + 2 * 13);
        EXPECT_EQ(reply.size(), (base + 3) * 4 + 40 + 2 * 13);
        EXPECT_EQ(At(reply, base + 3), 0x110u);
        // find all with names: v1 counts units, v2 bytes, both with the NUL
        reply.clear();
        session.answer(v1 ? Bytes().u32(0x09).str1(u"\\Storage Card\\*").u32(0x81).s
                          : Bytes().u32(0x1A).str2(u"\\Storage Card\\*").u32(0x81).s,
                       reply);
        const size_t count = v1 ? 1 : 2;
        EXPECT_EQ(At(reply, count), 1u);
        EXPECT_EQ(At(reply, count + 1), v1 ? 6u : 12u);
        EXPECT_EQ(At(reply, count + 2), 0x80u);
        EXPECT_EQ(reply.size(), (count + 3) * 4 + 12);
    }
}

// The file calls every handheld has, through one session of each version: a card's free space
// (version 2 only), a copy within the handheld, a move, an open file's size, a folder removed
// only once empty.
TEST_F(Wire, FileCallsChangeTheHandheldAsAsked) {
    for (const wire::OsVersion os : {wire::OsVersion{4, 21}, wire::OsVersion{5, 2}}) {
        test::writeFile(dir / "hh/Storage Card/a.txt", "hello");
        test::makeDir(dir / "hh/Storage Card/Full");
        test::writeFile(dir / "hh/Storage Card/Full/x", "x");
        test::writeFile(dir / "hh/Storage Card/.storage-card", "capacity=1M\n");
        wire::Session session(device(), os);
        const bool v1 = session.protocol() == 1;
        const auto path = [&](std::u16string_view p) {
            // Version 1 sends these calls' names as optional strings.
            const uint32_t bytes = uint32_t(p.size() + 1) * 2;
            return v1 ? Bytes()
                            .u32(1)
                            .u32(bytes)
                            .u32(1)
                            .units(p)
                            .units(std::u16string_view(u"", 1))
                            .s
                      : Bytes().str2(p).s;
        };
        const auto call = [&](uint32_t c1, uint32_t c2, const std::string& args) {
            std::string reply;
            session.answer(Bytes().u32(v1 ? c1 : c2).raw(args).s, reply);
            return v1 ? reply.substr(4) : reply;  // without version 1's [0]
        };
        const std::string what = v1 ? "v1" : "v2";
        std::string free;
        session.answer(Bytes().u32(0x5C).str2(u"\\Storage Card").s, free);
        EXPECT_EQ(free, v1 ? Bytes().u32(1).u32(0x80070032u).s
                           : Bytes()
                                 .u32(0)
                                 .u32(1)
                                 .u32((1u << 20) - 6)
                                 .u32(0)
                                 .u32(1u << 20)
                                 .u32(0)
                                 .u32((1u << 20) - 6)
                                 .u32(0)
                                 .s)
            << what;
        EXPECT_EQ(call(0x1B, 0x2C,
                       path(u"\\Storage Card\\a.txt") + path(u"\\Storage Card\\b.txt") +
                           Bytes().u32(1).s),
                  Bytes().u32(0).u32(1).s)
            << what;
        EXPECT_EQ(test::readFile(dir / "hh/Storage Card/b.txt"), "hello") << what;
        // Copying onto a taken name when asked not to replace it: nothing changes.
        EXPECT_EQ(call(0x1B, 0x2C,
                       path(u"\\Storage Card\\Full\\x") + path(u"\\Storage Card\\b.txt") +
                           Bytes().u32(1).s),
                  Bytes().u32(ERROR_FILE_EXISTS).u32(0).s)
            << what;
        EXPECT_EQ(test::readFile(dir / "hh/Storage Card/b.txt"), "hello") << what;
        // A move never replaces.
        EXPECT_EQ(call(0x1A, 0x2B, path(u"\\Storage Card\\b.txt") + path(u"\\Storage Card\\a.txt")),
                  Bytes().u32(ERROR_ALREADY_EXISTS).u32(0).s)
            << what;
        EXPECT_EQ(call(0x1A, 0x2B, path(u"\\Storage Card\\a.txt") + path(u"\\Storage Card\\c.txt")),
                  Bytes().u32(0).u32(1).s)
            << what;
        EXPECT_EQ(test::readFile(dir / "hh/Storage Card/c.txt"), "hello") << what;
        EXPECT_FALSE(test::exists(dir / "hh/Storage Card/a.txt")) << what;

        // The size of an open file, high part asked for.
        const std::string open = call(0x05, 0x16,
                                      v1 ? Bytes()
                                               .u32(GENERIC_READ)
                                               .u32(0)
                                               .u32(OPEN_EXISTING)
                                               .u32(0)
                                               .u32(0)
                                               .str1(u"\\Storage Card\\b.txt")
                                               .s
                                         : Bytes()
                                               .str2(u"\\Storage Card\\b.txt")
                                               .u32(GENERIC_READ)
                                               .u32(0)
                                               .u32(OPEN_EXISTING)
                                               .u32(0)
                                               .u32(0)
                                               .s);
        const uint32_t h = At(open, 1);
        ASSERT_NE(h, 0xFFFFFFFFu) << what;
        EXPECT_EQ(call(0x1D, 0x2E, Bytes().u32(h).u32(1).u32(4).u32(0).s),
                  Bytes().u32(0).u32(5).u32(1).u32(4).u32(1).u32(0).s)
            << what;
        EXPECT_EQ(call(0x08, 0x19, Bytes().u32(h).s), Bytes().u32(0).u32(1).s) << what;

        // A folder with something in it stays; an empty one goes.
        EXPECT_EQ(call(0x18, 0x29, path(u"\\Storage Card\\Full")), Bytes().u32(145).u32(0).s)
            << what;
        EXPECT_EQ(call(0x18, 0x29, path(u"\\Storage Card\\b.txt")), Bytes().u32(267).u32(0).s)
            << what;
        std::filesystem::remove_all(dir / "hh/Storage Card/Full/x");
        EXPECT_EQ(call(0x18, 0x29, path(u"\\Storage Card\\Full")), Bytes().u32(0).u32(1).s) << what;
        EXPECT_FALSE(test::exists(dir / "hh/Storage Card/Full")) << what;
        std::filesystem::remove_all(dir / "hh/Storage Card/b.txt");
        std::filesystem::remove_all(dir / "hh/Storage Card/c.txt");
    }
}

// Names are bounded by the handheld's 260 characters, not by the desktop's 255 bytes of UTF-8:
// a name of 150 CJK characters (450 bytes) is created, listed under its own name, found in any
// case of its ASCII letters and written; a path longer than 260 characters is refused.
TEST_F(Wire, LongNamesKeepTheirHandheldNames) {
    const std::u16string name = u"Ab" + std::u16string(150, u'\u6587');
    const std::u16string other = u"aB" + std::u16string(150, u'\u6587');
    wire::Session session(device(), {5, 2});
    const auto call = [&](const std::string& body) {
        std::string reply;
        session.answer(body, reply);
        return reply;
    };
    const auto create = [&](std::u16string_view path, uint32_t disposition) {
        return call(Bytes()
                        .u32(0x16)
                        .str2(path)
                        .u32(GENERIC_WRITE)
                        .u32(0)
                        .u32(disposition)
                        .u32(0)
                        .u32(0)
                        .s);
    };
    EXPECT_EQ(call(Bytes().u32(0x28).str2(u"\\Storage Card\\" + name).s), Bytes().u32(0).u32(1).s);
    const std::string made = create(u"\\Storage Card\\" + name + u"\\x", CREATE_NEW);
    ASSERT_EQ(At(made, 0), 0u);
    EXPECT_EQ(call(Bytes().u32(0x18).u32(At(made, 1)).u32(3).raw("abc").s),
              Bytes().u32(0).u32(1).u32(3).s);
    EXPECT_EQ(call(Bytes().u32(0x19).u32(At(made, 1)).s), Bytes().u32(0).u32(1).s);
    // Listed under its own name, found by another spelling of it.
    const std::string listed = call(Bytes().u32(0x1A).str2(u"\\Storage Card\\*").u32(0x81).s);
    EXPECT_EQ(listed.substr(8), Bytes()
                                    .u32(1)
                                    .u32(uint32_t(name.size() + 1) * 2)
                                    .u32(0x10)
                                    .units(name)
                                    .units(std::u16string_view(u"", 1))
                                    .s);
    EXPECT_EQ(call(Bytes().u32(0x14).str2(u"\\Storage Card\\" + other + u"\\x").s),
              Bytes().u32(0).u32(0x80).s);
    EXPECT_EQ(At(create(u"\\Storage Card\\" + other + u"\\x", CREATE_NEW), 0), ERROR_FILE_EXISTS);
    // 260 characters with the leading separator are a path; 261 are not.
    const std::u16string card = u"\\Storage Card\\";
    EXPECT_EQ(At(create(card + std::u16string(260 - card.size(), u'\u6587'), CREATE_NEW), 0), 0u);
    EXPECT_EQ(At(create(card + std::u16string(261 - card.size(), u'\u6587'), CREATE_NEW), 0),
              ERROR_FILENAME_EXCED_RANGE);
}

// What one stream may hold open is bounded: the call past the bound fails with "too many open
// files", the stream and every handle it holds go on, and a handle closed makes room again. Once
// the stream ends, the heap is back to what it was before it.
TEST_F(Wire, OpenFilesAndSearchesPerStreamAreBounded) {
    for (int i = 0; i < 2000; ++i) {
        test::writeFile(dir / ("hh/Storage Card/module-" + std::to_string(i) + ".bbl"), "");
    }
    test::writeFile(dir / "hh/Storage Card/a.txt", "hello");
    auto& handheld = device();
    const size_t idle = HeapInUse();
    wire::Session session(handheld, {5, 2});
    const auto call = [&](const std::string& body) {
        std::string reply;
        session.answer(body, reply);
        return reply;
    };
    const std::string search = Bytes().u32(0x11).str2(u"\\Storage Card\\*").s;
    const std::string open = Bytes()
                                 .u32(0x16)
                                 .str2(u"\\Storage Card\\a.txt")
                                 .u32(GENERIC_READ)
                                 .u32(0)
                                 .u32(OPEN_EXISTING)
                                 .u32(0)
                                 .u32(0)
                                 .s;
    struct Bound {
        const char* what;
        const std::string& request;
        size_t limit;
        uint32_t close;  // the command that closes one
    };
    for (const Bound& b : {Bound{"searches", search, 16, 0x13}, Bound{"files", open, 64, 0x19}}) {
        std::vector<uint32_t> handles;
        for (size_t i = 0; i < b.limit; ++i) {
            const std::string reply = call(b.request);
            ASSERT_EQ(At(reply, 0), 0u) << b.what << " " << i;
            handles.push_back(At(reply, 1));
        }
        EXPECT_EQ(call(b.request).substr(0, 8), Bytes().u32(4).u32(0xFFFFFFFFu).s) << b.what;
        EXPECT_EQ(call(Bytes().u32(b.close).u32(handles.back()).s), Bytes().u32(0).u32(1).s)
            << b.what;
        EXPECT_EQ(At(call(b.request), 0), 0u) << b.what;
    }
    session.end();
    EXPECT_LT(HeapInUse(), idle + 64 * 1024) << "idle " << idle;
}

// A hundred streams that each declare a request of the largest size and send 1 KB of it hold
// about a piece of buffer each, not what they declared; once they are gone the heap is back to
// what it was before them.
TEST_F(Wire, StreamsHoldWhatArrivesNotWhatTheyDeclare) {
    constexpr int kStreams = 100;
    struct Stream {
        int fds[2];
        std::unique_ptr<handheld::EmulatedHandheld> device;
        std::unique_ptr<wire::Session> session;
        std::thread server;
    };
    const size_t idle = HeapInUse();
    {
        std::vector<Stream> streams(kStreams);
        const std::string start =
            Bytes().u32(wire::kMaxRequest).u32(0x18).u32(0x100).u32(wire::kMaxRequest - 12).s +
            std::string(1000, 'x');
        for (auto& s : streams) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s.fds), 0);
            s.device = std::make_unique<handheld::EmulatedHandheld>(dir / "hh");
            RAPIINIT init{sizeof(RAPIINIT), -1, 0};
            ASSERT_EQ(s.device->CeRapiInitEx(&init), 0);
            s.session = std::make_unique<wire::Session>(*s.device, wire::OsVersion{5, 2});
            s.server = std::thread([&s] {
                wire::ServeStream(s.fds[0], *s.session);
                s.session->end();
            });
            ASSERT_EQ(write(s.fds[1], start.data(), start.size()), ssize_t(start.size()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const size_t held = HeapInUse() - std::min(HeapInUse(), idle);
        EXPECT_LT(held, size_t(kStreams) * 256 * 1024) << "heap held by the streams: " << held;
        for (auto& s : streams) {
            shutdown(s.fds[1], SHUT_RDWR);
        }
        for (auto& s : streams) {
            s.server.join();
            close(s.fds[0]);
            close(s.fds[1]);
        }
    }
    EXPECT_LT(HeapInUse(), idle + 256 * 1024) << "idle " << idle;
}

// Over a real stream: a request declared larger than the server takes is skipped in pieces and
// answered, and the link goes on; a file written through the stream reads back the same.
TEST_F(Wire, StreamSurvivesHugeRequestsAndCarriesFiles) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    wire::Session session(device(), {5, 2});
    std::thread server([&] {
        wire::ServeStream(pair[0], session);
        session.end();
    });
    const auto call = [&](const std::string& body) {
        const std::string framed = Bytes().u32(uint32_t(body.size())).s + body;
        EXPECT_EQ(write(pair[1], framed.data(), framed.size()), ssize_t(framed.size()));
        unsigned char head[4];
        EXPECT_EQ(read(pair[1], head, 4), 4);
        std::string reply(head[0] | head[1] << 8 | head[2] << 16, '\0');
        size_t got = 0;
        while (got < reply.size()) {
            const ssize_t n = read(pair[1], reply.data() + got, reply.size() - got);
            if (n <= 0) {
                break;
            }
            got += size_t(n);
        }
        return reply;
    };
    // A write declaring more than the server takes: the body is skipped, the call fails.
    const uint32_t huge = wire::kMaxRequest + 8;
    std::string body = Bytes().u32(0x18).u32(0x100).u32(huge - 12).s;
    body.resize(huge);
    EXPECT_EQ(call(body), Bytes().u32(8).u32(0).u32(0).s);
    // The link is still there.
    const std::string handle = call(Bytes()
                                        .u32(0x16)
                                        .str2(u"\\Storage Card\\f.bin")
                                        .u32(0x40000000)
                                        .u32(0)
                                        .u32(2)
                                        .u32(0x80)
                                        .u32(0)
                                        .s);
    const uint32_t h = At(handle, 1);
    ASSERT_NE(h, 0xFFFFFFFFu);
    const std::string data = test::pattern(10000);
    EXPECT_EQ(call(Bytes().u32(0x18).u32(h).u32(uint32_t(data.size())).raw(data).s),
              Bytes().u32(0).u32(1).u32(uint32_t(data.size())).s);
    // Two requests in one send, then one in pieces: each gets its own reply, in order.
    const std::string write1 = Bytes().u32(0x18).u32(h).u32(3).raw("abc").s;
    const std::string attributes = Bytes().u32(0x14).str2(u"\\Storage Card").s;
    const std::string both = Bytes().u32(uint32_t(write1.size())).s + write1 +
                             Bytes().u32(uint32_t(attributes.size())).s + attributes;
    ASSERT_EQ(write(pair[1], both.data(), both.size()), ssize_t(both.size()));
    const auto replyOf = [&] {
        unsigned char head[4];
        EXPECT_EQ(read(pair[1], head, 4), 4);
        std::string reply(head[0], '\0');
        EXPECT_EQ(read(pair[1], reply.data(), reply.size()), ssize_t(reply.size()));
        return reply;
    };
    EXPECT_EQ(replyOf(), Bytes().u32(0).u32(1).u32(3).s);
    EXPECT_EQ(replyOf(), Bytes().u32(0).u32(0x110).s);
    const std::string write2 = Bytes().u32(0x18).u32(h).u32(3).raw("def").s;
    const std::string framed = Bytes().u32(uint32_t(write2.size())).s + write2;
    for (const size_t cut : {size_t(2), size_t(9)}) {
        ASSERT_EQ(write(pair[1], framed.data(), cut), ssize_t(cut));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(write(pair[1], framed.data() + cut, framed.size() - cut),
                  ssize_t(framed.size() - cut));
        EXPECT_EQ(replyOf(), Bytes().u32(0).u32(1).u32(3).s);
    }
    // Left open: the end of the stream closes it, with everything written.
    shutdown(pair[1], SHUT_RDWR);
    server.join();
    close(pair[1]);
    close(pair[0]);
    EXPECT_EQ(test::readFile(dir / "hh/Storage Card/f.bin"), data + "abcdefdef");
}

}  // namespace

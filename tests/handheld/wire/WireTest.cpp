// The Remote API codec of handheld-sim serve, fed request bodies directly: what SynCE sends,
// and what a broken or hostile client could send.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

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
        std::string reply;  // expected start of the reply
    };
    const Case cases[] = {
        {"unknown command, v1: not supported HRESULT",
         {4, 21},
         Bytes().u32(0x99).s,
         Bytes().u32(1).u32(0x80070032u).s},
        {"unknown command, v2: ERROR_NOT_SUPPORTED",
         {5, 2},
         Bytes().u32(0x99).s,
         Bytes().u32(50).u32(0).s},
        {"no command at all", {5, 2}, std::string("\x11\x00", 2), Bytes().u32(50).u32(0).s},
        {"v1 command number under v2 is another call",
         {5, 2},
         Bytes().u32(0x3B).s,
         Bytes().u32(50).u32(0).s},
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
        EXPECT_EQ(reply.substr(0, c.reply.size()), c.reply) << c.what;
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

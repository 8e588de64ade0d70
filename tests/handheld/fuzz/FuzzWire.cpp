// libFuzzer target: the input's first byte picks the protocol (odd: version 2, as for OS 5.2;
// even: version 1, as for 4.21), the rest is the byte stream a client sends, requests of a u32
// length and a body, served by ServeStream to an emulated handheld (main memory and a card) in a
// fresh folder. Checks on every input: the stream is served to its end without a hang, each
// reply is framed (its length is what follows it), and there is one reply per request sent
// whole.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "EmulatedHandheld.h"
#include "FuzzScratch.h"
#include "RapiWire.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

uint32_t le32(std::string_view at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(at[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(at[1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(at[2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(at[3])) << 24;
}

// The requests in the stream that are there whole: a length and as many bytes (of a request
// too long to take, its length and command, then the rest skipped).
size_t wholeRequests(std::string_view stream) {
    size_t count = 0;
    while (stream.size() >= 4) {
        const uint64_t length = le32(stream);
        if (stream.size() - 4 < length) {
            break;
        }
        stream.remove_prefix(4 + length);
        ++count;
    }
    return count;
}

const fs::path& root() {
    static const test::FuzzScratch scratch("wire-fuzz");
    return scratch.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const wire::OsVersion os = (data[0] & 1) != 0 ? wire::OsVersion{5, 2} : wire::OsVersion{4, 21};
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    const fs::path handheld = root() / "handheld";
    std::error_code ec;
    fs::remove_all(handheld, ec);
    fs::create_directories(handheld / "Storage Card");
    std::ofstream(handheld / "Storage Card/.storage-card").flush();
    std::ofstream(handheld / "module.bbl") << "module";

    handheld::EmulatedHandheld device(handheld.string());
    RAPIINIT init{sizeof(RAPIINIT), -1, 0};
    if (device.CeRapiInitEx(&init) < 0) {
        finding("the handheld does not connect");
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::perror("socketpair");
        std::abort();
    }
    // The client's two halves: one sends the stream, one takes every reply.
    std::thread sender([&] {
        for (size_t at = 0; at < stream.size();) {
            const ssize_t put = ::write(fds[1], stream.data() + at, stream.size() - at);
            if (put <= 0) {
                break;
            }
            at += static_cast<size_t>(put);
        }
        ::shutdown(fds[1], SHUT_WR);
    });
    std::string replies;
    std::thread receiver([&] {
        char buffer[65536];
        ssize_t got;
        while ((got = ::read(fds[1], buffer, sizeof buffer)) > 0) {
            replies.append(buffer, static_cast<size_t>(got));
        }
    });
    {
        wire::Session session(device, os);
        wire::ServeStream(fds[0], session);
        session.end();
    }
    sender.join();
    ::close(fds[0]);
    receiver.join();
    ::close(fds[1]);

    size_t count = 0;
    std::string_view rest(replies);
    while (rest.size() >= 4) {
        const uint32_t length = le32(rest);
        if (rest.size() - 4 < length) {
            finding("a reply is cut short");
        }
        rest.remove_prefix(4 + length);
        ++count;
    }
    if (!rest.empty()) {
        finding("bytes after the last reply");
    }
    if (count != wholeRequests(stream)) {
        finding("not one reply per request");
    }
    return 0;
}

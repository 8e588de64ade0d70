// The streams of handheld-sim serve: connection requests nobody takes up are limited per caller
// and in all, end soon, and give back their threads and descriptors; a claimed stream is served.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

#include "HandheldHelpers.h"
#include "StreamBroker.h"

namespace {

// The process's open descriptors, less the emulated handheld's one watch for the whole process,
// which its first connect opens for good.
size_t OpenDescriptors() {
    size_t n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (const dirent* entry = d != nullptr ? readdir(d) : nullptr) {
        char target[64] = {};
        const bool watch = readlinkat(dirfd(d), entry->d_name, target, sizeof target - 1) > 0 &&
                           std::string_view(target) == "anon_inode:inotify";
        n += watch ? 0 : 1;
    }
    if (d != nullptr) {
        closedir(d);
    }
    return n;
}

// Takes up a stream the way SynCE's library does: connects to the socket and receives the
// descriptor. The stream's descriptor, or -1.
int Claim(const std::string& socketPath) {
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    char byte;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    int fd = -1;
    if (recvmsg(s, &msg, 0) == 1 && CMSG_FIRSTHDR(&msg) != nullptr) {
        std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&msg)), sizeof fd);
    }
    close(s);
    return fd;
}

class BrokerTest : public ::testing::Test {
protected:
    void SetUp() override { test::makeDir(dir / "hh"); }

    std::unique_ptr<handheld::EmulatedHandheld> Device() {
        auto device = std::make_unique<handheld::EmulatedHandheld>(dir / "hh", false);
        EXPECT_TRUE(test::Connect(*device));
        return device;
    }

    std::string Offer(wire::StreamBroker& broker, uint64_t caller, int waitMs, bool& limited) {
        std::string error;
        return broker.offer(Device(), wire::OsVersion{}, error, waitMs, caller, &limited);
    }

    // Reaps until no more than left streams are active or two seconds have passed.
    static void Drain(wire::StreamBroker& broker, size_t left = 0) {
        for (int i = 0; i < 200 && broker.active() > left; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            broker.reap();
        }
        broker.reap();
    }

    test::TempDir dir;
};

TEST_F(BrokerTest, UnclaimedRequestsAreLimitedPerCallerAndInAllAndExpire) {
    const size_t idle = OpenDescriptors();
    {
        wire::StreamBroker broker(dir.str());
        bool limited = false;
        // One caller gets its share, then is refused; another caller still gets streams.
        for (size_t i = 0; i < wire::StreamBroker::kUnclaimedPerCaller; ++i) {
            EXPECT_FALSE(Offer(broker, 1, 300, limited).empty());
            EXPECT_FALSE(limited);
        }
        EXPECT_TRUE(Offer(broker, 1, 300, limited).empty());
        EXPECT_TRUE(limited);
        const std::string other = Offer(broker, 2, 5000, limited);
        ASSERT_FALSE(other.empty());

        // Many callers together stop at the limit for all.
        size_t taken = broker.unclaimed();
        for (uint64_t caller = 100; taken < wire::StreamBroker::kUnclaimed; ++caller) {
            for (size_t i = 0; i < wire::StreamBroker::kUnclaimedPerCaller &&
                               taken < wire::StreamBroker::kUnclaimed;
                 ++i, ++taken) {
                ASSERT_FALSE(Offer(broker, caller, 300, limited).empty());
            }
        }
        EXPECT_TRUE(Offer(broker, 9999, 300, limited).empty());
        EXPECT_TRUE(limited);

        // The stream that is taken up is served; the others expire and give back everything.
        const int stream = Claim(other);
        ASSERT_GE(stream, 0);
        Drain(broker, 1);
        EXPECT_EQ(broker.unclaimed(), 0u);
        EXPECT_EQ(broker.active(), 1u);
        EXPECT_FALSE(Offer(broker, 1, 300, limited).empty());  // room again
        close(stream);
        Drain(broker);
        EXPECT_EQ(broker.active(), 0u);
    }
    EXPECT_EQ(OpenDescriptors(), idle);
}

TEST_F(BrokerTest, AnUnclaimedRequestEndsWithinItsWait) {
    wire::StreamBroker broker(dir.str());
    bool limited = false;
    const auto start = std::chrono::steady_clock::now();
    const std::string path = Offer(broker, 1, 200, limited);
    ASSERT_FALSE(path.empty());
    Drain(broker);
    EXPECT_EQ(broker.active(), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(access(path.c_str(), F_OK), -1);  // its socket and folder are gone
}

}  // namespace

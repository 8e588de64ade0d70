// The streams to the emulated handheld: one-shot hand-over sockets and the threads that serve
// each stream.

#include "StreamBroker.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Posix.h"

namespace wire {

struct StreamBroker::Stream {
    std::unique_ptr<handheld::EmulatedHandheld> device;
    OsVersion os;
    int handOverWaitMs = kHandOverWait;
    uint64_t caller = 0;
    std::atomic<bool> waiting{true};  // not yet claimed (nor expired)
    std::string folder;               // the private folder with the one-shot socket
    std::string socketPath;
    posix::UniqueFd listener;
    posix::UniqueFd ours;    // the end this process serves
    posix::UniqueFd theirs;  // the end handed over
    std::mutex fdMutex;      // guards shutting down ours against its close
    bool closed = false;
    std::thread thread;
    std::atomic<bool> finished{false};
};

namespace {

// Sends fd with SCM_RIGHTS along with one NUL byte, as GLib's receiving side expects.
bool SendDescriptor(int socket, int fd) {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    ssize_t n;
    do {
        n = sendmsg(socket, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

}  // namespace

StreamBroker::StreamBroker(std::string runtimeDir) : runtimeDir_(std::move(runtimeDir)) {
    if (runtimeDir_.empty()) {
        for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
            const char* value = std::getenv(name);
            struct stat st;
            if (value != nullptr && *value != '\0' && stat(value, &st) == 0 &&
                S_ISDIR(st.st_mode) && access(value, W_OK) == 0) {
                runtimeDir_ = value;
                break;
            }
        }
        if (runtimeDir_.empty()) {
            runtimeDir_ = "/tmp";
        }
    }
}

StreamBroker::~StreamBroker() {
    stopping_ = true;
    dropAll();
    std::list<std::shared_ptr<Stream>> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(streams_);
    }
    for (auto& s : all) {
        if (s->thread.joinable()) {
            s->thread.join();
        }
    }
}

std::string StreamBroker::offer(std::unique_ptr<handheld::EmulatedHandheld> device, OsVersion os,
                                std::string& error, int handOverWaitMs, uint64_t caller,
                                bool* limited) {
    if (limited != nullptr) {
        *limited = false;
    }
    {
        std::lock_guard lock(mutex_);
        size_t all = 0, theirs = 0;
        for (const auto& other : streams_) {
            if (other->waiting) {
                ++all;
                theirs += other->caller == caller ? 1 : 0;
            }
        }
        if (theirs >= kUnclaimedPerCaller || all >= kUnclaimed) {
            error = theirs >= kUnclaimedPerCaller
                        ? "too many connections asked for and not taken up by this process"
                        : "too many connections asked for and not taken up";
            if (limited != nullptr) {
                *limited = true;
            }
            return {};
        }
    }
    auto s = std::make_shared<Stream>();
    s->device = std::move(device);
    s->os = os;
    s->handOverWaitMs = handOverWaitMs;
    s->caller = caller;

    std::string folder = runtimeDir_ + "/handheld-sim.XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {  // mkdtemp makes it 0700
        error = "cannot make a private folder in " + runtimeDir_ + ": " + std::strerror(errno);
        return {};
    }
    s->folder = folder;
    s->socketPath = folder + "/rapi";
    const auto cleanFolder = [&s] {
        unlink(s->socketPath.c_str());
        rmdir(s->folder.c_str());
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (s->socketPath.size() >= sizeof address.sun_path) {
        cleanFolder();
        error = "the socket path " + s->socketPath + " is too long";
        return {};
    }
    std::memcpy(address.sun_path, s->socketPath.c_str(), s->socketPath.size() + 1);
    s->listener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int pair[2];
    if (!s->listener.valid() ||
        bind(s->listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(s->listener.get(), 1) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("cannot make the connection's sockets: ") + std::strerror(errno);
        cleanFolder();
        return {};
    }
    s->ours.reset(pair[0]);
    s->theirs.reset(pair[1]);
    std::lock_guard lock(mutex_);
    streams_.push_back(s);
    s->thread = std::thread([this, s] { run(s); });
    return s->socketPath;
}

void StreamBroker::run(const std::shared_ptr<Stream>& s) {
    // The hand-over: the first client of this user within the wait gets the other end.
    bool handed = false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(s->handOverWaitMs);
    while (!handed && !stopping_ && std::chrono::steady_clock::now() < deadline) {
        pollfd p{s->listener.get(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        posix::UniqueFd client(accept4(s->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) {
            continue;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != geteuid()) {
            continue;  // another user's process gets nothing
        }
        handed = SendDescriptor(client.get(), s->theirs.get());
    }
    s->listener.reset();
    unlink(s->socketPath.c_str());
    rmdir(s->folder.c_str());
    s->theirs.reset();
    s->waiting = false;
    if (!handed) {
        s->device.reset();  // an unclaimed stream gives back all it holds at once
    }

    if (handed && !stopping_) {
        Session session(*s->device, s->os);
        ServeStream(s->ours.get(), session);
        session.end();
    }
    {
        std::lock_guard lock(s->fdMutex);
        s->closed = true;
        s->ours.reset();
    }
    s->device.reset();
    s->finished = true;
}

void StreamBroker::dropAll() {
    std::lock_guard lock(mutex_);
    for (auto& s : streams_) {
        std::lock_guard fdLock(s->fdMutex);
        if (!s->closed) {
            shutdown(s->ours.get(), SHUT_RDWR);
        }
    }
}

void StreamBroker::reap() {
    std::list<std::shared_ptr<Stream>> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = streams_.begin(); it != streams_.end();) {
            if ((*it)->finished) {
                done.push_back(*it);
                it = streams_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : done) {
        s->thread.join();
    }
}

size_t StreamBroker::unclaimed() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& s : streams_) {
        n += s->waiting ? 1 : 0;
    }
    return n;
}

size_t StreamBroker::active() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& s : streams_) {
        n += s->finished ? 0 : 1;
    }
    return n;
}

}  // namespace wire

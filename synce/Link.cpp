// The link to the handheld through SynCE: connect worker, calls with their bounds, watchdog.

#include "Link.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Posix.h"

namespace bridge {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The longest a reply may take: well under SynCE's 120 s, so that the user has control back
// within 15 s of the device's last answer. The operation's budget holds two reply time-outs of
// slowness and each call answered earns a tenth of one back (a second by default: a handheld
// that keeps answering each 4096-byte write within it moves at least 4 KiB/s, which even a
// serial cable's link does).
std::atomic<int> g_replyTimeoutMs{10000};
milliseconds replyTimeout() {
    return milliseconds(g_replyTimeoutMs.load(std::memory_order_relaxed));
}
Clock::duration budgetCapacity() {
    return 2 * replyTimeout();
}
Clock::duration callCredit() {
    return replyTimeout() / 10;
}

// A search's reply holds three numbers and one find record of under 600 bytes; more than this
// is a device flooding SynCE, which would keep all of it in memory.
constexpr uint64_t kSearchReplyBytes = 1 << 20;
// More entries than a handheld's folder ever holds: a search that goes on is a device looping.
constexpr uint32_t kSearchSteps = 65536;
// How often the bytes a search has read are looked at while it lasts.
constexpr std::chrono::microseconds kSearchSample{500};

thread_local RAPI_DWORD t_ownError = 0;

}  // namespace

// One connect attempt and, once it succeeded, the link it opened. Shared by the caller's side
// and the worker; everything after the worker's CeRapiInit happens under the mutex.
struct Link {
    std::mutex mutex;
    std::mutex calls;            // one call at a time; also held while the link is released
    int event = -1;              // the caller's connect event; closed when the link is ended
    RAPIINIT* record = nullptr;  // the caller's record, valid until signalled or ended
    void* connection = nullptr;  // SynCE's connection, owned by the link once done
    int socket = -1;             // a duplicate of the connection's socket, for the watchdog
    RAPI_HRESULT result = 0;
    bool done = false;
    bool ended = false;   // a disconnect or a newer connect took the link down
    bool failed = false;  // the transport failed or a bound was passed: every call fails
    // The operation's budget of slowness, under calls.
    Clock::duration budget = budgetCapacity();
    Clock::time_point lastEnd = Clock::now();
    Clock::time_point callStart;
    uint32_t searchSteps = 0;  // of the latest search, under calls
};

namespace {

std::mutex g_mutex;
// The current link; a leaked holder so that no destructor runs under a worker at exit.
std::shared_ptr<Link>& current() {
    static auto* link = new std::shared_ptr<Link>;
    return *link;
}

std::shared_ptr<Link> currentLink() {
    std::lock_guard lock(g_mutex);
    return current();
}

void blockPipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

// SynCE writes to its socket with plain write(): a hang-up raises SIGPIPE on the calling
// thread. A thread that calls on the link keeps SIGPIPE blocked from its first call on (once,
// not twice a call), and after a failed call a SIGPIPE raised meanwhile is taken back.
void blockPipeOnThisThread() {
    thread_local bool blocked = false;
    if (!blocked) {
        blockPipe();
        blocked = true;
    }
}

void takeBackPipe() {
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec now{0, 0};
        sigtimedwait(&pipe, nullptr, &now);
    }
}

// The bytes a thread of this process has read with read() so far (its "rchar"); 0 when the
// system can't tell.
uint64_t bytesRead(pid_t thread) {
    const std::string ioFile = "/proc/self/task/" + std::to_string(thread) + "/io";
    const posix::UniqueFd fd(::open(ioFile.c_str(), O_RDONLY | O_CLOEXEC));
    char text[128] = {};
    if (!fd.valid() || posix::readFull(fd.get(), text, sizeof text - 1) <= 0) {
        return 0;
    }
    const char* at = std::strstr(text, "rchar:");
    return at != nullptr ? std::strtoull(at + 6, nullptr, 10) : 0;
}

// Shuts a link's socket down when a call on it passes a bound: its deadline (the reply
// time-out or the rest of the operation's budget, whichever ends first) or, for a search, the
// bytes its reply may have. Its thread sleeps until the earliest deadline and is woken by a new
// call only when that call's deadline comes earlier: as every deadline but a search's lies
// about the same time ahead, a call doesn't wake it.
class Watchdog {
public:
    static Watchdog& instance() {
        static auto* dog = new Watchdog;  // leaked: its thread runs for the life of the process
        return *dog;
    }

    // Watches a call on socket from now until deadline; returns its ticket for disarm().
    uint64_t arm(int socket, Clock::time_point deadline, CallKind kind) {
        Watch w{0, socket, deadline, Clock::time_point::max(), 0, 0, false};
        if (kind != CallKind::kPlain) {
            w.thread = gettid();
            w.readBefore = bytesRead(w.thread);
            if (w.readBefore != 0) {
                w.sampleAt = Clock::now() + kSearchSample;
            }
        }
        std::lock_guard lock(mutex_);
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        w.ticket = ++tickets_;
        // A few watches at most (one per link's call); the vector keeps its room, so that a
        // call allocates nothing.
        watches_.push_back(w);
        if (std::min(deadline, w.sampleAt) < sleepsUntil_) {
            wake_.notify_one();
        }
        return w.ticket;
    }

    // Ends the watch; true when the socket was shut down under it.
    bool disarm(uint64_t ticket) {
        std::lock_guard lock(mutex_);
        for (Watch& w : watches_) {
            if (w.ticket == ticket) {
                const bool fired = w.fired;
                w = watches_.back();
                watches_.pop_back();
                return fired;
            }
        }
        return false;
    }

private:
    struct Watch {
        uint64_t ticket;
        int socket;
        Clock::time_point deadline;
        Clock::time_point sampleAt;  // max() for a call whose reply isn't measured
        pid_t thread;                // the calling thread, whose reads are counted
        uint64_t readBefore;
        bool fired;
    };

    bool passed(Watch& w, Clock::time_point now) {
        if (w.deadline <= now) {
            return true;
        }
        if (w.sampleAt <= now) {
            if (bytesRead(w.thread) - w.readBefore > kSearchReplyBytes) {
                return true;
            }
            w.sampleAt = now + kSearchSample;
        }
        return false;
    }

    void run() {
        blockPipe();
        std::unique_lock lock(mutex_);
        for (;;) {
            auto next = Clock::time_point::max();
            const auto now = Clock::now();
            for (Watch& w : watches_) {
                if (w.fired) {
                    continue;
                }
                if (passed(w, now)) {
                    // The socket stays open while it is watched: the link closes it only after
                    // its calls have ended.
                    ::shutdown(w.socket, SHUT_RDWR);
                    w.fired = true;
                } else {
                    next = std::min({next, w.deadline, w.sampleAt});
                }
            }
            sleepsUntil_ = next;
            if (next == Clock::time_point::max()) {
                wake_.wait(lock);
            } else {
                wake_.wait_until(lock, next);
            }
            sleepsUntil_ = Clock::time_point::min();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Watch> watches_;
    uint64_t tickets_ = 0;
    bool started_ = false;
    // When the thread wakes by itself; min() while it is awake (or not yet started).
    Clock::time_point sleepsUntil_ = Clock::time_point::min();
};

// Ends SynCE's side of a connection on the calling thread and frees it; the thread keeps no
// reference to it.
void release(const SynceLibrary& s, void* connection, bool connected) {
    if (connection == nullptr) {
        return;
    }
    blockPipeOnThisThread();
    s.rapi_connection_select(connection);
    if (connected) {
        s.CeRapiUninit();
    }
    s.rapi_connection_select(nullptr);
    s.rapi_connection_destroy(connection);
    takeBackPipe();
}

// Our own descriptor of the connection's socket: it stays valid for the watchdog even after
// SynCE closes its own on a failure. -1 when SynCE doesn't tell its socket.
int duplicateSocket(const SynceLibrary& s, void* connection) {
    if (s.rapi_connection_get_fd == nullptr) {
        return -1;
    }
    const int fd = s.rapi_connection_get_fd(connection);
    return fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
}

void connectWorker(std::shared_ptr<Link> link, const SynceLibrary* s, std::string handheld) {
    const GlibContext glib(*s);
    blockPipe();  // this thread is ours

    void* connection = s->rapi_connection_from_name(handheld.empty() ? nullptr : handheld.c_str());
    RAPI_HRESULT result = E_FAIL_HR;
    int socket = -1;
    if (connection != nullptr) {
        s->rapi_connection_select(connection);
        result = s->CeRapiInit();
        if (result >= 0) {
            socket = duplicateSocket(*s, connection);
        }
        // Drops this thread's reference: SynCE would keep the connection alive for a thread
        // that has ended.
        s->rapi_connection_select(nullptr);
    }
    std::unique_lock lock(link->mutex);
    if (link->ended) {
        // Given up on while connecting: nobody waits for it any more.
        lock.unlock();
        release(*s, connection, result >= 0);
        if (socket >= 0) {
            ::close(socket);
        }
        return;
    }
    link->connection = connection;
    link->socket = socket;
    link->result = result;
    link->done = true;
    link->lastEnd = Clock::now();
    link->record->hrRapiInit = result;
    posix::signalEvent(link->event);
}

// Takes a link down: a finished one is ended and freed here, a running connect by its worker.
// Waits for a call on the link to end (at most the reply time-out).
void end(const std::shared_ptr<Link>& link) {
    if (link == nullptr) {
        return;
    }
    std::lock_guard calls(link->calls);
    void* connection = nullptr;
    bool connected = false;
    int socket = -1;
    {
        std::lock_guard lock(link->mutex);
        link->ended = true;
        link->record = nullptr;
        if (link->event >= 0) {
            ::close(link->event);
            link->event = -1;
        }
        if (link->done) {
            connection = std::exchange(link->connection, nullptr);
            connected = link->result >= 0;
            socket = std::exchange(link->socket, -1);
        }
    }
    release(*synce(), connection, connected);
    if (socket >= 0) {
        ::close(socket);
    }
}

}  // namespace

RAPI_HRESULT connect(const SynceLibrary& s, RAPIINIT* record, const char* handheld) {
    const int event = eventfd(0, EFD_CLOEXEC);
    if (event < 0) {
        return E_FAIL_HR;
    }
    auto link = std::make_shared<Link>();
    link->event = event;
    link->record = record;
    record->heRapiInit = event;
    record->hrRapiInit = 0;

    // A connect while a link is open (the installer's check after a copy) connects afresh.
    std::shared_ptr<Link> previous;
    {
        std::lock_guard lock(g_mutex);
        previous = std::exchange(current(), link);
    }
    end(previous);
    try {
        std::thread(connectWorker, link, &s, std::string(handheld != nullptr ? handheld : ""))
            .detach();
    } catch (...) {
        {
            std::lock_guard lock(g_mutex);
            current().reset();
        }
        end(link);
        return E_FAIL_HR;
    }
    return 0;
}

void disconnect() {
    std::shared_ptr<Link> link;
    {
        std::lock_guard lock(g_mutex);
        link = std::exchange(current(), nullptr);
    }
    end(link);
}

bool linkStands() {
    const std::shared_ptr<Link> link = currentLink();
    if (link == nullptr) {
        return false;
    }
    std::lock_guard lock(link->mutex);
    return link->done && !link->ended && !link->failed && link->result >= 0;
}

LinkCall beginCall(CallKind kind) {
    LinkCall c;
    c.s = synce();
    c.link = currentLink();
    if (c.s == nullptr || c.link == nullptr) {
        return c;
    }
    c.link->calls.lock();
    int socket = -1;
    {
        std::lock_guard lock(c.link->mutex);
        if (!c.link->done || c.link->ended || c.link->failed || c.link->result < 0) {
            c.link->calls.unlock();
            return c;
        }
        socket = c.link->socket;
    }
    Link& link = *c.link;
    link.searchSteps = kind == CallKind::kSearchStart ? 0 : link.searchSteps;
    if (kind == CallKind::kSearchStep && ++link.searchSteps > kSearchSteps) {
        std::lock_guard lock(link.mutex);
        link.failed = true;
        ::shutdown(socket, SHUT_RDWR);
        link.calls.unlock();
        return c;
    }
    c.open = true;  // the turn is taken: endCall gives it back
    // Idle time fills the budget again: the next operation starts with all of it.
    const auto now = Clock::now();
    link.budget = std::min(budgetCapacity(), link.budget + (now - link.lastEnd));
    link.callStart = now;
    blockPipeOnThisThread();
    c.s->rapi_connection_select(link.connection);
    if (socket >= 0) {
        const auto allowed = std::min<Clock::duration>(replyTimeout(), link.budget);
        c.ticket = Watchdog::instance().arm(socket, now + allowed, kind);
    }
    return c;
}

void endCall(LinkCall& c, bool callFailed, bool askWhy) {
    if (!c.open) {
        return;
    }
    Link& link = *c.link;
    bool failed = c.ticket != 0 && Watchdog::instance().disarm(c.ticket);
    const auto rapiError = c.s->CeRapiGetError;
    if (!failed && askWhy && callFailed && rapiError != nullptr) {
        // SynCE says E_FAIL for a transport failure (and closes its socket); any other failure
        // result is the handheld's own answer to this call, over a link that stands, and SynCE
        // then keeps the last error of an earlier call: the result gives this call's.
        const auto why = static_cast<uint32_t>(rapiError());
        if (static_cast<RAPI_HRESULT>(why) == E_FAIL_HR) {
            failed = true;
        } else if (static_cast<RAPI_HRESULT>(why) == kNotImplemented) {
            t_ownError = ERROR_CALL_NOT_IMPLEMENTED;
        } else if ((why & 0xFFFF0000u) == 0x80070000u) {
            t_ownError = why & 0xFFFFu;  // a Win32 error as a result
        } else if ((why & 0x80000000u) != 0) {
            t_ownError = ERROR_GEN_FAILURE;
        }
    }
    c.s->rapi_connection_select(nullptr);
    const auto now = Clock::now();
    link.budget = std::min(budgetCapacity(), link.budget - (now - link.callStart) + callCredit());
    link.lastEnd = now;
    if (failed) {
        std::lock_guard lock(link.mutex);
        link.failed = true;
        if (link.socket >= 0) {
            ::shutdown(link.socket, SHUT_RDWR);
        }
    }
    if (callFailed) {
        takeBackPipe();
    }
    link.calls.unlock();
}

GlibContext::GlibContext(const SynceLibrary& s) : s_(s) {
    if (s_.hasContexts() && (context_ = s_.g_main_context_new()) != nullptr) {
        s_.g_main_context_push_thread_default(context_);
    }
}

GlibContext::~GlibContext() {
    if (context_ != nullptr) {
        while (s_.g_main_context_iteration(context_, 0) != 0) {
        }
        s_.g_main_context_pop_thread_default(context_);
        s_.g_main_context_unref(context_);
    }
}

void setOwnError(RAPI_DWORD error) {
    t_ownError = error;
}

RAPI_DWORD ownError() {
    return t_ownError;
}

void setReplyTimeout(int ms) {
    g_replyTimeoutMs = ms;
}

}  // namespace bridge

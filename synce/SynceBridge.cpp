// The device contract on top of SynCE's Remote API library (libsynce.so.0, or the older
// librapi.so.2), loaded with dlopen at the first call.
//
// SynCE connects synchronously (CeRapiInit) and keeps the current connection per thread, while
// the contract's connect is asynchronous: CeRapiInitEx returns an event that is signalled when
// the attempt ends. So the connect runs on a worker thread that signals an eventfd, and every
// other call first selects the link's connection on the calling thread. A connect that is given
// up on before it ends is left to its worker, which frees the connection when SynCE returns.
//
// SynCE's types are declared here from its documented ABI: strings are uint16_t WCHARs, handles
// and BOOLs are uint32_t. They are converted to and from the contract's explicitly.
//
// What SynCE leaves to its caller, and this bridge does:
// - Calls on one link are serialized, and each selects the link's connection only for its own
//   duration: SynCE counts the references of a thread's current connection without atomics and
//   never drops the reference a thread holds when it ends.
// - SynCE waits up to 120 s for each reply. A watchdog shuts the link's socket down when a reply
//   takes longer than kReplyTimeoutMs; the link has then failed, and so has every later call on
//   it until the next connect. (An older SynCE without rapi_connection_get_fd has no watchdog.)
// - SynCE records a transport failure only in CeRapiGetError, leaving CeGetLastError with the
//   last device error: after a failed call the bridge asks CeRapiGetError, and a link that
//   failed answers ERROR_DEVICE_NOT_CONNECTED.
// - SynCE writes to its socket with plain write(): SIGPIPE is blocked on the calling thread for
//   the call and a SIGPIPE it raised is taken back.
// - SynCE copies as many bytes into a find record as the device declares (a 32-bit size, inside
//   a reply of up to 4 GiB): the record it is given is a mapping of 4 GiB.

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "Posix.h"
#include "rapi.h"

#define BRIDGE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

namespace ce {
using WCHAR = uint16_t;
using DWORD = uint32_t;
using BOOL = uint32_t;
using HANDLE = uint32_t;
using HRESULT = int32_t;

constexpr HANDLE kInvalidHandle = 0xFFFFFFFFu;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct FIND_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[kMaxPath];
};
static_assert(sizeof(FIND_DATA) == sizeof(CE_FIND_DATA));

struct OSVERSIONINFO {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFO) == sizeof(CEOSVERSIONINFO));
}  // namespace ce

// The longest a reply may take before the link counts as failed: well under SynCE's 120 s, so
// that the window has control back within 15 s of the device's last answer.
std::atomic<int> g_replyTimeoutMs{10000};

// The largest find record SynCE may copy: its size field is 32 bits (and the reply that holds it
// at most 4 GiB).
constexpr uint64_t kFindRecordSpace = uint64_t{1} << 32;

// SynCE's functions, bound once for the life of the process.
struct Synce {
    void* (*rapi_connection_from_name)(const char* name) = nullptr;
    void (*rapi_connection_select)(void* connection) = nullptr;
    void (*rapi_connection_destroy)(void* connection) = nullptr;
    int (*rapi_connection_get_fd)(void* connection) = nullptr;
    ce::HRESULT (*CeRapiInit)() = nullptr;
    ce::HRESULT (*CeRapiUninit)() = nullptr;
    ce::HRESULT (*CeRapiGetError)() = nullptr;
    ce::DWORD (*CeGetLastError)() = nullptr;
    ce::HANDLE (*CeFindFirstFile)(const ce::WCHAR*, ce::FIND_DATA*) = nullptr;
    ce::BOOL (*CeFindNextFile)(ce::HANDLE, ce::FIND_DATA*) = nullptr;
    ce::BOOL (*CeFindClose)(ce::HANDLE) = nullptr;
    ce::BOOL (*CeCreateDirectory)(const ce::WCHAR*, void*) = nullptr;
    ce::HANDLE (*CeCreateFile)(const ce::WCHAR*, ce::DWORD, ce::DWORD, void*, ce::DWORD, ce::DWORD,
                               ce::HANDLE) = nullptr;
    ce::BOOL (*CeWriteFile)(ce::HANDLE, const void*, ce::DWORD, ce::DWORD*, void*) = nullptr;
    ce::BOOL (*CeReadFile)(ce::HANDLE, void*, ce::DWORD, ce::DWORD*, void*) = nullptr;
    ce::BOOL (*CeCloseHandle)(ce::HANDLE) = nullptr;
    ce::BOOL (*CeDeleteFile)(const ce::WCHAR*) = nullptr;
    ce::BOOL (*CeGetVersionEx)(ce::OSVERSIONINFO*) = nullptr;
    ce::BOOL (*CeMoveFile)(const ce::WCHAR*, const ce::WCHAR*) = nullptr;

    // GLib's main contexts, when SynCE uses GLib (its D-Bus connection manager support).
    void* (*g_main_context_new)() = nullptr;
    void (*g_main_context_push_thread_default)(void*) = nullptr;
    void (*g_main_context_pop_thread_default)(void*) = nullptr;
    int (*g_main_context_iteration)(void*, int) = nullptr;
    void (*g_main_context_unref)(void*) = nullptr;
};

template <typename Fn>
bool bind(void* library, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(library, name));
    return slot != nullptr;
}

const Synce* loadSynce() {
    for (const char* name : {"libsynce.so.0", "librapi.so.2"}) {
        void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            continue;
        }
        Synce s;
        const bool ok = bind(library, "rapi_connection_from_name", s.rapi_connection_from_name) &&
                        bind(library, "rapi_connection_select", s.rapi_connection_select) &&
                        bind(library, "rapi_connection_destroy", s.rapi_connection_destroy) &&
                        bind(library, "CeRapiInit", s.CeRapiInit) &&
                        bind(library, "CeRapiUninit", s.CeRapiUninit) &&
                        bind(library, "CeGetLastError", s.CeGetLastError) &&
                        bind(library, "CeFindFirstFile", s.CeFindFirstFile) &&
                        bind(library, "CeFindNextFile", s.CeFindNextFile) &&
                        bind(library, "CeFindClose", s.CeFindClose) &&
                        bind(library, "CeCreateDirectory", s.CeCreateDirectory) &&
                        bind(library, "CeCreateFile", s.CeCreateFile) &&
                        bind(library, "CeWriteFile", s.CeWriteFile) &&
                        bind(library, "CeCloseHandle", s.CeCloseHandle) &&
                        bind(library, "CeDeleteFile", s.CeDeleteFile);
        if (!ok) {
            dlclose(library);
            continue;
        }
        // Never called by the installer; bound when present.
        bind(library, "CeRapiGetError", s.CeRapiGetError);
        bind(library, "rapi_connection_get_fd", s.rapi_connection_get_fd);
        if (void* glib = dlopen("libglib-2.0.so.0", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
            if (!(bind(glib, "g_main_context_new", s.g_main_context_new) &&
                  bind(glib, "g_main_context_push_thread_default",
                       s.g_main_context_push_thread_default) &&
                  bind(glib, "g_main_context_pop_thread_default",
                       s.g_main_context_pop_thread_default) &&
                  bind(glib, "g_main_context_iteration", s.g_main_context_iteration) &&
                  bind(glib, "g_main_context_unref", s.g_main_context_unref))) {
                s.g_main_context_new = nullptr;
            }
            // Kept loaded with SynCE, which links it.
        }
        bind(library, "CeReadFile", s.CeReadFile);
        bind(library, "CeGetVersionEx", s.CeGetVersionEx);
        bind(library, "CeMoveFile", s.CeMoveFile);
        // Kept for the life of the process: a connect worker may still be inside it at exit.
        return new Synce(s);
    }
    return nullptr;
}

// Null when SynCE's library can't be loaded or lacks a function the contract needs.
const Synce* synce() {
    static const Synce* const loaded = loadSynce();
    return loaded;
}

// One connect attempt and, once it succeeded, the link it opened. Shared by the caller's side
// and the worker; everything after the worker's CeRapiInit happens under the mutex.
struct Link {
    std::mutex mutex;
    std::mutex calls;            // one call at a time; also held while the link is released
    int event = -1;              // the caller's connect event; closed when the link is ended
    RAPIINIT* record = nullptr;  // the caller's record, valid until signalled or ended
    void* connection = nullptr;  // SynCE's connection, owned by the link once done
    int socket = -1;             // a duplicate of the connection's socket, for the watchdog
    ce::HRESULT result = 0;
    bool done = false;
    bool ended = false;   // CeRapiUninit or a newer connect took the link down
    bool failed = false;  // the transport failed: every call fails at once
};

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

// SIGPIPE blocked on the calling thread while it lives; a SIGPIPE raised meanwhile is taken back
// before the old mask returns, so a hang-up can't end the program whatever SynCE was built with.
class PipeGuard {
public:
    PipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeGuard() {
        sigset_t pending;
        if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            sigtimedwait(&pipe_, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeGuard(const PipeGuard&) = delete;
    PipeGuard& operator=(const PipeGuard&) = delete;

private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool wasPending_ = false;
};

// Shuts a link's socket down when a call on it waits longer than the reply time-out for its
// answer: SynCE's wait then ends at once with a transport failure.
class Watchdog {
public:
    static Watchdog& instance() {
        static auto* dog = new Watchdog;  // leaked: its thread runs for the life of the process
        return *dog;
    }

    // Watches a call on socket from now on; returns its ticket for disarm().
    uint64_t arm(int socket) {
        std::lock_guard lock(mutex_);
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(g_replyTimeoutMs.load());
        watches_.push_back({++tickets_, socket, deadline, false});
        // Every deadline is now plus the same time-out, so the watchdog's own wake-up almost
        // always comes first: waking its thread on each call would cost more than the call.
        if (deadline < sleepsUntil_) {
            wake_.notify_one();
        }
        return tickets_;
    }

    // Ends the watch; true when the socket was shut down under it.
    bool disarm(uint64_t ticket) {
        std::lock_guard lock(mutex_);
        for (auto it = watches_.begin(); it != watches_.end(); ++it) {
            if (it->ticket == ticket) {
                const bool fired = it->fired;
                watches_.erase(it);
                return fired;
            }
        }
        return false;
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Watch {
        uint64_t ticket;
        int socket;
        Clock::time_point deadline;
        bool fired;
    };

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            auto next = Clock::time_point::max();
            const auto now = Clock::now();
            for (Watch& w : watches_) {
                if (w.fired) {
                    continue;
                }
                if (w.deadline <= now) {
                    // The socket stays open while it is watched: the link closes it only after
                    // its calls have ended.
                    ::shutdown(w.socket, SHUT_RDWR);
                    w.fired = true;
                } else {
                    next = std::min(next, w.deadline);
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
    std::list<Watch> watches_;
    uint64_t tickets_ = 0;
    bool started_ = false;
    // When the thread wakes by itself; min() while it is awake (or not yet started).
    Clock::time_point sleepsUntil_ = Clock::time_point::min();
};

// Ends SynCE's side of a connection on the calling thread and frees it; the thread keeps no
// reference to it.
void release(const Synce& s, void* connection, bool connected) {
    if (connection == nullptr) {
        return;
    }
    PipeGuard pipe;
    s.rapi_connection_select(connection);
    if (connected) {
        s.CeRapiUninit();
    }
    s.rapi_connection_select(nullptr);
    s.rapi_connection_destroy(connection);
}

// Our own descriptor of the connection's socket: it stays valid for the watchdog even after
// SynCE closes its own on a failure. -1 when SynCE doesn't tell its socket.
int duplicateSocket(const Synce& s, void* connection) {
    if (s.rapi_connection_get_fd == nullptr) {
        return -1;
    }
    const int fd = s.rapi_connection_get_fd(connection);
    return fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
}

// A GLib main context of the connect worker's own while SynCE asks the connection manager over
// D-Bus: GDBus hands the clean-up of each proxy SynCE drops to the context the proxy was made
// in, and the default one may never run (a program without a GLib loop), so each connect would
// leave its proxies behind. The worker runs its context dry before it ends.
class WorkerContext {
public:
    explicit WorkerContext(const Synce& s) : s_(s) {
        if (s_.g_main_context_new != nullptr && (context_ = s_.g_main_context_new()) != nullptr) {
            s_.g_main_context_push_thread_default(context_);
        }
    }
    ~WorkerContext() {
        if (context_ != nullptr) {
            while (s_.g_main_context_iteration(context_, 0) != 0) {
            }
            s_.g_main_context_pop_thread_default(context_);
            s_.g_main_context_unref(context_);
        }
    }
    WorkerContext(const WorkerContext&) = delete;
    WorkerContext& operator=(const WorkerContext&) = delete;

private:
    const Synce& s_;
    void* context_ = nullptr;
};

void connectWorker(std::shared_ptr<Link> link, const Synce* s) {
    const WorkerContext glib(*s);
    // This thread is ours: SIGPIPE stays blocked on it for good.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    void* connection = s->rapi_connection_from_name(nullptr);
    ce::HRESULT result = E_FAIL_HR;
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

// Runs call on the open link's connection, selected on the calling thread for the call only,
// or returns failure at once when no link is open or the open one has failed. A call that
// returns failure is followed by CeRapiGetError (unless it asks only for an error itself); a
// transport failure there, or a reply the watchdog gave up on, fails the link.
template <typename R, typename Call>
R onLink(R failure, Call&& call, bool askWhy = true) {
    const Synce* s = synce();
    const std::shared_ptr<Link> link = currentLink();
    if (s == nullptr || link == nullptr) {
        return failure;
    }
    std::lock_guard calls(link->calls);
    void* connection = nullptr;
    int socket = -1;
    {
        std::lock_guard lock(link->mutex);
        if (!link->done || link->ended || link->failed || link->result < 0) {
            return failure;
        }
        connection = link->connection;
        socket = link->socket;
    }
    PipeGuard pipe;
    s->rapi_connection_select(connection);
    const uint64_t ticket = socket >= 0 ? Watchdog::instance().arm(socket) : 0;
    const R result = call(*s);
    bool failed = socket >= 0 && Watchdog::instance().disarm(ticket);
    if (!failed && askWhy && result == failure && s->CeRapiGetError != nullptr) {
        failed = s->CeRapiGetError() < 0;
    }
    s->rapi_connection_select(nullptr);
    if (failed) {
        std::lock_guard lock(link->mutex);
        link->failed = true;
        if (link->socket >= 0) {
            ::shutdown(link->socket, SHUT_RDWR);
        }
    }
    return result;
}

// Whether the open link stands: connected and not failed.
bool linkStands() {
    const std::shared_ptr<Link> link = currentLink();
    if (link == nullptr) {
        return false;
    }
    std::lock_guard lock(link->mutex);
    return link->done && !link->ended && !link->failed && link->result >= 0;
}

// A find record as large as SynCE may fill, in fresh zeroed pages that cost nothing until
// written and are returned when it goes.
class FindRecord {
public:
    FindRecord() {
        if constexpr (sizeof(size_t) > 4) {
            void* p = mmap(nullptr, static_cast<size_t>(kFindRecordSpace), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            data_ = p != MAP_FAILED ? static_cast<ce::FIND_DATA*>(p) : nullptr;
        }
    }
    ~FindRecord() {
        if (data_ != nullptr) {
            munmap(data_, static_cast<size_t>(kFindRecordSpace));
        }
    }
    FindRecord(const FindRecord&) = delete;
    FindRecord& operator=(const FindRecord&) = delete;

    // Null when the space can't be had: the search then fails rather than risk SynCE's copy.
    ce::FIND_DATA* get() const { return data_; }

private:
    ce::FIND_DATA* data_ = nullptr;
};

// ---- conversions between the contract's types and SynCE's ----

std::vector<ce::WCHAR> synceText(const char16_t* text) {
    std::vector<ce::WCHAR> out;
    if (text != nullptr) {
        for (; *text != u'\0'; ++text) {
            out.push_back(static_cast<ce::WCHAR>(*text));
        }
    }
    out.push_back(0);
    return out;
}

ce::HANDLE synceHandle(RAPI_HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? ce::kInvalidHandle : static_cast<ce::HANDLE>(h);
}

RAPI_HANDLE contractHandle(ce::HANDLE h) {
    return h == ce::kInvalidHandle ? INVALID_HANDLE_VALUE : static_cast<RAPI_HANDLE>(h);
}

// The contract's BOOL is 1 or 0 and only its low 16 bits are looked at.
RAPI_BOOL contractBool(ce::BOOL b) {
    return b != 0 ? 1 : 0;
}

template <size_t N>
void copyText(const ce::WCHAR (&from)[N], char16_t (&to)[N]) {
    size_t i = 0;
    for (; i + 1 < N && from[i] != 0; ++i) {
        to[i] = static_cast<char16_t>(from[i]);
    }
    for (; i < N; ++i) {
        to[i] = u'\0';
    }
}

void toContract(const ce::FIND_DATA& from, CE_FIND_DATA* to) {
    to->dwFileAttributes = from.dwFileAttributes;
    to->ftCreationTime = {from.ftCreationTime.dwLowDateTime, from.ftCreationTime.dwHighDateTime};
    to->ftLastAccessTime = {from.ftLastAccessTime.dwLowDateTime,
                            from.ftLastAccessTime.dwHighDateTime};
    to->ftLastWriteTime = {from.ftLastWriteTime.dwLowDateTime, from.ftLastWriteTime.dwHighDateTime};
    to->nFileSizeHigh = from.nFileSizeHigh;
    to->nFileSizeLow = from.nFileSizeLow;
    to->dwOID = from.dwOID;
    copyText(from.cFileName, to->cFileName);
}

}  // namespace

// Whether SynCE's library can be loaded; the installer asks before it chooses this bridge.
BRIDGE_EXPORT int trestel_synce_available() {
    return synce() != nullptr ? 1 : 0;
}

// The record must stay valid until its event is signalled or CeRapiUninit is called.
BRIDGE_EXPORT RAPI_HRESULT CeRapiInitEx(RAPIINIT* pRapiInit) {
    if (pRapiInit == nullptr || pRapiInit->cbSize != sizeof(RAPIINIT)) {
        return E_INVALIDARG_HR;
    }
    const Synce* s = synce();
    if (s == nullptr) {
        return E_FAIL_HR;
    }
    const int event = eventfd(0, EFD_CLOEXEC);
    if (event < 0) {
        return E_FAIL_HR;
    }
    auto link = std::make_shared<Link>();
    link->event = event;
    link->record = pRapiInit;
    pRapiInit->heRapiInit = event;
    pRapiInit->hrRapiInit = 0;

    // A connect while a link is open (the installer's check after a copy) connects afresh.
    std::shared_ptr<Link> previous;
    {
        std::lock_guard lock(g_mutex);
        previous = std::exchange(current(), link);
    }
    end(previous);
    try {
        std::thread(connectWorker, link, s).detach();
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

BRIDGE_EXPORT RAPI_HRESULT CeRapiUninit() {
    std::shared_ptr<Link> link;
    {
        std::lock_guard lock(g_mutex);
        link = std::exchange(current(), nullptr);
    }
    end(link);
    return 0;
}

BRIDGE_EXPORT RAPI_HANDLE CeFindFirstFile(const char16_t* lpFileName,
                                          CE_FIND_DATA* lpFindFileData) {
    if (lpFindFileData == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    const FindRecord data;
    if (data.get() == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    return onLink(INVALID_HANDLE_VALUE, [&](const Synce& s) {
        const RAPI_HANDLE h =
            contractHandle(s.CeFindFirstFile(synceText(lpFileName).data(), data.get()));
        if (h != INVALID_HANDLE_VALUE) {
            toContract(*data.get(), lpFindFileData);
        }
        return h;
    });
}

BRIDGE_EXPORT RAPI_BOOL CeFindNextFile(RAPI_HANDLE hFindFile, CE_FIND_DATA* lpFindFileData) {
    if (lpFindFileData == nullptr) {
        return 0;
    }
    const FindRecord data;
    if (data.get() == nullptr) {
        return 0;
    }
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) {
        const RAPI_BOOL found = contractBool(s.CeFindNextFile(synceHandle(hFindFile), data.get()));
        if (found != 0) {
            toContract(*data.get(), lpFindFileData);
        }
        return found;
    });
}

BRIDGE_EXPORT RAPI_BOOL CeFindClose(RAPI_HANDLE hFindFile) {
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) {
        return contractBool(s.CeFindClose(synceHandle(hFindFile)));
    });
}

BRIDGE_EXPORT RAPI_BOOL CeCreateDirectory(const char16_t* lpPathName, void*) {
    // Security attributes mean nothing across the link; SynCE is always given none.
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) {
        return contractBool(s.CeCreateDirectory(synceText(lpPathName).data(), nullptr));
    });
}

BRIDGE_EXPORT RAPI_HANDLE CeCreateFile(const char16_t* lpFileName, RAPI_DWORD dwDesiredAccess,
                                       RAPI_DWORD dwShareMode, void*,
                                       RAPI_DWORD dwCreationDisposition,
                                       RAPI_DWORD dwFlagsAndAttributes, RAPI_HANDLE hTemplateFile) {
    return onLink(INVALID_HANDLE_VALUE, [&](const Synce& s) {
        return contractHandle(s.CeCreateFile(synceText(lpFileName).data(), dwDesiredAccess,
                                             dwShareMode, nullptr, dwCreationDisposition,
                                             dwFlagsAndAttributes, synceHandle(hTemplateFile)));
    });
}

// A link that failed, or none, answers ERROR_DEVICE_NOT_CONNECTED: SynCE would still give the
// device's last error from before the failure.
BRIDGE_EXPORT RAPI_DWORD CeGetLastError() {
    if (!linkStands()) {
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    return onLink(
        ERROR_DEVICE_NOT_CONNECTED, [](const Synce& s) { return RAPI_DWORD{s.CeGetLastError()}; },
        false);
}

BRIDGE_EXPORT RAPI_BOOL CeWriteFile(RAPI_HANDLE hFile, const void* lpBuffer,
                                    RAPI_DWORD nNumberOfBytesToWrite,
                                    RAPI_DWORD* lpNumberOfBytesWritten, void*) {
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = 0;
    }
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) {
        ce::DWORD written = 0;
        const RAPI_BOOL ok = contractBool(
            s.CeWriteFile(synceHandle(hFile), lpBuffer, nNumberOfBytesToWrite, &written, nullptr));
        if (lpNumberOfBytesWritten != nullptr) {
            *lpNumberOfBytesWritten = written;
        }
        return ok;
    });
}

BRIDGE_EXPORT RAPI_BOOL CeCloseHandle(RAPI_HANDLE hObject) {
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) {
        return contractBool(s.CeCloseHandle(synceHandle(hObject)));
    });
}

BRIDGE_EXPORT RAPI_BOOL CeDeleteFile(const char16_t* lpFileName) {
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) {
        return contractBool(s.CeDeleteFile(synceText(lpFileName).data()));
    });
}

BRIDGE_EXPORT RAPI_BOOL CeMoveFile(const char16_t* lpExistingFileName,
                                   const char16_t* lpNewFileName) {
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) -> RAPI_BOOL {
        if (s.CeMoveFile == nullptr) {
            return 0;
        }
        return contractBool(
            s.CeMoveFile(synceText(lpExistingFileName).data(), synceText(lpNewFileName).data()));
    });
}

// Not asked of SynCE yet: the installer then shows the free space as unknown.
BRIDGE_EXPORT RAPI_BOOL CeGetDiskFreeSpaceEx(const char16_t*, uint64_t*, uint64_t*, uint64_t*) {
    return 0;
}

// The handheld SynCE connects to by default is the only one offered for now.
BRIDGE_EXPORT RAPI_DWORD RapiEnumDevices(char16_t*, RAPI_DWORD) {
    return 0;
}

BRIDGE_EXPORT RAPI_BOOL RapiSelectDevice(const char16_t* lpName) {
    return lpName == nullptr || *lpName == u'\0' ? 1 : 0;
}

BRIDGE_EXPORT RAPI_BOOL RapiDeviceLocked() {
    return 0;
}

BRIDGE_EXPORT RAPI_BOOL RapiUnlockDevice(const char16_t*) {
    return 0;
}

BRIDGE_EXPORT RAPI_BOOL CeGetVersionEx(CEOSVERSIONINFO* lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        return 0;
    }
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) -> RAPI_BOOL {
        if (s.CeGetVersionEx == nullptr) {
            return 0;
        }
        ce::OSVERSIONINFO info{};
        info.dwOSVersionInfoSize = sizeof info;
        if (s.CeGetVersionEx(&info) == 0) {
            return 0;
        }
        lpVersionInformation->dwMajorVersion = info.dwMajorVersion;
        lpVersionInformation->dwMinorVersion = info.dwMinorVersion;
        lpVersionInformation->dwBuildNumber = info.dwBuildNumber;
        lpVersionInformation->dwPlatformId = info.dwPlatformId;
        copyText(info.szCSDVersion, lpVersionInformation->szCSDVersion);
        return 1;
    });
}

BRIDGE_EXPORT RAPI_BOOL CeReadFile(RAPI_HANDLE hFile, void* lpBuffer,
                                   RAPI_DWORD nNumberOfBytesToRead, RAPI_DWORD* lpNumberOfBytesRead,
                                   void*) {
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = 0;
    }
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) -> RAPI_BOOL {
        if (s.CeReadFile == nullptr) {
            return 0;
        }
        ce::DWORD read = 0;
        const RAPI_BOOL ok = contractBool(
            s.CeReadFile(synceHandle(hFile), lpBuffer, nNumberOfBytesToRead, &read, nullptr));
        if (lpNumberOfBytesRead != nullptr) {
            *lpNumberOfBytesRead = read;
        }
        return ok;
    });
}

BRIDGE_EXPORT RAPI_HRESULT CeRapiGetError() {
    if (!linkStands()) {
        return E_NOT_CONNECTED_HR;
    }
    return onLink(
        E_NOT_CONNECTED_HR,
        [](const Synce& s) {
            return s.CeRapiGetError != nullptr ? RAPI_HRESULT{s.CeRapiGetError()} : RAPI_HRESULT{0};
        },
        false);
}

// For tests: the reply time-out in milliseconds (the default is 10 s).
BRIDGE_EXPORT void trestel_synce_set_reply_timeout(int ms) {
    g_replyTimeoutMs = ms;
}

// The bridge exports every device function of the contract, each with its contract type.
#define BRIDGE_EXPORTS(name, ...) \
    static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name " as the contract has it");
RAPI_DEVICE_FUNCTIONS(BRIDGE_EXPORTS)
#undef BRIDGE_EXPORTS

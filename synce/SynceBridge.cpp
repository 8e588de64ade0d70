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

#include <dlfcn.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

// SynCE's functions, bound once for the life of the process.
struct Synce {
    void* (*rapi_connection_from_name)(const char* name) = nullptr;
    void (*rapi_connection_select)(void* connection) = nullptr;
    void (*rapi_connection_destroy)(void* connection) = nullptr;
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
        bind(library, "CeReadFile", s.CeReadFile);
        bind(library, "CeGetVersionEx", s.CeGetVersionEx);
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
    int event = -1;              // the caller's connect event; closed when the link is ended
    RAPIINIT* record = nullptr;  // the caller's record, valid until signalled or ended
    void* connection = nullptr;  // SynCE's connection, owned by the link once done
    ce::HRESULT result = 0;
    bool done = false;
    bool ended = false;  // CeRapiUninit or a newer connect took the link down
};

std::mutex g_mutex;
// The current link; a leaked holder so that no destructor runs under a worker at exit.
std::shared_ptr<Link>& current() {
    static auto* link = new std::shared_ptr<Link>;
    return *link;
}

// Ends SynCE's side of a connection on the calling thread and frees it.
void release(const Synce& s, void* connection, bool connected) {
    if (connection == nullptr) {
        return;
    }
    s.rapi_connection_select(connection);
    if (connected) {
        s.CeRapiUninit();
    }
    s.rapi_connection_destroy(connection);
}

void connectWorker(std::shared_ptr<Link> link, const Synce* s) {
    void* connection = s->rapi_connection_from_name(nullptr);
    ce::HRESULT result = E_FAIL_HR;
    if (connection != nullptr) {
        s->rapi_connection_select(connection);
        result = s->CeRapiInit();
    }
    std::unique_lock lock(link->mutex);
    if (link->ended) {
        // Given up on while connecting: nobody waits for it any more.
        lock.unlock();
        release(*s, connection, result >= 0);
        return;
    }
    link->connection = connection;
    link->result = result;
    link->done = true;
    link->record->hrRapiInit = result;
    posix::signalEvent(link->event);
}

// Takes a link down: a finished one is ended and freed here, a running connect by its worker.
void end(const std::shared_ptr<Link>& link) {
    if (link == nullptr) {
        return;
    }
    void* connection = nullptr;
    bool connected = false;
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
        }
    }
    release(*synce(), connection, connected);
}

// The connection of the open link, selected on the calling thread; null when no link is open.
void* select() {
    std::shared_ptr<Link> link;
    {
        std::lock_guard lock(g_mutex);
        link = current();
    }
    if (link == nullptr) {
        return nullptr;
    }
    void* connection = nullptr;
    {
        std::lock_guard lock(link->mutex);
        if (link->done && !link->ended && link->result >= 0) {
            connection = link->connection;
        }
    }
    if (connection != nullptr) {
        synce()->rapi_connection_select(connection);
    }
    return connection;
}

// Runs call on the open link's connection, or returns failure when there is none.
template <typename R, typename Call>
R onLink(R failure, Call&& call) {
    const Synce* s = synce();
    if (s == nullptr || select() == nullptr) {
        return failure;
    }
    return call(*s);
}

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
    return onLink(INVALID_HANDLE_VALUE, [&](const Synce& s) {
        ce::FIND_DATA data{};
        const RAPI_HANDLE h =
            contractHandle(s.CeFindFirstFile(synceText(lpFileName).data(), &data));
        if (h != INVALID_HANDLE_VALUE) {
            toContract(data, lpFindFileData);
        }
        return h;
    });
}

BRIDGE_EXPORT RAPI_BOOL CeFindNextFile(RAPI_HANDLE hFindFile, CE_FIND_DATA* lpFindFileData) {
    if (lpFindFileData == nullptr) {
        return 0;
    }
    return onLink(RAPI_BOOL{0}, [&](const Synce& s) {
        ce::FIND_DATA data{};
        const RAPI_BOOL found = contractBool(s.CeFindNextFile(synceHandle(hFindFile), &data));
        if (found != 0) {
            toContract(data, lpFindFileData);
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

BRIDGE_EXPORT RAPI_DWORD CeGetLastError() {
    return onLink(ERROR_DEVICE_NOT_CONNECTED,
                  [](const Synce& s) { return RAPI_DWORD{s.CeGetLastError()}; });
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
    return onLink(E_FAIL_HR, [](const Synce& s) {
        return s.CeRapiGetError != nullptr ? RAPI_HRESULT{s.CeRapiGetError()} : RAPI_HRESULT{0};
    });
}

// The bridge exports every device function of the contract, each with its contract type.
#define BRIDGE_EXPORTS(name, ...) \
    static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name " as the contract has it");
RAPI_DEVICE_FUNCTIONS(BRIDGE_EXPORTS)
#undef BRIDGE_EXPORTS

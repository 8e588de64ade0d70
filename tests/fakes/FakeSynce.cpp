// A stand-in for SynCE's Remote API library: the same exported names and types (uint16_t
// strings, uint32_t handles and BOOLs, a synchronous CeRapiInit, no CeRapiInitEx) and the same
// per-thread current connection, so that a call on a thread without one fails. Behind it is an
// emulated handheld rooted at $FAKE_SYNCE_DEVICE; a missing root is no device at all.
// $FAKE_SYNCE_CONTROL may name a file read at each connect: "connect-ms=N" makes it slow.

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "EmulatedHandheld.h"
#include "FakeSynce.h"

#define SYNCE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using WCHAR = uint16_t;
using DWORD = uint32_t;
using BOOL = uint32_t;
using HANDLE = uint32_t;
using HRESULT = int32_t;
constexpr HANDLE kInvalidHandle = 0xFFFFFFFFu;
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);

struct FindData {
    DWORD attributes;
    DWORD times[6];
    DWORD sizeHigh, sizeLow, oid;
    WCHAR name[kMaxPath];
};

struct Connection {
    bool up = false;
};

std::mutex g_mutex;
// Leaked, so that a connect still running at exit never meets a destroyed set.
std::set<Connection*>& g_live = *new std::set<Connection*>;
FakeSynceCounters g_counters;
thread_local Connection* t_current = nullptr;

std::string root() {
    const char* path = std::getenv("FAKE_SYNCE_DEVICE");
    return path != nullptr ? path : "";
}

handheld::EmulatedHandheld& device() {
    static auto* d = new handheld::EmulatedHandheld(root());
    return *d;
}

int connectDelayMs() {
    const char* control = std::getenv("FAKE_SYNCE_CONTROL");
    std::ifstream in(control != nullptr ? control : "");
    std::string line;
    int ms = 0;
    while (std::getline(in, line)) {
        if (line.rfind("connect-ms=", 0) == 0) {
            ms = std::atoi(line.c_str() + 11);
        }
    }
    return ms;
}

// The calling thread's connection when it is selected, alive and (if asked) connected.
Connection* selected(bool connected = true) {
    std::lock_guard lock(g_mutex);
    if (t_current == nullptr || g_live.count(t_current) == 0) {
        ++g_counters.refused;
        return nullptr;
    }
    return !connected || t_current->up ? t_current : nullptr;
}

std::u16string text(const WCHAR* s) {
    std::u16string out;
    for (; s != nullptr && *s != 0; ++s) {
        out.push_back(static_cast<char16_t>(*s));
    }
    return out;
}

HANDLE handle(RAPI_HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : static_cast<HANDLE>(h);
}

void copy(const CE_FIND_DATA& from, FindData* to) {
    to->attributes = from.dwFileAttributes;
    to->sizeHigh = from.nFileSizeHigh;
    to->sizeLow = from.nFileSizeLow;
    for (int i = 0; i < kMaxPath; ++i) {
        to->name[i] = static_cast<WCHAR>(from.cFileName[i]);
    }
}

}  // namespace

SYNCE_EXPORT void fake_synce_counters(FakeSynceCounters* out) {
    std::lock_guard lock(g_mutex);
    *out = g_counters;
}

SYNCE_EXPORT void* rapi_connection_from_name(const char*) {
    std::error_code error;
    if (!std::filesystem::is_directory(root(), error)) {
        std::fprintf(stderr, "fake synce: no device is connected\n");
        return nullptr;
    }
    std::lock_guard lock(g_mutex);
    auto* connection = new Connection;
    g_live.insert(connection);
    ++g_counters.live;
    return connection;
}

SYNCE_EXPORT void rapi_connection_select(void* connection) {
    t_current = static_cast<Connection*>(connection);
}

SYNCE_EXPORT void rapi_connection_destroy(void* connection) {
    std::lock_guard lock(g_mutex);
    if (g_live.erase(static_cast<Connection*>(connection)) != 0) {
        delete static_cast<Connection*>(connection);
        --g_counters.live;
    }
    if (t_current == connection) {
        t_current = nullptr;
    }
}

SYNCE_EXPORT HRESULT CeRapiInit() {
    Connection* connection = selected(false);
    if (connection == nullptr) {
        return kFail;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(connectDelayMs()));
    RAPIINIT init{sizeof(RAPIINIT), 0, 0};
    pollfd fd{};
    const bool answered = device().CeRapiInitEx(&init) >= 0 &&
                          (fd = {init.heRapiInit, POLLIN, 0}, poll(&fd, 1, 0) == 1) &&
                          init.hrRapiInit >= 0;
    std::lock_guard lock(g_mutex);
    if (!answered || g_live.count(connection) == 0) {
        return kFail;
    }
    connection->up = true;
    ++g_counters.connects;
    return 0;
}

SYNCE_EXPORT HRESULT CeRapiUninit() {
    Connection* connection = selected();
    if (connection == nullptr) {
        return kFail;
    }
    std::lock_guard lock(g_mutex);
    connection->up = false;
    ++g_counters.uninits;
    return 0;
}

SYNCE_EXPORT HRESULT CeRapiGetError() {
    return 0;
}

SYNCE_EXPORT DWORD CeGetLastError() {
    return selected() != nullptr ? device().CeGetLastError() : ERROR_DEVICE_NOT_CONNECTED;
}

SYNCE_EXPORT HANDLE CeFindFirstFile(const WCHAR* pattern, FindData* data) {
    if (selected() == nullptr) {
        return kInvalidHandle;
    }
    CE_FIND_DATA found{};
    const RAPI_HANDLE h = device().CeFindFirstFile(text(pattern).c_str(), &found);
    copy(found, data);
    return handle(h);
}

SYNCE_EXPORT BOOL CeFindNextFile(HANDLE search, FindData* data) {
    if (selected() == nullptr) {
        return 0;
    }
    CE_FIND_DATA found{};
    const RAPI_BOOL more = device().CeFindNextFile(static_cast<RAPI_HANDLE>(search), &found);
    copy(found, data);
    return more != 0 ? 1 : 0;
}

SYNCE_EXPORT BOOL CeFindClose(HANDLE search) {
    return selected() != nullptr && device().CeFindClose(static_cast<RAPI_HANDLE>(search)) ? 1 : 0;
}

SYNCE_EXPORT BOOL CeCreateDirectory(const WCHAR* path, void*) {
    return selected() != nullptr && device().CeCreateDirectory(text(path).c_str(), nullptr) ? 1 : 0;
}

SYNCE_EXPORT HANDLE CeCreateFile(const WCHAR* path, DWORD access, DWORD share, void*,
                                 DWORD disposition, DWORD attributes, HANDLE) {
    if (selected() == nullptr) {
        return kInvalidHandle;
    }
    return handle(device().CeCreateFile(text(path).c_str(), access, share, nullptr, disposition,
                                        attributes, INVALID_HANDLE_VALUE));
}

SYNCE_EXPORT BOOL CeWriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void*) {
    if (selected() == nullptr) {
        return 0;
    }
    {
        std::lock_guard lock(g_mutex);
        ++g_counters.writes;
        g_counters.largestWrite = std::max(g_counters.largestWrite, count);
    }
    return device().CeWriteFile(static_cast<RAPI_HANDLE>(file), buffer, count, written, nullptr)
               ? 1
               : 0;
}

SYNCE_EXPORT BOOL CeReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void*) {
    return selected() != nullptr &&
                   device().CeReadFile(static_cast<RAPI_HANDLE>(file), buffer, count, read, nullptr)
               ? 1
               : 0;
}

SYNCE_EXPORT BOOL CeCloseHandle(HANDLE h) {
    return selected() != nullptr && device().CeCloseHandle(static_cast<RAPI_HANDLE>(h)) ? 1 : 0;
}

SYNCE_EXPORT BOOL CeDeleteFile(const WCHAR* path) {
    return selected() != nullptr && device().CeDeleteFile(text(path).c_str()) ? 1 : 0;
}

SYNCE_EXPORT BOOL CeGetVersionEx(void* info) {
    return selected() != nullptr && device().CeGetVersionEx(static_cast<CEOSVERSIONINFO*>(info))
               ? 1
               : 0;
}

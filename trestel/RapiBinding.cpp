// Binds the device table on first use: the library named by TRESTEL_RAPI_LIBRARY through
// dlopen/dlsym, or else the built-in emulated handheld. Also the real wait on the connect event.

#include <dlfcn.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "DeviceApi.h"
#include "EmulatedHandheld.h"

namespace {

template <typename Fn>
bool bindSymbol(void* library, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(library, name));
    return slot != nullptr;
}

// Returns an empty string on success, the reason otherwise.
std::string bindLibrary(const char* path, RapiTable& table) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        return why != nullptr ? why : "dlopen failed";
    }
    const bool ok = bindSymbol(library, "CeRapiInitEx", table.CeRapiInitEx) &&
                    bindSymbol(library, "CeRapiUninit", table.CeRapiUninit) &&
                    bindSymbol(library, "CeFindFirstFile", table.CeFindFirstFile) &&
                    bindSymbol(library, "CeFindNextFile", table.CeFindNextFile) &&
                    bindSymbol(library, "CeFindClose", table.CeFindClose) &&
                    bindSymbol(library, "CeCreateDirectory", table.CeCreateDirectory) &&
                    bindSymbol(library, "CeCreateFile", table.CeCreateFile) &&
                    bindSymbol(library, "CeGetLastError", table.CeGetLastError) &&
                    bindSymbol(library, "CeWriteFile", table.CeWriteFile) &&
                    bindSymbol(library, "CeCloseHandle", table.CeCloseHandle) &&
                    bindSymbol(library, "CeDeleteFile", table.CeDeleteFile);
    if (!ok) {
        // A library without the whole contract is as good as none.
        std::string why = std::string(path) + ": missing device function";
        table = RapiTable{};
        dlclose(library);
        return why;
    }
    // Declared by the contract but never called; bound when present.
    bindSymbol(library, "CeGetVersionEx", table.CeGetVersionEx);
    bindSymbol(library, "CeReadFile", table.CeReadFile);
    bindSymbol(library, "CeRapiGetError", table.CeRapiGetError);
    return {};
}

class BoundDeviceApi final : public DeviceApi {
public:
    RAPI_HRESULT CeRapiInitEx(RAPIINIT* p) override { return table().CeRapiInitEx(p); }
    RAPI_HRESULT CeRapiUninit() override { return table().CeRapiUninit(); }
    RAPI_HANDLE CeFindFirstFile(const char16_t* name, CE_FIND_DATA* data) override {
        return table().CeFindFirstFile(name, data);
    }
    RAPI_BOOL CeFindNextFile(RAPI_HANDLE h, CE_FIND_DATA* data) override {
        return table().CeFindNextFile(h, data);
    }
    RAPI_BOOL CeFindClose(RAPI_HANDLE h) override { return table().CeFindClose(h); }
    RAPI_BOOL CeCreateDirectory(const char16_t* path, void* sa) override {
        return table().CeCreateDirectory(path, sa);
    }
    RAPI_HANDLE CeCreateFile(const char16_t* name, RAPI_DWORD access, RAPI_DWORD share, void* sa,
                             RAPI_DWORD disposition, RAPI_DWORD attributes,
                             RAPI_HANDLE hTemplate) override {
        return table().CeCreateFile(name, access, share, sa, disposition, attributes, hTemplate);
    }
    RAPI_DWORD CeGetLastError() override { return table().CeGetLastError(); }
    RAPI_BOOL CeWriteFile(RAPI_HANDLE h, const void* buffer, RAPI_DWORD count, RAPI_DWORD* written,
                          void* overlapped) override {
        return table().CeWriteFile(h, buffer, count, written, overlapped);
    }
    RAPI_BOOL CeCloseHandle(RAPI_HANDLE h) override { return table().CeCloseHandle(h); }
    RAPI_BOOL CeDeleteFile(const char16_t* name) override { return table().CeDeleteFile(name); }

private:
    // Bound once, at the first call; a failed binding fails every call.
    const RapiTable& table() {
        if (!bound_) {
            bound_ = true;
            const char* library = std::getenv("TRESTEL_RAPI_LIBRARY");
            if (library != nullptr && *library != '\0') {
                failure_ = bindLibrary(library, table_);
            } else {
                table_ = handheld::BuiltInTable();
            }
        }
        if (!failure_.empty()) {
            throw DeviceUnavailable(failure_);
        }
        return table_;
    }

    bool bound_ = false;
    std::string failure_;
    RapiTable table_;
};

class PollWaiter final : public Waiter {
public:
    RAPI_DWORD WaitForSingleObject(RAPI_HANDLE hHandle, RAPI_DWORD dwMilliseconds) override {
        pollfd fd{hHandle, POLLIN, 0};
        const bool bForever = dwMilliseconds > 0x7fffffffu;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
        int ready;
        do {
            // An interrupted wait goes on with the time that is left, not with the whole wait.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const int timeout =
                bForever ? -1 : static_cast<int>(std::max<int64_t>(0, left.count()));
            ready = poll(&fd, 1, timeout);
        } while (ready < 0 && errno == EINTR);
        return ready > 0 && (fd.revents & POLLIN) != 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
};

}  // namespace

DeviceApi& realDeviceApi() {
    static BoundDeviceApi api;
    return api;
}

Waiter& realWaiter() {
    static PollWaiter waiter;
    return waiter;
}

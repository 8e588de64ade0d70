// Binds the device table on first use, from the first of: the library named by
// TRESTEL_RAPI_LIBRARY; the built-in emulated handheld when TRESTEL_DEVICE is set; a real
// handheld through the SynCE bridge when SynCE's library can be loaded; the built-in emulated
// handheld. Also the real wait on the connect event and where the bridge is looked for.

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DeviceApi.h"
#include "EmulatedHandheld.h"
#include "Posix.h"
#include "Text.h"

namespace {

// A path or reason as one terminal line: control characters escaped, as every program's lines are.
std::string shown(const std::string& text) {
    return text::oneLine(text);
}

template <typename Fn>
bool bindSymbol(void* library, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(library, name));
    return slot != nullptr;
}

// A function of the contract that the bound library doesn't export fails like a device that
// can't be reached.
template <typename Fn>
Fn present(Fn fn, const char* name) {
    if (fn == nullptr) {
        throw DeviceUnavailable(std::string("the device library has no ") + name);
    }
    return fn;
}

std::string loadError() {
    const char* why = dlerror();
    return why != nullptr ? why : "dlopen failed";
}

// Binds the table from a loaded library (closed again when it lacks a function the installer
// calls). Returns an empty string on success, the reason otherwise.
std::string bindLibrary(void* library, const std::string& path, RapiTable& table) {
    bool ok = true;
    // The rest of the contract is bound when present.
#define TRESTEL_BIND(name, result, parameters, arguments, use) \
    ok = (bindSymbol(library, #name, table.name) || RapiUse::use == RapiUse::kDeclared) && ok;
    RAPI_DEVICE_FUNCTIONS(TRESTEL_BIND)
#undef TRESTEL_BIND
    if (!ok) {
        // A library without the whole contract is as good as none.
        std::string why = path + ": missing device function";
        table = RapiTable{};
        dlclose(library);
        return why;
    }
    return {};
}

class BoundDeviceApi final : public DeviceApi {
public:
#define TRESTEL_FORWARD(name, result, parameters, arguments, ...) \
    result name parameters override {                             \
        return present(table().name, #name) arguments;            \
    }
    RAPI_DEVICE_FUNCTIONS(TRESTEL_FORWARD)
#undef TRESTEL_FORWARD

private:
    // Bound once, at the first call; a failed binding fails every call. One line on standard
    // error tells which handheld is in use.
    const RapiTable& table() {
        if (!bound_) {
            bound_ = true;
            const char* library = std::getenv("TRESTEL_RAPI_LIBRARY");
            std::string bridge;
            if (library != nullptr && *library != '\0') {
                failure_ = bindNamedLibrary(library);
                if (failure_.empty()) {
                    std::fprintf(stderr, "trestel: handheld: the device library %s\n",
                                 shown(library).c_str());
                } else {
                    std::fprintf(stderr, "trestel: handheld: none (%s)\n", shown(failure_).c_str());
                }
            } else if (std::getenv("TRESTEL_DEVICE") == nullptr && bindSynce(bridge)) {
                std::fprintf(stderr, "trestel: handheld: a real one through SynCE (%s)\n",
                             shown(bridge).c_str());
            } else {
                table_ = handheld::BuiltInTable();
                std::fprintf(stderr, "trestel: handheld: the emulated one at %s\n",
                             shown(handheld::DefaultRoot()).c_str());
            }
        }
        if (!failure_.empty()) {
            throw DeviceUnavailable(failure_);
        }
        return table_;
    }

    std::string bindNamedLibrary(const char* path) {
        void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        return library != nullptr ? bindLibrary(library, path, table_) : loadError();
    }

    // Binds the SynCE bridge when one is found and SynCE's library can be loaded through it;
    // bridge is then its path. A bridge that others could have changed is never loaded.
    bool bindSynce(std::string& bridge) {
        std::error_code error;
        const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
        for (const std::string& path :
             SynceBridgeCandidates(std::getenv("TRESTEL_SYNCE_BRIDGE"), program.parent_path())) {
            // Judged part by part as it is opened, then loaded through that descriptor: a link
            // or folder someone else changes meanwhile can't put another library in its place.
            if (access(path.c_str(), F_OK) != 0) {
                continue;  // none there: nothing to say
            }
            const posix::Checked file = posix::openChecked(path);
            if (!file.trusted() || !S_ISREG(file.st.st_mode)) {
                std::fprintf(stderr, "trestel: not loading the SynCE bridge %s: %s\n",
                             shown(path).c_str(),
                             file.trusted() ? "not a regular file" : file.why.c_str());
                continue;
            }
            const std::string opened = "/proc/self/fd/" + std::to_string(file.fd.get());
            void* library = dlopen(opened.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (library == nullptr) {
                continue;
            }
            using Available = int (*)();
            const auto available =
                reinterpret_cast<Available>(dlsym(library, "trestel_synce_available"));
            if (available == nullptr || available() == 0) {
                dlclose(library);
                return false;  // SynCE isn't there; another copy of the bridge won't find it
            }
            bridge = path;
            return bindLibrary(library, path, table_).empty();
        }
        return false;
    }

    bool bound_ = false;
    std::string failure_;
    RapiTable table_;
};

class PollWaiter final : public Waiter {
public:
    RAPI_DWORD WaitForSingleObject(RAPI_HANDLE hHandle, RAPI_DWORD dwMilliseconds) override {
        pollfd fds[2] = {{hHandle, POLLIN, 0}, {cancel_.get(), POLLIN, 0}};
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
            ready = poll(fds, cancel_.valid() ? 2 : 1, timeout);
        } while (ready < 0 && errno == EINTR);
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            uint64_t nCount = 0;
            (void)!read(cancel_.get(), &nCount, sizeof nCount);
            return WAIT_TIMEOUT;
        }
        return ready > 0 && (fds[0].revents & POLLIN) != 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    void Cancel() override { posix::signalEvent(cancel_.get()); }

private:
    posix::UniqueFd cancel_{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

}  // namespace

std::vector<std::string> SynceBridgeCandidates(const char* variable,
                                               const std::filesystem::path& programFolder) {
    constexpr const char* kBridge = "libtrestel-synce.so";
    if (variable != nullptr && *variable != '\0') {
        return {variable};
    }
    std::vector<std::string> paths;
    std::error_code error;
    if (!programFolder.empty() &&
        std::filesystem::equivalent(programFolder, TRESTEL_BUILD_PROGRAMS, error)) {
        paths.push_back(std::filesystem::path(TRESTEL_BUILD_LIBRARIES) / kBridge);
    }
    paths.push_back(std::filesystem::path(TRESTEL_BRIDGE_INSTALLED) / kBridge);
    paths.push_back(std::filesystem::path(TRESTEL_BRIDGE_PACKAGED) / kBridge);
    return paths;
}

DeviceApi& realDeviceApi() {
    static BoundDeviceApi api;
    return api;
}

Waiter& realWaiter() {
    static PollWaiter waiter;
    return waiter;
}

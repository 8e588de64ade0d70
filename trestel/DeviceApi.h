#pragma once

// Seams between the installer and its platform: the device table and the wait on the connect
// event. The real ones are bound on first use; tests pass scriptable fakes instead.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "rapi.h"

// Raised by a device call that can't be made at all, for example when the library named by
// TRESTEL_RAPI_LIBRARY can't be loaded. Callers absorb it like any device failure.
class DeviceUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Runs fn, a step of device calls, and absorbs whatever it throws (a DeviceUnavailable above
// all): false when it threw. The installer goes on with its next step, as with any failure.
template <typename Fn>
bool attempt(Fn&& fn) {
    try {
        fn();
        return true;
    } catch (...) {
        return false;
    }
}

// The whole device contract, one virtual per device function of rapi.h.
class DeviceApi {
public:
    virtual ~DeviceApi() = default;
#define TRESTEL_DEVICE_CALL(name, result, parameters, ...) virtual result name parameters = 0;
    RAPI_DEVICE_FUNCTIONS(TRESTEL_DEVICE_CALL)
#undef TRESTEL_DEVICE_CALL
};

// The table bound on first use, from the first of: the library named by TRESTEL_RAPI_LIBRARY
// (dlopen/dlsym); the built-in emulated handheld when TRESTEL_DEVICE is set; a real handheld
// through the SynCE bridge (libtrestel-synce.so, see SynceBridgeCandidates) when SynCE's library
// can be loaded; the built-in emulated handheld. Every call throws DeviceUnavailable when the
// binding failed.
DeviceApi& realDeviceApi();

// Where the SynCE bridge is looked for, in order: only the path in variable
// (TRESTEL_SYNCE_BRIDGE) when it is set; else the build's library folder when programFolder is
// the build's program folder, then the installed private folders. A candidate that someone
// other than the user or root could change is skipped when it is loaded.
std::vector<std::string> SynceBridgeCandidates(const char* variable,
                                               const std::filesystem::path& programFolder);

class Waiter {
public:
    virtual ~Waiter() = default;
    // 0 (WAIT_OBJECT_0) when the descriptor is signalled within ms, WAIT_TIMEOUT otherwise.
    virtual RAPI_DWORD WaitForSingleObject(RAPI_HANDLE hHandle, RAPI_DWORD dwMilliseconds) = 0;
    // Ends a wait in progress (or the next one) at once with WAIT_TIMEOUT; from any thread.
    virtual void Cancel() = 0;
};

// poll() on the descriptor with the time-out, or until Cancel.
Waiter& realWaiter();

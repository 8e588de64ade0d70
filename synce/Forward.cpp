// The bridge's exports: every device function of the contract, forwarded to SynCE's function of
// the same name on the open link, or made here where SynCE has none or means something else.

#include <sys/mman.h>

#include <cstring>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "Link.h"
#include "SynceAbi.h"

#define BRIDGE_EXPORT extern "C" __attribute__((visibility("default")))

namespace bridge {
namespace {

enum class Fn {
#define BRIDGE_FN_ID(name, ...) name,
    RAPI_DEVICE_FUNCTIONS(BRIDGE_FN_ID)
#undef BRIDGE_FN_ID
};

// How a function's result reads: a handle (failure INVALID_HANDLE_VALUE), a BOOL (failure 0,
// success 1) or a plain value.
enum class Result { kHandle, kBool, kValue };
constexpr Result resultOf(std::string_view type) {
    return type == "RAPI_HANDLE" ? Result::kHandle
           : type == "RAPI_BOOL" ? Result::kBool
                                 : Result::kValue;
}

template <Fn f>
struct Traits;
#define BRIDGE_TRAITS(name, result, parameters, arguments, use)           \
    template <>                                                           \
    struct Traits<Fn::name> {                                             \
        static constexpr auto slot = &SynceLibrary::name;                 \
        static constexpr Result kResult = resultOf(#result);              \
        static constexpr bool kCalled = RapiUse::use == RapiUse::kCalled; \
    };
RAPI_DEVICE_FUNCTIONS(BRIDGE_TRAITS)
#undef BRIDGE_TRAITS

// Where SynCE lands what the device sends at the size the device declares (a find record, a
// read's data): 4 GiB of fresh pages that cost nothing until written, one area per thread for
// its life. Null when the space can't be had: the call then fails rather than risk SynCE's copy.
constexpr size_t kLandingSpace = sizeof(size_t) > 4 ? size_t{1} << 32 : 0;
void* landingArea() {
    thread_local void* const area = [] {
        void* p = kLandingSpace == 0 ? MAP_FAILED
                                     : mmap(nullptr, kLandingSpace, PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        return p != MAP_FAILED ? p : nullptr;
    }();
    return area;
}

template <size_t N>
void copyText(const char16_t (&from)[N], char16_t (&to)[N]) {
    size_t i = 0;
    for (; i + 1 < N && from[i] != u'\0'; ++i) {
        to[i] = from[i];
    }
    for (; i < N; ++i) {
        to[i] = u'\0';
    }
}

// One argument on its way to SynCE and, for what SynCE fills, back: get() is what SynCE is
// given, usable() false when the call can't be made with it, done() after a call that
// succeeded or not. By default the value as it is.
template <typename T>
struct Arg {
    T value;
    T get() const { return value; }
    bool usable() const { return true; }
    void done(bool) {}
};

// A missing string is an empty one.
template <>
struct Arg<const char16_t*> {
    const char16_t* value;
    const char16_t* get() const { return value != nullptr ? value : u""; }
    bool usable() const { return true; }
    void done(bool) {}
};

// A find record, filled at whatever size the device declares, reaches the caller at the
// contract's size with its name ended.
template <>
struct Arg<CE_FIND_DATA*> {
    CE_FIND_DATA* value;
    CE_FIND_DATA* landing = static_cast<CE_FIND_DATA*>(landingArea());
    CE_FIND_DATA* get() const {
        landing->cFileName[0] = u'\0';
        return landing;
    }
    bool usable() const { return value != nullptr && landing != nullptr; }
    void done(bool ok) {
        if (ok) {
            std::memcpy(value, landing, offsetof(CE_FIND_DATA, cFileName));
            copyText(landing->cFileName, value->cFileName);
        }
    }
};

template <>
struct Arg<CEOSVERSIONINFO*> {
    CEOSVERSIONINFO* value;
    CEOSVERSIONINFO info{sizeof(CEOSVERSIONINFO), 0, 0, 0, 0, {}};
    CEOSVERSIONINFO* get() { return &info; }
    bool usable() const { return value != nullptr; }
    void done(bool ok) {
        if (ok) {
            value->dwMajorVersion = info.dwMajorVersion;
            value->dwMinorVersion = info.dwMinorVersion;
            value->dwBuildNumber = info.dwBuildNumber;
            value->dwPlatformId = info.dwPlatformId;
            copyText(info.szCSDVersion, value->szCSDVersion);
        }
    }
};

// A count SynCE gives back: 0 until SynCE gives one.
template <>
struct Arg<RAPI_DWORD*> {
    RAPI_DWORD* value;
    RAPI_DWORD count = 0;
    explicit Arg(RAPI_DWORD* v) : value(v) {
        if (value != nullptr) {
            *value = 0;
        }
    }
    RAPI_DWORD* get() { return &count; }
    bool usable() const { return true; }
    void done(bool) {
        if (value != nullptr) {
            *value = count;
        }
    }
};

// Calls SynCE's function in slot with the arguments adapted, on the open link.
template <Result K, typename R, typename... P>
R forward(R (*SynceLibrary::*slot)(P...), std::type_identity_t<P>... args) {
    constexpr R failure = K == Result::kHandle ? R{INVALID_HANDLE_VALUE} : R{0};
    constexpr CallKind kind =
        (std::is_same_v<P, CE_FIND_DATA*> || ...) ? CallKind::kSearch : CallKind::kPlain;
    setOwnError(0);
    std::tuple<Arg<P>...> adapted{Arg<P>{args}...};
    if (!std::apply([](const auto&... a) { return (a.usable() && ...); }, adapted)) {
        setOwnError(ERROR_INVALID_PARAMETER);
        return failure;
    }
    return onLink(
        failure,
        [&](const SynceLibrary& s) -> R {
            const auto fn = s.*slot;
            if (fn == nullptr) {
                return failure;  // an older SynCE without it
            }
            R r = std::apply([&](auto&... a) { return fn(a.get()...); }, adapted);
            if constexpr (K == Result::kBool) {
                r = r != 0 ? 1 : 0;
            }
            const bool ok = r != failure;
            std::apply([&](auto&... a) { (a.done(ok), ...); }, adapted);
            return r;
        },
        kind);
}

// A function of the contract, forwarded to SynCE's of the same name; specialized below for
// each that the bridge makes itself (kOwn).
template <Fn f>
struct Export {
    static constexpr bool kOwn = false;
    template <typename... A>
    static auto call(A... a) {
        return forward<Traits<f>::kResult>(Traits<f>::slot, a...);
    }
};

// SynCE connects synchronously; the contract's connect is asynchronous (see Link.h). The record
// must stay valid until its event is signalled or the link is ended.
template <>
struct Export<Fn::CeRapiInitEx> {
    static constexpr bool kOwn = true;
    static RAPI_HRESULT call(RAPIINIT* init) {
        if (init == nullptr || init->cbSize != sizeof(RAPIINIT)) {
            return E_INVALIDARG_HR;
        }
        const SynceLibrary* s = synce();
        return s != nullptr ? connect(*s, init, nullptr) : E_FAIL_HR;
    }
};

template <>
struct Export<Fn::CeRapiUninit> {
    static constexpr bool kOwn = true;
    static RAPI_HRESULT call() {
        disconnect();
        return 0;
    }
};

// A call the bridge failed itself answers with its own error; a link that failed, or none,
// answers ERROR_DEVICE_NOT_CONNECTED (SynCE would still give the device's last error from
// before the failure).
template <>
struct Export<Fn::CeGetLastError> {
    static constexpr bool kOwn = true;
    static RAPI_DWORD call() {
        if (const RAPI_DWORD own = ownError(); own != 0) {
            return own;
        }
        if (!linkStands()) {
            return ERROR_DEVICE_NOT_CONNECTED;
        }
        return onLink(
            ERROR_DEVICE_NOT_CONNECTED, [](const SynceLibrary& s) { return s.CeGetLastError(); },
            CallKind::kPlain, false);
    }
};

template <>
struct Export<Fn::CeRapiGetError> {
    static constexpr bool kOwn = true;
    static RAPI_HRESULT call() {
        if (!linkStands()) {
            return E_NOT_CONNECTED_HR;
        }
        return onLink(
            E_NOT_CONNECTED_HR,
            [](const SynceLibrary& s) {
                const auto why = s.CeRapiGetError;
                return why != nullptr ? why() : RAPI_HRESULT{0};
            },
            CallKind::kPlain, false);
    }
};

// SynCE copies as many bytes as the device says it read into the buffer, whatever was asked
// for: it lands them in the landing area, and a device that sends more than asked fails the
// call with nothing copied.
template <>
struct Export<Fn::CeReadFile> {
    static constexpr bool kOwn = true;
    static RAPI_BOOL call(RAPI_HANDLE file, void* buffer, RAPI_DWORD wanted, RAPI_DWORD* got,
                          void*) {
        setOwnError(0);
        if (got != nullptr) {
            *got = 0;
        }
        void* landing = landingArea();
        if (landing == nullptr || (buffer == nullptr && wanted != 0)) {
            setOwnError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        RAPI_DWORD count = 0;
        const RAPI_BOOL ok = onLink(RAPI_BOOL{0}, [&](const SynceLibrary& s) -> RAPI_BOOL {
            const auto read = s.CeReadFile;
            return read != nullptr && read(file, landing, wanted, &count, nullptr) != 0 ? 1 : 0;
        });
        if (count > wanted) {
            madvise(landing, count, MADV_DONTNEED);
            setOwnError(ERROR_READ_FAULT);
            return 0;
        }
        std::memcpy(buffer, landing, count);
        if (got != nullptr) {
            *got = count;
        }
        return ok;
    }
};

}  // namespace

bool complete(const SynceLibrary& s) {
    bool ok = true;
#define BRIDGE_NEEDS(name, ...) \
    ok = ok && (!Traits<Fn::name>::kCalled || Export<Fn::name>::kOwn || s.name != nullptr);
    RAPI_DEVICE_FUNCTIONS(BRIDGE_NEEDS)
#undef BRIDGE_NEEDS
    return ok;
}

}  // namespace bridge

// The exports, each with its contract type.
#define BRIDGE_EXPORT_FUNCTION(name, result, parameters, arguments, use) \
    BRIDGE_EXPORT result name parameters {                               \
        return bridge::Export<bridge::Fn::name>::call arguments;         \
    }                                                                    \
    static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name " as the contract has it");
RAPI_DEVICE_FUNCTIONS(BRIDGE_EXPORT_FUNCTION)
#undef BRIDGE_EXPORT_FUNCTION

// Whether SynCE's library can be loaded; the installer asks before it chooses this bridge.
BRIDGE_EXPORT int trestel_synce_available() {
    return bridge::synce() != nullptr ? 1 : 0;
}

// For tests: the reply time-out in milliseconds (the default is 10 s); the operation's bounds
// follow it.
BRIDGE_EXPORT void trestel_synce_set_reply_timeout(int ms) {
    bridge::setReplyTimeout(ms);
}

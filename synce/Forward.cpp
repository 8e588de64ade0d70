// The bridge's exports: every device function of the contract, forwarded to SynCE's function of
// the same name on the open link, or made here where SynCE has none or means something else.

#include <langinfo.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "Desktop.h"
#include "Link.h"
#include "SynceAbi.h"
#include "Text.h"

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
// read's data): 4 GiB of fresh pages that cost nothing until written, one area per thread,
// returned when the thread ends. Null when the space can't be had: the call then fails rather
// than risk SynCE's copy.
constexpr size_t kLandingSpace = sizeof(size_t) > 4 ? size_t{1} << 32 : 0;
class LandingArea {
public:
    LandingArea() {
        if constexpr (kLandingSpace != 0) {
            void* p = mmap(nullptr, kLandingSpace, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            area_ = p != MAP_FAILED ? p : nullptr;
        }
    }
    ~LandingArea() {
        if (area_ != nullptr) {
            munmap(area_, kLandingSpace);
        }
    }
    LandingArea(const LandingArea&) = delete;
    LandingArea& operator=(const LandingArea&) = delete;
    void* get() const { return area_; }

private:
    void* area_ = nullptr;
};

void* landingArea() {
    thread_local const LandingArea area;
    return area.get();
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
    constexpr CallKind kind = !(std::is_same_v<P, CE_FIND_DATA*> || ...)    ? CallKind::kPlain
                              : (std::is_same_v<P, const char16_t*> || ...) ? CallKind::kSearchStart
                                                                            : CallKind::kSearchStep;
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
                setOwnError(ERROR_CALL_NOT_IMPLEMENTED);  // an older SynCE without it
                return failure;
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

// A function the bridge makes itself; synceFn is SynCE's function of the same name, if any.
template <Fn f>
struct Made {
    static constexpr bool kOwn = true;
    static auto synceFn(const SynceLibrary& s) { return s.*Traits<f>::slot; }
};

// SynCE connects synchronously; the contract's connect is asynchronous (see Link.h). The record
// must stay valid until its event is signalled or the link is ended.
template <>
struct Export<Fn::CeRapiInitEx> : Made<Fn::CeRapiInitEx> {
    static RAPI_HRESULT call(RAPIINIT* init) {
        if (init == nullptr || init->cbSize != sizeof(RAPIINIT)) {
            return E_INVALIDARG_HR;
        }
        const SynceLibrary* s = synce();
        if (s == nullptr) {
            return E_FAIL_HR;
        }
        const std::string handheld = chosenHandheld();
        return connect(*s, init, handheld.empty() ? nullptr : handheld.c_str());
    }
};

template <>
struct Export<Fn::CeRapiUninit> : Made<Fn::CeRapiUninit> {
    static RAPI_HRESULT call() {
        disconnect();
        return 0;
    }
};

// A call the bridge failed itself answers with its own error; a link that failed, or none,
// answers ERROR_DEVICE_NOT_CONNECTED (SynCE would still give the device's last error from
// before the failure).
template <>
struct Export<Fn::CeGetLastError> : Made<Fn::CeGetLastError> {
    static RAPI_DWORD call() {
        if (const RAPI_DWORD own = ownError(); own != 0) {
            return own;
        }
        if (!linkStands()) {
            return ERROR_DEVICE_NOT_CONNECTED;
        }
        return onLink(
            ERROR_DEVICE_NOT_CONNECTED, [](const SynceLibrary& s) { return synceFn(s)(); },
            CallKind::kPlain, false);
    }
};

template <>
struct Export<Fn::CeRapiGetError> : Made<Fn::CeRapiGetError> {
    static RAPI_HRESULT call() {
        if (!linkStands()) {
            return E_NOT_CONNECTED_HR;
        }
        return onLink(
            E_NOT_CONNECTED_HR,
            [](const SynceLibrary& s) {
                const auto why = synceFn(s);
                return why != nullptr ? why() : RAPI_HRESULT{0};
            },
            CallKind::kPlain, false);
    }
};

// SynCE copies as many bytes as the device says it read into the buffer, whatever was asked
// for: it lands them in the landing area, and a device that sends more than asked fails the
// call with nothing copied.
template <>
struct Export<Fn::CeReadFile> : Made<Fn::CeReadFile> {
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
            const auto read = synceFn(s);
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

// SynCE takes the folder in the locale's character set and offers the call only over Remote API
// 2: over version 1, and in an older SynCE, it fails with ERROR_CALL_NOT_IMPLEMENTED and the
// link stands. SynCE fills all three counts, wanted or not.
template <>
struct Export<Fn::CeGetDiskFreeSpaceEx> : Made<Fn::CeGetDiskFreeSpaceEx> {
    static RAPI_BOOL call(const char16_t* folder, uint64_t* available, uint64_t* total,
                          uint64_t* free) {
        setOwnError(0);
        std::string name;
        if (!text::utf16ToUtf8(folder != nullptr ? folder : u"", name) || !localeTakes(name)) {
            setOwnError(ERROR_INVALID_NAME);
            return 0;
        }
        uint64_t counts[3] = {};
        const RAPI_BOOL ok = onLink(RAPI_BOOL{0}, [&](const SynceLibrary& s) -> RAPI_BOOL {
            const auto ask =
                reinterpret_cast<RAPI_BOOL (*)(const char*, uint64_t*, uint64_t*, uint64_t*)>(
                    synceFn(s));
            if (ask == nullptr) {
                setOwnError(ERROR_CALL_NOT_IMPLEMENTED);
                return 0;
            }
            return ask(name.c_str(), &counts[0], &counts[1], &counts[2]) != 0 ? 1 : 0;
        });
        for (auto [to, count] :
             {std::pair{available, counts[0]}, {total, counts[1]}, {free, counts[2]}}) {
            if (to != nullptr) {
                *to = ok != 0 ? count : 0;
            }
        }
        return ok;
    }

    // SynCE converts from the locale's character set: UTF-8 passes as it is, any other only
    // when it is plain ASCII.
    static bool localeTakes(const std::string& name) {
        const std::string_view codeset = nl_langinfo(CODESET);
        return codeset == "UTF-8" || codeset == "utf8" ||
               std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
    }
};

// The desktop's side, before the link (Desktop.h).
template <auto function>
struct Own {
    static constexpr bool kOwn = true;
    template <typename... A>
    static auto call(A... a) {
        setOwnError(0);
        return function(a...);
    }
};
template <>
struct Export<Fn::RapiEnumDevices> : Own<listHandhelds> {};
template <>
struct Export<Fn::RapiSelectDevice> : Own<chooseHandheld> {};
template <>
struct Export<Fn::RapiDeviceLocked> : Own<chosenHandheldLocked> {};
template <>
struct Export<Fn::RapiUnlockDevice> : Own<unlockChosenHandheld> {};

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

#pragma once

// The operations a served handheld answers: one handler each, listed in tables with the command
// number each protocol version gives them. Private to the wire's sources.

#include <array>
#include <cstdint>
#include <set>
#include <span>
#include <string>

#include "RapiWire.h"
#include "WireCodec.h"

namespace wire::ops {

// A command number an operation does not have in one protocol version (SynCE's library never
// sends it there).
inline constexpr uint32_t kNone = 0xFFFFFFFFu;

inline constexpr uint32_t kInvalid = 0xFFFFFFFFu;
inline constexpr uint32_t kTooManyOpenFiles = 4;  // ERROR_TOO_MANY_OPEN_FILES
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kNotSupported = 50;  // ERROR_NOT_SUPPORTED
inline constexpr uint32_t kInsufficientBuffer = 122;
inline constexpr uint32_t kDirNotEmpty = 145;  // ERROR_DIR_NOT_EMPTY

// What one stream may hold open at once: far more than a desktop program uses (SynCE's tools
// and the installer hold one file and one search), few enough that a client that never closes
// anything can't take the server's memory.
inline constexpr size_t kMaxOpenFiles = 64;
inline constexpr size_t kMaxOpenSearches = 16;

// One stream's state: its handheld and the handles opened through it.
struct State {
    handheld::EmulatedHandheld& device;
    OsVersion os;
    int protocol;
    std::set<RAPI_HANDLE> files;
    std::set<RAPI_HANDLE> searches;
    std::string readBuffer;
};

// How version 1 sends a string argument: plain [1][units with NUL][UTF-16], or as an optional
// parameter [1][bytes with NUL][1][UTF-16]; [0] is no string. Version 2 always sends
// [bytes with NUL][UTF-16].
enum class StringForm { Plain, Optional };

struct Operation;

// One request being answered.
class Call {
public:
    Call(State& session, Reader& request, Writer& reply, const Operation& op)
        : state(session), in(request), out(reply), op_(op) {}

    State& state;
    Reader& in;
    Writer& out;

    bool v1() const { return state.protocol == 1; }
    handheld::EmulatedHandheld& device() { return state.device; }

    // Reads a path argument as a device path (relative to the root). False when it is missing
    // or runs past the body.
    bool path(std::u16string& devicePath, StringForm form);
    // Starts a reply: version 1's [0] and the last error (when the operation's reply has one in
    // this version). A call that went through says 0: the device's own last error may still be
    // that of an earlier call.
    void reply(uint32_t lastError);
    // The whole reply of a failed call: the last error and the call's failure fields.
    void fail(uint32_t lastError);
    void failWithDeviceError() { fail(state.device.CeGetLastError()); }
    void invalid() { fail(ERROR_INVALID_PARAMETER); }

private:
    const Operation& op_;
};

using Handler = void (*)(Call&);

// The versions whose reply of an operation has no last error field.
enum NoLastError : uint8_t { kErrorInBoth = 0, kNoErrorInV1 = 1, kNoErrorInV2 = 2 };

struct Operation {
    uint32_t v1;  // command number in version 1, or kNone
    uint32_t v2;  // in version 2, or kNone
    Handler handle;
    // The fields that follow the last error in a failed reply: results a client reads as a
    // failure (FALSE, an invalid handle, nothing read, no entries) and zeros for the values
    // that it reads after them.
    uint8_t failCount;
    std::array<uint32_t, 7> failFields;
    NoLastError noLastError = kErrorInBoth;
};

std::span<const Operation> FileOperations();
std::span<const Operation> SystemOperations();

// Writes a find record as both versions carry it: [u32 size][record up to the name's NUL].
void PutFindData(const CE_FIND_DATA& data, Writer& out);

}  // namespace wire::ops

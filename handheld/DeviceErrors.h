#pragma once

// Error codes the emulated handheld reports through CeGetLastError, and its failure results.

#include <exception>
#include <new>

#include "rapi.h"

namespace handheld {

namespace error {
inline constexpr RAPI_DWORD kFileNotFound = 2;
inline constexpr RAPI_DWORD kPathNotFound = 3;
inline constexpr RAPI_DWORD kAccessDenied = 5;
inline constexpr RAPI_DWORD kInvalidHandle = 6;
inline constexpr RAPI_DWORD kOutOfMemory = 14;
inline constexpr RAPI_DWORD kNoMoreFiles = 18;
inline constexpr RAPI_DWORD kWriteProtect = 19;
inline constexpr RAPI_DWORD kWriteFault = 29;
inline constexpr RAPI_DWORD kReadFault = 30;
inline constexpr RAPI_DWORD kGeneralFailure = 31;
inline constexpr RAPI_DWORD kFileExists = 80;
inline constexpr RAPI_DWORD kInvalidParameter = 87;
inline constexpr RAPI_DWORD kDiskFull = 112;
inline constexpr RAPI_DWORD kInvalidName = 123;
inline constexpr RAPI_DWORD kBadPathname = 161;  // a path that would leave the root
inline constexpr RAPI_DWORD kAlreadyExists = 183;
inline constexpr RAPI_DWORD kFilenameTooLong = 206;
inline constexpr RAPI_DWORD kDeviceNotConnected = 1167;
}  // namespace error

inline constexpr RAPI_HRESULT kInvalidArgHr = static_cast<RAPI_HRESULT>(0x80070057u);
inline constexpr RAPI_HRESULT kNotConnectedHr = static_cast<RAPI_HRESULT>(0x8007048Fu);

// The error of a call that ended in an exception instead of a result: out of memory for
// std::bad_alloc only, a general failure for anything else.
inline RAPI_DWORD ErrorOfException(const std::exception_ptr& thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
        return error::kOutOfMemory;
    } catch (...) {
        return error::kGeneralFailure;
    }
}

}  // namespace handheld

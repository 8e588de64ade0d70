#pragma once

// The handheld's Remote API contract: records, values and the table of C-style functions
// through which the installer reaches the device. Handles and results are 32-bit; device paths
// are NUL-terminated UTF-16 strings relative to the device's root.

#include <cstdint>

extern "C" {

using RAPI_HANDLE = int32_t;  // a device handle, or a waitable descriptor for the connect event
using RAPI_HRESULT = int32_t;
using RAPI_BOOL = int32_t;
using RAPI_DWORD = uint32_t;

inline constexpr RAPI_HANDLE INVALID_HANDLE_VALUE = -1;

// CeCreateFile: access, dispositions and attributes.
inline constexpr RAPI_DWORD GENERIC_READ = 0x80000000u;
inline constexpr RAPI_DWORD GENERIC_WRITE = 0x40000000;
inline constexpr RAPI_DWORD CREATE_NEW = 1;
inline constexpr RAPI_DWORD CREATE_ALWAYS = 2;
inline constexpr RAPI_DWORD OPEN_EXISTING = 3;
inline constexpr RAPI_DWORD OPEN_ALWAYS = 4;
inline constexpr RAPI_DWORD TRUNCATE_EXISTING = 5;
inline constexpr RAPI_DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr RAPI_DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr RAPI_DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr RAPI_DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;

// The wait on the connect event.
inline constexpr RAPI_DWORD WAIT_OBJECT_0 = 0;
inline constexpr RAPI_DWORD WAIT_TIMEOUT = 258;

// CeGetLastError codes.
inline constexpr RAPI_DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr RAPI_DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr RAPI_DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr RAPI_DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr RAPI_DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr RAPI_DWORD ERROR_NOT_SAME_DEVICE = 17;
inline constexpr RAPI_DWORD ERROR_NO_MORE_FILES = 18;
inline constexpr RAPI_DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr RAPI_DWORD ERROR_WRITE_FAULT = 29;
inline constexpr RAPI_DWORD ERROR_READ_FAULT = 30;
inline constexpr RAPI_DWORD ERROR_GEN_FAILURE = 31;
inline constexpr RAPI_DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr RAPI_DWORD ERROR_FILE_EXISTS = 80;
inline constexpr RAPI_DWORD ERROR_INVALID_PASSWORD = 86;
inline constexpr RAPI_DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr RAPI_DWORD ERROR_DISK_FULL = 112;
inline constexpr RAPI_DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;  // the handheld can't answer it
inline constexpr RAPI_DWORD ERROR_INVALID_NAME = 123;
inline constexpr RAPI_DWORD ERROR_BAD_PATHNAME = 161;  // also: a path that would leave the root
inline constexpr RAPI_DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr RAPI_DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr RAPI_DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

// Results of CeRapiInitEx, of the connect (hrRapiInit) and of CeRapiGetError.
inline constexpr RAPI_HRESULT E_FAIL_HR = static_cast<RAPI_HRESULT>(0x80004005u);
inline constexpr RAPI_HRESULT E_INVALIDARG_HR = static_cast<RAPI_HRESULT>(0x80070057u);
// ERROR_DEVICE_NOT_CONNECTED as a result.
inline constexpr RAPI_HRESULT E_NOT_CONNECTED_HR = static_cast<RAPI_HRESULT>(0x8007048Fu);

inline constexpr int kMaxPath = 260;

// cbSize is 12: three 32-bit fields, the event being a 32-bit descriptor.
struct RAPIINIT {
    RAPI_DWORD cbSize;
    RAPI_HANDLE heRapiInit;
    RAPI_HRESULT hrRapiInit;
};
static_assert(sizeof(RAPIINIT) == 12);

struct CE_FILETIME {
    RAPI_DWORD dwLowDateTime;
    RAPI_DWORD dwHighDateTime;
};

struct CE_FIND_DATA {
    RAPI_DWORD dwFileAttributes;
    CE_FILETIME ftCreationTime;
    CE_FILETIME ftLastAccessTime;
    CE_FILETIME ftLastWriteTime;
    RAPI_DWORD nFileSizeHigh;
    RAPI_DWORD nFileSizeLow;
    RAPI_DWORD dwOID;
    char16_t cFileName[kMaxPath];
};

struct CEOSVERSIONINFO {
    RAPI_DWORD dwOSVersionInfoSize;
    RAPI_DWORD dwMajorVersion;
    RAPI_DWORD dwMinorVersion;
    RAPI_DWORD dwBuildNumber;
    RAPI_DWORD dwPlatformId;
    char16_t szCSDVersion[128];
};

// The device functions, listed once. X(name, result, (parameters), (arguments), use) is
// expanded for each of them wherever something must name all of them: the function types and
// the table below, the installer's binding by name and its DeviceApi, the libraries' exports.
// use: RapiUse::kCalled for the functions the installer calls, which a device library must
// export; RapiUse::kDeclared for the rest of the contract, bound when a library has them.
//
// CeMoveFile fails with ERROR_ALREADY_EXISTS when the new name is taken. CeGetDiskFreeSpaceEx
// gives the bytes free to the caller, the storage's size and its free bytes for a folder path;
// a handheld that can't tell fails it with ERROR_CALL_NOT_IMPLEMENTED.
// The Rapi* functions choose the handheld on the desktop's side, before CeRapiInitEx:
// RapiEnumDevices writes the attached handhelds' names, each NUL-terminated and the list ended
// by an empty name, and returns the char16_t count the list needs (0: none, or the call failed;
// a buffer too short gets nothing). RapiSelectDevice names the handheld the next connect opens
// (null or empty: the default; fails with ERROR_FILE_NOT_FOUND for an unknown name).
// RapiDeviceLocked is non-zero when the chosen handheld refuses connects until its password is
// given; RapiUnlockDevice gives it (fails with ERROR_INVALID_PASSWORD when wrong).
#define RAPI_DEVICE_FUNCTIONS(X)                                                                   \
    X(CeRapiInitEx, RAPI_HRESULT, (RAPIINIT * pRapiInit), (pRapiInit), kCalled)                    \
    X(CeRapiUninit, RAPI_HRESULT, (), (), kCalled)                                                 \
    X(CeFindFirstFile, RAPI_HANDLE, (const char16_t* lpFileName, CE_FIND_DATA* lpFindFileData),    \
      (lpFileName, lpFindFileData), kCalled)                                                       \
    X(CeFindNextFile, RAPI_BOOL, (RAPI_HANDLE hFindFile, CE_FIND_DATA * lpFindFileData),           \
      (hFindFile, lpFindFileData), kCalled)                                                        \
    X(CeFindClose, RAPI_BOOL, (RAPI_HANDLE hFindFile), (hFindFile), kCalled)                       \
    X(CeCreateDirectory, RAPI_BOOL, (const char16_t* lpPathName, void* lpSecurityAttributes),      \
      (lpPathName, lpSecurityAttributes), kCalled)                                                 \
    X(CeCreateFile, RAPI_HANDLE,                                                                   \
      (const char16_t* lpFileName, RAPI_DWORD dwDesiredAccess, RAPI_DWORD dwShareMode,             \
       void* lpSecurityAttributes, RAPI_DWORD dwCreationDisposition,                               \
       RAPI_DWORD dwFlagsAndAttributes, RAPI_HANDLE hTemplateFile),                                \
      (lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,      \
       dwFlagsAndAttributes, hTemplateFile),                                                       \
      kCalled)                                                                                     \
    X(CeGetLastError, RAPI_DWORD, (), (), kCalled)                                                 \
    X(CeWriteFile, RAPI_BOOL,                                                                      \
      (RAPI_HANDLE hFile, const void* lpBuffer, RAPI_DWORD nNumberOfBytesToWrite,                  \
       RAPI_DWORD* lpNumberOfBytesWritten, void* lpOverlapped),                                    \
      (hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped), kCalled)     \
    X(CeCloseHandle, RAPI_BOOL, (RAPI_HANDLE hObject), (hObject), kCalled)                         \
    X(CeDeleteFile, RAPI_BOOL, (const char16_t* lpFileName), (lpFileName), kCalled)                \
    X(CeGetVersionEx, RAPI_BOOL, (CEOSVERSIONINFO * lpVersionInformation), (lpVersionInformation), \
      kDeclared)                                                                                   \
    X(CeReadFile, RAPI_BOOL,                                                                       \
      (RAPI_HANDLE hFile, void* lpBuffer, RAPI_DWORD nNumberOfBytesToRead,                         \
       RAPI_DWORD* lpNumberOfBytesRead, void* lpOverlapped),                                       \
      (hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped), kDeclared)       \
    X(CeRapiGetError, RAPI_HRESULT, (), (), kDeclared)                                             \
    X(CeMoveFile, RAPI_BOOL, (const char16_t* lpExistingFileName, const char16_t* lpNewFileName),  \
      (lpExistingFileName, lpNewFileName), kCalled)                                                \
    X(CeGetDiskFreeSpaceEx, RAPI_BOOL,                                                             \
      (const char16_t* lpDirectoryName, uint64_t* lpFreeBytesAvailable,                            \
       uint64_t* lpTotalNumberOfBytes, uint64_t* lpTotalNumberOfFreeBytes),                        \
      (lpDirectoryName, lpFreeBytesAvailable, lpTotalNumberOfBytes, lpTotalNumberOfFreeBytes),     \
      kDeclared)                                                                                   \
    X(RapiEnumDevices, RAPI_DWORD, (char16_t* lpNames, RAPI_DWORD cchNames), (lpNames, cchNames),  \
      kDeclared)                                                                                   \
    X(RapiSelectDevice, RAPI_BOOL, (const char16_t* lpName), (lpName), kDeclared)                  \
    X(RapiDeviceLocked, RAPI_BOOL, (), (), kDeclared)                                              \
    X(RapiUnlockDevice, RAPI_BOOL, (const char16_t* lpPassword), (lpPassword), kDeclared)

// The functions' types, by the names under which a library exports them: PFN_CeRapiInitEx, ...
#define RAPI_FUNCTION_TYPE(name, result, parameters, ...) using PFN_##name = result(*) parameters;
RAPI_DEVICE_FUNCTIONS(RAPI_FUNCTION_TYPE)
#undef RAPI_FUNCTION_TYPE

}  // extern "C"

enum class RapiUse { kCalled, kDeclared };

// The whole table: the kCalled entries are all bound, or the binding failed as a whole.
struct RapiTable {
#define RAPI_TABLE_ENTRY(name, ...) PFN_##name name = nullptr;
    RAPI_DEVICE_FUNCTIONS(RAPI_TABLE_ENTRY)
#undef RAPI_TABLE_ENTRY
};

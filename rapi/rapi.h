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
inline constexpr RAPI_DWORD GENERIC_WRITE = 0x40000000;
inline constexpr RAPI_DWORD CREATE_NEW = 1;
inline constexpr RAPI_DWORD CREATE_ALWAYS = 2;
inline constexpr RAPI_DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr RAPI_DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr RAPI_DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
inline constexpr RAPI_DWORD WAIT_OBJECT_0 = 0;
inline constexpr RAPI_DWORD WAIT_TIMEOUT = 258;
inline constexpr RAPI_DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr RAPI_DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr RAPI_DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr RAPI_DWORD ERROR_DISK_FULL = 112;
inline constexpr RAPI_DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;  // the link failed or is gone
inline constexpr RAPI_HRESULT E_FAIL_HR = static_cast<RAPI_HRESULT>(0x80004005u);

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

// The functions, by the names under which a library exports them.
using PFN_CeRapiInitEx = RAPI_HRESULT (*)(RAPIINIT* pRapiInit);
using PFN_CeRapiUninit = RAPI_HRESULT (*)();
using PFN_CeFindFirstFile = RAPI_HANDLE (*)(const char16_t* lpFileName,
                                            CE_FIND_DATA* lpFindFileData);
using PFN_CeFindNextFile = RAPI_BOOL (*)(RAPI_HANDLE hFindFile, CE_FIND_DATA* lpFindFileData);
using PFN_CeFindClose = RAPI_BOOL (*)(RAPI_HANDLE hFindFile);
using PFN_CeCreateDirectory = RAPI_BOOL (*)(const char16_t* lpPathName, void* lpSecurityAttributes);
using PFN_CeCreateFile = RAPI_HANDLE (*)(const char16_t* lpFileName, RAPI_DWORD dwDesiredAccess,
                                         RAPI_DWORD dwShareMode, void* lpSecurityAttributes,
                                         RAPI_DWORD dwCreationDisposition,
                                         RAPI_DWORD dwFlagsAndAttributes,
                                         RAPI_HANDLE hTemplateFile);
using PFN_CeGetLastError = RAPI_DWORD (*)();
using PFN_CeWriteFile = RAPI_BOOL (*)(RAPI_HANDLE hFile, const void* lpBuffer,
                                      RAPI_DWORD nNumberOfBytesToWrite,
                                      RAPI_DWORD* lpNumberOfBytesWritten, void* lpOverlapped);
using PFN_CeCloseHandle = RAPI_BOOL (*)(RAPI_HANDLE hObject);
using PFN_CeDeleteFile = RAPI_BOOL (*)(const char16_t* lpFileName);
// Declared for completeness of the contract; the installer never calls them.
using PFN_CeGetVersionEx = RAPI_BOOL (*)(CEOSVERSIONINFO* lpVersionInformation);
using PFN_CeReadFile = RAPI_BOOL (*)(RAPI_HANDLE hFile, void* lpBuffer,
                                     RAPI_DWORD nNumberOfBytesToRead,
                                     RAPI_DWORD* lpNumberOfBytesRead, void* lpOverlapped);
using PFN_CeRapiGetError = RAPI_HRESULT (*)();

}  // extern "C"

// The whole table. Every entry is bound, or the binding failed as a whole.
struct RapiTable {
    PFN_CeRapiInitEx CeRapiInitEx = nullptr;
    PFN_CeRapiUninit CeRapiUninit = nullptr;
    PFN_CeFindFirstFile CeFindFirstFile = nullptr;
    PFN_CeFindNextFile CeFindNextFile = nullptr;
    PFN_CeFindClose CeFindClose = nullptr;
    PFN_CeCreateDirectory CeCreateDirectory = nullptr;
    PFN_CeCreateFile CeCreateFile = nullptr;
    PFN_CeGetLastError CeGetLastError = nullptr;
    PFN_CeWriteFile CeWriteFile = nullptr;
    PFN_CeCloseHandle CeCloseHandle = nullptr;
    PFN_CeDeleteFile CeDeleteFile = nullptr;
    PFN_CeGetVersionEx CeGetVersionEx = nullptr;
    PFN_CeReadFile CeReadFile = nullptr;
    PFN_CeRapiGetError CeRapiGetError = nullptr;
};

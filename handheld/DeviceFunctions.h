#pragma once

// The device functions of the emulated handheld, listed once. X(name, result, (parameters),
// (arguments)) is expanded for each of them: by BuiltInTable() for the installer's built-in
// table and by the loadable library for its exported names. Each forwards to the method of the
// same name of Instance().

#define HANDHELD_DEVICE_FUNCTIONS(X)                                                               \
    X(CeRapiInitEx, RAPI_HRESULT, (RAPIINIT * pRapiInit), (pRapiInit))                             \
    X(CeRapiUninit, RAPI_HRESULT, (), ())                                                          \
    X(CeFindFirstFile, RAPI_HANDLE, (const char16_t* lpFileName, CE_FIND_DATA* lpFindFileData),    \
      (lpFileName, lpFindFileData))                                                                \
    X(CeFindNextFile, RAPI_BOOL, (RAPI_HANDLE hFindFile, CE_FIND_DATA * lpFindFileData),           \
      (hFindFile, lpFindFileData))                                                                 \
    X(CeFindClose, RAPI_BOOL, (RAPI_HANDLE hFindFile), (hFindFile))                                \
    X(CeCreateDirectory, RAPI_BOOL, (const char16_t* lpPathName, void* lpSecurityAttributes),      \
      (lpPathName, lpSecurityAttributes))                                                          \
    X(CeCreateFile, RAPI_HANDLE,                                                                   \
      (const char16_t* lpFileName, RAPI_DWORD dwDesiredAccess, RAPI_DWORD dwShareMode,             \
       void* lpSecurityAttributes, RAPI_DWORD dwCreationDisposition,                               \
       RAPI_DWORD dwFlagsAndAttributes, RAPI_HANDLE hTemplateFile),                                \
      (lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,      \
       dwFlagsAndAttributes, hTemplateFile))                                                       \
    X(CeGetLastError, RAPI_DWORD, (), ())                                                          \
    X(CeWriteFile, RAPI_BOOL,                                                                      \
      (RAPI_HANDLE hFile, const void* lpBuffer, RAPI_DWORD nNumberOfBytesToWrite,                  \
       RAPI_DWORD* lpNumberOfBytesWritten, void* lpOverlapped),                                    \
      (hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped))              \
    X(CeCloseHandle, RAPI_BOOL, (RAPI_HANDLE hObject), (hObject))                                  \
    X(CeDeleteFile, RAPI_BOOL, (const char16_t* lpFileName), (lpFileName))                         \
    X(CeGetVersionEx, RAPI_BOOL, (CEOSVERSIONINFO * lpVersionInformation), (lpVersionInformation)) \
    X(CeReadFile, RAPI_BOOL,                                                                       \
      (RAPI_HANDLE hFile, void* lpBuffer, RAPI_DWORD nNumberOfBytesToRead,                         \
       RAPI_DWORD* lpNumberOfBytesRead, void* lpOverlapped),                                       \
      (hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped))                  \
    X(CeRapiGetError, RAPI_HRESULT, (), ())

// Counts the list's entries, to check it against the whole table.
#define HANDHELD_COUNT_ONE(...) +1
#define HANDHELD_DEVICE_FUNCTION_COUNT (0 HANDHELD_DEVICE_FUNCTIONS(HANDHELD_COUNT_ONE))

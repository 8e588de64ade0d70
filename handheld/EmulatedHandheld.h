#pragma once

// The emulated handheld: a folder tree on the desktop behind the device table. Its storages and
// settings are described in Storage.h.

#include <memory>
#include <string>

#include "DeviceErrors.h"
#include "Storage.h"
#include "rapi.h"

namespace handheld {

// The device table of the built-in emulated handheld.
const RapiTable& BuiltInTable();

// One emulated handheld. The methods behave like the device functions of the same name.
// Thread-safe; no method throws.
class EmulatedHandheld {
public:
    // An empty root means DefaultRoot(), read again at each CeRapiInitEx.
    explicit EmulatedHandheld(std::string root = {});
    ~EmulatedHandheld();
    EmulatedHandheld(const EmulatedHandheld&) = delete;
    EmulatedHandheld& operator=(const EmulatedHandheld&) = delete;

    RAPI_HRESULT CeRapiInitEx(RAPIINIT* pRapiInit);
    RAPI_HRESULT CeRapiUninit();
    RAPI_HANDLE CeFindFirstFile(const char16_t* lpFileName, CE_FIND_DATA* lpFindFileData);
    RAPI_BOOL CeFindNextFile(RAPI_HANDLE hFindFile, CE_FIND_DATA* lpFindFileData);
    RAPI_BOOL CeFindClose(RAPI_HANDLE hFindFile);
    RAPI_BOOL CeCreateDirectory(const char16_t* lpPathName, void* lpSecurityAttributes);
    RAPI_HANDLE CeCreateFile(const char16_t* lpFileName, RAPI_DWORD dwDesiredAccess,
                             RAPI_DWORD dwShareMode, void* lpSecurityAttributes,
                             RAPI_DWORD dwCreationDisposition, RAPI_DWORD dwFlagsAndAttributes,
                             RAPI_HANDLE hTemplateFile);
    RAPI_DWORD CeGetLastError();
    RAPI_BOOL CeWriteFile(RAPI_HANDLE hFile, const void* lpBuffer, RAPI_DWORD nNumberOfBytesToWrite,
                          RAPI_DWORD* lpNumberOfBytesWritten, void* lpOverlapped);
    RAPI_BOOL CeCloseHandle(RAPI_HANDLE hObject);
    RAPI_BOOL CeDeleteFile(const char16_t* lpFileName);
    RAPI_BOOL CeGetVersionEx(CEOSVERSIONINFO* lpVersionInformation);
    RAPI_BOOL CeReadFile(RAPI_HANDLE hFile, void* lpBuffer, RAPI_DWORD nNumberOfBytesToRead,
                         RAPI_DWORD* lpNumberOfBytesRead, void* lpOverlapped);
    RAPI_HRESULT CeRapiGetError();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process-wide instance behind BuiltInTable() (and the exported functions of the shared
// library).
EmulatedHandheld& Instance();

}  // namespace handheld

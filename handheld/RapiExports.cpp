// The device functions exported by name from the loadable device library, for dlopen/dlsym.

#include "EmulatedHandheld.h"

#define HANDHELD_EXPORT extern "C" __attribute__((visibility("default")))

HANDHELD_EXPORT RAPI_HRESULT CeRapiInitEx(RAPIINIT* pRapiInit) {
    return handheld::Instance().CeRapiInitEx(pRapiInit);
}

HANDHELD_EXPORT RAPI_HRESULT CeRapiUninit() {
    return handheld::Instance().CeRapiUninit();
}

HANDHELD_EXPORT RAPI_HANDLE CeFindFirstFile(const char16_t* lpFileName,
                                            CE_FIND_DATA* lpFindFileData) {
    return handheld::Instance().CeFindFirstFile(lpFileName, lpFindFileData);
}

HANDHELD_EXPORT RAPI_BOOL CeFindNextFile(RAPI_HANDLE hFindFile, CE_FIND_DATA* lpFindFileData) {
    return handheld::Instance().CeFindNextFile(hFindFile, lpFindFileData);
}

HANDHELD_EXPORT RAPI_BOOL CeFindClose(RAPI_HANDLE hFindFile) {
    return handheld::Instance().CeFindClose(hFindFile);
}

HANDHELD_EXPORT RAPI_BOOL CeCreateDirectory(const char16_t* lpPathName,
                                            void* lpSecurityAttributes) {
    return handheld::Instance().CeCreateDirectory(lpPathName, lpSecurityAttributes);
}

HANDHELD_EXPORT RAPI_HANDLE CeCreateFile(const char16_t* lpFileName, RAPI_DWORD dwDesiredAccess,
                                         RAPI_DWORD dwShareMode, void* lpSecurityAttributes,
                                         RAPI_DWORD dwCreationDisposition,
                                         RAPI_DWORD dwFlagsAndAttributes,
                                         RAPI_HANDLE hTemplateFile) {
    return handheld::Instance().CeCreateFile(lpFileName, dwDesiredAccess, dwShareMode,
                                             lpSecurityAttributes, dwCreationDisposition,
                                             dwFlagsAndAttributes, hTemplateFile);
}

HANDHELD_EXPORT RAPI_DWORD CeGetLastError() {
    return handheld::Instance().CeGetLastError();
}

HANDHELD_EXPORT RAPI_BOOL CeWriteFile(RAPI_HANDLE hFile, const void* lpBuffer,
                                      RAPI_DWORD nNumberOfBytesToWrite,
                                      RAPI_DWORD* lpNumberOfBytesWritten, void* lpOverlapped) {
    return handheld::Instance().CeWriteFile(hFile, lpBuffer, nNumberOfBytesToWrite,
                                            lpNumberOfBytesWritten, lpOverlapped);
}

HANDHELD_EXPORT RAPI_BOOL CeCloseHandle(RAPI_HANDLE hObject) {
    return handheld::Instance().CeCloseHandle(hObject);
}

HANDHELD_EXPORT RAPI_BOOL CeDeleteFile(const char16_t* lpFileName) {
    return handheld::Instance().CeDeleteFile(lpFileName);
}

HANDHELD_EXPORT RAPI_BOOL CeGetVersionEx(CEOSVERSIONINFO* lpVersionInformation) {
    return handheld::Instance().CeGetVersionEx(lpVersionInformation);
}

HANDHELD_EXPORT RAPI_BOOL CeReadFile(RAPI_HANDLE hFile, void* lpBuffer,
                                     RAPI_DWORD nNumberOfBytesToRead,
                                     RAPI_DWORD* lpNumberOfBytesRead, void* lpOverlapped) {
    return handheld::Instance().CeReadFile(hFile, lpBuffer, nNumberOfBytesToRead,
                                           lpNumberOfBytesRead, lpOverlapped);
}

HANDHELD_EXPORT RAPI_HRESULT CeRapiGetError() {
    return handheld::Instance().CeRapiGetError();
}

#pragma once

// The emulated handheld: a folder tree on the desktop behind the device table.
//
// The root folder stands for the handheld's main memory. A folder directly under the root that
// holds a file ".storage-card" is a storage card. Settings live one per line in ".storage-card"
// (for the card) and ".handheld" (at the root, for main memory and the link).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "rapi.h"

namespace handheld {

// The device table of the built-in emulated handheld.
const RapiTable& BuiltInTable();

// Error codes the emulated handheld reports through CeGetLastError.
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

// Names of the marker/settings files; never listed, created, written or deleted by device calls.
inline constexpr std::string_view kCardMarker = ".storage-card";
inline constexpr std::string_view kHandheldSettings = ".handheld";

// The settings of one storage (main memory or a card), read from its settings file.
struct Settings {
    enum class Answer { Yes, No, Refuse };
    bool readOnly = false;
    std::optional<uint64_t> capacity;  // bytes available for files; none: unlimited
    uint64_t speed = 0;                // bytes per second for writes; 0: unpaced
    Answer answer = Answer::Yes;
};

// Parses settings text; unknown or malformed lines are ignored.
Settings ParseSettings(std::string_view text);

// "N" with an optional K, M or G suffix (powers of 1024); nothing when malformed or too large.
std::optional<uint64_t> ParseSize(std::string_view text);

// The root named by TRESTEL_DEVICE, else ${XDG_DATA_HOME:-$HOME/.local/share}/trestel/handheld.
std::string DefaultRoot();

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

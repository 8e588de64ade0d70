#pragma once

// A handheld in memory: scriptable connect outcome, root entries, create errors and write
// replies; every call is logged with its arguments, and any call can be made to throw.

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "DeviceApi.h"
#include "FailureScript.h"

class FakeDevice : public DeviceApi {
public:
    struct Entry {
        RAPI_DWORD attributes;
        std::u16string name;
    };
    struct WriteReply {
        RAPI_BOOL result;    // what CeWriteFile returns
        RAPI_DWORD written;  // the count it reports; that many leading bytes are kept
    };

    // Connect: the result of CeRapiInitEx, the outcome it leaves in hrRapiInit and the event.
    RAPI_HRESULT initResult = 0;
    RAPI_HRESULT initOutcome = 0;
    RAPI_HANDLE initEvent = 42;

    // The root's entries in the order the search returns them; an empty root answers -1. A
    // search in a folder ("folder\\pattern") lists the files of that folder instead.
    std::vector<Entry> rootEntries;
    RAPI_HANDLE findHandle = 7;

    // Non-zero: CeCreateFile fails and CeGetLastError reports this code.
    RAPI_DWORD createError = 0;
    // The code a write that fails leaves for CeGetLastError (1167: the link failed).
    RAPI_DWORD writeError = 0;
    // Non-zero: CeDeleteFile fails with this code (1167: the handheld can't be reached).
    RAPI_DWORD deleteError = 0;
    // The code a search ends with (18: no more files; 1167: the link failed).
    RAPI_DWORD searchEndError = ERROR_NO_MORE_FILES;

    // Decides each write (nth counts from 1, count is what was asked). Unset: every write
    // takes its whole chunk.
    std::function<WriteReply(int nth, RAPI_DWORD count)> writeScript;

    // Runs at the start of every call with the call's name; may throw or change the script.
    std::function<void(const std::string& name)> onCall;

    // What CeCloseHandle returns for an open file handle (0: the file could not be completed).
    RAPI_BOOL closeResult = 1;

    // Non-zero: CeMoveFile fails with this code.
    RAPI_DWORD moveError = 0;
    // What CeGetDiskFreeSpaceEx reports: the bytes free to the caller and the storage's size;
    // with diskFreeError non-zero it fails with that code instead (120: the handheld can't tell).
    uint64_t diskFree = uint64_t(1) << 30;
    uint64_t diskTotal = uint64_t(2) << 30;
    RAPI_DWORD diskFreeError = 0;

    // The attached handhelds' names (RapiEnumDevices), the one selected and whether it is
    // locked until the password is given.
    std::vector<std::u16string> devices{u"Fake handheld"};
    std::u16string selected;
    bool locked = false;
    std::u16string password;
    // Non-zero: RapiUnlockDevice fails with this code, whatever the password.
    RAPI_DWORD unlockError = 0;

    // False: writes are taken and counted but their bytes are not kept (for very large files).
    bool keepContent = true;

    // The device's content: files by their device path, and the folders created.
    std::map<std::u16string, std::string> files;
    std::set<std::u16string> folders;

    // Every call in order, e.g. "CeWriteFile(3, 4096)"; and per-name counts and throws.
    std::vector<std::string> log;
    FailureScript failures;

    int Count(const std::string& name) const { return failures.Count(name); }
    // The log entries of one call name only.
    std::vector<std::string> Calls(const std::string& name) const;
    // The content of a device file as bytes; empty when it doesn't exist.
    std::string File(const std::u16string& path) const;
    bool HasFile(const std::u16string& path) const { return files.count(path) != 0; }
    // Handles created and not yet closed.
    std::size_t OpenHandles() const { return open_.size(); }

#define FAKE_DEVICE_CALL(name, result, parameters, ...) result name parameters override;
    RAPI_DEVICE_FUNCTIONS(FAKE_DEVICE_CALL)
#undef FAKE_DEVICE_CALL

private:
    // Logs and counts the call, runs onCall and throws DeviceUnavailable when scripted to.
    void enter(const std::string& name, const std::string& args);
    void fill(CE_FIND_DATA* data, const Entry& entry) const;

    struct OpenFile {
        std::u16string path;
        std::size_t readAt = 0;  // where CeReadFile goes on
    };
    std::map<RAPI_HANDLE, OpenFile> open_;
    RAPI_HANDLE nextHandle_ = 100;
    std::size_t nextEntry_ = 0;
    std::vector<Entry> found_;
    // The lengths of files written while keepContent was false.
    std::map<std::u16string, std::size_t> zeros_;
    RAPI_DWORD lastError_ = 0;
};

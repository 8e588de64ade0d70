#pragma once

// The device core of the emulated handheld: its link state and the objects behind its handles.
// Private to the handheld's sources.

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "DevicePath.h"
#include "EmulatedHandheld.h"
#include "Fd.h"
#include "Storage.h"

namespace handheld {

// Bytes in use in one storage, shared by the open files that write into it. A storage with a
// capacity shares its count with every other connection and process through its ledger; the
// bytes are taken there ahead of the writes, a block at a time, so most writes take no lock.
struct Usage {
    uint64_t used = 0;  // as this handheld last saw it
    std::unique_ptr<UsageLedger> ledger;
    uint64_t ahead = 0;  // taken in the ledger and not yet written

    // Counts bytes about to be written; false (nothing counted) when they would go beyond
    // capacity.
    bool take(uint64_t bytes, std::optional<uint64_t> capacity);
    // Bytes that are no longer in use (a file removed, emptied or cut back).
    void release(uint64_t bytes);
    // Gives back what was taken ahead (the writing file is closed).
    void settle();
    ~Usage() { settle(); }
};

// How much a writer takes from a shared ledger ahead of its writes.
inline constexpr uint64_t kTakeAhead = 256 * 1024;

// A watch on the entries of a folder, in one inotify instance that the whole process shares
// (closing an instance waits for the kernel, which a disconnect should not).
class FolderWatch {
public:
    FolderWatch() = default;
    ~FolderWatch() { reset(); }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;
    // Watches the folder open as folder; none when no watch can be had.
    void watch(int folder);
    void reset();
    // A count of the entries made, removed or renamed in the folder so far; nothing when there
    // is no watch or it can no longer tell (events lost, the folder gone).
    std::optional<uint64_t> changes() const;

private:
    int wd_ = -1;
};

struct FileObject {
    Fd fd;
    Fd parent;           // the folder holding the file
    std::string name;    // its name there
    bool fresh = false;  // created or emptied by this handle: holds only what was written
    bool canRead = false;
    bool canWrite = false;
    uint64_t position = 0;
    uint64_t size = 0;
    std::optional<uint64_t> capacity;
    std::shared_ptr<Usage> usage;
    // Written bytes the device still holds in its write buffer, and where they go. They reach
    // the file system in large blocks, at the latest when the handle is closed.
    std::string pending;
    uint64_t pendingAt = 0;
};

// Size of a file's write buffer: the installer writes 4096 bytes at a time.
inline constexpr size_t kWriteBuffer = 1 << 20;

// One entry a search found: only what its record reports, so that a search over a large folder
// holds little.
struct SearchEntry {
    std::u32string name;
    RAPI_DWORD attributes = 0;
    RAPI_DWORD oid = 0;
    uint64_t size = 0;
    CE_FILETIME written{};
    CE_FILETIME accessed{};
};

struct SearchObject {
    std::vector<SearchEntry> entries;
    size_t next = 0;
};

using Object = std::variant<FileObject, SearchObject>;

// Where a path lands: the storage it belongs to and its parent folder.
struct Location {
    Fd parent;
    std::string leaf;        // resolved name of the last component (may be empty)
    std::string storageKey;  // "" for main memory, else the card folder's name
    Settings settings;       // that storage's settings
};

struct EmulatedHandheld::Impl {
    Impl(std::string configuredRoot, bool sweep)
        : fixedRoot(std::move(configuredRoot)), sweepAtConnect(sweep) {}

    std::mutex mutex;
    std::string fixedRoot;
    bool sweepAtConnect = true;
    std::string unlockedWith;  // the password given by RapiUnlockDevice
    std::string rootPath;
    Fd root;
    // The folder that holds the root and the root's name in it: each call checks that the name
    // still leads to the root with a one-step lookup rather than a walk of the whole path.
    Fd rootHolder;
    std::string rootName;
    dev_t rootDev = 0;
    ino_t rootIno = 0;
    // The entries made, removed or renamed in rootHolder: while none changed since the last
    // lookup of the root, the name still leads to the root and the lookup is skipped.
    FolderWatch holderWatch;
    std::optional<uint64_t> holderSeen;  // holderWatch's count before the last lookup
    bool connected = false;
    Fd event;
    RAPI_DWORD lastError = 0;
    uint64_t speed = 0;
    std::chrono::steady_clock::time_point paceUntil{};
    std::unique_ptr<SharedLink> link;  // the link's time shared with all its users
    std::map<RAPI_HANDLE, Object> objects;
    RAPI_HANDLE nextHandle = 0x100;
    std::map<std::string, std::shared_ptr<Usage>> usage;

    // Runs one call under the lock; an exception (running out of memory, say) fails the call
    // instead of going through the C interface.
    template <typename R, typename F>
    R guarded(R failValue, F&& body) {
        std::lock_guard lock(mutex);
        try {
            return body();
        } catch (...) {
            lastError = ErrorOfException(std::current_exception());
            return failValue;
        }
    }

    bool fail(RAPI_DWORD code) {
        lastError = code;
        return false;
    }

    // Parses a device path; a path that is malformed or would leave the root records its error.
    bool parse(const char16_t* text, DevicePath& path) {
        RAPI_DWORD why = 0;
        return ParseDevicePath(text, path, why) || fail(why);
    }

    // The link is up and the device path parses (the calls that take a path start so).
    bool linkedPath(const char16_t* text, DevicePath& path) {
        return linkUp() && parse(text, path);
    }

    // As linkedPath, for calls that name one file or folder: "a\b\" names folder b, which
    // becomes the leaf; the root alone names nothing (ERROR_PATH_NOT_FOUND).
    bool linkedEntry(const char16_t* text, DevicePath& path) {
        if (!linkedPath(text, path)) {
            return false;
        }
        if (path.leaf.empty()) {
            if (path.folders.empty()) {
                return fail(ERROR_PATH_NOT_FOUND);
            }
            path.leaf = path.folders.back();
            path.folders.pop_back();
        }
        return true;
    }

    // ---- link state and searches (EmulatedHandheld.cpp) ----

    // The settings of the handheld when it is attached (its root a folder).
    bool attachedSettings(Settings& settings);
    // It has a password that RapiUnlockDevice has not given.
    bool locked();

    void dropLink();
    // The link is up and the root is still the folder seen at connect. A root that was
    // removed, renamed or replaced is an unplugged handheld: the link stays down from then on.
    bool linkUp();
    // Opens rootHolder and sets rootName for rootPath (the holder stays closed when it has none),
    // and watches the holder's entries.
    void openRootHolder();
    RAPI_HANDLE newHandle(Object object);
    // Walks the folders of path from the root. Fills the location's storage and settings.
    bool locate(const DevicePath& path, Location& where);
    // Bytes in use in a storage, counted afresh (from the ledger it shares with other writers
    // when it has a capacity); the shared counter of its open files follows.
    std::shared_ptr<Usage> countUsage(const std::string& storageKey,
                                      std::optional<uint64_t> capacity = std::nullopt);
    // The time until which the link carries count more bytes (speed must be set).
    std::chrono::steady_clock::time_point pace(uint64_t count);
    RAPI_HRESULT initEx(RAPIINIT* init);
    RAPI_HRESULT uninit();
    RAPI_HANDLE findFirst(const char16_t* pattern, CE_FIND_DATA* data);
    static void fill(const SearchEntry& entry, CE_FIND_DATA& data);
    RAPI_BOOL findNext(RAPI_HANDLE h, CE_FIND_DATA* data);
    RAPI_BOOL findClose(RAPI_HANDLE h);
    RAPI_BOOL getVersion(CEOSVERSIONINFO* info);

    // ---- file objects (DeviceFiles.cpp) ----

    RAPI_BOOL createDirectory(const char16_t* text);
    RAPI_HANDLE createFile(const char16_t* text, RAPI_DWORD access, RAPI_DWORD disposition);
    // A write that fails because the handheld is gone: a file that this handle created or
    // emptied holds only part of its data and nobody can delete it any more, so it goes.
    static void discardPartial(FileObject& file);
    // Hands a file's buffered bytes to the file system. On failure the file is cut back to what
    // it held before them and the error is recorded.
    bool flush(FileObject& file);
    // Fills waitUntil with the time the caller must wait (outside the lock) to pace the link.
    RAPI_BOOL writeFile(RAPI_HANDLE h, const void* buffer, RAPI_DWORD count, RAPI_DWORD* written,
                        std::chrono::steady_clock::time_point& waitUntil);
    RAPI_BOOL readFile(RAPI_HANDLE h, void* buffer, RAPI_DWORD count, RAPI_DWORD* read);
    RAPI_BOOL closeHandle(RAPI_HANDLE h);
    RAPI_BOOL deleteFile(const char16_t* text);
    // Renames a file or folder within the handheld; the new name must be free.
    RAPI_BOOL moveFile(const char16_t* from, const char16_t* to);
    // Free and total bytes of the storage that holds the folder path: a card's capacity less
    // what it holds, never more than the desktop's own file system has free.
    RAPI_BOOL diskFreeSpace(const char16_t* text, uint64_t* freeToCaller, uint64_t* total,
                            uint64_t* totalFree);

    // ---- folders, attributes and sizes (DeviceFolders.cpp) ----

    // Parses and finds the file or folder a path names ("a\b\" names b), without following
    // links; records the error when there is none.
    bool lookUp(const char16_t* text, DevicePath& path, Location& where, struct stat& st);
    RAPI_BOOL removeDirectory(const char16_t* text);
    RAPI_DWORD getAttributes(const char16_t* text);
    RAPI_BOOL setAttributes(const char16_t* text, RAPI_DWORD attributes);
    RAPI_DWORD fileSize(RAPI_HANDLE h, RAPI_DWORD* high);
    // The size of the storage where lies and the bytes free in it: a card's capacity less what
    // it holds, never more than the desktop's own file system has free.
    bool storageSpace(const Location& where, uint64_t& size, uint64_t& available);
    RAPI_BOOL storeInformation(RAPI_DWORD* storeSize, RAPI_DWORD* freeSize);
};

// The device's error for an errno of the desktop's file system.
RAPI_DWORD ErrnoToCode(int err);

// Keeps a long name in its stand-in's attribute (fd open on the stand-in) when path's last
// component is one; false when the desktop's file system can't.
bool KeepLongName(int fd, const DevicePath& path);

// The handheld's name of the entry hostName of dir: the long name its stand-in keeps, or the
// entry's own name.
std::string DeviceNameOf(int dir, const char* hostName);

// The attributes the handheld reports for a file or folder.
RAPI_DWORD AttributesOf(const struct stat& st, bool cardFolder, bool readOnly);

}  // namespace handheld

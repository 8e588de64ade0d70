// Folders, moves and sizes: folders removed, files and folders moved, attributes read and set, a
// file's size, a storage's free space and the size of main memory's store.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "DeviceCore.h"

namespace handheld {

namespace {

constexpr RAPI_DWORD kReadOnlyAttribute = 0x1;
constexpr RAPI_DWORD kInvalidAttributes = 0xFFFFFFFFu;
constexpr RAPI_DWORD kInvalidFileSize = 0xFFFFFFFFu;
constexpr RAPI_DWORD kDirNotEmpty = 145;  // ERROR_DIR_NOT_EMPTY
constexpr RAPI_DWORD kNotAFolder = 267;   // ERROR_DIRECTORY

}  // namespace

bool KeepLongName(int fd, const DevicePath& path) {
    return !path.longLeaf() ||
           fsetxattr(fd, kLongNameAttribute, path.leafName.data(), path.leafName.size(), 0) == 0;
}

std::string DeviceNameOf(int dir, const char* hostName) {
    if (!IsLongNameStandIn(hostName)) {
        return hostName;
    }
    Fd fd(openat(dir, hostName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    char name[4 * kMaxPath];
    const ssize_t n = fd.valid() ? fgetxattr(fd.get(), kLongNameAttribute, name, sizeof name) : -1;
    return n > 0 ? std::string(name, static_cast<size_t>(n)) : std::string(hostName);
}

RAPI_DWORD AttributesOf(const struct stat& st, bool cardFolder, bool readOnly) {
    if (S_ISDIR(st.st_mode)) {
        return FILE_ATTRIBUTE_DIRECTORY | (cardFolder ? FILE_ATTRIBUTE_TEMPORARY : 0);
    }
    return readOnly ? (FILE_ATTRIBUTE_ARCHIVE | kReadOnlyAttribute) : FILE_ATTRIBUTE_NORMAL;
}

bool EmulatedHandheld::Impl::lookUp(const char16_t* text, DevicePath& path, Location& where,
                                    struct stat& st) {
    if (!linkedEntry(text, path)) {
        return false;
    }
    if (!IsValidName(path.leaf, false)) {
        return fail(ERROR_INVALID_NAME);  // a pattern names no one file
    }
    if (IsMarkerName(path.leaf)) {
        return fail(ERROR_FILE_NOT_FOUND);  // markers and temporaries are not the device's
    }
    if (!locate(path, where)) {
        return false;
    }
    if (fstatat(where.parent.get(), where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(errno == ENAMETOOLONG ? ERROR_FILENAME_EXCED_RANGE : ERROR_FILE_NOT_FOUND);
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        return fail(ERROR_FILE_NOT_FOUND);  // links, pipes and devices don't exist on the handheld
    }
    return true;
}

RAPI_BOOL EmulatedHandheld::Impl::removeDirectory(const char16_t* text) {
    DevicePath path;
    Location where;
    struct stat st;
    if (!lookUp(text, path, where, st)) {
        return lastError == ERROR_FILE_NOT_FOUND ? fail(ERROR_PATH_NOT_FOUND) : 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        return fail(kNotAFolder);
    }
    // A card's folder is the card itself: it can't be removed from the handheld.
    if (path.folders.empty() && IsCardFolder(where.parent.get(), where.leaf)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (where.settings.readOnly) {
        return fail(ERROR_WRITE_PROTECT);
    }
    if (unlinkat(where.parent.get(), where.leaf.c_str(), AT_REMOVEDIR) != 0) {
        return fail(errno == ENOTEMPTY || errno == EEXIST ? kDirNotEmpty : ErrnoToCode(errno));
    }
    return 1;
}

RAPI_DWORD EmulatedHandheld::Impl::getAttributes(const char16_t* text) {
    if (text != nullptr && text[0] == 0) {
        return linkUp() ? FILE_ATTRIBUTE_DIRECTORY : kInvalidAttributes;  // the root
    }
    DevicePath path;
    Location where;
    struct stat st;
    if (!lookUp(text, path, where, st)) {
        return kInvalidAttributes;
    }
    const bool card =
        path.folders.empty() && S_ISDIR(st.st_mode) && IsCardFolder(where.parent.get(), where.leaf);
    return AttributesOf(st, card, where.settings.readOnly);
}

RAPI_BOOL EmulatedHandheld::Impl::setAttributes(const char16_t* text, RAPI_DWORD attributes) {
    DevicePath path;
    Location where;
    struct stat st;
    if (!lookUp(text, path, where, st)) {
        return 0;
    }
    // The emulated storage keeps no attributes of its own: what a file or folder already
    // reports can be set again; anything else (read-only, hidden, system) it can't hold.
    const bool card =
        path.folders.empty() && S_ISDIR(st.st_mode) && IsCardFolder(where.parent.get(), where.leaf);
    const RAPI_DWORD now = AttributesOf(st, card, where.settings.readOnly);
    const RAPI_DWORD kept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL |
                            (now & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
    if ((attributes & ~(now | kept)) != 0) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (where.settings.readOnly) {
        return fail(ERROR_WRITE_PROTECT);
    }
    return 1;
}

RAPI_DWORD EmulatedHandheld::Impl::fileSize(RAPI_HANDLE h, RAPI_DWORD* high) {
    if (!linkUp()) {
        return kInvalidFileSize;
    }
    const auto it = objects.find(h);
    const auto* file = it == objects.end() ? nullptr : std::get_if<FileObject>(&it->second);
    if (file == nullptr) {
        fail(ERROR_INVALID_HANDLE);
        return kInvalidFileSize;
    }
    if (high != nullptr) {
        *high = static_cast<RAPI_DWORD>(file->size >> 32);
    }
    lastError = 0;  // a size whose low part is 0xFFFFFFFF tells itself from a failure so
    return static_cast<RAPI_DWORD>(file->size & 0xFFFFFFFFu);
}

bool EmulatedHandheld::Impl::storageSpace(const Location& where, uint64_t& size,
                                          uint64_t& available) {
    struct statvfs fs {};
    if (fstatvfs(where.parent.get(), &fs) != 0) {
        return fail(ErrnoToCode(errno));
    }
    const uint64_t hostFree = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    size = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
    available = hostFree;
    if (where.settings.capacity) {
        // The count all writers of the storage share, with what they still buffer.
        const uint64_t used = countUsage(where.storageKey, where.settings.capacity)->used;
        size = *where.settings.capacity;
        available = std::min(hostFree, size - std::min(size, used));
    }
    return true;
}

RAPI_BOOL EmulatedHandheld::Impl::storeInformation(RAPI_DWORD* storeSize, RAPI_DWORD* freeSize) {
    if (!linkUp()) {
        return 0;
    }
    Location where;
    uint64_t size = 0;
    uint64_t available = 0;
    if (!locate(DevicePath{}, where) || !storageSpace(where, size, available)) {
        return 0;
    }
    // The record has 32-bit fields, which SynCE's tools print as signed numbers: a larger
    // store shows as the most they can show.
    constexpr uint64_t kMost = 0x7FFFFFFF;
    if (storeSize != nullptr) {
        *storeSize = static_cast<RAPI_DWORD>(std::min(size, kMost));
    }
    if (freeSize != nullptr) {
        *freeSize = static_cast<RAPI_DWORD>(std::min(available, kMost));
    }
    return 1;
}

RAPI_BOOL EmulatedHandheld::Impl::moveFile(const char16_t* fromText, const char16_t* toText) {
    DevicePath from;
    DevicePath to;
    if (!linkedPath(fromText, from) || !parse(toText, to)) {
        return 0;
    }
    if (from.leaf.empty() || to.leaf.empty()) {
        return fail(ERROR_PATH_NOT_FOUND);
    }
    if (IsMarkerName(from.leaf) || IsMarkerName(to.leaf)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (!IsValidName(to.leaf, false)) {
        return fail(ERROR_INVALID_NAME);
    }
    Location source;
    Location target;
    if (!locate(from, source) || !locate(to, target)) {
        return 0;
    }
    struct stat st;
    if (fstatat(source.parent.get(), source.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    // Links and other kinds of file are not the device's own.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    // A folder moved below the root would take a storage card's marker out of its place.
    if (S_ISDIR(st.st_mode) && from.folders.empty() && source.storageKey == source.leaf) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (source.settings.readOnly || target.settings.readOnly) {
        return fail(ERROR_WRITE_PROTECT);
    }
    // Whatever holds the new name, in any case of its letters, keeps it (a move never
    // replaces), unless it is the same file being renamed to another case.
    struct stat existing;
    if (fstatat(target.parent.get(), target.leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        !(existing.st_dev == st.st_dev && existing.st_ino == st.st_ino)) {
        return fail(ERROR_ALREADY_EXISTS);
    }
    const bool sameStorage = source.storageKey == target.storageKey;
    // A file that changes storage leaves one count and joins the other (shared by all writers
    // where the storage has a capacity).
    const auto size = static_cast<uint64_t>(st.st_size);
    std::shared_ptr<Usage> into, outOf;
    if (!sameStorage && S_ISREG(st.st_mode)) {
        if (target.settings.capacity) {
            into = countUsage(target.storageKey, target.settings.capacity);
            if (!into->take(size, target.settings.capacity)) {
                into->settle();
                return fail(ERROR_DISK_FULL);
            }
        }
        if (source.settings.capacity) {
            outOf = countUsage(source.storageKey, source.settings.capacity);
        }
    }
    const auto undo = [&into, size] {
        if (into) {
            into->release(size);
            into->settle();
        }
    };
    if (renameat2(source.parent.get(), source.leaf.c_str(), target.parent.get(), to.leaf.c_str(),
                  RENAME_NOREPLACE) != 0) {
        undo();
        return fail(errno == EXDEV ? ERROR_NOT_SAME_DEVICE : ErrnoToCode(errno));
    }
    if (to.longLeaf()) {
        Fd moved(openat(target.parent.get(), to.leaf.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!moved.valid() || !KeepLongName(moved.get(), to)) {
            renameat2(target.parent.get(), to.leaf.c_str(), source.parent.get(),
                      source.leaf.c_str(), RENAME_NOREPLACE);
            undo();
            return fail(ERROR_FILENAME_EXCED_RANGE);
        }
    }
    if (into) {
        into->settle();
    }
    if (outOf) {
        outOf->release(size);
    }
    if (!sameStorage) {
        for (const std::string* key : {&source.storageKey, &target.storageKey}) {
            if (const auto slot = usage.find(*key); slot != usage.end() && !slot->second->ledger) {
                countUsage(*key);
            }
        }
    }
    return 1;
}

RAPI_BOOL EmulatedHandheld::Impl::diskFreeSpace(const char16_t* text, uint64_t* freeToCaller,
                                                uint64_t* total, uint64_t* totalFree) {
    DevicePath path;
    // "" and "\" name the root, main memory's storage.
    const bool isRoot =
        text != nullptr && (text[0] == u'\0' || (text[0] == u'\\' && text[1] == u'\0'));
    if (isRoot ? !linkUp() : !linkedPath(text, path)) {
        return 0;
    }
    // "a\b" and "a\b\" both name folder b.
    if (!path.leaf.empty()) {
        path.folders.push_back(path.leaf);
        path.leaf.clear();
    }
    Location where;
    if (!locate(path, where)) {
        return 0;
    }
    uint64_t size = 0;
    uint64_t available = 0;
    if (!storageSpace(where, size, available)) {
        return 0;
    }
    if (freeToCaller != nullptr) {
        *freeToCaller = available;
    }
    if (total != nullptr) {
        *total = size;
    }
    if (totalFree != nullptr) {
        *totalFree = available;
    }
    return 1;
}

RAPI_BOOL EmulatedHandheld::CeRemoveDirectory(const char16_t* path) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->removeDirectory(path); });
}

RAPI_DWORD EmulatedHandheld::CeGetFileAttributes(const char16_t* path) {
    return impl_->guarded(kInvalidAttributes, [&] { return impl_->getAttributes(path); });
}

RAPI_BOOL EmulatedHandheld::CeSetFileAttributes(const char16_t* path, RAPI_DWORD attributes) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->setAttributes(path, attributes); });
}

RAPI_DWORD EmulatedHandheld::CeGetFileSize(RAPI_HANDLE h, RAPI_DWORD* high) {
    return impl_->guarded(kInvalidFileSize, [&] { return impl_->fileSize(h, high); });
}

RAPI_BOOL EmulatedHandheld::CeGetStoreInformation(RAPI_DWORD* storeSize, RAPI_DWORD* freeSize) {
    return impl_->guarded(RAPI_BOOL{0},
                          [&] { return impl_->storeInformation(storeSize, freeSize); });
}

}  // namespace handheld

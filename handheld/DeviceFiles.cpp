// The file objects of the emulated handheld: folders and files created, written, read, closed
// and deleted. A file is never written in place when it has other names: a create that replaces
// it, or a write into it, puts a new file under its name first.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "DeviceCore.h"
#include "Posix.h"

namespace handheld {

RAPI_DWORD ErrnoToCode(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case ELOOP:
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOMEM:
            return ERROR_OUTOFMEMORY;
        default:
            return ERROR_WRITE_FAULT;
    }
}

namespace {

// Puts a new file under name in dir in one step: a temporary file beside it, renamed over it.
// The file that held the name is never written: it may have other names, even outside the root.
// The new file takes mode's permissions; when copyFrom is open, it starts with that file's
// contents.
Fd NewFileOver(int dir, const std::string& name, int flags, mode_t mode, int copyFrom, int& err) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary =
            ".~" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
        Fd fd(openat(dir, temporary.c_str(), flags | O_CREAT | O_EXCL, 0600));
        if (!fd.valid()) {
            if (errno == EEXIST) {
                continue;
            }
            err = errno;
            return {};
        }
        // Locked while it has the temporary name: a later open of the handheld removes it only
        // once this writer is gone.
        if (!posix::lockAsNamed(fd.get(), dir, temporary.c_str())) {
            continue;
        }
        bool ok = fchmod(fd.get(), mode & 0777) == 0;
        for (off_t from = 0; ok && copyFrom >= 0;) {
            const ssize_t n = copy_file_range(copyFrom, &from, fd.get(), nullptr, 1 << 30, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            ok = n >= 0;
            if (n <= 0) {
                break;
            }
        }
        if (ok && renameat(dir, temporary.c_str(), dir, name.c_str()) == 0) {
            return fd;
        }
        err = errno;
        unlinkat(dir, temporary.c_str(), 0);
        return {};
    }
    err = EEXIST;
    return {};
}

}  // namespace

RAPI_BOOL EmulatedHandheld::Impl::createDirectory(const char16_t* text) {
    DevicePath path;
    if (!linkedEntry(text, path)) {
        return 0;
    }
    if (!IsValidName(path.leaf, false)) {
        return fail(ERROR_INVALID_NAME);
    }
    if (IsMarkerName(path.leaf)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    Location where;
    if (!locate(path, where)) {
        return 0;
    }
    struct stat st;
    if (fstatat(where.parent.get(), where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return fail(ERROR_ALREADY_EXISTS);
    }
    if (where.settings.readOnly) {
        return fail(ERROR_WRITE_PROTECT);
    }
    if (mkdirat(where.parent.get(), where.leaf.c_str(), 0777) != 0) {
        return fail(ErrnoToCode(errno));
    }
    if (path.longLeaf()) {
        Fd made(openat(where.parent.get(), where.leaf.c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!made.valid() || !KeepLongName(made.get(), path)) {
            unlinkat(where.parent.get(), where.leaf.c_str(), AT_REMOVEDIR);
            return fail(ERROR_FILENAME_EXCED_RANGE);
        }
    }
    return 1;
}

RAPI_HANDLE EmulatedHandheld::Impl::createFile(const char16_t* text, RAPI_DWORD access,
                                               RAPI_DWORD disposition) {
    if (!linkUp()) {
        return INVALID_HANDLE_VALUE;
    }
    auto failed = [this](RAPI_DWORD code) {
        fail(code);
        return INVALID_HANDLE_VALUE;
    };
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        return failed(ERROR_INVALID_PARAMETER);
    }
    DevicePath path;
    if (!parse(text, path)) {
        return INVALID_HANDLE_VALUE;
    }
    if (path.leaf.empty()) {
        return failed(path.folders.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
    }
    if (!IsValidName(path.leaf, false)) {
        return failed(ERROR_INVALID_NAME);
    }
    if (IsMarkerName(path.leaf)) {
        return failed(ERROR_ACCESS_DENIED);
    }
    Location where;
    if (!locate(path, where)) {
        // On a read-only storage nothing could be created even with the folders there: that
        // is the answer that tells the user what to do.
        if (lastError == ERROR_PATH_NOT_FOUND && where.settings.readOnly) {
            return failed(ERROR_WRITE_PROTECT);
        }
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    const bool exists =
        fstatat(where.parent.get(), where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const bool wantWrite = (access & GENERIC_WRITE) != 0;
    const bool wantRead = (access & GENERIC_READ) != 0 || !wantWrite;
    // Creating or truncating a file changes the storage even without write access.
    const bool changes = wantWrite || disposition == CREATE_NEW || disposition == CREATE_ALWAYS ||
                         disposition == TRUNCATE_EXISTING ||
                         (!exists && disposition == OPEN_ALWAYS);
    if (exists && !S_ISREG(st.st_mode)) {
        return failed(ERROR_ACCESS_DENIED);  // a folder, link, pipe or device of that name
    }
    if (changes && where.settings.readOnly) {
        return failed(ERROR_WRITE_PROTECT);
    }
    if (exists && disposition == CREATE_NEW) {
        return failed(ERROR_FILE_EXISTS);
    }
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        return failed(ERROR_FILE_NOT_FOUND);
    }
    const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;

    std::shared_ptr<Usage> storageUsage;
    if (changes) {
        storageUsage = countUsage(where.storageKey, where.settings.capacity);
        // A file that is replaced makes room for its successor.
        const uint64_t freed = exists && truncate ? static_cast<uint64_t>(st.st_size) : 0;
        const uint64_t left = storageUsage->used - std::min(storageUsage->used, freed);
        if (where.settings.capacity && left >= *where.settings.capacity) {
            return failed(ERROR_DISK_FULL);
        }
    }

    int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    flags |= changes ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (!exists) {
        flags |= O_CREAT | O_EXCL;
    }
    Fd fd(openat(where.parent.get(), where.leaf.c_str(), flags, 0666));
    if (!fd.valid()) {
        return failed(errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoToCode(errno));
    }
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        return failed(ERROR_ACCESS_DENIED);
    }
    if (!exists && !KeepLongName(fd.get(), path)) {
        unlinkat(where.parent.get(), where.leaf.c_str(), 0);
        return failed(ERROR_FILENAME_EXCED_RANGE);
    }
    // A file that is replaced, or that shares its contents with other names, is never
    // written in place: a new file takes its name (with a copy of its contents when they
    // are kept).
    if (exists && changes && (truncate || opened.st_nlink > 1)) {
        Fd source;
        if (!truncate) {
            source.reset(openat(where.parent.get(), where.leaf.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat again;
            if (!source.valid() || fstat(source.get(), &again) != 0 ||
                again.st_dev != opened.st_dev || again.st_ino != opened.st_ino) {
                return failed(ERROR_ACCESS_DENIED);
            }
        }
        int err = 0;
        fd = NewFileOver(where.parent.get(), where.leaf, flags & ~O_NONBLOCK, opened.st_mode,
                         source.get(), err);
        if (!fd.valid()) {
            return failed(ErrnoToCode(err));
        }
        KeepLongName(fd.get(), path);  // the file it replaces kept it: so can this one
        if (truncate) {
            storageUsage->release(static_cast<uint64_t>(opened.st_size));
        }
    }
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);

    FileObject file;
    file.fd = std::move(fd);
    file.canRead = wantRead;
    file.canWrite = wantWrite;
    file.size = truncate ? 0 : static_cast<uint64_t>(opened.st_size);
    file.capacity = where.settings.capacity;
    file.usage = std::move(storageUsage);
    file.fresh = wantWrite && (truncate || !exists);
    file.name = where.leaf;
    file.parent = std::move(where.parent);
    if (wantWrite) {
        speed = ParseSettings(ReadSettingsFile(root.get(), kHandheldSettings)).speed;
    }
    return newHandle(std::move(file));
}

void EmulatedHandheld::Impl::discardPartial(FileObject& file) {
    if (!file.fresh || !file.parent.valid()) {
        return;
    }
    file.fresh = false;
    struct stat opened, named;
    if (fstat(file.fd.get(), &opened) == 0 &&
        fstatat(file.parent.get(), file.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
        unlinkat(file.parent.get(), file.name.c_str(), 0);
    }
}

bool EmulatedHandheld::Impl::flush(FileObject& file) {
    if (file.pending.empty()) {
        return true;
    }
    // A file removed behind the device's back (say with its card folder) would swallow
    // the data: that is a failed write, not a successful one.
    struct stat st;
    RAPI_DWORD why = 0;
    if (fstat(file.fd.get(), &st) != 0 || st.st_nlink == 0) {
        why = ERROR_WRITE_FAULT;
    }
    if (why == 0) {
        if (const int err =
                posix::pwriteAll(file.fd.get(), file.pending.data(), file.pending.size(),
                                 static_cast<off_t>(file.pendingAt));
            err != 0) {
            why = ErrnoToCode(err) == ERROR_DISK_FULL ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        }
    }
    if (why == 0) {
        file.pending.clear();
        return true;
    }
    // Leave the file as it was before the buffered bytes: a failed write writes nothing.
    const uint64_t before = std::min(file.size, file.pendingAt);
    file.usage->release(file.size - before);
    file.size = before;
    if (ftruncate(file.fd.get(), static_cast<off_t>(before)) != 0) {
        // The file keeps the partial bytes; the failure is reported all the same.
    }
    file.pending.clear();
    return fail(why);
}

RAPI_BOOL EmulatedHandheld::Impl::writeFile(RAPI_HANDLE h, const void* buffer, RAPI_DWORD count,
                                            RAPI_DWORD* written,
                                            std::chrono::steady_clock::time_point& waitUntil) {
    if (written != nullptr) {
        *written = 0;
    }
    const auto it = objects.find(h);
    if (!linkUp()) {
        if (it != objects.end()) {
            if (auto* file = std::get_if<FileObject>(&it->second)) {
                discardPartial(*file);
            }
        }
        return 0;
    }
    if (it == objects.end() || !std::holds_alternative<FileObject>(it->second)) {
        return fail(ERROR_INVALID_HANDLE);
    }
    auto& file = std::get<FileObject>(it->second);
    if (!file.canWrite) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (count == 0) {
        return 1;
    }
    if (buffer == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // A file removed behind the device's back (say with its card folder) would swallow
    // the data: that is a failed write, not a successful one.
    struct stat st;
    if (fstat(file.fd.get(), &st) != 0 || st.st_nlink == 0) {
        return fail(ERROR_WRITE_FAULT);
    }
    const uint64_t end = file.position + count;
    const uint64_t grow = end > file.size ? end - file.size : 0;
    if (!file.usage->take(grow, file.capacity)) {
        return fail(ERROR_DISK_FULL);  // nothing written
    }
    // The buffer holds one run of consecutive bytes: anything else flushes it first.
    if (!file.pending.empty() && file.pendingAt + file.pending.size() != file.position &&
        !flush(file)) {
        return 0;
    }
    if (file.pending.empty()) {
        file.pending.reserve(kWriteBuffer);
        file.pendingAt = file.position;
    }
    file.pending.append(static_cast<const char*>(buffer), count);
    file.position = end;
    file.size = std::max(file.size, end);
    if (file.pending.size() >= kWriteBuffer && !flush(file)) {
        return 0;
    }
    if (written != nullptr) {
        *written = count;
    }
    if (speed > 0) {
        waitUntil = pace(count);
    }
    return 1;
}

RAPI_BOOL EmulatedHandheld::Impl::readFile(RAPI_HANDLE h, void* buffer, RAPI_DWORD count,
                                           RAPI_DWORD* read) {
    if (read != nullptr) {
        *read = 0;
    }
    if (!linkUp()) {
        return 0;
    }
    const auto it = objects.find(h);
    if (it == objects.end() || !std::holds_alternative<FileObject>(it->second)) {
        return fail(ERROR_INVALID_HANDLE);
    }
    auto& file = std::get<FileObject>(it->second);
    if (!file.canRead) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (!flush(file)) {
        return 0;
    }
    if (count > 0 && buffer == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const ssize_t done =
        posix::preadFull(file.fd.get(), buffer, count, static_cast<off_t>(file.position));
    if (done < 0) {
        return fail(ERROR_READ_FAULT);
    }
    file.position += static_cast<uint64_t>(done);
    if (read != nullptr) {
        *read = static_cast<RAPI_DWORD>(done);
    }
    return 1;
}

RAPI_BOOL EmulatedHandheld::Impl::closeHandle(RAPI_HANDLE h) {
    const auto it = objects.find(h);
    if (it == objects.end()) {
        if (!linkUp()) {
            return 0;
        }
        return fail(ERROR_INVALID_HANDLE);
    }
    // Bytes the device has taken are the device's, also when the link is gone by now: they
    // reach the file before it counts as complete. A file that can't be completed is as
    // partial as after a failed write.
    bool complete = true;
    if (auto* file = std::get_if<FileObject>(&it->second)) {
        complete = flush(*file);
        if (!complete) {
            discardPartial(*file);
        }
        if (file->canWrite && file->usage) {
            file->usage->settle();
        }
    }
    objects.erase(it);  // released even when the handheld is gone
    return complete && linkUp() ? 1 : 0;
}

RAPI_BOOL EmulatedHandheld::Impl::deleteFile(const char16_t* text) {
    DevicePath path;
    if (!linkedPath(text, path)) {
        return 0;
    }
    if (path.leaf.empty()) {
        return fail(path.folders.empty() ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    }
    if (IsMarkerName(path.leaf)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    Location where;
    if (!locate(path, where)) {
        return 0;
    }
    struct stat st;
    if (fstatat(where.parent.get(), where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    if (!S_ISREG(st.st_mode)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (where.settings.readOnly) {
        return fail(ERROR_WRITE_PROTECT);
    }
    if (where.settings.capacity) {
        countUsage(where.storageKey, where.settings.capacity);  // the removal counts for all
    }
    if (unlinkat(where.parent.get(), where.leaf.c_str(), 0) != 0) {
        return fail(ErrnoToCode(errno));
    }
    if (const auto slot = usage.find(where.storageKey); slot != usage.end() && slot->second) {
        slot->second->release(static_cast<uint64_t>(st.st_size));
    }
    return 1;
}

}  // namespace handheld

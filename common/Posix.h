#pragma once

// Descriptors and whole reads and writes over POSIX calls, with EINTR retried everywhere.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>

namespace posix {

// A file descriptor closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    void reset(int fd = -1);
    int release() { return std::exchange(fd_, -1); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Opens path (relative to dirFd, or AT_FDCWD) for reading without blocking, so that a FIFO or a
// device can't hang the caller, and keeps the descriptor only when it is a regular file.
// extraFlags adds open flags (O_NOFOLLOW, ...). *st receives the file's status when given.
UniqueFd openRegularFile(int dirFd, const char* path, int extraFlags = 0,
                         struct stat* st = nullptr);

// 1: a regular file with content, 0: an empty regular file, -1: its length can't be read (no
// such file, no access, not a regular file). Links are followed. dirFd may be AT_FDCWD.
int fileStatusAt(int dirFd, const char* path);

// Reads up to n bytes, fewer only at the end of the file. The count read, or -1 (errno set).
ssize_t readFull(int fd, void* buffer, size_t n);

// Appends the rest of the file to out. False on a read error (errno set) or, with EFBIG, when the
// file holds more than limit bytes.
bool readAll(int fd, std::string& out, size_t limit = static_cast<size_t>(-1));

// Writes all n bytes. 0, or the errno of the write that failed (EIO for a write that took
// nothing).
int writeAll(int fd, const void* data, size_t n);

// Reads up to n bytes at offset, fewer only at the end of the file. The count read, or -1 (errno
// set). The file position stays.
ssize_t preadFull(int fd, void* buffer, size_t n, off_t offset);

// Writes all n bytes at offset. 0, or the errno of the write that failed (ENOSPC for a write
// that took nothing: the file can't grow). The file position stays.
int pwriteAll(int fd, const void* data, size_t n, off_t offset);

// Signals an eventfd: adds one to its counter, which makes it readable.
void signalEvent(int eventFd);

// Temporary files that a writer holds an exclusive flock on for as long as it works with them:
// a lock nobody holds proves the writer gone, whatever process numbers or namespaces say. Such
// files are made 0600, so that no other user can open them, let alone lock them; and no lock is
// ever waited for (LOCK_NB), so that a file somebody else holds hangs nothing.

// Locks the file fd holds and checks that name in dirFd still names that file. False when it no
// longer does (a remover took it away) or when somebody else holds it (then the name is removed
// if it is still this file): the caller makes a new one.
bool lockAsNamed(int fd, int dirFd, const char* name);

// Removes name from dirFd when it is a regular file of the current user that no process holds
// locked: an abandoned temporary file. True when it was removed.
bool removeIfAbandoned(int dirFd, const char* name);

// The process's file mode creation mask.
mode_t currentUmask();

// A file or folder opened by its path without following any link that the path's owners don't
// vouch for, and judged as it was opened: see openChecked.
struct Checked {
    UniqueFd fd;        // an O_PATH descriptor of what the path names; valid only when trusted
    struct stat st {};  // its status
    std::string why;    // why it isn't trusted, or can't be checked; empty when trusted
    int error = 0;      // the errno when a part of the path is missing or can't be opened

    bool trusted() const { return fd.valid(); }
};

// Opens path by walking it from "/" (a relative path from the current folder), each part opened
// with O_NOFOLLOW and checked as it is opened: every part, "/" included, must belong to the
// caller (its effective user) or root, and no one else may write to it unless it is a folder
// with the sticky bit (such as /tmp, where only an entry's owner may rename or remove it). A
// link on the way counts only when it is the caller's or root's, and then its target is walked
// the same way, from the descriptor that read the link. What was checked is what the
// descriptor holds: use it (execveat, openat, "/proc/self/fd/N"), never the path again.
Checked openChecked(const std::string& path);
// The same for relative, below the folder open at dirFd that the caller checked so (shown as
// dirShown in reasons).
Checked openCheckedAt(int dirFd, const std::string& dirShown, const std::string& relative);

}  // namespace posix

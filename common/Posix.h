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

}  // namespace posix

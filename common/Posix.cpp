#include "Posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace posix {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

UniqueFd openRegularFile(int dirFd, const char* path, int extraFlags, struct stat* st) {
    UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags));
    struct stat local {};
    struct stat& status = st ? *st : local;
    if (!fd.valid()) {
        return fd;
    }
    if (::fstat(fd.get(), &status) != 0) {
        return {};
    }
    if (!S_ISREG(status.st_mode)) {
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return {};
    }
    return fd;
}

int fileStatusAt(int dirFd, const char* path) {
    struct stat st {};
    if (::fstatat(dirFd, path, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return st.st_size > 0 ? 1 : 0;
}

ssize_t readFull(int fd, void* buffer, size_t n) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(fd, out + done, n - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool readAll(int fd, std::string& out, size_t limit) {
    char buffer[65536];
    size_t taken = 0;
    for (;;) {
        const ssize_t got = readFull(fd, buffer, sizeof buffer);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        taken += static_cast<size_t>(got);
        if (taken > limit) {
            errno = EFBIG;
            return false;
        }
        out.append(buffer, static_cast<size_t>(got));
        if (static_cast<size_t>(got) < sizeof buffer) {
            return true;
        }
    }
}

ssize_t preadFull(int fd, void* buffer, size_t n, off_t offset) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, out + done, n - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

int pwriteAll(int fd, const void* data, size_t n, off_t offset) {
    const auto* in = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t put = ::pwrite(fd, in, n, offset);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return put < 0 ? errno : ENOSPC;
        }
        in += put;
        offset += put;
        n -= static_cast<size_t>(put);
    }
    return 0;
}

void signalEvent(int eventFd) {
    const uint64_t one = 1;
    while (::write(eventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

int writeAll(int fd, const void* data, size_t n) {
    const auto* in = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t put = ::write(fd, in, n);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return put < 0 ? errno : EIO;
        }
        in += put;
        n -= static_cast<size_t>(put);
    }
    return 0;
}

}  // namespace posix

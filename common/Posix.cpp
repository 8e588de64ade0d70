#include "Posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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

std::string writableByOthers(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return path + ": " + std::strerror(errno);
    }
    const uid_t me = ::geteuid();
    std::string place = resolved;
    for (;;) {
        struct stat st {};
        if (::lstat(place.c_str(), &st) != 0) {
            return place + ": " + std::strerror(errno);
        }
        if (st.st_uid != me && st.st_uid != 0) {
            return place + " belongs to another user";
        }
        const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
            return place + " can be written by others";
        }
        if (place == "/") {
            return {};
        }
        const size_t slash = place.rfind('/');
        place = slash == 0 ? "/" : place.substr(0, slash);
    }
}

}  // namespace posix

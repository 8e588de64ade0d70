#include "Posix.h"

#include "Text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
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

int fileStatusAt(int dirFd, const char* path) {
    struct stat st {};
    if (::fstatat(dirFd, path, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return st.st_size > 0 ? 1 : 0;
}

namespace {

// Reads until n bytes, the end or an error, going on after signals; readAt(out, want, done)
// does one read of want bytes into out, done bytes into the whole.
template <typename ReadAt>
ssize_t readLoop(void* buffer, size_t n, ReadAt readAt) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = readAt(out + done, n - done, done);
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

}  // namespace

ssize_t readFull(int fd, void* buffer, size_t n) {
    return readLoop(buffer, n,
                    [fd](char* out, size_t want, size_t) { return ::read(fd, out, want); });
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
    return readLoop(buffer, n, [fd, offset](char* out, size_t want, size_t done) {
        return ::pread(fd, out, want, offset + static_cast<off_t>(done));
    });
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

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int lock(int fd, int how) {
    int rc;
    do {
        rc = ::flock(fd, how);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

}  // namespace

bool lockAsNamed(int fd, int dirFd, const char* name) {
    struct stat mine {};
    struct stat named {};
    return lock(fd, LOCK_EX) == 0 && ::fstat(fd, &mine) == 0 &&
           ::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(mine, named);
}

bool removeIfAbandoned(int dirFd, const char* name) {
    const UniqueFd fd(
        ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    struct stat named {};
    // Checked again under the lock: the name must still be this file when it goes.
    return fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == ::geteuid() && lock(fd.get(), LOCK_EX | LOCK_NB) == 0 &&
           ::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(st, named) &&
           ::unlinkat(dirFd, name, 0) == 0;
}

std::string writableByOthers(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return "cannot check " + text::oneLine(path) + ": " + std::strerror(errno);
    }
    const uid_t me = ::geteuid();
    std::string place = resolved;
    for (;;) {
        struct stat st {};
        if (::lstat(place.c_str(), &st) != 0) {
            return "cannot check " + text::oneLine(place) + ": " + std::strerror(errno);
        }
        if (st.st_uid != me && st.st_uid != 0) {
            return text::oneLine(place) + " belongs to another user";
        }
        // A sticky folder (such as /tmp) lets others add entries but not rename or remove ours.
        const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
            return "others may write to " + text::oneLine(place);
        }
        if (place == "/") {
            return {};
        }
        const size_t slash = place.rfind('/');
        place = slash == 0 ? "/" : place.substr(0, slash);
    }
}

}  // namespace posix

#include "Posix.h"

#include "Text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

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
    const bool isNamed = ::fstat(fd, &mine) == 0 &&
                         ::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                         sameFile(mine, named);
    if (lock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Somebody else holds the new file: it is left to them, under no name of ours.
        if (isNamed) {
            ::unlinkat(dirFd, name, 0);
        }
        return false;
    }
    // Checked again under the lock: a remover may have taken the name in between.
    return ::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(mine, named);
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

mode_t currentUmask() {
    const mode_t mask = ::umask(077);
    ::umask(mask);
    return mask;
}

namespace {

// More links than this on one walk end it, as the kernel's own lookup does (ELOOP).
constexpr int kMaxLinks = 40;

bool ownedByUserOrRoot(const struct stat& st) {
    return st.st_uid == ::geteuid() || st.st_uid == 0;
}

// Why someone else could change what place is (st): empty when no one can.
std::string whyOthersCould(const struct stat& st, const std::string& place) {
    if (!ownedByUserOrRoot(st)) {
        return text::oneLine(place) +
               (S_ISLNK(st.st_mode) ? " is a link of another user" : " belongs to another user");
    }
    // A sticky folder (such as /tmp) lets others add entries but not rename or remove ours. A
    // link's own mode means nothing.
    const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
    if (!S_ISLNK(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
        return "others may write to " + text::oneLine(place);
    }
    return {};
}

std::string joinPlace(const std::string& folder, const std::string& name) {
    return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

// Appends the parts of path to parts, in front of the parts already there.
void prependParts(std::vector<std::string>& parts, const std::string& path) {
    std::vector<std::string> mine;
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        if (end > at && path.compare(at, end - at, ".") != 0) {
            mine.push_back(path.substr(at, end - at));
        }
        at = end + 1;
    }
    // parts is kept last part first, so that the next one is popped from its end.
    parts.insert(parts.end(), mine.rbegin(), mine.rend());
}

// One level of the walk: a folder that was checked, as shown in reasons.
struct Level {
    UniqueFd fd;
    struct stat st {};
    std::string place;
};

Checked failed(int err, const std::string& place) {
    Checked result;
    result.error = err;
    result.why = "cannot check " + text::oneLine(place) + ": " + std::strerror(err);
    return result;
}

bool openRoot(std::vector<Level>& levels, Checked& result) {
    Level root{UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)), {}, "/"};
    if (!root.fd.valid() || ::fstat(root.fd.get(), &root.st) != 0) {
        result = failed(errno, "/");
        return false;
    }
    result.why = whyOthersCould(root.st, "/");
    levels.clear();
    levels.push_back(std::move(root));
    return result.why.empty();
}

// Walks parts (last part first) from the top of levels.
Checked walk(std::vector<Level>& levels, std::vector<std::string>& parts) {
    Checked result;
    int links = 0;
    while (!parts.empty()) {
        std::string name = std::move(parts.back());
        parts.pop_back();
        if (name == "..") {
            if (levels.size() > 1) {
                levels.pop_back();
            }
            continue;
        }
        Level next{{}, {}, joinPlace(levels.back().place, name)};
        next.fd = UniqueFd(
            ::openat(levels.back().fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next.fd.valid() || ::fstat(next.fd.get(), &next.st) != 0) {
            return failed(errno, next.place);
        }
        if (S_ISLNK(next.st.st_mode)) {
            // Followed only when its owner is one the whole path trusts anyway.
            if (result.why = whyOthersCould(next.st, next.place); !result.why.empty()) {
                return result;
            }
            if (++links > kMaxLinks) {
                return failed(ELOOP, next.place);
            }
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(next.fd.get(), "", target, sizeof target);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof target) {
                return failed(n < 0 ? errno : ENAMETOOLONG, next.place);
            }
            const std::string to(target, static_cast<size_t>(n));
            if (to.starts_with('/') && !openRoot(levels, result)) {
                return result;
            }
            prependParts(parts, to);
            continue;
        }
        if (result.why = whyOthersCould(next.st, next.place); !result.why.empty()) {
            return result;
        }
        if (!parts.empty() && !S_ISDIR(next.st.st_mode)) {
            return failed(ENOTDIR, next.place);
        }
        levels.push_back(std::move(next));
    }
    result.fd = std::move(levels.back().fd);
    result.st = levels.back().st;
    return result;
}

}  // namespace

Checked openChecked(const std::string& path) {
    std::vector<std::string> parts;
    prependParts(parts, path);
    if (!path.starts_with('/')) {
        char here[PATH_MAX];
        if (::getcwd(here, sizeof here) == nullptr) {
            Checked result;
            return failed(errno, ".");
        }
        prependParts(parts, here);
    }
    std::vector<Level> levels;
    Checked result;
    if (!openRoot(levels, result)) {
        return result;
    }
    return walk(levels, parts);
}

Checked openCheckedAt(int dirFd, const std::string& dirShown, const std::string& relative) {
    std::vector<Level> levels(1);
    levels[0].place = dirShown;
    levels[0].fd = UniqueFd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (!levels[0].fd.valid() || ::fstat(levels[0].fd.get(), &levels[0].st) != 0) {
        Checked result;
        return failed(errno, dirShown);
    }
    std::vector<std::string> parts;
    prependParts(parts, relative);
    return walk(levels, parts);
}

}  // namespace posix

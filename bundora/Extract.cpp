#include "Extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace bundora {

namespace {

// Owns a file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_;
};

std::string reason(int err) { return std::strerror(err); }

[[noreturn]] void fail(const std::string& what, int err) {
    throw ExtractError(what + ": " + reason(err));
}

bool isExecutableData(std::span<const char> data) {
    static constexpr char kElf[] = {0x7f, 'E', 'L', 'F'};
    if (data.size() >= 4 && std::memcmp(data.data(), kElf, 4) == 0) {
        return true;
    }
    return data.size() >= 2 && data[0] == '#' && data[1] == '!';
}

void writeAll(int fd, const char* data, size_t n, const std::string& path) {
    while (n > 0) {
        ssize_t put = ::write(fd, data, n);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            fail("cannot write " + path, put < 0 ? errno : EIO);
        }
        data += put;
        n -= static_cast<size_t>(put);
    }
}

// Creates a fresh temporary file in the folder; returns its name.
std::string createTemporary(int dirFd, mode_t mode, Fd& out, const std::string& folderShown) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = ".bundora-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1)) + ".part";
        int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            out = Fd(fd);
            return name;
        }
        if (errno != EEXIST) {
            fail("cannot create a file in " + folderShown, errno);
        }
    }
    fail("cannot create a file in " + folderShown, EEXIST);
}

void writeEntry(int destFd, const std::string& destDir, const Entry& entry) {
    const std::vector<std::string> parts = entryPathParts(entry.name);
    // Paths as shown in messages: destDir, a separator of our own, then the entry's path.
    std::string shown = destDir + "/";
    Fd folder(::dup(destFd));
    if (folder.get() < 0) {
        fail("cannot open " + destDir, errno);
    }
    // Subfolder: open the levels of the folder part; only the last one is created when missing.
    std::string folderPart = shown;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        folderPart += (i ? "/" : "") + parts[i];
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        shown += parts[i];
        const bool last = i + 2 == parts.size();
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::openat(folder.get(), parts[i].c_str(), flags);
        if (fd < 0 && errno == ENOENT) {
            if (!last || ::mkdirat(folder.get(), parts[i].c_str(), 0777) != 0) {
                fail("cannot create folder " + folderPart, last ? errno : ENOENT);
            }
            fd = ::openat(folder.get(), parts[i].c_str(), flags);
        }
        if (fd < 0) {
            fail("cannot open folder " + shown, errno);
        }
        folder = Fd(fd);
        shown += "/";
    }
    const std::string& leaf = parts.back();
    const std::string target = shown + leaf;

    // Write the data completely beside the target before anything replaces it.
    Fd out;
    const mode_t mode = isExecutableData(entry.bytes()) ? 0755 : 0644;
    const std::string temporary = createTemporary(folder.get(), mode, out, shown);
    try {
        writeAll(out.get(), entry.bytes().data(), entry.bytes().size(), target);
        if (::close(out.release()) != 0) {
            fail("cannot write " + target, errno);
        }

        // Backup of a target with content.
        if (entry.backupFlag == 1 && fileStatusAt(folder.get(), leaf.c_str()) == 1) {
            const std::string backup = leaf + std::string(kBackupSuffix);
            if (::unlinkat(folder.get(), backup.c_str(), 0) != 0 && errno != ENOENT) {
                fail("cannot delete the old backup " + shown + backup, errno);
            }
            if (::renameat(folder.get(), leaf.c_str(), folder.get(), backup.c_str()) != 0) {
                fail("cannot rename " + target + " to " + backup, errno);
            }
        }
        if (::renameat(folder.get(), temporary.c_str(), folder.get(), leaf.c_str()) != 0) {
            fail("cannot write " + target, errno);
        }
    } catch (...) {
        ::unlinkat(folder.get(), temporary.c_str(), 0);
        throw;
    }
}

}  // namespace

std::vector<std::string> entryPathParts(std::string_view name) {
    const std::string quoted = "entry name \"" + std::string(name) + "\" refused: ";
    if (name.empty()) {
        throw ExtractError("entry name refused: it is empty");
    }
    if (name.find('\0') != std::string_view::npos) {
        throw ExtractError(quoted + "it contains a NUL byte");
    }
    if (name[0] == '\\' || name[0] == '/') {
        throw ExtractError(quoted + "it is an absolute path");
    }
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
        throw ExtractError(quoted + "it has a drive prefix");
    }
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '\\' || name[i] == '/') {
            if (part.empty()) {
                throw ExtractError(quoted + "it has an empty part");
            }
            if (part == "..") {
                throw ExtractError(quoted + "it has a \"..\" part");
            }
            if (part == ".") {
                throw ExtractError(quoted + "it has a \".\" part");
            }
            parts.push_back(std::move(part));
            part.clear();
        } else {
            part.push_back(name[i]);
        }
    }
    return parts;
}

int fileStatusAt(int dirFd, const char* path) {
    struct stat st {};
    if (::fstatat(dirFd, path, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return st.st_size > 0 ? 1 : 0;
}

void extractPayload(ByteSource& carrier, const std::string& destDir, WalkStats* stats) {
    Fd dest(::open(destDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dest.get() < 0) {
        fail("cannot open destination folder " + destDir, errno);
    }
    walk(carrier, [&](Entry& entry) { writeEntry(dest.get(), destDir, entry); }, stats);
}

}  // namespace bundora

#include "Extract.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "Posix.h"
#include "Text.h"

namespace bundora {

namespace {

using Fd = posix::UniqueFd;

std::string reason(int err) {
    return std::strerror(err);
}

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
    if (const int err = posix::writeAll(fd, data, n)) {
        fail("cannot write " + path, err);
    }
}

// The folder path as shown in messages, with exactly one separator before what follows.
std::string shownFolder(const std::string& folder) {
    std::string shown = text::oneLine(folder);
    if (shown.empty() || shown.back() != '/') {
        shown += '/';
    }
    return shown;
}

std::string temporaryName() {
    static std::atomic<unsigned> counter{0};
    return std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + ".part";
}

}  // namespace

void sweepTemporaries(int dirFd) {
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    while (const dirent* e = ::readdir(dir)) {
        if (isTemporaryName(e->d_name)) {
            posix::removeIfAbandoned(dirFd, e->d_name);
        }
    }
    ::closedir(dir);
}

namespace {

// An entry's data on its way to the target: a file without a name (name empty) or one under a
// temporary name in the target's folder, locked while it has that name (lock holds the lock once
// fd is closed).
struct Temporary {
    Fd fd;
    std::string name;
    Fd lock;
};

// Gives the temporary file a fresh temporary name in the folder, locked.
void nameTemporary(int dirFd, Temporary& t, const std::string& procPath,
                   const std::string& target) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temporaryName();
        if (::linkat(AT_FDCWD, procPath.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            if (!posix::lockAsNamed(t.fd.get(), dirFd, name.c_str())) {
                continue;  // swept away before it was locked, or held by someone else
            }
            t.name = std::move(name);
            return;
        }
        if (errno != EEXIST) {
            fail("cannot write " + target, errno);
        }
    }
    fail("cannot write " + target, EEXIST);
}

// Made 0600: no other user can open it, so no one else can lock it either; it gets its mode
// once complete.
Temporary createTemporary(int dirFd, Temporaries how, const std::string& folderShown) {
    constexpr mode_t mode = 0600;
    if (how == Temporaries::Unnamed) {
        const int fd = ::openat(dirFd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, mode);
        if (fd >= 0) {
            return {Fd(fd), "", {}};
        }
        // No unnamed files here (file system or kernel): a named one gives the real error, if any.
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temporaryName();
        Fd fd(::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (fd.valid()) {
            if (!posix::lockAsNamed(fd.get(), dirFd, name.c_str())) {
                continue;  // swept away before it was locked, or held by someone else
            }
            return {std::move(fd), std::move(name), {}};
        }
        if (errno != EEXIST) {
            fail("cannot create a file in " + folderShown, errno);
        }
    }
    fail("cannot create a file in " + folderShown, EEXIST);
}

// Puts the complete temporary file under the target's name with its mode, replacing what is
// there. The file keeps 0600 for as long as it has a temporary name and isn't locked yet.
void publish(int dirFd, Temporary& t, const std::string& leaf, const std::string& target,
             mode_t mode) {
    const int fd = t.fd.valid() ? t.fd.get() : t.lock.get();
    const auto setMode = [&](mode_t m) {
        if (::fchmod(fd, m) != 0) {
            fail("cannot write " + target, errno);
        }
    };
    if (t.name.empty()) {
        const std::string procPath = "/proc/self/fd/" + std::to_string(t.fd.get());
        // Nothing under the name yet: the file appears there whole, in one step.
        setMode(mode);
        if (::linkat(AT_FDCWD, procPath.c_str(), dirFd, leaf.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return;
        }
        if (errno != EEXIST) {
            fail("cannot write " + target, errno);
        }
        // A link can't replace a file; a rename can.
        setMode(0600);
        nameTemporary(dirFd, t, procPath, target);
    }
    setMode(mode);
    if (::renameat(dirFd, t.name.c_str(), dirFd, leaf.c_str()) != 0) {
        fail("cannot write " + target, errno);
    }
}

struct Extraction {
    int destFd;
    std::string destShown;  // destDir as shown, ending in one "/"
    Temporaries temporaries;
    const MadeRecorder& made;
    mode_t umask;
    std::set<std::pair<dev_t, ino_t>> swept;
};

std::string joined(const std::vector<std::string>& parts, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i) {
        path += (i ? "/" : "") + parts[i];
    }
    return path;
}

void writeEntry(Extraction& x, const Entry& entry) {
    const std::vector<std::string> parts = entryPathParts(entry.name);
    // Paths as shown in messages: destDir, one separator, then the entry's path.
    std::string shown = x.destShown;
    Fd folder(::dup(x.destFd));
    if (folder.get() < 0) {
        fail("cannot open " + x.destShown, errno);
    }
    // Subfolder: open the levels of the folder part; only the last one is created when missing.
    std::string folderPart = shown;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        folderPart += (i ? "/" : "") + text::oneLine(parts[i]);
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        shown += text::oneLine(parts[i]);
        const bool last = i + 2 == parts.size();
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::openat(folder.get(), parts[i].c_str(), flags);
        if (fd < 0 && errno == ENOENT) {
            if (last && x.made) {
                x.made(joined(parts, i + 1), true);
            }
            if (!last || ::mkdirat(folder.get(), parts[i].c_str(), 0777) != 0) {
                fail("cannot create folder " + folderPart, last ? errno : ENOENT);
            }
            fd = ::openat(folder.get(), parts[i].c_str(), flags);
        }
        if (fd < 0) {
            const int err = errno;
            struct stat st {};
            if (::fstatat(folder.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                throw ExtractError("cannot open folder " + shown + ": is a link, not followed");
            }
            fail("cannot open folder " + shown, err);
        }
        folder = Fd(fd);
        shown += "/";
    }
    const std::string& leaf = parts.back();
    const std::string target = shown + text::oneLine(leaf);

    // What earlier, killed runs left in this folder goes first.
    struct stat folderStat {};
    if (::fstat(folder.get(), &folderStat) == 0 &&
        x.swept.insert({folderStat.st_dev, folderStat.st_ino}).second) {
        sweepTemporaries(folder.get());
    }

    // Write the data completely beside the target before anything replaces it.
    const mode_t mode = (isExecutableData(entry.bytes()) ? 0755 : 0644) & ~x.umask;
    Temporary temporary = createTemporary(folder.get(), x.temporaries, shown);
    try {
        writeAll(temporary.fd.get(), entry.bytes().data(), entry.bytes().size(), target);
        // A named file is complete once closed (its lock lives on in a second descriptor); an
        // unnamed one stays open until it has a name.
        if (!temporary.name.empty()) {
            temporary.lock = Fd(::dup(temporary.fd.get()));
            if (!temporary.lock.valid() || ::close(temporary.fd.release()) != 0) {
                fail("cannot write " + target, errno);
            }
        }
        if (x.made) {
            x.made(joined(parts, parts.size()), false);
        }

        // Backup of a target with content.
        if (entry.backupFlag == 1 && posix::fileStatusAt(folder.get(), leaf.c_str()) == 1) {
            const std::string backup = leaf + std::string(kBackupSuffix);
            if (x.made) {
                x.made(joined(parts, parts.size() - 1) + (parts.size() > 1 ? "/" : "") + backup,
                       false);
            }
            if (::unlinkat(folder.get(), backup.c_str(), 0) != 0 && errno != ENOENT) {
                fail("cannot delete the old backup " + shown + text::oneLine(backup), errno);
            }
            if (::renameat(folder.get(), leaf.c_str(), folder.get(), backup.c_str()) != 0) {
                fail("cannot rename " + target + " to " + text::oneLine(backup), errno);
            }
        }
        publish(folder.get(), temporary, leaf, target, mode);
        if (temporary.fd.get() >= 0 && ::close(temporary.fd.release()) != 0) {
            fail("cannot write " + target, errno);
        }
    } catch (...) {
        if (!temporary.name.empty()) {
            ::unlinkat(folder.get(), temporary.name.c_str(), 0);
        }
        throw;
    }
}

}  // namespace

bool isTemporaryName(std::string_view name) {
    if (!name.starts_with(kTemporaryPrefix) || !name.ends_with(".part")) {
        return false;
    }
    name = name.substr(kTemporaryPrefix.size(), name.size() - kTemporaryPrefix.size() - 5);
    const size_t dash = name.find('-');
    return dash != 0 && dash != std::string_view::npos && dash + 1 < name.size() &&
           name.find_first_not_of("0123456789") == dash &&
           name.find_first_not_of("0123456789", dash + 1) == std::string_view::npos;
}

std::vector<std::string> entryPathParts(std::string_view name) {
    const std::string quoted = "entry name \"" + text::oneLine(name) + "\" refused: ";
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

void extractPayload(ByteSource& carrier, const std::string& destDir, WalkStats* stats,
                    Temporaries temporaries) {
    Fd dest(::open(destDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dest.get() < 0) {
        fail("cannot open destination folder " + text::oneLine(destDir), errno);
    }
    extractPayloadAt(carrier, dest.get(), destDir, {}, stats, temporaries);
}

void extractPayloadAt(ByteSource& carrier, int destFd, const std::string& destDir,
                      const MadeRecorder& made, WalkStats* stats, Temporaries temporaries) {
    Extraction x{destFd, shownFolder(destDir), temporaries, made, posix::currentUmask(), {}};
    walk(
        carrier, [&](Entry& entry) { writeEntry(x, entry); }, stats);
}

}  // namespace bundora

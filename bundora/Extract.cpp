#include "Extract.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

// Removes the launcher's temporary files of ended processes from the folder: regular files of
// the current user only. Best effort; a folder that can't be listed is left as it is.
void sweepLeftovers(int dirFd) {
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
        struct stat st {};
        if (leftoverOfEndedProcess(e->d_name, kTemporaryPrefix) &&
            ::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid()) {
            ::unlinkat(dirFd, e->d_name, 0);
        }
    }
    ::closedir(dir);
}

// An entry's data on its way to the target: a file without a name (name empty) or one under a
// temporary name in the target's folder.
struct Temporary {
    Fd fd;
    std::string name;
};

// Gives the temporary file a fresh temporary name in the folder.
void nameTemporary(int dirFd, Temporary& t, const std::string& procPath,
                   const std::string& target) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temporaryName();
        if (::linkat(AT_FDCWD, procPath.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            t.name = std::move(name);
            return;
        }
        if (errno != EEXIST) {
            fail("cannot write " + target, errno);
        }
    }
    fail("cannot write " + target, EEXIST);
}

Temporary createTemporary(int dirFd, mode_t mode, Temporaries how, const std::string& folderShown) {
    if (how == Temporaries::Unnamed) {
        const int fd = ::openat(dirFd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, mode);
        if (fd >= 0) {
            return {Fd(fd), ""};
        }
        // No unnamed files here (file system or kernel): a named one gives the real error, if any.
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temporaryName();
        const int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            return {Fd(fd), std::move(name)};
        }
        if (errno != EEXIST) {
            fail("cannot create a file in " + folderShown, errno);
        }
    }
    fail("cannot create a file in " + folderShown, EEXIST);
}

// Puts the complete temporary file under the target's name, replacing what is there.
void publish(int dirFd, Temporary& t, const std::string& leaf, const std::string& target) {
    if (t.name.empty()) {
        const std::string procPath = "/proc/self/fd/" + std::to_string(t.fd.get());
        // Nothing under the name yet: the file appears there whole, in one step.
        if (::linkat(AT_FDCWD, procPath.c_str(), dirFd, leaf.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return;
        }
        if (errno != EEXIST) {
            fail("cannot write " + target, errno);
        }
        // A link can't replace a file; a rename can.
        nameTemporary(dirFd, t, procPath, target);
    }
    if (::renameat(dirFd, t.name.c_str(), dirFd, leaf.c_str()) != 0) {
        fail("cannot write " + target, errno);
    }
}

struct Extraction {
    int destFd;
    std::string destShown;  // destDir as shown, ending in one "/"
    Temporaries temporaries;
    std::set<std::pair<dev_t, ino_t>> swept;
};

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
        sweepLeftovers(folder.get());
    }

    // Write the data completely beside the target before anything replaces it.
    const mode_t mode = isExecutableData(entry.bytes()) ? 0755 : 0644;
    Temporary temporary = createTemporary(folder.get(), mode, x.temporaries, shown);
    try {
        writeAll(temporary.fd.get(), entry.bytes().data(), entry.bytes().size(), target);
        // A named file is complete once closed; an unnamed one stays open until it has a name.
        if (!temporary.name.empty() && ::close(temporary.fd.release()) != 0) {
            fail("cannot write " + target, errno);
        }

        // Backup of a target with content.
        if (entry.backupFlag == 1 && posix::fileStatusAt(folder.get(), leaf.c_str()) == 1) {
            const std::string backup = leaf + std::string(kBackupSuffix);
            if (::unlinkat(folder.get(), backup.c_str(), 0) != 0 && errno != ENOENT) {
                fail("cannot delete the old backup " + shown + text::oneLine(backup), errno);
            }
            if (::renameat(folder.get(), leaf.c_str(), folder.get(), backup.c_str()) != 0) {
                fail("cannot rename " + target + " to " + text::oneLine(backup), errno);
            }
        }
        publish(folder.get(), temporary, leaf, target);
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

bool leftoverOfEndedProcess(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix)) {
        return false;
    }
    name.remove_prefix(prefix.size());
    const size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 9 ||
        name.find_first_not_of("0123456789") != dash) {
        return false;
    }
    const pid_t pid = std::stoi(std::string(name.substr(0, dash)));
    // EPERM: the process exists, as another user's.
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
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
    Extraction x{dest.get(), shownFolder(destDir), temporaries, {}};
    walk(
        carrier, [&](Entry& entry) { writeEntry(x, entry); }, stats);
}

}  // namespace bundora

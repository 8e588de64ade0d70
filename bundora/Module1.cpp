#include "Module1.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "Extract.h"
#include "Posix.h"

extern char** environ;

namespace bundora {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Finds a program named without a folder along PATH, as an executable regular file.
// A program named without a folder: the current folder first, as the Windows process start
// looks there before the search path, then every folder of PATH.
std::string searchPath(const std::string& name) {
    const char* env = std::getenv("PATH");
    const std::string path =
        std::string(".:") + (env && *env ? env : "/usr/local/bin:/usr/bin:/bin");
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(':', start);
        std::string dir = path.substr(start, end == std::string::npos ? end : end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            return "";
        }
        start = end + 1;
    }
}

class SpawnRunner : public ProcessRunner {
public:
    int Run(const std::string& commandLine, std::string* startError) override {
        auto report = [&](const std::string& why) {
            if (startError) {
                *startError = why;
            }
            return -1;
        };
        std::vector<std::string> args = splitCommandLine(commandLine);
        if (args.empty() || args[0].empty()) {
            return report("no program in the command line");
        }
        std::string program = args[0];
        if (program.find('/') == std::string::npos) {
            program = searchPath(args[0]);
            if (program.empty()) {
                return report(args[0] + ": not found");
            }
        }
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        const int rc = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
        if (rc != 0) {
            return report(program + ": " + std::strerror(rc));
        }
        return wait(pid, startError);
    }

    int RunProgram(int programFd, const std::string& commandLine,
                   std::string* startError) override {
        std::vector<std::string> args = splitCommandLine(commandLine);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        // The child shares this process's memory until the program replaces it (as posix_spawn
        // does): no page tables are copied for it, which a fork of a process with the toolkit's
        // libraries mapped spends most of a start on. It runs on a stack of its own, with every
        // signal blocked until just before the start, and leaves why a start failed in start.
        Start start{programFd, argv.data(), {}, 0};
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &start.mask);
        const pid_t pid =
            ::clone(startProgram, stack_ + sizeof stack_, CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
        const int cloneErr = errno;
        ::pthread_sigmask(SIG_SETMASK, &start.mask, nullptr);
        if (pid < 0) {
            return fail(startError, std::string("cannot start: ") + std::strerror(cloneErr));
        }
        if (start.err != 0) {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return fail(startError,
                        (args.empty() ? "" : args[0] + ": ") + std::strerror(start.err));
        }
        return wait(pid, startError);
    }

private:
    struct Start {
        int fd;
        char** argv;
        sigset_t mask;  // the caller's, restored for the program
        int err;        // why the start failed; 0 when the program runs
    };

    // The child: starts the file open at fd, a script with its descriptor left open, as its
    // interpreter reads it as /dev/fd/N.
    static int startProgram(void* arg) {
        auto* start = static_cast<Start*>(arg);
        char empty[] = "";
        ::sigprocmask(SIG_SETMASK, &start->mask, nullptr);
        ::execveat(start->fd, empty, start->argv, environ, AT_EMPTY_PATH);
        if (errno == ENOENT) {
            ::fcntl(start->fd, F_SETFD, 0);
            ::execveat(start->fd, empty, start->argv, environ, AT_EMPTY_PATH);
        }
        start->err = errno;
        ::_exit(127);
    }

    alignas(16) char stack_[64 * 1024];

    static int fail(std::string* startError, const std::string& why) {
        if (startError) {
            *startError = why;
        }
        return -1;
    }

    static int wait(pid_t pid, std::string* startError) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                return fail(startError, std::string("waiting failed: ") + std::strerror(errno));
            }
        }
        if (WIFSIGNALED(status)) {
            return 128 + WTERMSIG(status);
        }
        return WEXITSTATUS(status);
    }
};

// The registry's values hold at most 255 characters, the terminating NUL included.
constexpr uint32_t kMaxValueUnits = 255;

// The length of a value in characters: 16-bit units for text (kept as UTF-8: one per lead byte,
// two for a character beyond the 16-bit range), bytes for other data.
size_t characterCount(std::string_view data, uint32_t type) {
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
        return data.size();
    }
    size_t units = 0;
    for (const char c : data) {
        const auto u = static_cast<unsigned char>(c);
        units += (u & 0xc0) == 0x80 ? 0 : u >= 0xf0 ? 2 : 1;
    }
    return units;
}

}  // namespace

ProcessRunner& realProcessRunner() {
    static SpawnRunner runner;
    return runner;
}

std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    size_t i = 0;
    // The program name: no escapes, quotes only group.
    std::string program;
    bool quoted = false;
    for (; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && isBlank(c)) {
            break;
        } else {
            program.push_back(c);
        }
    }
    args.push_back(program);
    for (;;) {
        while (i < line.size() && isBlank(line[i])) {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        std::string arg;
        bool inQuotes = false;
        while (i < line.size()) {
            const char c = line[i];
            if (c == '\\') {
                size_t n = 0;
                while (i < line.size() && line[i] == '\\') {
                    ++n;
                    ++i;
                }
                if (i < line.size() && line[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2 == 1) {
                        arg.push_back('"');
                        ++i;
                    }
                } else {
                    arg.append(n, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (inQuotes && i + 1 < line.size() && line[i + 1] == '"') {
                    arg.push_back('"');
                    i += 2;
                    continue;
                }
                inQuotes = !inQuotes;
                ++i;
                continue;
            }
            if (!inQuotes && isBlank(c)) {
                break;
            }
            arg.push_back(c);
            ++i;
        }
        args.push_back(arg);
    }
    return args;
}

std::string GetRegistryValue(RegKey rootKey, const std::string& subKey,
                             const std::string& valueName, Registry* registry) {
    if (rootKey < HKEY_CLASSES_ROOT || rootKey > HKEY_DYN_DATA) {
        return "";
    }
    if (!registry) {
        registry = &fileRegistry();
    }
    RegKey key = 0;
    if (registry->RegOpenKeyEx(rootKey, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "";
    }
    std::string result;
    // 255 characters (the terminating NUL included) of text stored as UTF-8 take at most three
    // bytes for each 16-bit unit.
    std::string buffer(3 * kMaxValueUnits, ' ');
    auto size = static_cast<uint32_t>(buffer.size());
    uint32_t type = 0;
    if (registry->RegQueryValueEx(key, valueName, &type,
                                  reinterpret_cast<unsigned char*>(buffer.data()),
                                  &size) == ERROR_SUCCESS) {
        if (type == REG_DWORD) {
            unsigned char bytes[4] = {};
            uint32_t dwordSize = 4;
            uint32_t dwordType = 0;
            if (registry->RegQueryValueEx(key, valueName, &dwordType, bytes, &dwordSize) ==
                ERROR_SUCCESS) {
                const auto value = static_cast<int32_t>(
                    static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                    static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
                result = std::to_string(value);
            }
        } else if (size > 0 && size <= buffer.size() &&
                   characterCount(std::string_view(buffer).substr(0, size), type) <=
                       kMaxValueUnits) {
            // Cut at the first NUL: every later use of the text (file names, the command line)
            // ends there, so all of them see the same text.
            result = buffer.substr(0, size - 1);
            result.resize(std::min(result.size(), result.find('\0')));
        }
    }
    registry->RegCloseKey(key);
    return result;
}

int FileStatus(const std::string& path) {
    return posix::fileStatusAt(AT_FDCWD, path.c_str());
}

std::vector<std::string> FindFiles(const std::string& folder, const std::string& extensions) {
    std::vector<std::string> endings;
    if (extensions.find(';') != std::string::npos) {
        size_t start = 0;
        for (;;) {
            const size_t end = extensions.find(';', start);
            endings.push_back(
                extensions.substr(start, end == std::string::npos ? end : end - start));
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
    } else if (!extensions.empty()) {
        endings.push_back(extensions);
    }

    std::vector<std::string> result{""};
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        throw std::system_error(errno, std::generic_category(), "cannot list " + folder);
    }
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (!e) {
            break;
        }
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        bool isFile = e->d_type == DT_REG;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {};
            isFile = ::fstatat(::dirfd(dir), e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
        }
        if (!isFile) {
            continue;
        }
        bool take = endings.empty();
        const std::string tail =
            name.size() > kEndingLength ? name.substr(name.size() - kEndingLength) : name;
        for (const auto& ending : endings) {
            if (tail == ending) {
                take = true;
                break;
            }
        }
        if (!take) {
            continue;
        }
        if (result[0].empty()) {
            result[0] = name;
        } else {
            result.push_back(name);
        }
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) {
        throw std::system_error(err, std::generic_category(), "cannot list " + folder);
    }
    return result;
}

int RunAndWait(const std::string& commandLine, ProcessRunner* runner, std::string* startError,
               int programFd) {
    ProcessRunner& r = runner ? *runner : realProcessRunner();
    return programFd >= 0 ? r.RunProgram(programFd, commandLine, startError)
                          : r.Run(commandLine, startError);
}

}  // namespace bundora

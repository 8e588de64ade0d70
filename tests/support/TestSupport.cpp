#include "TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Posix.h"

extern char** environ;

namespace test {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int error = errno) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    return status;
}

// The inherited environment with the changes applied (see runProgram).
std::vector<std::string> changedEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const bool changed = std::any_of(changes.begin(), changes.end(), [&](const auto& c) {
            const std::string name = c[0] == '-' ? c.substr(1) : c.substr(0, c.find('='));
            return entry.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!changed) {
            env.push_back(entry);
        }
    }
    for (const auto& change : changes) {
        if (change[0] != '-') {
            env.push_back(change);
        }
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

}  // namespace

TempDir::TempDir() {
    std::string name = std::filesystem::temp_directory_path() / "test-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) {
        fail("cannot create", name);
    }
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& bytes) {
    const posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        fail("cannot write", path);
    }
    if (const int error = posix::writeAll(fd.get(), bytes.data(), bytes.size()); error != 0) {
        fail("cannot write", path, error);
    }
}

std::string readFile(const std::string& path) {
    const posix::UniqueFd fd = posix::openRegularFile(AT_FDCWD, path.c_str());
    std::string bytes;
    if (!fd.valid() || !posix::readAll(fd.get(), bytes)) {
        fail("cannot read", path);
    }
    return bytes;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void makeDir(const std::string& path) {
    std::filesystem::create_directories(path);
}

std::vector<std::string> listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
        names.push_back(std::filesystem::relative(e.path(), folder).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& envChanges) {
    if (argv.empty()) {
        throw std::runtime_error("no program to run");
    }
    // Files rather than pipes: nothing to drain while the program runs, whatever it writes.
    const TempDir capture;
    const std::string outPath = capture / "out";
    const std::string errPath = capture / "err";
    std::vector<std::string> args = argv;
    std::vector<std::string> env = changedEnvironment(envChanges);
    const std::vector<char*> argp = pointers(args);
    const std::vector<char*> envp = pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        fail("cannot start", argv[0], rc);
    }
    const int status = waitFor(pid);
    ProgramResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

int inChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int result = 99;
        try {
            result = body();
        } catch (...) {
            result = 98;
        }
        ::_exit(result);
    }
    const int status = waitFor(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

}  // namespace test

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {

TempDir::TempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "handheld-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

void MakeDir(const std::string& path) {
    std::filesystem::create_directories(path);
}

bool Signalled(RAPI_HANDLE event, int ms) {
    pollfd fd{event, POLLIN, 0};
    return poll(&fd, 1, ms) == 1 && (fd.revents & POLLIN) != 0;
}

bool Connect(handheld::EmulatedHandheld& device) {
    RAPIINIT init{sizeof(RAPIINIT), 0, 0};
    return device.CeRapiInitEx(&init) >= 0 && Signalled(init.heRapiInit, 1000) &&
           init.hrRapiInit >= 0;
}

RAPIINIT StartConnect(handheld::EmulatedHandheld& device) {
    RAPIINIT init{sizeof(RAPIINIT), 0, 0};
    EXPECT_EQ(device.CeRapiInitEx(&init), 0);
    return init;
}

RAPI_DWORD ErrorOf(handheld::EmulatedHandheld& device, RAPI_BOOL result) {
    return result == 0 ? device.CeGetLastError() : kSucceeded;
}

RAPI_HANDLE Open(handheld::EmulatedHandheld& device, const char16_t* path, RAPI_DWORD disposition) {
    return device.CeCreateFile(path, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                               0);
}

std::string Names(const std::vector<Found>& found) {
    std::string all;
    for (const auto& f : found) {
        all += f.name + ";";
    }
    return all;
}

std::vector<Found> Search(handheld::EmulatedHandheld& device, const char16_t* pattern) {
    std::vector<Found> found;
    CE_FIND_DATA data{};
    const RAPI_HANDLE h = device.CeFindFirstFile(pattern, &data);
    if (h == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        std::string name;
        for (const char16_t* c = data.cFileName; *c != 0; ++c) {
            name += static_cast<char>(*c);  // the tests use ASCII names
        }
        found.push_back({name, data.dwFileAttributes,
                         (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow});
    } while (device.CeFindNextFile(h, &data) != 0);
    device.CeFindClose(h);
    return found;
}

bool PutFile(handheld::EmulatedHandheld& device, const char16_t* path, const std::string& data) {
    const RAPI_HANDLE h = Open(device, path);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    for (size_t offset = 0; ok && offset < data.size(); offset += 4096) {
        const auto chunk = static_cast<RAPI_DWORD>(std::min<size_t>(4096, data.size() - offset));
        RAPI_DWORD written = 0;
        ok = device.CeWriteFile(h, data.data() + offset, chunk, &written, nullptr) == 1 &&
             written == chunk;
    }
    return device.CeCloseHandle(h) != 0 && ok;
}

int RunProgram(const std::vector<std::string>& args, std::string* out, std::string* err) {
    TempDir capture;
    std::string command;
    for (const auto& arg : args) {
        command += "'" + arg + "' ";  // the tests' arguments hold no quotes
    }
    command += ">'" + (capture / "out") + "' 2>'" + (capture / "err") + "'";
    const int status = std::system(command.c_str());
    if (out != nullptr) {
        *out = ReadFile(capture / "out");
    }
    if (err != nullptr) {
        *err = ReadFile(capture / "err");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        int result = 99;
        try {
            result = body();
        } catch (...) {
            result = 98;
        }
        _exit(result);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

}  // namespace test

#pragma once

// A folder of a fuzz target's own, made at its first use and removed when the target exits;
// memory-backed where /dev/shm can be written, so the per-input files stay off the disk.

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace test {

struct FuzzScratch {
    std::filesystem::path path;
    explicit FuzzScratch(const char* prefix) {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path parent = ::access("/dev/shm", W_OK) == 0 && fs::is_directory("/dev/shm", ec)
                                    ? fs::path("/dev/shm")
                                    : fs::temp_directory_path();
        std::string pattern = (parent / (std::string(prefix) + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ::perror("mkdtemp");
            ::abort();
        }
        path = pattern;
    }
    ~FuzzScratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    FuzzScratch(const FuzzScratch&) = delete;
    FuzzScratch& operator=(const FuzzScratch&) = delete;
};

}  // namespace test

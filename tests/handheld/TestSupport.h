#pragma once

// Shared helpers of the handheld tests: temporary folders, small files and the connect wait.

#include <string>
#include <vector>

#include "EmulatedHandheld.h"

namespace test {

// A fresh folder under the system's temporary folder, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void MakeDir(const std::string& path);

// Whether the connect event is signalled within ms.
bool Signalled(RAPI_HANDLE event, int ms);

// Connects and waits briefly; true when the handheld answered with a non-negative outcome.
bool Connect(handheld::EmulatedHandheld& device);

// All names a search returns, with their attributes, in the order returned.
struct Found {
    std::string name;
    RAPI_DWORD attributes;
    uint64_t size;
};
std::vector<Found> Search(handheld::EmulatedHandheld& device, const char16_t* pattern);

// Creates (CREATE_ALWAYS), writes in 4096-byte chunks and closes; true when all succeeded.
bool PutFile(handheld::EmulatedHandheld& device, const char16_t* path, const std::string& data);

// Runs a program with arguments; its outputs go to *out and *err. Returns its exit status.
int RunProgram(const std::vector<std::string>& args, std::string* out = nullptr,
               std::string* err = nullptr);

}  // namespace test

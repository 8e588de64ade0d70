#pragma once

// Shared helpers of the handheld tests: temporary folders, small files and the connect wait.

#include <functional>
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

// Starts a connect attempt, expecting it to be accepted; the record holds its event and outcome.
RAPIINIT StartConnect(handheld::EmulatedHandheld& device);

// The device's error after a call that must fail (0); kSucceeded when the call succeeded.
inline constexpr RAPI_DWORD kSucceeded = 0xFFFFFFFF;
RAPI_DWORD ErrorOf(handheld::EmulatedHandheld& device, RAPI_BOOL result);

// Opens a file for writing with the given disposition.
RAPI_HANDLE Open(handheld::EmulatedHandheld& device, const char16_t* path,
                 RAPI_DWORD disposition = CREATE_ALWAYS);

// All names a search returns, with their attributes, in the order returned.
struct Found {
    std::string name;
    RAPI_DWORD attributes;
    uint64_t size;
};
std::vector<Found> Search(handheld::EmulatedHandheld& device, const char16_t* pattern);
// The names of a search, each followed by ";".
std::string Names(const std::vector<Found>& found);

// Creates (CREATE_ALWAYS), writes in 4096-byte chunks and closes; true when all succeeded.
bool PutFile(handheld::EmulatedHandheld& device, const char16_t* path, const std::string& data);

// Runs a program with arguments; its outputs go to *out and *err. Returns its exit status.
int RunProgram(const std::vector<std::string>& args, std::string* out = nullptr,
               std::string* err = nullptr);

// Runs body in a forked child (for what a process does only once, such as binding the device
// table) and returns its result: body's, 98 when it threw, 200 + the signal when one killed it.
int InChild(const std::function<int()>& body);

}  // namespace test

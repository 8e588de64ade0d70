#pragma once

// Helpers shared by the test groups: temporary folders, whole files, listings, running programs
// and children. They throw std::runtime_error where a test could not go on.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace test {

// A fresh folder below the system's temporary folder, removed with all it holds at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Replaces the file's content with bytes, creating it when missing.
void writeFile(const std::string& path, const std::string& bytes);
// The whole content of a regular file.
std::string readFile(const std::string& path);
// Whether anything is at path; a link counts even when dangling.
bool exists(const std::string& path);
// Creates the folder and any missing parents.
void makeDir(const std::string& path);
// The names below folder, relative to it, sorted.
std::vector<std::string> listing(const std::string& folder);
// n bytes that are not all alike, so misplaced copies show; the same seed gives the same bytes.
std::string pattern(size_t n, unsigned seed = 1);

struct ProgramResult {
    int status = -1;  // exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// Runs the program at argv[0] (a path) with the rest as arguments and waits for it, capturing
// its output and errors. envChanges alter the environment it inherits: "NAME=value" sets NAME,
// "-NAME" removes it.
ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& envChanges = {});

// Runs body in a forked child (for what a process does only once, such as binding the device
// table) and returns its result: body's, 98 when it threw, 200 + the signal when one killed it.
int inChild(const std::function<int()>& body);

}  // namespace test

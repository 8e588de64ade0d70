#pragma once

// The launcher's platform helpers: a registry value as text, whether a file has content, the
// files of one folder by the last three characters of their names, and running a command line
// while waiting for it to end.

#include <cstddef>
#include <string>
#include <vector>

#include "Registry.h"

namespace bundora {

// Starts a command line and waits for its end. Result: the exit code, 128 + N for a program
// killed by signal N, -1 when it couldn't be started (startError then says why).
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    virtual int Run(const std::string& commandLine, std::string* startError) = 0;
};

// The real runner: the command line is split the way the Windows C runtime splits it, the program
// is started with posix_spawn (never through a shell) and waited for without time limit.
ProcessRunner& realProcessRunner();

// Splits a command line into arguments by the Windows C runtime's rules: the program name ends
// at the next quote when it starts with one, else at the first blank; later arguments are
// separated by blanks and tabs, double quotes group, 2n backslashes before a quote give n and the
// quote groups, 2n+1 give n and a literal quote, "" inside a group gives a literal quote.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// The registry value as text: REG_DWORD as signed decimal, other data without its final NUL;
// the empty text for every failure, for data of more than 255 bytes and for a root outside
// HKEY_CLASSES_ROOT..HKEY_DYN_DATA. Without a registry, fileRegistry().
std::string GetRegistryValue(RegKey rootKey, const std::string& subKey,
                             const std::string& valueName, Registry* registry = nullptr);

// 1: the file exists and has content, 0: it exists and is empty, -1: its length can't be read.
int FileStatus(const std::string& path);

// How many of a name's last characters FindFiles compares with an ending.
inline constexpr size_t kEndingLength = 3;

// The names of the files (hidden ones included, folders not) in folder, in listing order, whose
// last kEndingLength characters (the whole name when it is shorter) equal one of the
// ";"-separated endings (case-sensitive): an ending of another length matches no name that is
// longer than kEndingLength. Every file when extensions is empty. Never empty: one empty element
// when nothing matched. Throws std::system_error when the folder can't be listed.
std::vector<std::string> FindFiles(const std::string& folder, const std::string& extensions);

// Runs the command line and waits for it to end; see ProcessRunner for the result.
int RunAndWait(const std::string& commandLine, ProcessRunner* runner = nullptr,
               std::string* startError = nullptr);

}  // namespace bundora

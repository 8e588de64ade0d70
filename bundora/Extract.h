#pragma once

// Writing the entries of a carrying file into a destination folder.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Payload.h"

namespace bundora {

// The caption of the launcher's window; it forms the backup suffix.
inline constexpr std::string_view kWindowCaption = "Form1";
// A replaced file is kept under its name followed by this suffix.
inline constexpr std::string_view kBackupSuffix = ".Form1.backup";

class ExtractError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Splits an entry name into the parts of its path below the destination folder ("\" and "/"
// both separate). Refuses (ExtractError) a name that is empty, absolute, has a drive prefix, a
// NUL, or an empty, "." or ".." part: such a name would write outside the destination folder.
std::vector<std::string> entryPathParts(std::string_view name);

// 1: a regular file with content, 0: an empty regular file, -1: its length can't be read (no
// such file, no access, not a regular file). Links are followed. dirFd may be AT_FDCWD.
int fileStatusAt(int dirFd, const char* path);

// Writes every entry of the carrier's chain, in walk order, below destDir:
// 1. a missing last folder level of the entry's name is created (the levels above must exist);
// 2. with BackupFlag 1 and a target with content, an old backup is deleted and the target is
//    renamed to its name followed by the backup suffix;
// 3. the data is written to a temporary file in the target's folder, which then replaces the
//    target, so a failure never leaves a partly written target behind.
// Data that starts with an ELF header or "#!" gets mode 0755, other data 0644 (less the umask).
// The first failure ends the extraction with ExtractError or PayloadError; files written before
// it stay. Folders below destDir are never followed through symbolic links.
void extractPayload(ByteSource& carrier, const std::string& destDir, WalkStats* stats = nullptr);

}  // namespace bundora

#pragma once

// Writing the entries of a carrying file into a destination folder.

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Payload.h"

namespace bundora {

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

// Prefix of the temporary names extraction falls back to (".bundora-<pid>-<n>.part").
inline constexpr std::string_view kTemporaryPrefix = ".bundora-";
// True for such a name.
bool isTemporaryName(std::string_view name);
// Removes from the folder the files of such names that are the current user's and that nobody
// holds locked (their writer is gone). Best effort.
void sweepTemporaries(int dirFd);

// Told of every file and folder extraction is about to make (path below the destination,
// "/"-separated; true for a folder), before it is made.
using MadeRecorder = std::function<void(const std::string& path, bool folder)>;

// How extraction holds an entry's data until it is complete.
enum class Temporaries {
    Unnamed,  // a file without a name (O_TMPFILE) where the file system allows, else Named
    Named,    // a file under a temporary name that carries the launcher's pid
};

// Writes every entry of the carrier's chain, in walk order, below destDir:
// 1. a missing last folder level of the entry's name is created (the levels above must exist);
// 2. with BackupFlag 1 and a target with content, an old backup is deleted and the target is
//    renamed to its name followed by the backup suffix;
// 3. the data is written to a temporary file in the target's folder, which then replaces the
//    target, so a failure never leaves a partly written target behind. The file has no name
//    until it is complete where the file system allows; otherwise it has a temporary name and
//    its writer holds a lock on it while it has that name. Such files of the current user that
//    nobody holds locked are removed from every folder that extraction writes into, so a killed
//    launcher leaves nothing that later runs keep.
// The temporary file is made 0600 (no other user can open or lock it); complete, data that starts
// with an ELF header or "#!" gets mode 0755, other data 0644 (less the umask).
// The first failure ends the extraction with ExtractError or PayloadError; files written before
// it stay. Folders below destDir are never followed through symbolic links.
// Paths in messages are shown with text::oneLine, a folder on the way that is a link is named as
// such.
void extractPayload(ByteSource& carrier, const std::string& destDir, WalkStats* stats = nullptr,
                    Temporaries temporaries = Temporaries::Unnamed);
// The same into the open folder destFd (destDir only names it in messages), telling made.
void extractPayloadAt(ByteSource& carrier, int destFd, const std::string& destDir,
                      const MadeRecorder& made, WalkStats* stats = nullptr,
                      Temporaries temporaries = Temporaries::Unnamed);

}  // namespace bundora

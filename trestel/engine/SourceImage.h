#pragma once

// The module file read whole into memory before the handheld is touched, so that a file that
// can't be read leaves the handheld as it was.

#include <QString>
#include <cstdint>

#include "LargeBuffer.h"

enum class SourceFault { None, Unreadable, TooLarge };

struct SourceImage {
    SourceFault fault = SourceFault::None;
    int32_t nLength = 0;
    // The file's size as the desktop reports it, also when it is too large to copy.
    int64_t nActualLength = 0;
    posix::LargeBuffer bytes;
};

// Only regular files are read, opened without blocking so that a FIFO given by mistake can't
// hang the installer. Files of 2 GiB and more are refused (TooLarge).
SourceImage ReadSourceImage(const QString& sSource);

#pragma once

// Path helpers of the desktop side: whether a module file exists, and the parts of a path.
// Booleans are 16-bit: -1 true, 0 false.

#include <QString>
#include <cstdint>

namespace DesktopPath {

inline constexpr int16_t kTrue = -1;
inline constexpr int16_t kFalse = 0;

// A regular, visible file (wildcards allowed in the last component), kFalse for anything else.
int16_t FileExists(QString sPath);
// The part after the last ":", "\" or "/".
QString GetFileName(QString sPath);
// The part up to and including the last "\".
QString GetFolderPath(QString sPath);

}  // namespace DesktopPath

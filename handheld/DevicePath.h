#pragma once

// Device names and paths: how the emulated handheld reads the UTF-16 paths it is given and fills
// the names it reports. Pure functions; no folder is touched.

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceErrors.h"
#include "Text.h"
#include "rapi.h"

namespace handheld {

// The longest device path, in UTF-16 units: with the leading "\" a handheld shows, at most
// 260 characters (a name of up to 259), whatever their length in UTF-8 on the desktop.
inline constexpr size_t kMaxPathUnits = kMaxPath - 1;

// UTF-16 (NUL-terminated) to UTF-8. Fails on unpaired surrogates (kInvalidName) and on overlong
// input (kFilenameTooLong), with the reason in why.
bool Utf16ToUtf8(const char16_t* text, std::string& out, RAPI_DWORD& why);

// The device's names are case-insensitive in the ASCII letters.
char32_t Fold(char32_t c);
bool EqualsNoCase(std::string_view a, std::string_view b);

// "*" and "?" wildcards, case-insensitive in the ASCII letters, on code points.
inline bool WildcardMatch(std::u32string_view pattern, std::u32string_view name) {
    return text::wildcardMatch(pattern, name, text::Case::IgnoreAscii);
}

// The longest name the desktop's file systems hold, in UTF-8 bytes.
inline constexpr size_t kHostNameMax = 255;

// A device name longer than that in UTF-8 (up to 259 characters of the handheld, 86 CJK ones
// already take 258 bytes) lives on the desktop under a stand-in: the name's start, "~~" and a
// hash of the whole name with its ASCII letters folded (every spelling finds the same file). The
// whole name is kept in the stand-in's extended attribute kLongNameAttribute; where the
// desktop's file system has none, such a name fails with ERROR_FILENAME_EXCED_RANGE.
inline constexpr const char* kLongNameAttribute = "user.handheld.name";
std::string HostNameOf(std::string_view deviceName);
bool IsLongNameStandIn(std::string_view hostName);

struct DevicePath {
    // The components as the desktop names them (a long name as its stand-in).
    std::vector<std::string> folders;  // the components before the last one
    std::string leaf;                  // the last component; empty when the path ends with "\"
    // The last named component as the handheld names it (with a trailing "\", the folder's).
    std::string leafName;
    // Whether leaf (once it names something) is a stand-in for a long name.
    bool longLeaf() const { return !leaf.empty() && leaf != leafName; }
};

// Splits a device path; refuses anything that could name a place outside the root.
bool ParseDevicePath(const char16_t* text, DevicePath& path, RAPI_DWORD& why);

// Characters a device file name can't hold (the wildcards only in a search pattern).
bool IsValidName(std::string_view name, bool allowWildcards);

// A file time of the device: 100-ns ticks since 1601-01-01.
CE_FILETIME ToFileTime(const timespec& t);

// Fills the record's name: UTF-16, cut at 259 units without splitting a pair, NUL-terminated.
void SetFindName(CE_FIND_DATA& data, const std::u32string& name);

}  // namespace handheld

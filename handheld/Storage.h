#pragma once

// The handheld's storages on the desktop: main memory is the root folder, a storage card a
// folder directly under the root that holds a file ".storage-card". Settings live one per line
// in ".storage-card" (for the card) and ".handheld" (at the root, for main memory and the link).
// Folders are reached through descriptors and links are never followed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Fd.h"

namespace handheld {

// Names of the marker/settings files; never listed, created, written or deleted by device calls.
inline constexpr std::string_view kCardMarker = ".storage-card";
inline constexpr std::string_view kHandheldSettings = ".handheld";

// Whether name is one of the two, in any case, or the name of a temporary file the handheld
// writes before renaming it over its target (".~PID-N.tmp"): none is a file of the device's own.
bool IsMarkerName(std::string_view name);

// Whether name has the form of such a temporary file.
bool IsTemporaryName(std::string_view name);

// Removes the temporary files below dir that their writer left (a writer holds a lock on its own
// for as long as it works: a file nobody holds locked was left by one that is gone).
void RemoveStaleTemporaries(int dir);

// The settings of one storage (main memory or a card), read from its settings file.
struct Settings {
    enum class Answer { Yes, No, Refuse };
    bool readOnly = false;
    std::optional<uint64_t> capacity;  // bytes available for files; none: unlimited
    uint64_t speed = 0;                // bytes per second for writes; 0: unpaced
    Answer answer = Answer::Yes;
};

// Parses settings text; unknown or malformed lines are ignored.
Settings ParseSettings(std::string_view text);

// Changes to one storage's settings; a field left empty keeps what the text says.
struct SettingsChange {
    std::optional<bool> readOnly;
    std::optional<std::optional<uint64_t>> capacity;  // an empty value: unlimited
    std::optional<uint64_t> speed;                    // 0: unpaced
    std::optional<Settings::Answer> answer;
};

// Settings text with the change made: the lines of each changed setting (its key before any
// "=", in any case) go, and the setting's new line, unless it is the default, is added at the
// end. Every other line, comments and unknown ones included, is kept.
std::string ChangeSettings(std::string_view text, const SettingsChange& change);

// "N" with an optional K, M or G suffix (powers of 1024); nothing when malformed or too large.
std::optional<uint64_t> ParseSize(std::string_view text);

// The root named by TRESTEL_DEVICE, else ${XDG_DATA_HOME:-$HOME/.local/share}/trestel/handheld
// (a relative XDG_DATA_HOME is ignored, as the XDG base directory rules say).
std::string DefaultRoot();

// The actual name of an entry of dir: the name itself when it exists, else the first entry
// equal to it ignoring case (the device's names are case-insensitive), else the name itself.
std::string ResolveName(int dir, const std::string& name);

// Opens a folder below dir without following links; err holds errno on failure.
Fd OpenFolder(int dir, const std::string& name, int& err);

// Whether name in dir is a regular file (not a link).
bool IsRegularFileAt(int dir, const char* name);

// Whether an open folder holds a card marker, that is, is a storage card when under the root.
bool HoldsCardMarker(int folder);

// Whether name in the root is a storage card: a folder (not a link) that holds a marker.
bool IsCardFolder(int root, const std::string& name);

// A name a storage card's folder can have: one device path component that the device can list
// and create (UTF-8, none of \ / : * ? " < > | or control characters, not "." or ".."), at most
// 255 bytes, and not the name of a marker.
bool IsValidCardName(std::string_view name);

// Reads a small settings file below dir (no links); empty when absent.
std::string ReadSettingsFile(int dir, std::string_view name);

// Replaces a settings file below dir whole: a temporary file beside it, renamed over it. A name
// held by anything but a regular file is left alone. False with errno's value in err on failure.
bool WriteSettingsFile(int dir, std::string_view name, std::string_view text, int& err);

// Sum of the sizes of the regular files below dir, markers not counted. At the root, the card
// folders are left out (they are storages of their own).
uint64_t UsedBytes(int dir, bool isRoot);

}  // namespace handheld

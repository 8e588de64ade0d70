#pragma once

// The handheld's storages on the desktop: main memory is the root folder, a storage card a
// folder directly under the root that holds a file ".storage-card". Settings live one per line
// in ".storage-card" (for the card) and ".handheld" (at the root, for main memory and the link).
// Folders are reached through descriptors and links are never followed.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Fd.h"

namespace handheld {

// Names of the marker/settings files; never listed, created, written or deleted by device calls.
inline constexpr std::string_view kCardMarker = ".storage-card";
inline constexpr std::string_view kHandheldSettings = ".handheld";
// The count of a storage's bytes in use that every process writing into it shares, and the
// handheld's link time (at the root).
inline constexpr std::string_view kUsageLedger = ".~usage";
inline constexpr std::string_view kLinkLedger = ".~link";

// Whether name is one of these, in any case, or the name of a temporary file the handheld
// writes before renaming it over its target (".~PID-N.tmp"): none is a file of the device's own.
bool IsMarkerName(std::string_view name);

// Whether name has the form of such a temporary file.
bool IsTemporaryName(std::string_view name);

// Removes the temporary files below dir that their writer left (a writer holds a lock on its own
// for as long as it works: a file nobody holds locked was left by one that is gone).
void RemoveStaleTemporaries(int dir);

// The handheld's OS version, MAJOR.MINOR.
struct OsNumber {
    unsigned major = 5;
    unsigned minor = 2;
};

// "MAJOR.MINOR" with each part of at most three digits; nothing when malformed.
std::optional<OsNumber> ParseOsNumber(std::string_view text);

// The name a handheld goes by: 1 to 64 characters of UTF-8, no control characters.
inline constexpr const char* kDefaultDeviceName = "Emulated handheld";
bool IsValidDeviceName(std::string_view name);

// A password the handheld can be locked with: at most 64 characters of UTF-8, no control
// characters, no spaces at either end (empty: none).
bool IsValidPassword(std::string_view password);

// The settings of one storage (main memory or a card), read from its settings file. The
// handheld's own (link, answer, name, OS version, password) are read from main memory's.
struct Settings {
    enum class Answer { Yes, No, Refuse };
    bool readOnly = false;
    std::optional<uint64_t> capacity;  // bytes available for files; none: unlimited
    uint64_t speed = 0;                // bytes per second for writes; 0: unpaced
    Answer answer = Answer::Yes;
    std::string name = kDefaultDeviceName;
    std::optional<OsNumber> os;  // none: whoever serves the handheld chooses
    std::string password;        // empty: not locked
};

// Parses settings text; unknown or malformed lines are ignored.
Settings ParseSettings(std::string_view text);

// Changes to one storage's settings; a field left empty keeps what the text says.
struct SettingsChange {
    std::optional<bool> readOnly;
    std::optional<std::optional<uint64_t>> capacity;  // an empty value: unlimited
    std::optional<uint64_t> speed;                    // 0: unpaced
    std::optional<Settings::Answer> answer;
    std::optional<std::string> name;            // empty: the default name
    std::optional<std::optional<OsNumber>> os;  // an empty value: the default
    std::optional<std::string> password;        // empty: none
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

// The bytes in use in one storage as all its writers see them, whatever process they run in:
// a count in the storage's kUsageLedger, changed under a lock on that file. Each writer holds a
// shared flock on the ledger for as long as it takes part; a writer that joins when no other
// holds one (all are gone, also by a crash) counts the storage afresh, so changes made from
// outside and bytes of writers that died count right from then on.
class UsageLedger {
public:
    // Joins the ledger of the storage folder (the root when isRoot). Null when the ledger can't
    // be opened or made (a storage the user may not write): the caller counts alone.
    static std::unique_ptr<UsageLedger> Join(int folder, bool isRoot);
    ~UsageLedger();
    UsageLedger(const UsageLedger&) = delete;
    UsageLedger& operator=(const UsageLedger&) = delete;

    uint64_t used();
    // Counts the storage (folder, as at Join) afresh when no other writer holds the ledger: the
    // caller must have nothing under way (no bytes taken and not yet on the storage).
    void recountIfAlone(int folder, bool isRoot);
    // Adds bytes to the count if it stays within capacity (always without one).
    bool add(uint64_t bytes, std::optional<uint64_t> capacity);
    void remove(uint64_t bytes);

private:
    explicit UsageLedger(Fd fd) : fd_(std::move(fd)) {}
    Fd fd_;
};

// The handheld's link, shared by every connection and process: the time until which it is busy
// carrying bytes, kept in the root's kLinkLedger under a lock.
class SharedLink {
public:
    // Null when the file can't be opened or made: the caller paces alone.
    static std::unique_ptr<SharedLink> Open(int root);
    // Books bytes at speed (bytes per second) after what is booked already: the time they have
    // travelled by.
    std::chrono::steady_clock::time_point book(uint64_t bytes, uint64_t speed);

private:
    explicit SharedLink(Fd fd) : fd_(std::move(fd)) {}
    Fd fd_;
};

}  // namespace handheld

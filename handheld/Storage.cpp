// The handheld's storages: markers, settings, the default root and the bytes in use.

#include "Storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "DevicePath.h"
#include "Posix.h"

namespace handheld {

namespace {

constexpr int kMaxWalkDepth = 128;

std::string Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(first, last - first + 1));
}

uint64_t UsedBytesBelow(int dir, bool isRoot, int depth) {
    if (depth > kMaxWalkDepth) {
        return 0;
    }
    const int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) {
        return 0;
    }
    DIR* d = fdopendir(copy);
    if (d == nullptr) {
        ::close(copy);
        return 0;
    }
    uint64_t total = 0;
    while (const dirent* e = readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == ".." || IsMarkerName(name)) {
            continue;
        }
        struct stat st;
        if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            total += static_cast<uint64_t>(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            int err;
            Fd sub = OpenFolder(dir, e->d_name, err);
            if (!sub.valid()) {
                continue;
            }
            if (isRoot && HoldsCardMarker(sub.get())) {
                continue;
            }
            total += UsedBytesBelow(sub.get(), false, depth + 1);
        }
    }
    closedir(d);
    return total;
}

}  // namespace

bool IsMarkerName(std::string_view name) {
    return EqualsNoCase(name, kCardMarker) || EqualsNoCase(name, kHandheldSettings) ||
           EqualsNoCase(name, kUsageLedger) || EqualsNoCase(name, kLinkLedger) ||
           IsTemporaryName(name);
}

bool IsTemporaryName(std::string_view name) {
    if (!name.starts_with(".~") || !name.ends_with(".tmp") || name.size() < 9) {
        return false;
    }
    name = name.substr(2, name.size() - 6);
    const size_t dash = name.find('-');
    return dash != 0 && dash != std::string_view::npos && dash + 1 < name.size() &&
           name.find_first_not_of("0123456789") == dash &&
           name.find_first_not_of("0123456789", dash + 1) == std::string_view::npos;
}

namespace {

void RemoveStaleBelow(int dir, int depth) {
    if (depth > kMaxWalkDepth) {
        return;
    }
    const int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = copy < 0 ? nullptr : fdopendir(copy);
    if (d == nullptr) {
        if (copy >= 0) {
            ::close(copy);
        }
        return;
    }
    std::vector<std::string> folders;
    while (const dirent* e = readdir(d)) {
        const std::string_view name = e->d_name;
        if (IsTemporaryName(name)) {
            posix::removeIfAbandoned(dir, e->d_name);
        } else if (name != "." && name != ".." &&
                   (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN)) {
            folders.emplace_back(name);
        }
    }
    closedir(d);
    for (const auto& name : folders) {
        const Fd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.valid()) {
            RemoveStaleBelow(sub.get(), depth + 1);
        }
    }
}

}  // namespace

void RemoveStaleTemporaries(int dir) {
    RemoveStaleBelow(dir, 0);
}

std::string ResolveName(int dir, const std::string& name) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return name;
    }
    const int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) {
        return name;
    }
    DIR* d = fdopendir(copy);
    if (d == nullptr) {
        ::close(copy);
        return name;
    }
    std::string found = name;
    std::string best;
    while (const dirent* e = readdir(d)) {
        if (EqualsNoCase(e->d_name, name) && (best.empty() || best > e->d_name)) {
            best = e->d_name;
        }
    }
    closedir(d);
    return best.empty() ? found : best;
}

Fd OpenFolder(int dir, const std::string& name, int& err) {
    const int fd = openat(dir, ResolveName(dir, name).c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    err = fd < 0 ? errno : 0;
    return Fd(fd);
}

bool IsRegularFileAt(int dir, const char* name) {
    struct stat st;
    return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

bool HoldsCardMarker(int folder) {
    return IsRegularFileAt(folder, std::string(kCardMarker).c_str());
}

bool IsCardFolder(int root, const std::string& name) {
    int err;
    const Fd folder = OpenFolder(root, name, err);
    return folder.valid() && HoldsCardMarker(folder.get());
}

bool IsValidCardName(std::string_view name) {
    std::u32string points;
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find_first_of("\\/:") == std::string_view::npos && IsValidName(name, false) &&
           text::utf8ToUtf32(name, points) && !IsMarkerName(name);
}

std::string ReadSettingsFile(int dir, std::string_view name) {
    // Only the first 64 KiB count: a settings file is a few short lines.
    const posix::UniqueFd file = posix::openRegularFile(dir, std::string(name).c_str(), O_NOFOLLOW);
    std::string text(file.valid() ? 65536 : 0, '\0');
    const ssize_t n = file.valid() ? posix::readFull(file.get(), text.data(), text.size()) : 0;
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

bool WriteSettingsFile(int dir, std::string_view name, std::string_view text, int& err) {
    const std::string target(name);
    struct stat st;
    if (fstatat(dir, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
        return false;
    }
    const std::string temporary = target + ".tmp-" + std::to_string(getpid());
    const int fd =
        openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        err = errno;
        return false;
    }
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        err = errno;
        ::close(fd);
        unlinkat(dir, temporary.c_str(), 0);
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    int why = ok ? 0 : errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (ok && renameat(dir, temporary.c_str(), dir, target.c_str()) != 0) {
        ok = false;
        why = errno;
    }
    if (!ok) {
        err = why;
        unlinkat(dir, temporary.c_str(), 0);
    }
    return ok;
}

uint64_t UsedBytes(int dir, bool isRoot) {
    return UsedBytesBelow(dir, isRoot, 0);
}

std::optional<uint64_t> ParseSize(std::string_view text) {
    const std::string s = Trim(text);
    if (s.empty()) {
        return std::nullopt;
    }
    uint64_t multiplier = 1;
    size_t digits = s.size();
    switch (s.back()) {
        case 'k':
        case 'K':
            multiplier = 1024ULL;
            --digits;
            break;
        case 'm':
        case 'M':
            multiplier = 1024ULL * 1024;
            --digits;
            break;
        case 'g':
        case 'G':
            multiplier = 1024ULL * 1024 * 1024;
            --digits;
            break;
        default:
            break;
    }
    if (digits == 0 || digits > 18) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < digits; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(s[i] - '0');
    }
    if (value > UINT64_MAX / multiplier) {
        return std::nullopt;
    }
    return value * multiplier;
}

Settings ParseSettings(std::string_view text) {
    Settings settings;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        const auto eq = line.find('=');
        const std::string key = Trim(line.substr(0, eq));
        const std::string value =
            eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        if (eq == std::string::npos) {
            if (EqualsNoCase(key, "read-only")) {
                settings.readOnly = true;
            }
        } else if (EqualsNoCase(key, "capacity")) {
            if (const auto size = ParseSize(value)) {
                settings.capacity = size;
            }
        } else if (EqualsNoCase(key, "speed")) {
            if (const auto size = ParseSize(value)) {
                settings.speed = *size;
            }
        } else if (EqualsNoCase(key, "name")) {
            if (IsValidDeviceName(value)) {
                settings.name = value;
            }
        } else if (EqualsNoCase(key, "os")) {
            if (const auto os = ParseOsNumber(value)) {
                settings.os = os;
            }
        } else if (EqualsNoCase(key, "password")) {
            if (IsValidPassword(value)) {
                settings.password = value;
            }
        } else if (EqualsNoCase(key, "answer")) {
            if (EqualsNoCase(value, "no")) {
                settings.answer = Settings::Answer::No;
            } else if (EqualsNoCase(value, "refuse")) {
                settings.answer = Settings::Answer::Refuse;
            } else if (EqualsNoCase(value, "yes")) {
                settings.answer = Settings::Answer::Yes;
            }
        }
    }
    return settings;
}

std::string ChangeSettings(std::string_view text, const SettingsChange& change) {
    // The new line of each changed setting, by key; empty when the setting goes back to its
    // default.
    std::vector<std::pair<std::string_view, std::string>> lines;
    if (change.readOnly) {
        lines.emplace_back("read-only", *change.readOnly ? "read-only" : "");
    }
    if (change.capacity) {
        lines.emplace_back("capacity",
                           *change.capacity ? "capacity=" + std::to_string(**change.capacity) : "");
    }
    if (change.speed) {
        lines.emplace_back("speed",
                           *change.speed > 0 ? "speed=" + std::to_string(*change.speed) : "");
    }
    if (change.answer) {
        const Settings::Answer answer = *change.answer;
        lines.emplace_back("answer", answer == Settings::Answer::No       ? "answer=no"
                                     : answer == Settings::Answer::Refuse ? "answer=refuse"
                                                                          : "");
    }
    if (change.name) {
        lines.emplace_back("name", change.name->empty() ? "" : "name=" + *change.name);
    }
    if (change.os) {
        lines.emplace_back("os", *change.os ? "os=" + std::to_string((*change.os)->major) + "." +
                                                  std::to_string((*change.os)->minor)
                                            : "");
    }
    if (change.password) {
        lines.emplace_back("password",
                           change.password->empty() ? "" : "password=" + *change.password);
    }
    std::string result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end;
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const std::string key = Trim(line.substr(0, line.find('=')));
        if (std::none_of(lines.begin(), lines.end(),
                         [&](const auto& changed) { return EqualsNoCase(key, changed.first); })) {
            result.append(line).append("\n");
        }
    }
    for (const auto& [key, line] : lines) {
        if (!line.empty()) {
            result += line + "\n";
        }
    }
    return result;
}

std::optional<OsNumber> ParseOsNumber(std::string_view text) {
    const size_t dot = text.find('.');
    const auto number = [](std::string_view digits) -> std::optional<unsigned> {
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        unsigned value = 0;
        for (const char c : digits) {
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        return value;
    };
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const auto major = number(text.substr(0, dot));
    const auto minor = number(text.substr(dot + 1));
    if (!major || !minor) {
        return std::nullopt;
    }
    return OsNumber{*major, *minor};
}

namespace {

// UTF-8 of at most maxChars characters without control characters.
bool IsPlainText(std::string_view value, size_t maxChars) {
    std::u32string points;
    return text::utf8ToUtf32(value, points) && points.size() <= maxChars &&
           std::none_of(points.begin(), points.end(),
                        [](char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); });
}

}  // namespace

bool IsValidDeviceName(std::string_view name) {
    return !name.empty() && IsPlainText(name, 64) && Trim(name) == name;
}

bool IsValidPassword(std::string_view password) {
    return IsPlainText(password, 64) && Trim(password) == password;
}

std::string DefaultRoot() {
    if (const char* device = std::getenv("TRESTEL_DEVICE"); device != nullptr && *device != '\0') {
        return device;
    }
    std::string base;
    // The base directory rules: a relative XDG_DATA_HOME is invalid and ignored.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') {
            const passwd* user = getpwuid(getuid());
            home = user != nullptr ? user->pw_dir : nullptr;
        }
        if (home == nullptr || *home == '\0') {
            return {};  // nowhere to look: no handheld is attached
        }
        base = std::string(home) + "/.local/share";
    }
    return base + "/trestel/handheld";
}

// ---- the writers' shared count and link ----

namespace {

// Holds an exclusive lock on the first byte of a file for as long as it lives. The lock belongs
// to the open file (not the process), so writers in one process exclude each other as well, and
// it is independent of the file's flock.
class ByteLock {
public:
    explicit ByteLock(int fd) : fd_(fd) { set(F_WRLCK); }
    ~ByteLock() { set(F_UNLCK); }
    ByteLock(const ByteLock&) = delete;
    ByteLock& operator=(const ByteLock&) = delete;

private:
    void set(short type) {
        struct flock range {};
        range.l_type = type;
        range.l_whence = SEEK_SET;
        range.l_start = 0;
        range.l_len = 1;
        while (fcntl(fd_, F_OFD_SETLKW, &range) != 0 && errno == EINTR) {
        }
    }
    int fd_;
};

// Opens (making it when missing) a small ledger file in folder: a regular file of ours only.
Fd OpenLedger(int folder, std::string_view name) {
    const std::string file(name);
    Fd fd(
        openat(folder, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    return fd;
}

// The number a ledger holds; nothing when it holds none (new, or cut short by a crash).
std::optional<uint64_t> ReadNumber(int fd) {
    char buffer[32] = {};
    const ssize_t n = posix::preadFull(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) {
        return std::nullopt;
    }
    const std::string_view digits(buffer, static_cast<size_t>(n));
    const size_t end = digits.find('\n');
    if (end == std::string_view::npos || end == 0 || end > 20 ||
        digits.substr(0, end).find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return std::strtoull(buffer, nullptr, 10);  // saturates: a ledger never holds that much
}

void WriteNumber(int fd, uint64_t value) {
    // Padded to a fixed width, so the write never leaves a longer old number's tail.
    char buffer[32];
    const int n =
        std::snprintf(buffer, sizeof buffer, "%020llu\n", static_cast<unsigned long long>(value));
    if (posix::pwriteAll(fd, buffer, static_cast<size_t>(n), 0) != 0) {
        // A ledger that can't be written is counted afresh by the next writer to join alone.
    }
}

}  // namespace

std::unique_ptr<UsageLedger> UsageLedger::Join(int folder, bool isRoot) {
    Fd fd = OpenLedger(folder, kUsageLedger);
    if (!fd.valid()) {
        return nullptr;
    }
    const ByteLock lock(fd.get());
    // Nobody holds the ledger: what it says may be out of date, so the storage is counted.
    const bool alone = flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
    const std::optional<uint64_t> recorded = ReadNumber(fd.get());
    if (alone || !recorded) {
        WriteNumber(fd.get(), UsedBytes(folder, isRoot));
    }
    while (flock(fd.get(), LOCK_SH) != 0 && errno == EINTR) {
    }
    return std::unique_ptr<UsageLedger>(new UsageLedger(std::move(fd)));
}

UsageLedger::~UsageLedger() = default;

void UsageLedger::recountIfAlone(int folder, bool isRoot) {
    const ByteLock lock(fd_.get());
    // Turning the shared lock exclusive works only when nobody else holds one; a failed attempt
    // drops the lock (flock converts by releasing first), so it is taken again. Every such
    // attempt happens under the byte lock, so no other writer looks in between.
    if (flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
        WriteNumber(fd_.get(), UsedBytes(folder, isRoot));
    }
    while (flock(fd_.get(), LOCK_SH) != 0 && errno == EINTR) {
    }
}  // closing the file gives up its flock

uint64_t UsageLedger::used() {
    const ByteLock lock(fd_.get());
    return ReadNumber(fd_.get()).value_or(0);
}

bool UsageLedger::add(uint64_t bytes, std::optional<uint64_t> capacity) {
    const ByteLock lock(fd_.get());
    const uint64_t now = ReadNumber(fd_.get()).value_or(0);
    if (capacity && (now > *capacity || bytes > *capacity - now)) {
        return false;
    }
    WriteNumber(fd_.get(), now + bytes);
    return true;
}

void UsageLedger::remove(uint64_t bytes) {
    const ByteLock lock(fd_.get());
    const uint64_t now = ReadNumber(fd_.get()).value_or(0);
    WriteNumber(fd_.get(), now - std::min(now, bytes));
}

std::unique_ptr<SharedLink> SharedLink::Open(int root) {
    Fd fd = OpenLedger(root, kLinkLedger);
    return fd.valid() ? std::unique_ptr<SharedLink>(new SharedLink(std::move(fd))) : nullptr;
}

std::chrono::steady_clock::time_point SharedLink::book(uint64_t bytes, uint64_t speed) {
    using Clock = std::chrono::steady_clock;
    // The steady clock is the system's monotonic clock: the same in every process.
    const ByteLock lock(fd_.get());
    const auto now = Clock::now();
    const auto recorded = Clock::time_point(Clock::duration(ReadNumber(fd_.get()).value_or(0)));
    const auto until = std::max(recorded, now) +
                       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           static_cast<double>(bytes) / static_cast<double>(speed)));
    WriteNumber(fd_.get(), static_cast<uint64_t>(until.time_since_epoch().count()));
    return until;
}

}  // namespace handheld

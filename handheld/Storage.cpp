// The handheld's storages: markers, settings, the default root and the bytes in use.

#include "Storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
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

}  // namespace handheld

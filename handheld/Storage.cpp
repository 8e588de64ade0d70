// The handheld's storages: markers, settings, the default root and the bytes in use.

#include "Storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "DevicePath.h"

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
    return EqualsNoCase(name, kCardMarker) || EqualsNoCase(name, kHandheldSettings);
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

std::string ReadSettingsFile(int dir, std::string_view name) {
    const int fd =
        openat(dir, std::string(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    Fd file(fd);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    std::string text;
    char buffer[4096];
    while (text.size() < 65536) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
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

std::string DefaultRoot() {
    if (const char* device = std::getenv("TRESTEL_DEVICE"); device != nullptr && *device != '\0') {
        return device;
    }
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
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

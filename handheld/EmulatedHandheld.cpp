// The emulated handheld: device calls mapped onto a folder tree on the desktop.
//
// Every path is walked one component at a time from an open descriptor of the root with
// O_NOFOLLOW, so no device path can reach outside the root, not even through a symbolic link.

#include "EmulatedHandheld.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace handheld {

namespace {

constexpr RAPI_DWORD kGenericRead = 0x80000000u;
constexpr RAPI_DWORD kOpenExisting = 3;
constexpr RAPI_DWORD kOpenAlways = 4;
constexpr RAPI_DWORD kTruncateExisting = 5;
constexpr RAPI_DWORD kAttributeArchive = 0x20;
constexpr size_t kMaxPathUnits = 32767;
constexpr int kMaxWalkDepth = 128;

// A file descriptor closed on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// ---- text -----------------------------------------------------------------------------------

// UTF-16 (NUL-terminated) to UTF-8. Fails on unpaired surrogates and on overlong input.
bool Utf16ToUtf8(const char16_t* text, std::string& out, RAPI_DWORD& why) {
    out.clear();
    size_t i = 0;
    for (; text[i] != 0; ++i) {
        if (i >= kMaxPathUnits) {
            why = error::kFilenameTooLong;
            return false;
        }
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            const char32_t low = text[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) {
                why = error::kInvalidName;
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            why = error::kInvalidName;
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

// UTF-8 to code points; fails on malformed input.
bool Utf8ToUtf32(std::string_view text, std::u32string& out) {
    out.clear();
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        int extra;
        char32_t c;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            const auto cont = static_cast<unsigned char>(text[i + k]);
            if ((cont & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (cont & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        out += c;
        i += 1 + extra;
    }
    return true;
}

char32_t Fold(char32_t c) {
    return (c >= U'A' && c <= U'Z') ? c + (U'a' - U'A') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool IsMarkerName(std::string_view name) {
    return EqualsNoCase(name, kCardMarker) || EqualsNoCase(name, kHandheldSettings);
}

// "*" and "?" wildcards, case-insensitive, on code points.
bool WildcardMatch(const std::u32string& pattern, const std::u32string& name) {
    size_t p = 0, n = 0, starP = std::u32string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || Fold(pattern[p]) == Fold(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u32string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*') {
        ++p;
    }
    return p == pattern.size();
}

std::string Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(first, last - first + 1));
}

// ---- device paths ---------------------------------------------------------------------------

struct DevicePath {
    std::vector<std::string> folders;  // the components before the last one
    std::string leaf;                  // the last component; empty when the path ends with "\"
};

// Splits a device path; refuses anything that could name a place outside the root.
bool ParseDevicePath(const char16_t* text, DevicePath& path, RAPI_DWORD& why) {
    if (text == nullptr) {
        why = error::kInvalidParameter;
        return false;
    }
    std::string utf8;
    if (!Utf16ToUtf8(text, utf8, why)) {
        return false;
    }
    if (utf8.empty()) {
        why = error::kPathNotFound;
        return false;
    }
    if (utf8.front() == '\\' || utf8.front() == '/') {
        why = error::kBadPathname;
        return false;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = utf8.find('\\', start);
        parts.push_back(utf8.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        const bool last = i + 1 == parts.size();
        if (part.empty()) {
            if (last) {
                continue;  // a trailing "\" names the folder itself
            }
            why = error::kInvalidName;
            return false;
        }
        if (part == "." || part == "..") {
            why = error::kBadPathname;
            return false;
        }
        if (part.find(':') != std::string::npos || part.find('/') != std::string::npos) {
            why = error::kBadPathname;
            return false;
        }
    }
    path.leaf = parts.back();
    parts.pop_back();
    path.folders = std::move(parts);
    return true;
}

// Characters a device file name can't hold (the wildcards only in a search pattern).
bool IsValidName(std::string_view name, bool allowWildcards) {
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || c == '<' || c == '>' || c == '"' || c == '|') {
            return false;
        }
        if (!allowWildcards && (c == '*' || c == '?')) {
            return false;
        }
    }
    return true;
}

RAPI_DWORD ErrnoToCode(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return error::kPathNotFound;
        case ELOOP:
        case EACCES:
        case EPERM:
        case EISDIR:
            return error::kAccessDenied;
        case EEXIST:
            return error::kAlreadyExists;
        case ENOSPC:
        case EDQUOT:
            return error::kDiskFull;
        case EROFS:
            return error::kWriteProtect;
        case ENAMETOOLONG:
            return error::kFilenameTooLong;
        case ENOMEM:
            return error::kOutOfMemory;
        default:
            return error::kWriteFault;
    }
}

// The actual name of an entry of dir: the name itself when it exists, else the first entry
// equal to it ignoring case (the device's names are case-insensitive), else the name itself.
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

// Opens a folder below dir without following links.
Fd OpenFolder(int dir, const std::string& name, int& err) {
    const int fd = openat(dir, ResolveName(dir, name).c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    err = fd < 0 ? errno : 0;
    return Fd(fd);
}

// Puts a new file under name in dir in one step: a temporary file beside it, renamed over it.
// The file that held the name is never written: it may have other names, even outside the root.
// The new file takes mode; when copyFrom is open, it starts with that file's contents.
Fd NewFileOver(int dir, const std::string& name, int flags, mode_t mode, int copyFrom, int& err) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary =
            ".~" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
        Fd fd(openat(dir, temporary.c_str(), flags | O_CREAT | O_EXCL, 0600));
        if (!fd.valid() && errno == EEXIST) {
            continue;
        }
        err = errno;
        if (!fd.valid()) {
            return {};
        }
        bool ok = fchmod(fd.get(), mode & 07777) == 0;
        for (off_t from = 0; ok && copyFrom >= 0;) {
            const ssize_t n = copy_file_range(copyFrom, &from, fd.get(), nullptr, 1 << 30, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            ok = n >= 0;
            if (n <= 0) {
                break;
            }
        }
        if (ok && renameat(dir, temporary.c_str(), dir, name.c_str()) == 0) {
            return fd;
        }
        err = errno;
        unlinkat(dir, temporary.c_str(), 0);
        return {};
    }
    err = EEXIST;
    return {};
}

bool IsRegularFileAt(int dir, const char* name) {
    struct stat st;
    return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// Reads a small settings file below dir (no links); empty when absent.
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

// Sum of the sizes of the regular files below dir, markers not counted. At the root, the card
// folders are left out (they are storages of their own).
uint64_t UsedBytes(int dir, bool isRoot, int depth) {
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
            if (isRoot && IsRegularFileAt(sub.get(), std::string(kCardMarker).c_str())) {
                continue;
            }
            total += UsedBytes(sub.get(), false, depth + 1);
        }
    }
    closedir(d);
    return total;
}

CE_FILETIME ToFileTime(const timespec& t) {
    // 100-ns ticks since 1601-01-01.
    const int64_t ticks = (static_cast<int64_t>(t.tv_sec) + 11644473600LL) * 10000000LL +
                          static_cast<int64_t>(t.tv_nsec) / 100;
    const auto u = static_cast<uint64_t>(std::max<int64_t>(ticks, 0));
    return CE_FILETIME{static_cast<RAPI_DWORD>(u & 0xFFFFFFFFu), static_cast<RAPI_DWORD>(u >> 32)};
}

// Fills the record's name: UTF-16, cut at 259 units without splitting a pair, NUL-terminated.
void SetFindName(CE_FIND_DATA& data, const std::u32string& name) {
    std::memset(data.cFileName, 0, sizeof data.cFileName);
    size_t n = 0;
    for (const char32_t c : name) {
        const size_t need = c >= 0x10000 ? 2 : 1;
        if (n + need > kMaxPath - 1) {
            break;
        }
        if (need == 2) {
            data.cFileName[n++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            data.cFileName[n++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            data.cFileName[n++] = static_cast<char16_t>(c);
        }
    }
}

}  // namespace

// ---- settings -------------------------------------------------------------------------------

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

// ---- the device -----------------------------------------------------------------------------

namespace {

// Bytes in use in one storage, shared by the open files that write into it.
struct Usage {
    uint64_t used = 0;
};

struct FileObject {
    Fd fd;
    Fd parent;           // the folder holding the file
    std::string name;    // its name there
    bool fresh = false;  // created or emptied by this handle: holds only what was written
    bool canRead = false;
    bool canWrite = false;
    uint64_t position = 0;
    uint64_t size = 0;
    std::optional<uint64_t> capacity;
    std::shared_ptr<Usage> usage;
    // Written bytes the device still holds in its write buffer, and where they go. They reach
    // the file system in large blocks, at the latest when the handle is closed.
    std::string pending;
    uint64_t pendingAt = 0;
};

// Size of a file's write buffer: the installer writes 4096 bytes at a time.
constexpr size_t kWriteBuffer = 1 << 20;

struct SearchEntry {
    std::u32string name;
    RAPI_DWORD attributes = 0;
    struct stat st {};
};

struct SearchObject {
    std::vector<SearchEntry> entries;
    size_t next = 0;
};

using Object = std::variant<FileObject, SearchObject>;

// Where a path lands: the storage it belongs to and its parent folder.
struct Location {
    Fd parent;
    std::string leaf;        // resolved name of the last component (may be empty)
    std::string storageKey;  // "" for main memory, else the card folder's name
    Settings settings;       // that storage's settings
};

}  // namespace

struct EmulatedHandheld::Impl {
    explicit Impl(std::string fixedRoot) : fixedRoot(std::move(fixedRoot)) {}

    std::mutex mutex;
    std::string fixedRoot;
    std::string rootPath;
    Fd root;
    dev_t rootDev = 0;
    ino_t rootIno = 0;
    bool connected = false;
    Fd event;
    RAPI_DWORD lastError = 0;
    uint64_t speed = 0;
    std::chrono::steady_clock::time_point paceUntil{};
    std::map<RAPI_HANDLE, Object> objects;
    RAPI_HANDLE nextHandle = 0x100;
    std::map<std::string, std::shared_ptr<Usage>> usage;

    // Runs one call under the lock; running out of memory fails the call instead of throwing
    // through the C interface.
    template <typename R, typename F>
    R guarded(R failValue, F&& body) {
        std::lock_guard lock(mutex);
        try {
            return body();
        } catch (...) {
            lastError = error::kOutOfMemory;
            return failValue;
        }
    }

    bool fail(RAPI_DWORD code) {
        lastError = code;
        return false;
    }

    // Parses a device path; a path that is malformed or would leave the root records its error.
    bool parse(const char16_t* text, DevicePath& path) {
        RAPI_DWORD why = 0;
        return ParseDevicePath(text, path, why) || fail(why);
    }

    void dropLink() {
        connected = false;
        objects.clear();
        usage.clear();
        root.reset();
    }

    // The link is up and the root is still the folder seen at connect. A root that was
    // removed, renamed or replaced is an unplugged handheld: the link stays down from then on.
    bool linkUp() {
        if (!connected) {
            return fail(error::kDeviceNotConnected);
        }
        struct stat st;
        if (stat(rootPath.c_str(), &st) != 0 || st.st_dev != rootDev || st.st_ino != rootIno) {
            connected = false;
            return fail(error::kDeviceNotConnected);
        }
        return true;
    }

    RAPI_HANDLE newHandle(Object object) {
        while (objects.count(nextHandle) != 0 || nextHandle <= 0) {
            nextHandle = nextHandle >= 0x7FFFFFFF || nextHandle <= 0 ? 1 : nextHandle + 1;
        }
        const RAPI_HANDLE h = nextHandle;
        objects.emplace(h, std::move(object));
        nextHandle = nextHandle >= 0x7FFFFFFF ? 1 : nextHandle + 1;
        return h;
    }

    // Walks the folders of path from the root. Fills the location's storage and settings.
    bool locate(const DevicePath& path, Location& where) {
        Fd dir(openat(root.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid()) {
            return fail(error::kDeviceNotConnected);
        }
        std::optional<std::string> card;
        for (size_t i = 0; i < path.folders.size(); ++i) {
            int err;
            Fd next = OpenFolder(dir.get(), path.folders[i], err);
            if (!next.valid()) {
                // The settings of the storage the path lies in, for callers that report them.
                if (!card) {
                    where.settings = ParseSettings(ReadSettingsFile(root.get(), kHandheldSettings));
                }
                return fail(err == ELOOP ? error::kAccessDenied : error::kPathNotFound);
            }
            if (i == 0 && IsRegularFileAt(next.get(), std::string(kCardMarker).c_str())) {
                card = ResolveName(dir.get(), path.folders[i]);
                where.settings = ParseSettings(ReadSettingsFile(next.get(), kCardMarker));
            }
            dir = std::move(next);
        }
        where.leaf = path.leaf.empty() ? std::string() : ResolveName(dir.get(), path.leaf);
        if (card) {
            where.storageKey = *card;
        } else {
            where.storageKey.clear();
            where.settings = ParseSettings(ReadSettingsFile(root.get(), kHandheldSettings));
        }
        where.parent = std::move(dir);
        return true;
    }

    // Bytes in use in a storage, counted afresh; the shared counter of its open files follows.
    std::shared_ptr<Usage> countUsage(const std::string& storageKey) {
        auto& slot = usage[storageKey];
        if (!slot) {
            slot = std::make_shared<Usage>();
        }
        if (storageKey.empty()) {
            slot->used = UsedBytes(root.get(), true, 0);
        } else {
            int err;
            Fd card = OpenFolder(root.get(), storageKey, err);
            slot->used = card.valid() ? UsedBytes(card.get(), false, 0) : 0;
        }
        return slot;
    }

    // ---- the calls ----

    RAPI_HRESULT initEx(RAPIINIT* init) {
        if (init == nullptr || init->cbSize != sizeof(RAPIINIT)) {
            return kInvalidArgHr;
        }
        event.reset(eventfd(0, EFD_CLOEXEC));
        if (!event.valid()) {
            return E_FAIL_HR;
        }
        init->heRapiInit = event.get();
        init->hrRapiInit = 0;

        const std::string path = fixedRoot.empty() ? DefaultRoot() : fixedRoot;
        struct stat st;
        if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            dropLink();  // not attached: the attempt never ends
            return 0;
        }
        Fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid()) {
            dropLink();
            return 0;
        }
        const Settings settings = ParseSettings(ReadSettingsFile(dir.get(), kHandheldSettings));
        if (settings.answer == Settings::Answer::No) {
            dropLink();
            return 0;
        }
        if (settings.answer == Settings::Answer::Refuse) {
            dropLink();
            init->hrRapiInit = E_FAIL_HR;
            signal();
            return 0;
        }
        // The same handheld, still linked (a link check): its open handles stay valid.
        const bool same =
            connected && path == rootPath && st.st_dev == rootDev && st.st_ino == rootIno;
        if (!same) {
            dropLink();
        }
        rootPath = path;
        rootDev = st.st_dev;
        rootIno = st.st_ino;
        root = std::move(dir);
        speed = settings.speed;
        connected = true;
        signal();
        return 0;
    }

    void signal() {
        const uint64_t one = 1;
        ssize_t n;
        do {
            n = ::write(event.get(), &one, sizeof one);
        } while (n < 0 && errno == EINTR);
    }

    RAPI_HRESULT uninit() {
        event.reset();
        dropLink();
        return 0;
    }

    RAPI_HANDLE findFirst(const char16_t* pattern, CE_FIND_DATA* data) {
        if (data == nullptr) {
            fail(error::kInvalidParameter);
            return INVALID_HANDLE_VALUE;
        }
        if (!linkUp()) {
            return INVALID_HANDLE_VALUE;
        }
        DevicePath path;
        if (!parse(pattern, path)) {
            return INVALID_HANDLE_VALUE;
        }
        if (path.leaf.empty() || !IsValidName(path.leaf, true)) {
            fail(path.leaf.empty() ? error::kFileNotFound : error::kInvalidName);
            return INVALID_HANDLE_VALUE;
        }
        Location where;
        if (!locate(path, where)) {
            return INVALID_HANDLE_VALUE;
        }
        std::u32string wanted;
        Utf8ToUtf32(path.leaf == "*.*" ? std::string("*") : path.leaf, wanted);
        const bool atRoot = path.folders.empty();

        SearchObject search;
        const int copy = openat(where.parent.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* d = copy >= 0 ? fdopendir(copy) : nullptr;
        if (d == nullptr) {
            if (copy >= 0) {
                ::close(copy);
            }
            fail(error::kPathNotFound);
            return INVALID_HANDLE_VALUE;
        }
        while (const dirent* e = readdir(d)) {
            const std::string_view name = e->d_name;
            if (name == "." || name == ".." || IsMarkerName(name)) {
                continue;
            }
            SearchEntry entry;
            if (!Utf8ToUtf32(name, entry.name) || !WildcardMatch(wanted, entry.name)) {
                continue;  // names that aren't UTF-8 can't be named back by the desktop
            }
            if (fstatat(where.parent.get(), e->d_name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            if (S_ISDIR(entry.st.st_mode)) {
                entry.attributes = FILE_ATTRIBUTE_DIRECTORY;
                if (atRoot) {
                    int err;
                    Fd sub = OpenFolder(where.parent.get(), e->d_name, err);
                    if (sub.valid() &&
                        IsRegularFileAt(sub.get(), std::string(kCardMarker).c_str())) {
                        entry.attributes |= FILE_ATTRIBUTE_TEMPORARY;
                    }
                }
            } else if (S_ISREG(entry.st.st_mode)) {
                entry.attributes =
                    where.settings.readOnly ? (kAttributeArchive | 0x1) : FILE_ATTRIBUTE_NORMAL;
            } else {
                continue;  // links, pipes and devices don't exist on the handheld
            }
            search.entries.push_back(std::move(entry));
        }
        closedir(d);
        if (search.entries.empty()) {
            fail(error::kFileNotFound);
            return INVALID_HANDLE_VALUE;
        }
        std::sort(search.entries.begin(), search.entries.end(),
                  [](const SearchEntry& a, const SearchEntry& b) {
                      std::u32string fa = a.name, fb = b.name;
                      std::transform(fa.begin(), fa.end(), fa.begin(), Fold);
                      std::transform(fb.begin(), fb.end(), fb.begin(), Fold);
                      return fa != fb ? fa < fb : a.name < b.name;
                  });
        fill(search.entries[0], *data);
        search.next = 1;
        return newHandle(std::move(search));
    }

    static void fill(const SearchEntry& entry, CE_FIND_DATA& data) {
        data.dwFileAttributes = entry.attributes;
        data.ftCreationTime = ToFileTime(entry.st.st_mtim);
        data.ftLastAccessTime = ToFileTime(entry.st.st_atim);
        data.ftLastWriteTime = ToFileTime(entry.st.st_mtim);
        const auto size =
            S_ISREG(entry.st.st_mode) ? static_cast<uint64_t>(entry.st.st_size) : uint64_t{0};
        data.nFileSizeHigh = static_cast<RAPI_DWORD>(size >> 32);
        data.nFileSizeLow = static_cast<RAPI_DWORD>(size & 0xFFFFFFFFu);
        data.dwOID = static_cast<RAPI_DWORD>(entry.st.st_ino & 0xFFFFFFFFu);
        SetFindName(data, entry.name);
    }

    RAPI_BOOL findNext(RAPI_HANDLE h, CE_FIND_DATA* data) {
        if (!linkUp()) {
            return 0;
        }
        const auto it = objects.find(h);
        if (it == objects.end() || !std::holds_alternative<SearchObject>(it->second)) {
            return fail(error::kInvalidHandle);
        }
        if (data == nullptr) {
            return fail(error::kInvalidParameter);
        }
        auto& search = std::get<SearchObject>(it->second);
        if (search.next >= search.entries.size()) {
            return fail(error::kNoMoreFiles);
        }
        fill(search.entries[search.next++], *data);
        return 1;
    }

    RAPI_BOOL findClose(RAPI_HANDLE h) {
        const auto it = objects.find(h);
        if (it == objects.end() || !std::holds_alternative<SearchObject>(it->second)) {
            if (!linkUp()) {
                return 0;
            }
            return fail(error::kInvalidHandle);
        }
        objects.erase(it);
        return linkUp() ? 1 : 0;
    }

    RAPI_BOOL createDirectory(const char16_t* text) {
        if (!linkUp()) {
            return 0;
        }
        DevicePath path;
        if (!parse(text, path)) {
            return 0;
        }
        if (path.leaf.empty()) {
            // "a\b\" names folder b.
            if (path.folders.empty()) {
                return fail(error::kPathNotFound);
            }
            path.leaf = path.folders.back();
            path.folders.pop_back();
        }
        if (!IsValidName(path.leaf, false)) {
            return fail(error::kInvalidName);
        }
        if (IsMarkerName(path.leaf)) {
            return fail(error::kAccessDenied);
        }
        Location where;
        if (!locate(path, where)) {
            return 0;
        }
        struct stat st;
        if (fstatat(where.parent.get(), where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            return fail(error::kAlreadyExists);
        }
        if (where.settings.readOnly) {
            return fail(error::kWriteProtect);
        }
        if (mkdirat(where.parent.get(), where.leaf.c_str(), 0777) != 0) {
            return fail(ErrnoToCode(errno));
        }
        return 1;
    }

    RAPI_HANDLE createFile(const char16_t* text, RAPI_DWORD access, RAPI_DWORD disposition) {
        if (!linkUp()) {
            return INVALID_HANDLE_VALUE;
        }
        auto failed = [this](RAPI_DWORD code) {
            fail(code);
            return INVALID_HANDLE_VALUE;
        };
        if (disposition < CREATE_NEW || disposition > kTruncateExisting) {
            return failed(error::kInvalidParameter);
        }
        DevicePath path;
        if (!parse(text, path)) {
            return INVALID_HANDLE_VALUE;
        }
        if (path.leaf.empty()) {
            return failed(path.folders.empty() ? error::kPathNotFound : error::kInvalidName);
        }
        if (!IsValidName(path.leaf, false)) {
            return failed(error::kInvalidName);
        }
        if (IsMarkerName(path.leaf)) {
            return failed(error::kAccessDenied);
        }
        Location where;
        if (!locate(path, where)) {
            // On a read-only storage nothing could be created even with the folders there: that
            // is the answer that tells the user what to do.
            if (lastError == error::kPathNotFound && where.settings.readOnly) {
                return failed(error::kWriteProtect);
            }
            return INVALID_HANDLE_VALUE;
        }
        struct stat st;
        const bool exists =
            fstatat(where.parent.get(), where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        const bool wantWrite = (access & GENERIC_WRITE) != 0;
        const bool wantRead = (access & kGenericRead) != 0 || !wantWrite;
        // Creating or truncating a file changes the storage even without write access.
        const bool changes = wantWrite || disposition == CREATE_NEW ||
                             disposition == CREATE_ALWAYS || disposition == kTruncateExisting ||
                             (!exists && disposition == kOpenAlways);
        if (exists && !S_ISREG(st.st_mode)) {
            return failed(error::kAccessDenied);  // a folder, link, pipe or device of that name
        }
        if (changes && where.settings.readOnly) {
            return failed(error::kWriteProtect);
        }
        if (exists && disposition == CREATE_NEW) {
            return failed(error::kFileExists);
        }
        if (!exists && (disposition == kOpenExisting || disposition == kTruncateExisting)) {
            return failed(error::kFileNotFound);
        }
        const bool truncate = disposition == CREATE_ALWAYS || disposition == kTruncateExisting;

        std::shared_ptr<Usage> usage;
        if (changes) {
            usage = countUsage(where.storageKey);
            // A file that is replaced makes room for its successor.
            const uint64_t freed = exists && truncate ? static_cast<uint64_t>(st.st_size) : 0;
            const uint64_t left = usage->used - std::min(usage->used, freed);
            if (where.settings.capacity && left >= *where.settings.capacity) {
                return failed(error::kDiskFull);
            }
        }

        int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        flags |= changes ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
        if (!exists) {
            flags |= O_CREAT | O_EXCL;
        }
        Fd fd(openat(where.parent.get(), where.leaf.c_str(), flags, 0666));
        if (!fd.valid()) {
            return failed(errno == EEXIST ? error::kFileExists : ErrnoToCode(errno));
        }
        struct stat opened;
        if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
            return failed(error::kAccessDenied);
        }
        // A file that is replaced, or that shares its contents with other names, is never
        // written in place: a new file takes its name (with a copy of its contents when they
        // are kept).
        if (exists && changes && (truncate || opened.st_nlink > 1)) {
            Fd source;
            if (!truncate) {
                source.reset(openat(where.parent.get(), where.leaf.c_str(),
                                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
                struct stat again;
                if (!source.valid() || fstat(source.get(), &again) != 0 ||
                    again.st_dev != opened.st_dev || again.st_ino != opened.st_ino) {
                    return failed(error::kAccessDenied);
                }
            }
            int err = 0;
            fd = NewFileOver(where.parent.get(), where.leaf, flags & ~O_NONBLOCK, opened.st_mode,
                             source.get(), err);
            if (!fd.valid()) {
                return failed(ErrnoToCode(err));
            }
            if (truncate) {
                usage->used -= std::min(usage->used, static_cast<uint64_t>(opened.st_size));
            }
        }
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);

        FileObject file;
        file.fd = std::move(fd);
        file.canRead = wantRead;
        file.canWrite = wantWrite;
        file.size = truncate ? 0 : static_cast<uint64_t>(opened.st_size);
        file.capacity = where.settings.capacity;
        file.usage = std::move(usage);
        file.fresh = wantWrite && (truncate || !exists);
        file.name = where.leaf;
        file.parent = std::move(where.parent);
        if (wantWrite) {
            speed = ParseSettings(ReadSettingsFile(root.get(), kHandheldSettings)).speed;
        }
        return newHandle(std::move(file));
    }

    // A write that fails because the handheld is gone: a file that this handle created or
    // emptied holds only part of its data and nobody can delete it any more, so it goes.
    static void discardPartial(FileObject& file) {
        if (!file.fresh || !file.parent.valid()) {
            return;
        }
        file.fresh = false;
        struct stat opened, named;
        if (fstat(file.fd.get(), &opened) == 0 &&
            fstatat(file.parent.get(), file.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            unlinkat(file.parent.get(), file.name.c_str(), 0);
        }
    }

    // Hands a file's buffered bytes to the file system. On failure the file is cut back to what
    // it held before them and the error is recorded.
    bool flush(FileObject& file) {
        if (file.pending.empty()) {
            return true;
        }
        // A file removed behind the device's back (say with its card folder) would swallow
        // the data: that is a failed write, not a successful one.
        struct stat st;
        RAPI_DWORD why = 0;
        if (fstat(file.fd.get(), &st) != 0 || st.st_nlink == 0) {
            why = error::kWriteFault;
        }
        size_t done = 0;
        while (why == 0 && done < file.pending.size()) {
            const ssize_t n =
                pwrite(file.fd.get(), file.pending.data() + done, file.pending.size() - done,
                       static_cast<off_t>(file.pendingAt + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                why = ErrnoToCode(n < 0 ? errno : ENOSPC) == error::kDiskFull ? error::kDiskFull
                                                                              : error::kWriteFault;
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (why == 0) {
            file.pending.clear();
            return true;
        }
        // Leave the file as it was before the buffered bytes: a failed write writes nothing.
        const uint64_t before = std::min(file.size, file.pendingAt);
        file.usage->used -= std::min(file.usage->used, file.size - before);
        file.size = before;
        if (ftruncate(file.fd.get(), static_cast<off_t>(before)) != 0) {
            // The file keeps the partial bytes; the failure is reported all the same.
        }
        file.pending.clear();
        return fail(why);
    }

    // Fills waitUntil with the time the caller must wait (outside the lock) to pace the link.
    RAPI_BOOL writeFile(RAPI_HANDLE h, const void* buffer, RAPI_DWORD count, RAPI_DWORD* written,
                        std::chrono::steady_clock::time_point& waitUntil) {
        if (written != nullptr) {
            *written = 0;
        }
        const auto it = objects.find(h);
        if (!linkUp()) {
            if (it != objects.end()) {
                if (auto* file = std::get_if<FileObject>(&it->second)) {
                    discardPartial(*file);
                }
            }
            return 0;
        }
        if (it == objects.end() || !std::holds_alternative<FileObject>(it->second)) {
            return fail(error::kInvalidHandle);
        }
        auto& file = std::get<FileObject>(it->second);
        if (!file.canWrite) {
            return fail(error::kAccessDenied);
        }
        if (count == 0) {
            return 1;
        }
        if (buffer == nullptr) {
            return fail(error::kInvalidParameter);
        }
        // A file removed behind the device's back (say with its card folder) would swallow
        // the data: that is a failed write, not a successful one.
        struct stat st;
        if (fstat(file.fd.get(), &st) != 0 || st.st_nlink == 0) {
            return fail(error::kWriteFault);
        }
        const uint64_t end = file.position + count;
        const uint64_t grow = end > file.size ? end - file.size : 0;
        if (file.capacity && file.usage->used + grow > *file.capacity) {
            return fail(error::kDiskFull);  // nothing written
        }
        // The buffer holds one run of consecutive bytes: anything else flushes it first.
        if (!file.pending.empty() && file.pendingAt + file.pending.size() != file.position &&
            !flush(file)) {
            return 0;
        }
        if (file.pending.empty()) {
            file.pending.reserve(kWriteBuffer);
            file.pendingAt = file.position;
        }
        file.pending.append(static_cast<const char*>(buffer), count);
        file.position = end;
        file.size = std::max(file.size, end);
        file.usage->used += grow;
        if (file.pending.size() >= kWriteBuffer && !flush(file)) {
            return 0;
        }
        if (written != nullptr) {
            *written = count;
        }
        if (speed > 0) {
            const auto now = std::chrono::steady_clock::now();
            paceUntil = std::max(paceUntil, now) +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(count) /
                                                          static_cast<double>(speed)));
            waitUntil = paceUntil;
        }
        return 1;
    }

    RAPI_BOOL readFile(RAPI_HANDLE h, void* buffer, RAPI_DWORD count, RAPI_DWORD* read) {
        if (read != nullptr) {
            *read = 0;
        }
        if (!linkUp()) {
            return 0;
        }
        const auto it = objects.find(h);
        if (it == objects.end() || !std::holds_alternative<FileObject>(it->second)) {
            return fail(error::kInvalidHandle);
        }
        auto& file = std::get<FileObject>(it->second);
        if (!file.canRead) {
            return fail(error::kAccessDenied);
        }
        if (!flush(file)) {
            return 0;
        }
        if (count > 0 && buffer == nullptr) {
            return fail(error::kInvalidParameter);
        }
        size_t done = 0;
        while (done < count) {
            const ssize_t n = pread(file.fd.get(), static_cast<char*>(buffer) + done, count - done,
                                    static_cast<off_t>(file.position + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return fail(error::kReadFault);
            }
            if (n == 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        file.position += done;
        if (read != nullptr) {
            *read = static_cast<RAPI_DWORD>(done);
        }
        return 1;
    }

    RAPI_BOOL closeHandle(RAPI_HANDLE h) {
        const auto it = objects.find(h);
        if (it == objects.end()) {
            if (!linkUp()) {
                return 0;
            }
            return fail(error::kInvalidHandle);
        }
        // Bytes the device has taken are the device's, also when the link is gone by now: they
        // reach the file before it counts as complete. A file that can't be completed is as
        // partial as after a failed write.
        bool complete = true;
        if (auto* file = std::get_if<FileObject>(&it->second)) {
            complete = flush(*file);
            if (!complete) {
                discardPartial(*file);
            }
        }
        objects.erase(it);  // released even when the handheld is gone
        return complete && linkUp() ? 1 : 0;
    }

    RAPI_BOOL deleteFile(const char16_t* text) {
        if (!linkUp()) {
            return 0;
        }
        DevicePath path;
        if (!parse(text, path)) {
            return 0;
        }
        if (path.leaf.empty()) {
            return fail(path.folders.empty() ? error::kPathNotFound : error::kAccessDenied);
        }
        if (IsMarkerName(path.leaf)) {
            return fail(error::kAccessDenied);
        }
        Location where;
        if (!locate(path, where)) {
            return 0;
        }
        struct stat st;
        if (fstatat(where.parent.get(), where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return fail(error::kFileNotFound);
        }
        if (!S_ISREG(st.st_mode)) {
            return fail(error::kAccessDenied);
        }
        if (where.settings.readOnly) {
            return fail(error::kWriteProtect);
        }
        if (unlinkat(where.parent.get(), where.leaf.c_str(), 0) != 0) {
            return fail(ErrnoToCode(errno));
        }
        if (const auto slot = usage.find(where.storageKey); slot != usage.end() && slot->second) {
            slot->second->used -=
                std::min<uint64_t>(slot->second->used, static_cast<uint64_t>(st.st_size));
        }
        return 1;
    }

    RAPI_BOOL getVersion(CEOSVERSIONINFO* info) {
        if (!linkUp()) {
            return 0;
        }
        if (info == nullptr) {
            return fail(error::kInvalidParameter);
        }
        *info = CEOSVERSIONINFO{};
        info->dwOSVersionInfoSize = sizeof(CEOSVERSIONINFO);
        info->dwMajorVersion = 4;
        info->dwMinorVersion = 21;
        info->dwBuildNumber = 1088;
        info->dwPlatformId = 3;  // Windows CE
        return 1;
    }
};

EmulatedHandheld::EmulatedHandheld(std::string root)
    : impl_(std::make_unique<Impl>(std::move(root))) {}

EmulatedHandheld::~EmulatedHandheld() = default;

RAPI_HRESULT EmulatedHandheld::CeRapiInitEx(RAPIINIT* p) {
    return impl_->guarded(E_FAIL_HR, [&] { return impl_->initEx(p); });
}

RAPI_HRESULT EmulatedHandheld::CeRapiUninit() {
    return impl_->guarded(RAPI_HRESULT{0}, [&] { return impl_->uninit(); });
}

RAPI_HANDLE EmulatedHandheld::CeFindFirstFile(const char16_t* name, CE_FIND_DATA* data) {
    return impl_->guarded(INVALID_HANDLE_VALUE, [&] { return impl_->findFirst(name, data); });
}

RAPI_BOOL EmulatedHandheld::CeFindNextFile(RAPI_HANDLE h, CE_FIND_DATA* data) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->findNext(h, data); });
}

RAPI_BOOL EmulatedHandheld::CeFindClose(RAPI_HANDLE h) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->findClose(h); });
}

RAPI_BOOL EmulatedHandheld::CeCreateDirectory(const char16_t* path, void*) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->createDirectory(path); });
}

RAPI_HANDLE EmulatedHandheld::CeCreateFile(const char16_t* name, RAPI_DWORD access, RAPI_DWORD,
                                           void*, RAPI_DWORD disposition, RAPI_DWORD, RAPI_HANDLE) {
    return impl_->guarded(INVALID_HANDLE_VALUE,
                          [&] { return impl_->createFile(name, access, disposition); });
}

RAPI_DWORD EmulatedHandheld::CeGetLastError() {
    return impl_->guarded(RAPI_DWORD{0}, [&] { return impl_->lastError; });
}

RAPI_BOOL EmulatedHandheld::CeWriteFile(RAPI_HANDLE h, const void* buffer, RAPI_DWORD count,
                                        RAPI_DWORD* written, void*) {
    std::chrono::steady_clock::time_point waitUntil{};
    const RAPI_BOOL result = impl_->guarded(
        RAPI_BOOL{0}, [&] { return impl_->writeFile(h, buffer, count, written, waitUntil); });
    // The slow link: wait outside the lock until the bytes have "travelled".
    if (result != 0 && waitUntil != std::chrono::steady_clock::time_point{}) {
        std::this_thread::sleep_until(waitUntil);
    }
    return result;
}

RAPI_BOOL EmulatedHandheld::CeCloseHandle(RAPI_HANDLE h) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->closeHandle(h); });
}

RAPI_BOOL EmulatedHandheld::CeDeleteFile(const char16_t* name) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->deleteFile(name); });
}

RAPI_BOOL EmulatedHandheld::CeGetVersionEx(CEOSVERSIONINFO* info) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->getVersion(info); });
}

RAPI_BOOL EmulatedHandheld::CeReadFile(RAPI_HANDLE h, void* buffer, RAPI_DWORD count,
                                       RAPI_DWORD* read, void*) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->readFile(h, buffer, count, read); });
}

RAPI_HRESULT EmulatedHandheld::CeRapiGetError() {
    return impl_->guarded(kNotConnectedHr,
                          [&] { return impl_->connected ? RAPI_HRESULT{0} : kNotConnectedHr; });
}

EmulatedHandheld& Instance() {
    static EmulatedHandheld instance;
    return instance;
}

namespace {

RAPI_HRESULT InitEx(RAPIINIT* p) {
    return Instance().CeRapiInitEx(p);
}
RAPI_HRESULT Uninit() {
    return Instance().CeRapiUninit();
}
RAPI_HANDLE FindFirst(const char16_t* n, CE_FIND_DATA* d) {
    return Instance().CeFindFirstFile(n, d);
}
RAPI_BOOL FindNext(RAPI_HANDLE h, CE_FIND_DATA* d) {
    return Instance().CeFindNextFile(h, d);
}
RAPI_BOOL FindClose(RAPI_HANDLE h) {
    return Instance().CeFindClose(h);
}
RAPI_BOOL CreateDirectory(const char16_t* p, void* s) {
    return Instance().CeCreateDirectory(p, s);
}
RAPI_HANDLE CreateFile(const char16_t* n, RAPI_DWORD a, RAPI_DWORD sh, void* s, RAPI_DWORD d,
                       RAPI_DWORD f, RAPI_HANDLE t) {
    return Instance().CeCreateFile(n, a, sh, s, d, f, t);
}
RAPI_DWORD GetLastError() {
    return Instance().CeGetLastError();
}
RAPI_BOOL WriteFile(RAPI_HANDLE h, const void* b, RAPI_DWORD n, RAPI_DWORD* w, void* o) {
    return Instance().CeWriteFile(h, b, n, w, o);
}
RAPI_BOOL CloseHandle(RAPI_HANDLE h) {
    return Instance().CeCloseHandle(h);
}
RAPI_BOOL DeleteFile(const char16_t* n) {
    return Instance().CeDeleteFile(n);
}
RAPI_BOOL GetVersionEx(CEOSVERSIONINFO* v) {
    return Instance().CeGetVersionEx(v);
}
RAPI_BOOL ReadFile(RAPI_HANDLE h, void* b, RAPI_DWORD n, RAPI_DWORD* r, void* o) {
    return Instance().CeReadFile(h, b, n, r, o);
}
RAPI_HRESULT RapiGetError() {
    return Instance().CeRapiGetError();
}

}  // namespace

const RapiTable& BuiltInTable() {
    static const RapiTable table = [] {
        RapiTable t;
        t.CeRapiInitEx = InitEx;
        t.CeRapiUninit = Uninit;
        t.CeFindFirstFile = FindFirst;
        t.CeFindNextFile = FindNext;
        t.CeFindClose = FindClose;
        t.CeCreateDirectory = CreateDirectory;
        t.CeCreateFile = CreateFile;
        t.CeGetLastError = GetLastError;
        t.CeWriteFile = WriteFile;
        t.CeCloseHandle = CloseHandle;
        t.CeDeleteFile = DeleteFile;
        t.CeGetVersionEx = GetVersionEx;
        t.CeReadFile = ReadFile;
        t.CeRapiGetError = RapiGetError;
        return t;
    }();
    return table;
}

}  // namespace handheld

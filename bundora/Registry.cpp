#include "Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace bundora {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string_view trimmed(std::string_view s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// A predefined root as one character, "0" (HKEY_CLASSES_ROOT) to "6" (HKEY_DYN_DATA), so that
// short key paths stay within std::string's inline buffer.
std::string rootName(RegKey root) {
    if (root >= HKEY_CLASSES_ROOT && root <= HKEY_DYN_DATA) {
        return std::string(1, static_cast<char>('0' + (root - HKEY_CLASSES_ROOT)));
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", root);
    return buf;
}

std::optional<RegKey> rootFromName(std::string_view name) {
    static const std::pair<const char*, RegKey> kRoots[] = {
        {"hkey_classes_root", HKEY_CLASSES_ROOT},
        {"hkcr", HKEY_CLASSES_ROOT},
        {"hkey_current_user", HKEY_CURRENT_USER},
        {"hkcu", HKEY_CURRENT_USER},
        {"hkey_local_machine", HKEY_LOCAL_MACHINE},
        {"hklm", HKEY_LOCAL_MACHINE},
        {"hkey_users", HKEY_USERS},
        {"hku", HKEY_USERS},
        {"hkey_performance_data", HKEY_PERFORMANCE_DATA},
        {"hkey_current_config", HKEY_CURRENT_CONFIG},
        {"hkcc", HKEY_CURRENT_CONFIG},
        {"hkey_dyn_data", HKEY_DYN_DATA},
    };
    const std::string l = lower(name);
    for (const auto& [n, key] : kRoots) {
        if (l == n) {
            return key;
        }
    }
    return std::nullopt;
}

// --- Decoding: UTF-16LE, Windows-1252 and UTF-8 lines to UTF-8 ---

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xc0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else {
        out.push_back(static_cast<char>(0xf0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    }
}

// UTF-16LE bytes to UTF-8; an unpaired surrogate becomes U+FFFD, an odd last byte is dropped.
std::string utf16ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    const size_t n = bytes.size() / 2;
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    };
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = unit(i);
        if (u >= 0xd800 && u < 0xdc00 && i + 1 < n && unit(i + 1) >= 0xdc00 &&
            unit(i + 1) < 0xe000) {
            u = 0x10000 + ((u - 0xd800) << 10) + (unit(i + 1) - 0xdc00);
            ++i;
        } else if (u >= 0xd800 && u < 0xe000) {
            u = 0xfffd;
        }
        appendUtf8(out, u);
    }
    return out;
}

bool isUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t more = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xc2 && c < 0xe0) {
            more = 1, cp = c & 0x1f;
        } else if (c >= 0xe0 && c < 0xf0) {
            more = 2, cp = c & 0x0f;
        } else if (c >= 0xf0 && c < 0xf5) {
            more = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + more >= s.size()) {
            return false;
        }
        for (size_t k = 1; k <= more; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xc0) != 0x80) {
                return false;
            }
            cp = cp << 6 | (d & 0x3f);
        }
        if ((more == 2 && (cp < 0x800 || (cp >= 0xd800 && cp < 0xe000))) ||
            (more == 3 && (cp < 0x10000 || cp > 0x10ffff))) {
            return false;
        }
        i += more + 1;
    }
    return true;
}

// The Windows ANSI code page of western systems. Bytes 0x80..0x9f map to these characters; the
// five it leaves undefined map to the control character of the same value, as Windows does.
std::string cp1252ToUtf8(std::string_view s) {
    static constexpr uint16_t k80[32] = {
        0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
        0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178};
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        appendUtf8(out, c >= 0x80 && c < 0xa0 ? k80[c - 0x80] : c);
    }
    return out;
}

// 8-bit text of a REGEDIT4 file: Windows-1252, unless it is valid UTF-8 (written on Linux).
std::string ansiToUtf8(std::string_view s) {
    return isUtf8(s) ? std::string(s) : cp1252ToUtf8(s);
}

// --- Value lines ---

// Reads a quoted text with \\ and \" escapes from s at pos (which holds the opening quote).
bool readQuoted(std::string_view s, size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') {
        return false;
    }
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
            out.push_back(s[++pos]);
        } else if (c == '"') {
            ++pos;
            return true;
        } else {
            out.push_back(c);
        }
    }
    return false;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(c | 0x20);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool parseHexBytes(std::string_view text, std::string& out) {
    out.clear();
    const std::string_view t = trimmed(text);
    if (t.empty()) {
        return true;
    }
    out.reserve(t.size() / 3 + 1);
    size_t pos = 0;
    for (;;) {
        while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) {
            ++pos;
        }
        if (pos >= t.size()) {
            return false;  // a comma with nothing behind it
        }
        int hi = hexDigit(t[pos]);
        int lo = pos + 1 < t.size() ? hexDigit(t[pos + 1]) : -1;
        if (hi < 0 || lo < 0) {
            return false;
        }
        out.push_back(static_cast<char>(hi << 4 | lo));
        pos += 2;
        while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) {
            ++pos;
        }
        if (pos == t.size()) {
            return true;
        }
        if (t[pos] != ',') {
            return false;
        }
        ++pos;
    }
}

struct ValueLine {
    std::string name;       // empty for the default value "@"
    std::string_view data;  // what follows "=", trimmed
};

// "name"=data or @=data.
std::optional<ValueLine> splitValueLine(std::string_view line) {
    ValueLine v;
    size_t pos = 0;
    if (!line.empty() && line[0] == '@') {
        pos = 1;
    } else if (!readQuoted(line, pos, v.name)) {
        return std::nullopt;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) {
        ++pos;
    }
    if (pos >= line.size() || line[pos] != '=') {
        return std::nullopt;
    }
    v.data = trimmed(line.substr(pos + 1));
    return v;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && lower(s.substr(0, prefix.size())) == prefix;
}

std::optional<RegistryData::Value> dwordData(std::string_view digits) {
    if (digits.empty() || digits.size() > 8) {
        return std::nullopt;
    }
    uint32_t v = 0;
    for (char c : digits) {
        const int d = hexDigit(c);
        if (d < 0) {
            return std::nullopt;
        }
        v = v << 4 | static_cast<uint32_t>(d);
    }
    return RegistryData::Value{REG_DWORD,
                               {static_cast<char>(v), static_cast<char>(v >> 8),
                                static_cast<char>(v >> 16), static_cast<char>(v >> 24)}};
}

// hex:.. (REG_BINARY) or hex(N):.. with N the type in hex. Text types hold UTF-16 in a version 5
// file and ANSI in a REGEDIT4 one; the 8-bit view of both is UTF-8.
std::optional<RegistryData::Value> hexData(std::string_view rest, bool unicode) {
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string kind = lower(rest.substr(0, colon));
    RegistryData::Value value{REG_BINARY, {}};
    if (kind != "hex") {
        if (kind.size() < 6 || kind.size() > 13 || kind.compare(0, 4, "hex(") != 0 ||
            kind.back() != ')') {
            return std::nullopt;
        }
        value.type = 0;
        for (size_t k = 4; k + 1 < kind.size(); ++k) {
            const int d = hexDigit(kind[k]);
            if (d < 0) {
                return std::nullopt;
            }
            value.type = value.type << 4 | static_cast<uint32_t>(d);
        }
    }
    if (!parseHexBytes(rest.substr(colon + 1), value.bytes)) {
        return std::nullopt;
    }
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
        value.bytes = unicode ? utf16ToUtf8(value.bytes) : ansiToUtf8(value.bytes);
    }
    return value;
}

// The data of a value line: "text", dword:, hex: or hex(N):; nullopt for a kind not understood.
std::optional<RegistryData::Value> valueData(std::string_view rest, bool unicode) {
    if (!rest.empty() && rest[0] == '"') {
        size_t end = 0;
        std::string text;
        if (!readQuoted(rest, end, text) || end != rest.size()) {
            return std::nullopt;
        }
        return RegistryData::Value{REG_SZ, text + std::string(1, '\0')};
    }
    if (startsWithNoCase(rest, "dword:")) {
        return dwordData(rest.substr(6));
    }
    if (startsWithNoCase(rest, "hex")) {
        return hexData(rest, unicode);
    }
    return std::nullopt;
}

// --- The parser: bytes in pieces, lines, continuations, header, sections, values ---

class RegFileParser {
public:
    void feed(std::string_view bytes) {
        pending_.append(bytes);
        splitLines(false);
    }
    bool finish(RegistryData& out) {
        splitLines(true);
        if (continued_) {
            logicalLine(*continued_);
        }
        if (!header_ || *header_ == Header::Bad) {
            return false;
        }
        out = std::move(data_);
        return true;
    }

private:
    enum class Encoding { Unknown, Utf16, Utf8Bom, Bytes };
    enum class Header { Bad, Regedit4, Version5 };

    // The encoding from the byte-order mark; waits for three bytes unless at the end.
    bool detectEncoding(bool atEnd) {
        const auto at = [&](size_t i) { return static_cast<unsigned char>(pending_[i]); };
        if (pending_.size() >= 2 && at(0) == 0xff && at(1) == 0xfe) {
            encoding_ = Encoding::Utf16;
            pending_.erase(0, 2);
        } else if (pending_.size() >= 3 && at(0) == 0xef && at(1) == 0xbb && at(2) == 0xbf) {
            encoding_ = Encoding::Utf8Bom;
            pending_.erase(0, 3);
        } else if (pending_.size() >= 3 || atEnd) {
            encoding_ = Encoding::Bytes;
        }
        return encoding_ != Encoding::Unknown;
    }

    // Hands on every complete line of pending_ (and at the end the last, unterminated one).
    void splitLines(bool atEnd) {
        if (encoding_ == Encoding::Unknown && !detectEncoding(atEnd)) {
            return;
        }
        const bool wide = encoding_ == Encoding::Utf16;
        size_t start = 0;
        while (scanned_ < pending_.size()) {
            size_t nl = std::string::npos;
            if (wide) {
                for (size_t i = scanned_; i + 1 < pending_.size(); i += 2) {
                    if (pending_[i] == '\n' && pending_[i + 1] == '\0') {
                        nl = i;
                        break;
                    }
                }
            } else {
                nl = pending_.find('\n', scanned_);
            }
            if (nl == std::string::npos) {
                scanned_ = wide ? pending_.size() & ~size_t{1} : pending_.size();
                break;
            }
            physicalLine(std::string_view(pending_).substr(start, nl - start));
            start = nl + (wide ? 2 : 1);
            scanned_ = start;
        }
        if (atEnd && start < pending_.size()) {
            physicalLine(std::string_view(pending_).substr(start));
            start = pending_.size();
        }
        pending_.erase(0, start);
        scanned_ -= std::min(scanned_, start);
    }

    std::string decode(std::string_view raw) const {
        if (encoding_ == Encoding::Utf16) {
            return utf16ToUtf8(raw);
        }
        if (header_ == Header::Regedit4 && encoding_ == Encoding::Bytes) {
            return ansiToUtf8(raw);
        }
        return std::string(raw);
    }

    // One line of the file, decoded; a hex value ending in a backslash goes on in the next one.
    // A key or value line ends such a value early, so that a cut-off value never swallows it.
    void physicalLine(std::string_view raw) {
        std::string decoded = decode(raw);
        if (!decoded.empty() && decoded.back() == '\r') {
            decoded.pop_back();
        }
        const std::string_view line = trimmed(decoded);
        const bool startsEntry =
            !line.empty() && (line[0] == '[' || line[0] == '"' || line[0] == '@');
        if (continued_ && startsEntry) {
            const std::string cut = std::move(*continued_);
            continued_.reset();
            logicalLine(cut);
        }
        if (continued_) {
            continued_->append(line);
        } else if (startsEntry && line.back() == '\\' && header_) {
            const auto v = splitValueLine(line);
            if (!v || !startsWithNoCase(v->data, "hex")) {
                logicalLine(line);
                return;
            }
            continued_ = std::string(line);
        } else {
            logicalLine(line);
            return;
        }
        if (!continued_->empty() && continued_->back() == '\\') {
            continued_->pop_back();
        } else {
            const std::string whole = std::move(*continued_);
            continued_.reset();
            logicalLine(whole);
        }
    }

    void logicalLine(std::string_view line) {
        if (line.empty() || line[0] == ';' || header_ == Header::Bad) {
            return;
        }
        if (!header_) {
            header_ = line == "REGEDIT4"                               ? Header::Regedit4
                      : line == "Windows Registry Editor Version 5.00" ? Header::Version5
                                                                       : Header::Bad;
        } else if (line[0] == '[') {
            sectionHeader(line);
        } else {
            valueLine(line);
        }
    }

    // [ROOT\key] opens a key, [-ROOT\key] deletes it with its subkeys. A section that isn't
    // understood (unterminated, unknown root) is skipped with its values.
    void sectionHeader(std::string_view line) {
        key_.reset();
        if (line.back() != ']') {
            return;
        }
        std::string_view path = line.substr(1, line.size() - 2);
        const bool remove = !path.empty() && path[0] == '-';
        if (remove) {
            path.remove_prefix(1);
        }
        const size_t sep = path.find('\\');
        const auto root = rootFromName(path.substr(0, sep));
        if (!root) {
            return;
        }
        const std::string full = RegistryData::keyPath(
            *root, sep == std::string_view::npos ? "" : std::string(path.substr(sep + 1)));
        if (remove) {
            data_.removeKey(full);
        } else {
            data_.addKey(full);
            key_ = full;
        }
    }

    // "name"=data inside a key; "name"=- deletes the value. Anything else is skipped.
    void valueLine(std::string_view line) {
        if (!key_) {
            return;
        }
        const auto v = splitValueLine(line);
        if (!v) {
            return;
        }
        if (v->data == "-") {
            data_.removeValue(*key_, v->name);
        } else if (auto value = valueData(v->data, header_ == Header::Version5)) {
            data_.setValue(*key_, v->name, std::move(*value));
        }
    }

    std::string pending_;  // bytes not yet handed on as lines
    size_t scanned_ = 0;   // pending_ holds no line end before this
    Encoding encoding_ = Encoding::Unknown;
    std::optional<Header> header_;
    std::optional<std::string> continued_;  // a hex value line waiting for its continuation
    std::optional<std::string> key_;        // current section; unset in a skipped or deleted one
    RegistryData data_;
};

}  // namespace

// --- RegistryData ---

std::string RegistryData::keyPath(RegKey root, const std::string& subKey) {
    std::string_view sub = subKey;
    while (!sub.empty() && sub.front() == '\\') {
        sub.remove_prefix(1);
    }
    while (!sub.empty() && sub.back() == '\\') {
        sub.remove_suffix(1);
    }
    return sub.empty() ? rootName(root) : rootName(root) + "\\" + lower(sub);
}

void RegistryData::set(RegKey root, const std::string& subKey, const std::string& name,
                       uint32_t type, const std::string& bytes) {
    setValue(keyPath(root, subKey), name, Value{type, bytes});
}

void RegistryData::setString(RegKey root, const std::string& subKey, const std::string& name,
                             const std::string& text) {
    set(root, subKey, name, REG_SZ, text + std::string(1, '\0'));
}

void RegistryData::setDword(RegKey root, const std::string& subKey, const std::string& name,
                            int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    set(root, subKey, name, REG_DWORD,
        std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                    static_cast<char>(v >> 24)});
}

void RegistryData::addKey(const std::string& path) {
    keys_[path];
}

void RegistryData::removeKey(const std::string& path) {
    keys_.erase(path);
    // Its subkeys sort from "path\" up to "path]", "]" following "\".
    keys_.erase(keys_.lower_bound(path + "\\"), keys_.lower_bound(path + "]"));
}

void RegistryData::setValue(const std::string& path, const std::string& name, Value value) {
    auto& values = keys_[path];
    if (!values) {
        values = std::make_unique<Values>();
    }
    (*values)[lower(name)] = std::move(value);
}

void RegistryData::removeValue(const std::string& path, const std::string& name) {
    auto key = keys_.find(path);
    if (key != keys_.end() && key->second) {
        key->second->erase(lower(name));
    }
}

bool RegistryData::hasKey(const std::string& path) const {
    if (keys_.count(path)) {
        return true;
    }
    auto it = keys_.lower_bound(path + "\\");
    return it != keys_.end() && it->first.compare(0, path.size() + 1, path + "\\") == 0;
}

const RegistryData::Value* RegistryData::value(const std::string& path,
                                               const std::string& name) const {
    auto key = keys_.find(path);
    if (key == keys_.end() || !key->second) {
        return nullptr;
    }
    auto value = key->second->find(lower(name));
    return value == key->second->end() ? nullptr : &value->second;
}

bool RegistryData::operator==(const RegistryData& other) const {
    static const Values kNone;
    return std::equal(keys_.begin(), keys_.end(), other.keys_.begin(), other.keys_.end(),
                      [](const auto& a, const auto& b) {
                          return a.first == b.first &&
                                 (a.second ? *a.second : kNone) == (b.second ? *b.second : kNone);
                      });
}

// --- DataRegistry ---

long DataRegistry::RegOpenKeyEx(RegKey root, const std::string& subKey, uint32_t, uint32_t,
                                RegKey* result) {
    if (root < HKEY_CLASSES_ROOT || root > HKEY_DYN_DATA) {
        return ERROR_INVALID_HANDLE;
    }
    const std::string path = RegistryData::keyPath(root, subKey);
    if (path != rootName(root) && !data_.hasKey(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    const RegKey handle = next_++;
    open_[handle] = path;
    *result = handle;
    return ERROR_SUCCESS;
}

long DataRegistry::RegQueryValueEx(RegKey key, const std::string& valueName, uint32_t* type,
                                   unsigned char* data, uint32_t* size) {
    auto open = open_.find(key);
    if (open == open_.end()) {
        return ERROR_INVALID_HANDLE;
    }
    const RegistryData::Value* value = data_.value(open->second, valueName);
    if (!value) {
        return ERROR_FILE_NOT_FOUND;
    }
    const auto& bytes = value->bytes;
    if (type) {
        *type = value->type;
    }
    if (data && size && *size < bytes.size()) {
        *size = static_cast<uint32_t>(bytes.size());
        return ERROR_MORE_DATA;
    }
    if (data && !bytes.empty()) {
        std::memcpy(data, bytes.data(), bytes.size());
    }
    if (size) {
        *size = static_cast<uint32_t>(bytes.size());
    }
    return ERROR_SUCCESS;
}

long DataRegistry::RegCloseKey(RegKey key) {
    return open_.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// --- Reading the file ---

bool parseRegFile(const std::function<std::optional<std::string_view>()>& next, RegistryData& out) {
    RegFileParser parser;
    for (;;) {
        const auto piece = next();
        if (!piece) {
            return false;
        }
        if (piece->empty()) {
            return parser.finish(out);
        }
        parser.feed(*piece);
    }
}

bool parseRegFile(std::string_view bytes, RegistryData& out) {
    bool given = false;
    return parseRegFile(
        [&]() -> std::optional<std::string_view> {
            return std::exchange(given, true) ? std::string_view() : bytes;
        },
        out);
}

bool readRegFile(const std::string& path, RegistryData& out) {
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kRegFileMaxBytes) {
        char buf[65536];
        int64_t total = 0;
        ok = parseRegFile(
            [&]() -> std::optional<std::string_view> {
                for (;;) {
                    const ssize_t got = ::read(fd, buf, sizeof buf);
                    if (got < 0 && errno == EINTR) {
                        continue;
                    }
                    if (got < 0 || (total += got) > kRegFileMaxBytes) {
                        return std::nullopt;  // a read error, or a file that grew past the cap
                    }
                    return std::string_view(buf, static_cast<size_t>(got));
                }
            },
            out);
    }
    ::close(fd);
    return ok;
}

RegFileRegistry::RegFileRegistry(const std::string& path) {
    RegistryData read;
    readable_ = readRegFile(path, read);
    if (readable_) {
        data() = std::move(read);
    }
}

Registry& fileRegistry() {
    static std::string path;
    static std::unique_ptr<RegFileRegistry> registry;
    std::string wanted = registryFilePath();
    if (!registry || wanted != path) {
        registry = std::make_unique<RegFileRegistry>(wanted);
        path = std::move(wanted);
    }
    return *registry;
}

std::string registryFilePath() {
    const char* env = std::getenv("BUNDORA_REGISTRY");
    return env && *env ? env : "/etc/pocket-lorvex/registry.reg";
}

}  // namespace bundora

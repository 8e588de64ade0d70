#include "Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bundora {

namespace {

std::string lower(std::string s) {
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string rootName(RegKey root) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", root);
    return buf;
}

std::optional<RegKey> rootFromName(const std::string& name) {
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

// UTF-16LE bytes to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::string& bytes) {
    std::string out;
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

bool fail(std::string* error, size_t line, const std::string& reason) {
    if (error) {
        *error = "line " + std::to_string(line) + ": " + reason;
    }
    return false;
}

// Reads a quoted text with \\ and \" escapes from s at pos (which holds the opening quote).
bool readQuoted(const std::string& s, size_t& pos, std::string& out) {
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

bool parseHexBytes(const std::string& text, std::string& out) {
    out.clear();
    std::string t = trimmed(text);
    if (t.empty()) {
        return true;
    }
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

// The whole content of a regular file; empty when it can't be read.
std::string readRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                text.clear();
                break;
            }
            if (got == 0) {
                break;
            }
            text.append(buf, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    return text;
}

}  // namespace

std::string RegistryData::keyPath(RegKey root, const std::string& subKey) {
    std::string sub = subKey;
    while (!sub.empty() && sub.front() == '\\') {
        sub.erase(0, 1);
    }
    while (!sub.empty() && sub.back() == '\\') {
        sub.pop_back();
    }
    return sub.empty() ? rootName(root) : rootName(root) + "\\" + lower(sub);
}

void RegistryData::set(RegKey root, const std::string& subKey, const std::string& name,
                       uint32_t type, const std::string& bytes) {
    const std::string key = keyPath(root, subKey);
    keys.insert(key);
    values[key][lower(name)] = Value{type, bytes};
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

long MemoryRegistry::RegOpenKeyEx(RegKey root, const std::string& subKey, uint32_t, uint32_t access,
                                  RegKey* result) {
    ++opens;
    lastAccess = access;
    if (failOpen) {
        return *failOpen;
    }
    if (root < HKEY_CLASSES_ROOT || root > HKEY_DYN_DATA) {
        return ERROR_INVALID_HANDLE;
    }
    const std::string path = RegistryData::keyPath(root, subKey);
    bool found = path == rootName(root) || data_.keys.count(path) > 0;
    if (!found) {
        // A key exists when one of its subkeys does.
        auto it = data_.keys.lower_bound(path + "\\");
        found = it != data_.keys.end() && it->compare(0, path.size() + 1, path + "\\") == 0;
    }
    if (!found) {
        return ERROR_FILE_NOT_FOUND;
    }
    const RegKey handle = next_++;
    open_[handle] = path;
    *result = handle;
    return ERROR_SUCCESS;
}

long MemoryRegistry::RegQueryValueEx(RegKey key, const std::string& valueName, uint32_t* type,
                                     unsigned char* data, uint32_t* size) {
    ++queries;
    if (failQueryNumber && *failQueryNumber == queries) {
        return failQueryCode;
    }
    auto open = open_.find(key);
    if (open == open_.end()) {
        return ERROR_INVALID_HANDLE;
    }
    auto values = data_.values.find(open->second);
    if (values == data_.values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    auto value = values->second.find(lower(valueName));
    if (value == values->second.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const auto& bytes = value->second.bytes;
    if (type) {
        *type = value->second.type;
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

long MemoryRegistry::RegCloseKey(RegKey key) {
    ++closes;
    return open_.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

long RegFileRegistry::RegOpenKeyEx(RegKey root, const std::string& subKey, uint32_t options,
                                   uint32_t access, RegKey* result) {
    RegistryData fresh;
    const std::string text = readRegularFile(path_);
    if (text.empty() || !parseRegFile(text, fresh)) {
        fresh = RegistryData{};
    }
    data_ = std::move(fresh);
    return MemoryRegistry::RegOpenKeyEx(root, subKey, options, access, result);
}

bool parseRegFile(const std::string& raw, RegistryData& out, std::string* error) {
    std::string text;
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xff &&
        static_cast<unsigned char>(raw[1]) == 0xfe) {
        text = utf16ToUtf8(raw.substr(2));
    } else if (raw.compare(0, 3, "\xef\xbb\xbf") == 0) {
        text = raw.substr(3);
    } else {
        text = raw;
    }
    std::vector<std::string> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    size_t i = 0;
    while (i < lines.size() && trimmed(lines[i]).empty()) {
        ++i;
    }
    if (i == lines.size()) {
        return fail(error, 1, "no header line");
    }
    const std::string header = trimmed(lines[i]);
    bool unicode = false;
    if (header == "Windows Registry Editor Version 5.00") {
        unicode = true;
    } else if (header != "REGEDIT4") {
        return fail(error, i + 1, "unknown header \"" + header + "\"");
    }
    RegistryData data;
    std::optional<std::string> key;  // current section, unset inside a deleted one
    bool inSection = false;
    for (++i; i < lines.size(); ++i) {
        const size_t lineNo = i + 1;
        std::string line = trimmed(lines[i]);
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return fail(error, lineNo, "unterminated key");
            }
            std::string path = line.substr(1, line.size() - 2);
            bool remove = !path.empty() && path[0] == '-';
            if (remove) {
                path.erase(0, 1);
            }
            const size_t sep = path.find('\\');
            auto root = rootFromName(path.substr(0, sep));
            if (!root) {
                return fail(error, lineNo, "unknown root key");
            }
            const std::string full =
                RegistryData::keyPath(*root, sep == std::string::npos ? "" : path.substr(sep + 1));
            inSection = true;
            if (remove) {
                for (auto it = data.keys.begin(); it != data.keys.end();) {
                    if (*it == full || it->compare(0, full.size() + 1, full + "\\") == 0) {
                        data.values.erase(*it);
                        it = data.keys.erase(it);
                    } else {
                        ++it;
                    }
                }
                key.reset();
            } else {
                data.keys.insert(full);
                key = full;
            }
            continue;
        }
        if (!inSection) {
            return fail(error, lineNo, "value outside a key");
        }
        std::string name;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!readQuoted(line, pos, name)) {
            return fail(error, lineNo, "malformed value name");
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) {
            ++pos;
        }
        if (pos >= line.size() || line[pos] != '=') {
            return fail(error, lineNo, "missing \"=\"");
        }
        std::string rest = trimmed(line.substr(pos + 1));
        RegistryData::Value value;
        bool removeValue = false;
        if (rest == "-") {
            removeValue = true;
        } else if (!rest.empty() && rest[0] == '"') {
            size_t q = 0;
            std::string textValue;
            if (!readQuoted(rest, q, textValue) || q != rest.size()) {
                return fail(error, lineNo, "malformed text value");
            }
            value.type = REG_SZ;
            value.bytes = textValue + std::string(1, '\0');
        } else if (lower(rest.substr(0, 6)) == "dword:") {
            const std::string digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8) {
                return fail(error, lineNo, "malformed dword value");
            }
            uint32_t v = 0;
            for (char c : digits) {
                const int d = hexDigit(c);
                if (d < 0) {
                    return fail(error, lineNo, "malformed dword value");
                }
                v = v << 4 | static_cast<uint32_t>(d);
            }
            value.type = REG_DWORD;
            value.bytes = {static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
        } else if (lower(rest.substr(0, 3)) == "hex") {
            // Continuation lines end in a backslash.
            while (!rest.empty() && rest.back() == '\\' && i + 1 < lines.size()) {
                rest.pop_back();
                rest += trimmed(lines[++i]);
            }
            size_t colon = rest.find(':');
            if (colon == std::string::npos) {
                return fail(error, lineNo, "malformed hex value");
            }
            const std::string kind = lower(rest.substr(0, colon));
            if (kind == "hex") {
                value.type = REG_BINARY;
            } else if (kind.size() > 5 && kind.compare(0, 4, "hex(") == 0 && kind.back() == ')') {
                uint32_t t = 0;
                for (size_t k = 4; k + 1 < kind.size(); ++k) {
                    const int d = hexDigit(kind[k]);
                    if (d < 0 || k > 11) {
                        return fail(error, lineNo, "malformed value type");
                    }
                    t = t << 4 | static_cast<uint32_t>(d);
                }
                value.type = t;
            } else {
                return fail(error, lineNo, "malformed hex value");
            }
            if (!parseHexBytes(rest.substr(colon + 1), value.bytes)) {
                return fail(error, lineNo, "malformed hex bytes");
            }
            // Text types of a version 5 file hold UTF-16; the 8-bit view is UTF-8.
            if (unicode && (value.type == REG_SZ || value.type == REG_EXPAND_SZ ||
                            value.type == REG_MULTI_SZ)) {
                value.bytes = utf16ToUtf8(value.bytes);
            }
        } else {
            return fail(error, lineNo, "unknown value kind");
        }
        if (!key) {
            continue;  // values of a deleted key
        }
        if (removeValue) {
            data.values[*key].erase(lower(name));
        } else {
            data.values[*key][lower(name)] = value;
        }
    }
    out = std::move(data);
    return true;
}

std::string registryFilePath() {
    const char* env = std::getenv("BUNDORA_REGISTRY");
    return env && *env ? env : "/etc/pocket-lorvex/registry.reg";
}

}  // namespace bundora

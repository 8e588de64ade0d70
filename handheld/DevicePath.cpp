// Device names and paths: UTF-16 paths read and checked, names matched and reported.

#include "DevicePath.h"

#include <algorithm>
#include <cstring>

namespace handheld {

bool Utf16ToUtf8(const char16_t* text, std::string& out, RAPI_DWORD& why) {
    out.clear();
    size_t n = 0;
    for (; text[n] != 0; ++n) {
        if (n >= kMaxPathUnits) {
            why = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
    }
    if (!text::utf16ToUtf8(std::u16string_view(text, n), out)) {
        why = ERROR_INVALID_NAME;
        return false;
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

// Splits a device path; refuses anything that could name a place outside the root.
bool ParseDevicePath(const char16_t* text, DevicePath& path, RAPI_DWORD& why) {
    if (text == nullptr) {
        why = ERROR_INVALID_PARAMETER;
        return false;
    }
    std::string utf8;
    if (!Utf16ToUtf8(text, utf8, why)) {
        return false;
    }
    if (utf8.empty()) {
        why = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (utf8.front() == '\\' || utf8.front() == '/') {
        why = ERROR_BAD_PATHNAME;
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
            why = ERROR_INVALID_NAME;
            return false;
        }
        if (part == "." || part == "..") {
            why = ERROR_BAD_PATHNAME;
            return false;
        }
        if (part.find(':') != std::string::npos || part.find('/') != std::string::npos) {
            why = ERROR_BAD_PATHNAME;
            return false;
        }
    }
    for (auto& part : parts) {
        if (part.size() > kHostNameMax && part.find_first_of("*?") == std::string::npos) {
            part = HostNameOf(part);  // patterns are matched against the whole names
        }
    }
    std::string_view named = utf8;
    if (named.back() == '\\') {
        named.remove_suffix(1);
    }
    const size_t cut = named.rfind('\\');
    path.leafName = named.substr(cut == std::string_view::npos ? 0 : cut + 1);
    path.leaf = parts.back();
    parts.pop_back();
    path.folders = std::move(parts);
    return true;
}

std::string HostNameOf(std::string_view deviceName) {
    // FNV-1a over the folded name.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : deviceName) {
        hash ^= static_cast<unsigned char>(Fold(static_cast<unsigned char>(c)));
        hash *= 0x100000001b3ULL;
    }
    size_t cut = std::min<size_t>(deviceName.size(), 200);
    while (cut > 0 && (static_cast<unsigned char>(deviceName[cut]) & 0xC0) == 0x80) {
        --cut;  // not inside a character
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name(deviceName.substr(0, cut));
    name += "~~";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name.push_back(kHex[(hash >> shift) & 0xF]);
    }
    return name;
}

bool IsLongNameStandIn(std::string_view hostName) {
    constexpr size_t kTail = 2 + 16;
    if (hostName.size() < kTail || hostName.substr(hostName.size() - kTail, 2) != "~~") {
        return false;
    }
    return std::all_of(hostName.end() - 16, hostName.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
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

}  // namespace handheld

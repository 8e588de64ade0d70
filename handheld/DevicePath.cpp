// Device names and paths: UTF-16 paths read and checked, names matched and reported.

#include "DevicePath.h"

#include <algorithm>
#include <cstring>

namespace handheld {

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

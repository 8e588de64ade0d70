// Decoding 8-bit and UTF-16 lines and text values to UTF-8, and the data of value lines: quoted
// text, dword: and hex: or hex(N): bytes.

#include <cstdint>
#include <iterator>
#include <utility>

#include "RegParse.h"
#include "Text.h"

namespace bundora::regfile {

namespace {

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
        text::appendUtf8(out, c >= 0x80 && c < 0xa0 ? k80[c - 0x80] : c);
    }
    return out;
}

}  // namespace

// Converted in blocks so that a long line costs no second copy of itself; a high surrogate at the
// end of a block waits for the next one, where its low half may be.
std::string utf16LeToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    const size_t n = bytes.size() / 2;
    char16_t block[4096];
    size_t held = 0;  // a high surrogate carried over from the last block
    for (size_t i = 0; i < n;) {
        size_t count = held;
        for (; count < std::size(block) && i < n; ++count, ++i) {
            block[count] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                                 static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
        }
        held = i < n && block[count - 1] >= 0xd800 && block[count - 1] < 0xdc00 ? 1 : 0;
        out += text::utf16ToUtf8Lossy(std::u16string_view(block, count - held));
        if (held) {
            block[0] = block[count - 1];
        }
    }
    return out;
}

std::string ansiToUtf8(std::string_view s) {
    return text::isValidUtf8(s) ? std::string(s) : cp1252ToUtf8(s);
}

namespace {

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
    const std::string kind = asciiLower(rest.substr(0, colon));
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
        value.bytes = unicode ? utf16LeToUtf8(value.bytes) : ansiToUtf8(value.bytes);
    }
    return value;
}

}  // namespace

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
    return s.size() >= prefix.size() && asciiLower(s.substr(0, prefix.size())) == prefix;
}

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

}  // namespace bundora::regfile

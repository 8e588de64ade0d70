#include "Text.h"

namespace text {

namespace {

constexpr bool isHighSurrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
constexpr bool isLowSurrogate(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Decodes UTF-16; onUnpaired decides what an unpaired surrogate does (false stops).
template <typename OnUnpaired>
bool decodeUtf16(std::u16string_view in, std::string& out, OnUnpaired onUnpaired) {
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        if (isHighSurrogate(c) && i + 1 < in.size() && isLowSurrogate(in[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t{in[i + 1]} - 0xDC00);
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            if (!onUnpaired(out)) {
                return false;
            }
            continue;
        }
        appendUtf8(out, c);
    }
    return true;
}

// Decodes the UTF-8 sequence that starts at in[i]: its code point and its length in bytes.
// False for a malformed, cut-off, overlong or surrogate sequence.
bool decodeUtf8(std::string_view in, size_t i, char32_t& c, size_t& length) {
    const auto b = static_cast<unsigned char>(in[i]);
    size_t extra;
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
    if (i + extra >= in.size() && extra > 0) {
        return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
        const auto cont = static_cast<unsigned char>(in[i + k]);
        if ((cont & 0xC0) != 0x80) {
            return false;
        }
        c = (c << 6) | (cont & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return false;
    }
    length = 1 + extra;
    return true;
}

char32_t foldAscii(char32_t c) {
    return (c >= U'A' && c <= U'Z') ? c + (U'a' - U'A') : c;
}

}  // namespace

void appendUtf8(std::string& out, char32_t c) {
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

bool utf16ToUtf8(std::u16string_view in, std::string& out) {
    out.clear();
    return decodeUtf16(in, out, [](std::string&) { return false; });
}

std::string utf16ToUtf8Lossy(std::u16string_view in) {
    std::string out;
    decodeUtf16(in, out, [](std::string& o) {
        appendUtf8(o, 0xFFFD);
        return true;
    });
    return out;
}

bool utf8ToUtf32(std::string_view in, std::u32string& out) {
    out.clear();
    char32_t c;
    size_t length;
    for (size_t i = 0; i < in.size(); i += length) {
        if (!decodeUtf8(in, i, c, length)) {
            return false;
        }
        out += c;
    }
    return true;
}

bool isValidUtf8(std::string_view in) {
    char32_t c;
    size_t length;
    for (size_t i = 0; i < in.size(); i += length) {
        if (!decodeUtf8(in, i, c, length)) {
            return false;
        }
    }
    return true;
}

bool wildcardMatch(std::u32string_view pattern, std::u32string_view name, Case sense) {
    const auto same = [sense](char32_t a, char32_t b) {
        return sense == Case::IgnoreAscii ? foldAscii(a) == foldAscii(b) : a == b;
    };
    size_t p = 0, n = 0, starP = std::u32string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || same(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u32string_view::npos) {
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

namespace {

// Code points that a terminal or a message would act on instead of showing: C1 controls, the
// line and paragraph separators and the marks that reorder text (bidirectional overrides and
// isolates), which could make a name read as another.
bool actsInsteadOfShowing(char32_t c) {
    return (c >= 0x80 && c <= 0x9f) || c == 0x200e || c == 0x200f || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

void appendHex(std::string& out, std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        out += "\\x";
        out += kHex[u >> 4];
        out += kHex[u & 15];
    }
}

}  // namespace

std::string oneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u < 0x80) {
            if (u < 0x20 || u == 0x7f) {
                appendHex(out, text.substr(i, 1));
            } else {
                out += text[i];
            }
            ++i;
            continue;
        }
        char32_t c;
        size_t length;
        if (!decodeUtf8(text, i, c, length)) {
            // Not UTF-8: a byte that an 8-bit terminal takes as a C1 control is escaped, any
            // other stays as it is (a Latin-1 name on a Latin-1 terminal).
            if (u <= 0x9f) {
                appendHex(out, text.substr(i, 1));
            } else {
                out += text[i];
            }
            ++i;
            continue;
        }
        if (actsInsteadOfShowing(c)) {
            appendHex(out, text.substr(i, length));
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

}  // namespace text

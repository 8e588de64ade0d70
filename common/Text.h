#pragma once

// Text conversion between UTF-8, UTF-16 and code points, "*"/"?" wildcard matching, and text
// made fit for one line of a message.

#include <string>
#include <string_view>

namespace text {

// Appends the code point as UTF-8.
void appendUtf8(std::string& out, char32_t c);

// UTF-16 to UTF-8. Strict: false on an unpaired surrogate (out then holds the part before it).
bool utf16ToUtf8(std::u16string_view in, std::string& out);

// UTF-16 to UTF-8, an unpaired surrogate becoming U+FFFD.
std::string utf16ToUtf8Lossy(std::u16string_view in);

// UTF-8 to code points. False on malformed, overlong or surrogate sequences.
bool utf8ToUtf32(std::string_view in, std::u32string& out);

// True when the bytes are well-formed UTF-8 by the same rules.
bool isValidUtf8(std::string_view in);

enum class Case { Sensitive, IgnoreAscii };

// True when name matches pattern, in which "*" stands for any run of code points and "?" for
// exactly one; everything else matches itself (A-Z folded to a-z with Case::IgnoreAscii).
bool wildcardMatch(std::u32string_view pattern, std::u32string_view name, Case sense);

// The text as it may be shown on one line: control characters (C0, DEL and C1, as bytes 0x80 to
// 0x9f outside UTF-8 and as UTF-8 U+0080 to U+009F), the line and paragraph separators and the
// bidirectional marks as \xNN for each of their bytes, so a name with a NUL, a line break or a
// terminal's CSI neither cuts off nor breaks nor rewrites the message it is part of.
std::string oneLine(std::string_view text);

}  // namespace text

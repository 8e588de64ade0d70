// The .reg text in named steps: the encoding from the byte-order mark, lines, their decoding,
// continued hex values, and the header, section and value lines.

#include <algorithm>
#include <utility>

#include "RegParse.h"
#include "Registry.h"

namespace bundora {

namespace {

using namespace regfile;

// The predefined root a section names, by its long or short name in any case.
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
    const std::string l = asciiLower(name);
    for (const auto& [n, key] : kRoots) {
        if (l == n) {
            return key;
        }
    }
    return std::nullopt;
}

// --- The parser: bytes in pieces, lines, continuations, header, sections, values ---

class RegFileParser {
public:
    explicit RegFileParser(RegSink& sink) : data_(sink) {}
    void feed(std::string_view bytes) {
        // In pieces no larger than the longest line, so that a piece never holds more than that
        // beyond the line waiting in pending_.
        for (size_t at = 0; at < bytes.size(); at += kRegLineMaxBytes) {
            pending_.append(bytes.substr(at, kRegLineMaxBytes));
            splitLines(false);
        }
    }
    bool finish() {
        splitLines(true);
        if (continued_) {
            logicalLine(*continued_);
        }
        return header_ && *header_ != Header::Bad;
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
            if (skipping_) {
                skipping_ = false;
            } else {
                physicalLine(std::string_view(pending_).substr(start, nl - start));
            }
            start = nl + (wide ? 2 : 1);
            scanned_ = start;
        }
        if (atEnd && start < pending_.size() && !skipping_) {
            physicalLine(std::string_view(pending_).substr(start));
            start = pending_.size();
        }
        // A line that grows beyond the longest understood: what its start says is all that
        // counts, the rest is skipped up to its end.
        if (!atEnd && scanned_ - start > kRegLineMaxBytes) {
            if (!skipping_) {
                overLongLine(std::string_view(pending_).substr(start, 4096));
            }
            skipping_ = true;
            start = scanned_;
        }
        pending_.erase(0, start);
        scanned_ -= std::min(scanned_, start);
    }

    std::string decode(std::string_view raw) const {
        if (encoding_ == Encoding::Utf16) {
            return utf16LeToUtf8(raw);
        }
        if (header_ == Header::Regedit4 && encoding_ == Encoding::Bytes) {
            return ansiToUtf8(raw);
        }
        return std::string(raw);
    }

    // The start of a line too long to be understood: a section it opens is skipped, a value it
    // sets reads as absent, a header is no header.
    void overLongLine(std::string_view start) {
        const std::string decoded = decode(start);
        const std::string_view line = trimmed(decoded);
        if (continued_) {
            dropValue(*continued_);  // the long line continues it
        }
        if (!header_) {
            header_ = Header::Bad;
        } else if (!line.empty() && line[0] == '[') {
            key_.reset();
        } else {
            dropValue(line);
        }
        skippingContinuation_ = continued_.has_value();
        continued_.reset();
    }

    void dropValue(std::string_view line) {
        const auto v = splitValueLine(line);
        if (key_ && v) {
            data_.removeValue(*key_, v->name);
        }
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
        if (skippingContinuation_ && !startsEntry) {
            skippingContinuation_ = !line.empty() && line.back() == '\\';
            return;
        }
        skippingContinuation_ = false;
        if (continued_ && continued_->size() + line.size() > kRegLineMaxBytes) {
            // A value longer than any that can be read whole.
            dropValue(*continued_);
            continued_.reset();
            skippingContinuation_ = !line.empty() && line.back() == '\\';
            return;
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
    bool skipping_ = false;                 // inside a line too long to be understood
    bool skippingContinuation_ = false;     // inside the continuations of a value too long
    RegSink& data_;
};

}  // namespace

bool parseRegFile(const std::function<std::optional<std::string_view>()>& next, RegSink& out) {
    RegFileParser parser(out);
    for (;;) {
        const auto piece = next();
        if (!piece) {
            return false;
        }
        if (piece->empty()) {
            return parser.finish();
        }
        parser.feed(*piece);
    }
}

bool parseRegFile(const std::function<std::optional<std::string_view>()>& next, RegistryData& out) {
    RegistryData read;
    DataSink sink(read);
    if (!parseRegFile(next, sink)) {
        return false;
    }
    out = std::move(read);
    return true;
}

bool parseRegFile(std::string_view bytes, RegistryData& out) {
    bool given = false;
    return parseRegFile(
        [&]() -> std::optional<std::string_view> {
            return std::exchange(given, true) ? std::string_view() : bytes;
        },
        out);
}

}  // namespace bundora

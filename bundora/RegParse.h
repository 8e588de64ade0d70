#pragma once

// Internal to the registry reader: what the registry classes, the .reg line parser and the
// decoding of its values share.

#include <optional>
#include <string>
#include <string_view>

#include "Registry.h"

namespace bundora::regfile {

// s with A-Z folded to a-z: key paths, value names and the words of the format compare so.
inline std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// s without leading and trailing blanks and tabs.
inline std::string_view trimmed(std::string_view s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool startsWithNoCase(std::string_view s, std::string_view prefix);

// Every step of reading a file applied to RegistryData.
class DataSink : public RegSink {
public:
    explicit DataSink(RegistryData& data) : data_(data) {}
    void addKey(const std::string& path) override { data_.addKey(path); }
    void removeKey(const std::string& path) override { data_.removeKey(path); }
    void setValue(const std::string& path, const std::string& name,
                  RegistryData::Value value) override {
        data_.setValue(path, name, std::move(value));
    }
    void removeValue(const std::string& path, const std::string& name) override {
        data_.removeValue(path, name);
    }

private:
    RegistryData& data_;
};

// UTF-16LE bytes to UTF-8; an unpaired surrogate becomes U+FFFD, an odd last byte is dropped.
std::string utf16LeToUtf8(std::string_view bytes);

// 8-bit text of a REGEDIT4 file: Windows-1252, unless it is valid UTF-8 (written on Linux).
std::string ansiToUtf8(std::string_view s);

struct ValueLine {
    std::string name;       // empty for the default value "@"
    std::string_view data;  // what follows "=", trimmed
};

// "name"=data or @=data.
std::optional<ValueLine> splitValueLine(std::string_view line);

// The data of a value line: "text", dword:, hex: or hex(N):; nullopt for a kind not understood.
// unicode: text in hex(N) data is UTF-16 (a version 5 file), else ANSI (REGEDIT4).
std::optional<RegistryData::Value> valueData(std::string_view rest, bool unicode);

}  // namespace bundora::regfile

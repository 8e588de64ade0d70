// libFuzzer target: reads the input as a registry file, whole and again in pieces whose sizes
// come from the input. Checks on every input: both reads agree; every key read opens and gives
// back each of its values as stored, and no key stays open; a UTF-16 file gives names and text in
// valid UTF-8 (checked with the C library's decoder, not the reader's own).

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "Registry.h"

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

bool validUtf8(const std::string& s) {
    static const bool localeSet = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    if (!localeSet) {
        return true;
    }
    std::mbstate_t state{};
    for (size_t i = 0; i < s.size();) {
        wchar_t wc = 0;
        const size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            return false;
        }
        i += n == 0 ? 1 : n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    bundora::RegistryData whole;
    const bool readWhole = bundora::parseRegFile(bytes, whole);

    bundora::RegistryData pieces;
    size_t at = 0;
    const bool readPieces = bundora::parseRegFile(
        [&]() -> std::optional<std::string_view> {
            const size_t n = std::min<size_t>(1 + (at < size ? data[at] % 7 : 0), size - at);
            at += n;
            return bytes.substr(at - n, n);
        },
        pieces);
    if (readWhole != readPieces || !(whole == pieces)) {
        finding("reading in pieces differs from reading the whole");
    }

    const bool wide = size >= 2 && data[0] == 0xff && data[1] == 0xfe;
    bundora::DataRegistry registry(std::move(whole));
    for (const auto& [path, values] : registry.data().keys()) {
        if (wide && !validUtf8(path)) {
            finding("key path not valid UTF-8");
        }
        // The path starts with the root's number counted from HKEY_CLASSES_ROOT.
        const auto root = bundora::HKEY_CLASSES_ROOT + static_cast<bundora::RegKey>(path[0] - '0');
        const std::string sub = path.size() > 2 ? path.substr(2) : "";
        bundora::RegKey key = 0;
        if (registry.RegOpenKeyEx(root, sub, 0, bundora::KEY_READ, &key) !=
            bundora::ERROR_SUCCESS) {
            finding("a key read doesn't open");
        }
        for (const auto& [name, value] : values ? *values : bundora::RegistryData::Values{}) {
            const bool text = value.type == bundora::REG_SZ ||
                              value.type == bundora::REG_EXPAND_SZ ||
                              value.type == bundora::REG_MULTI_SZ;
            if (wide && (!validUtf8(name) || (text && !validUtf8(value.bytes)))) {
                finding("value name or text not valid UTF-8");
            }
            std::string back(value.bytes.size(), '\0');
            uint32_t type = 0;
            auto length = static_cast<uint32_t>(back.size());
            if (registry.RegQueryValueEx(key, name, &type,
                                         reinterpret_cast<unsigned char*>(back.data()),
                                         &length) != bundora::ERROR_SUCCESS ||
                type != value.type || length != value.bytes.size() || back != value.bytes) {
                finding("a value reads back other than stored");
            }
        }
        registry.RegCloseKey(key);
    }
    if (registry.openKeys() != 0) {
        finding("a key stayed open");
    }
    return 0;
}

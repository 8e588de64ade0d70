// The registry classes over the keys and values in memory, and reading the registry file.

#include "Registry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "Posix.h"
#include "RegParse.h"

namespace bundora {

using regfile::asciiLower;

namespace {

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
    return sub.empty() ? rootName(root) : rootName(root) + "\\" + asciiLower(sub);
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
    (*values)[asciiLower(name)] = std::move(value);
}

void RegistryData::removeValue(const std::string& path, const std::string& name) {
    auto key = keys_.find(path);
    if (key != keys_.end() && key->second) {
        key->second->erase(asciiLower(name));
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
    auto value = key->second->find(asciiLower(name));
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

namespace {

// Keeps the wanted value and whether its key exists, as the file's steps leave them. A key
// exists once it or a key below it was written, until it or a key above it is deleted.
class WantedSink : public RegSink {
public:
    explicit WantedSink(const WantedValue& wanted)
        : key_(RegistryData::keyPath(wanted.root, wanted.subKey)), name_(asciiLower(wanted.name)) {}

    void addKey(const std::string& path) override {
        exists_ = exists_ || path == key_ || within(key_, path);
    }
    void removeKey(const std::string& path) override {
        if (path == key_ || within(path, key_)) {
            exists_ = false;
            value_.reset();
        }
    }
    void setValue(const std::string& path, const std::string& name,
                  RegistryData::Value value) override {
        if (path == key_ && asciiLower(name) == name_) {
            value_ = std::move(value);
        }
    }
    void removeValue(const std::string& path, const std::string& name) override {
        if (path == key_ && asciiLower(name) == name_) {
            value_.reset();
        }
    }

    void storeInto(RegistryData& data) const {
        if (exists_) {
            data.addKey(key_);
            if (value_) {
                data.setValue(key_, name_, *value_);
            }
        }
    }

private:
    // Whether inner lies below outer.
    static bool within(const std::string& outer, const std::string& inner) {
        return inner.size() > outer.size() && inner[outer.size()] == '\\' &&
               inner.compare(0, outer.size(), outer) == 0;
    }

    std::string key_;
    std::string name_;
    bool exists_ = false;
    std::optional<RegistryData::Value> value_;
};

}  // namespace

bool parseRegFile(const std::function<std::optional<std::string_view>()>& next,
                  const WantedValue& only, RegistryData& out) {
    WantedSink sink(only);
    if (!parseRegFile(next, sink)) {
        return false;
    }
    sink.storeInto(out);
    return true;
}

bool readRegFile(const std::string& path, RegistryData& out) {
    RegistryData read;
    regfile::DataSink sink(read);
    if (!readRegFile(path, sink)) {
        return false;
    }
    out = std::move(read);
    return true;
}

bool readRegFile(const std::string& path, RegSink& out) {
    // Opened without blocking and read only when a regular file: a FIFO without a writer or a
    // device would otherwise hold the launcher up.
    struct stat st {};
    const posix::UniqueFd fd = posix::openRegularFile(AT_FDCWD, path.c_str(), O_NOCTTY, &st);
    if (!fd.valid() || st.st_size > kRegFileMaxBytes) {
        return false;
    }
    char buf[65536];
    int64_t total = 0;
    return parseRegFile(
        [&]() -> std::optional<std::string_view> {
            const ssize_t got = posix::readFull(fd.get(), buf, sizeof buf);
            if (got < 0 || (total += got) > kRegFileMaxBytes) {
                return std::nullopt;  // a read error, or a file that grew past the cap
            }
            return std::string_view(buf, static_cast<size_t>(got));
        },
        out);
}

RegFileRegistry::RegFileRegistry(const std::string& path) {
    RegistryData read;
    readable_ = readRegFile(path, read);
    if (readable_) {
        data() = std::move(read);
    }
}

RegFileRegistry::RegFileRegistry(const std::string& path, const WantedValue& only) {
    WantedSink sink(only);
    readable_ = readRegFile(path, sink);
    if (readable_) {
        sink.storeInto(data());
    }
}

Registry& fileRegistry() {
    static std::string path;
    static std::unique_ptr<RegFileRegistry> registry;
    std::string wanted = registryFilePath();
    if (!registry || wanted != path) {
        registry = std::make_unique<RegFileRegistry>(
            wanted, WantedValue{HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex", "INSTALLDIR"});
        path = std::move(wanted);
    }
    return *registry;
}

std::string registryFilePath() {
    const char* env = std::getenv("BUNDORA_REGISTRY");
    return env && *env ? env : "/etc/pocket-lorvex/registry.reg";
}

}  // namespace bundora

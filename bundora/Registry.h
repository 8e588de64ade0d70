#pragma once

// The registry as the launcher sees it: open a key, query a value, close the key, with the
// results and error codes of the Windows registry calls. The real registry is a file in the
// .reg export format, read once into memory.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace bundora {

using RegKey = uint32_t;

inline constexpr RegKey HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr RegKey HKEY_CURRENT_USER = 0x80000001u;
inline constexpr RegKey HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr RegKey HKEY_USERS = 0x80000003u;
inline constexpr RegKey HKEY_PERFORMANCE_DATA = 0x80000004u;
inline constexpr RegKey HKEY_CURRENT_CONFIG = 0x80000005u;
inline constexpr RegKey HKEY_DYN_DATA = 0x80000006u;

inline constexpr uint32_t KEY_READ = 0x20019u;

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;

inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_INVALID_HANDLE = 6;
inline constexpr long ERROR_MORE_DATA = 234;

class Registry {
public:
    virtual ~Registry() = default;
    virtual long RegOpenKeyEx(RegKey root, const std::string& subKey, uint32_t options,
                              uint32_t access, RegKey* result) = 0;
    // data may be null (size query). On ERROR_MORE_DATA *size holds the size needed.
    virtual long RegQueryValueEx(RegKey key, const std::string& valueName, uint32_t* type,
                                 unsigned char* data, uint32_t* size) = 0;
    virtual long RegCloseKey(RegKey key) = 0;
};

// Keys and values; key paths are "root\sub\key" with names in lower case. A key exists when it
// or one of its subkeys was written.
class RegistryData {
public:
    struct Value {
        uint32_t type = REG_SZ;
        std::string bytes;
        bool operator==(const Value&) const = default;
    };
    using Values = std::map<std::string, Value>;  // by lower-case name

    static std::string keyPath(RegKey root, const std::string& subKey);
    void setString(RegKey root, const std::string& subKey, const std::string& name,
                   const std::string& text);  // stored with its NUL
    void setDword(RegKey root, const std::string& subKey, const std::string& name, int32_t value);
    void set(RegKey root, const std::string& subKey, const std::string& name, uint32_t type,
             const std::string& bytes);

    // By key path as keyPath() gives it.
    void addKey(const std::string& path);
    void removeKey(const std::string& path);  // with all its subkeys
    void setValue(const std::string& path, const std::string& name, Value value);
    void removeValue(const std::string& path, const std::string& name);
    bool hasKey(const std::string& path) const;
    const Value* value(const std::string& path, const std::string& name) const;
    // Every key with its values (null for none), sorted by path.
    const std::map<std::string, std::unique_ptr<Values>>& keys() const { return keys_; }

    bool operator==(const RegistryData& other) const;

private:
    // Sorted, so a key's subkeys are one range. A key without values costs no values map.
    std::map<std::string, std::unique_ptr<Values>> keys_;
};

// What reading a .reg file does to the registry, one step at a time (key paths as
// RegistryData::keyPath gives them).
class RegSink {
public:
    virtual ~RegSink() = default;
    virtual void addKey(const std::string& path) = 0;
    virtual void removeKey(const std::string& path) = 0;  // with all its subkeys
    virtual void setValue(const std::string& path, const std::string& name,
                          RegistryData::Value value) = 0;
    virtual void removeValue(const std::string& path, const std::string& name) = 0;
};

// The one value a lookup wants: keeps whether its key exists and the value's last data, and
// nothing else of the file.
struct WantedValue {
    RegKey root = HKEY_LOCAL_MACHINE;
    std::string subKey;
    std::string name;
};

// Open keys over RegistryData with the results of the Windows registry calls.
class DataRegistry : public Registry {
public:
    DataRegistry() = default;
    explicit DataRegistry(RegistryData data) : data_(std::move(data)) {}

    long RegOpenKeyEx(RegKey root, const std::string& subKey, uint32_t options, uint32_t access,
                      RegKey* result) override;
    long RegQueryValueEx(RegKey key, const std::string& valueName, uint32_t* type,
                         unsigned char* data, uint32_t* size) override;
    long RegCloseKey(RegKey key) override;

    RegistryData& data() { return data_; }
    size_t openKeys() const { return open_.size(); }

private:
    RegistryData data_;
    std::map<RegKey, std::string> open_;
    RegKey next_ = 0x1000;
};

// Files larger than this read as unreadable (a registry file for this launcher holds a few keys;
// the cap bounds the time a read takes). Reading everything takes about 1.2x to 2.5x the file's
// size in memory for exports as regedit writes them, up to about 5.5x for a file of nothing but
// bare key headers; a lookup of one value (WantedValue) keeps only that value and a line or value
// of at most kRegLineMaxBytes at a time, a few MiB whatever the file holds.
inline constexpr int64_t kRegFileMaxBytes = int64_t{64} << 20;
// A line (with its continuations) longer than this is not understood: skipped, and a value it
// would set reads as absent (it could never be read whole).
inline constexpr size_t kRegLineMaxBytes = size_t{1} << 20;

// The .reg file at a path, read once when constructed. Only a regular file of at most
// kRegFileMaxBytes is read (a FIFO or device is never opened for reading in a way that blocks);
// a missing or unreadable file, or one without a registry header, reads as a registry without
// keys.
class RegFileRegistry : public DataRegistry {
public:
    explicit RegFileRegistry(const std::string& path);
    // Only the wanted value, its key and the key's existence are kept; every other key and value
    // reads as missing.
    RegFileRegistry(const std::string& path, const WantedValue& only);
    bool readable() const { return readable_; }

private:
    bool readable_ = false;
};

// The launcher's value (INSTALLDIR of HKEY_LOCAL_MACHINE\SOFTWARE\Pocket Lorvex) from the registry
// file of registryFilePath(), read at the first call (and again only when that path changes): one
// read per launcher start, keeping nothing else of the file.
Registry& fileRegistry();

// Reads a .reg file the way a registry editor imports it: the header line (REGEDIT4, or "Windows
// Registry Editor Version 5.00") must come first; a section, line or value that isn't understood
// is skipped and the rest counts. UTF-16LE with its byte-order mark, else 8-bit: REGEDIT4 lines
// are Windows-1252 (a line that is valid UTF-8 is taken as UTF-8), version 5 lines UTF-8. Text
// comes out as UTF-8. Returns false, leaving out alone, for a text without a registry header.
bool parseRegFile(std::string_view bytes, RegistryData& out);
// The same over a text handed out piece by piece: next() gives the following piece, an empty one
// at the end, nullopt for a read error (the text then reads as unreadable).
bool parseRegFile(const std::function<std::optional<std::string_view>()>& next, RegistryData& out);
// The same, handing every step to the sink as it is read (a text without a registry header
// hands on nothing).
bool parseRegFile(const std::function<std::optional<std::string_view>()>& next, RegSink& out);
// The wanted value alone: out receives its key (when it exists) and the value (when set).
bool parseRegFile(const std::function<std::optional<std::string_view>()>& next,
                  const WantedValue& only, RegistryData& out);
// The regular file at path; false when it can't be read at all.
bool readRegFile(const std::string& path, RegistryData& out);
bool readRegFile(const std::string& path, RegSink& out);

// BUNDORA_REGISTRY, or /etc/pocket-lorvex/registry.reg.
std::string registryFilePath();

}  // namespace bundora

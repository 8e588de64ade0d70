#pragma once

// The registry as the launcher sees it: open a key, query a value, close the key, with the
// results and error codes of the Windows registry calls. The real registry is a file in the
// .reg export format; MemoryRegistry is the scriptable stand-in that tests use.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

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

// Keys and values; key paths are "root\sub\key" with names in lower case.
struct RegistryData {
    struct Value {
        uint32_t type = REG_SZ;
        std::string bytes;
    };
    std::set<std::string> keys;
    std::map<std::string, std::map<std::string, Value>> values;

    static std::string keyPath(RegKey root, const std::string& subKey);
    void setString(RegKey root, const std::string& subKey, const std::string& name,
                   const std::string& text);  // stored with its NUL
    void setDword(RegKey root, const std::string& subKey, const std::string& name, int32_t value);
    void set(RegKey root, const std::string& subKey, const std::string& name, uint32_t type,
             const std::string& bytes);
};

// An in-memory registry that counts its calls and can be told to fail.
class MemoryRegistry : public Registry {
public:
    MemoryRegistry() = default;
    explicit MemoryRegistry(RegistryData data) : data_(std::move(data)) {}

    long RegOpenKeyEx(RegKey root, const std::string& subKey, uint32_t options, uint32_t access,
                      RegKey* result) override;
    long RegQueryValueEx(RegKey key, const std::string& valueName, uint32_t* type,
                         unsigned char* data, uint32_t* size) override;
    long RegCloseKey(RegKey key) override;

    RegistryData& data() { return data_; }

    // Failure injection and observation.
    std::optional<long> failOpen;
    std::optional<long> failQueryNumber;  // fails the n-th query (1-based) with failQueryCode
    long failQueryCode = ERROR_FILE_NOT_FOUND;
    int opens = 0;
    int queries = 0;
    int closes = 0;
    uint32_t lastAccess = 0;
    size_t openKeys() const { return open_.size(); }

protected:
    RegistryData data_;

private:
    std::map<RegKey, std::string> open_;
    RegKey next_ = 0x1000;
};

// The .reg file at a path; read afresh at every open. A missing, unreadable or malformed file
// reads as a registry without keys.
class RegFileRegistry : public MemoryRegistry {
public:
    explicit RegFileRegistry(std::string path) : path_(std::move(path)) {}
    long RegOpenKeyEx(RegKey root, const std::string& subKey, uint32_t options, uint32_t access,
                      RegKey* result) override;

private:
    std::string path_;
};

// Parses the text of a .reg file (REGEDIT4 or "Windows Registry Editor Version 5.00", UTF-8 or
// UTF-16LE with its byte-order mark). Returns false and a reason for a malformed file.
bool parseRegFile(const std::string& text, RegistryData& out, std::string* error = nullptr);

// BUNDORA_REGISTRY, or /etc/pocket-lorvex/registry.reg.
std::string registryFilePath();

}  // namespace bundora

#pragma once

// An in-memory registry for tests: counts its calls and can be told to fail.

#include <optional>

#include "Registry.h"

namespace bundora::test {

class MemoryRegistry : public DataRegistry {
public:
    long RegOpenKeyEx(RegKey root, const std::string& subKey, uint32_t options, uint32_t access,
                      RegKey* result) override {
        ++opens;
        lastAccess = access;
        return failOpen ? *failOpen
                        : DataRegistry::RegOpenKeyEx(root, subKey, options, access, result);
    }
    long RegQueryValueEx(RegKey key, const std::string& valueName, uint32_t* type,
                         unsigned char* data, uint32_t* size) override {
        ++queries;
        return failQueryNumber && *failQueryNumber == queries
                   ? failQueryCode
                   : DataRegistry::RegQueryValueEx(key, valueName, type, data, size);
    }
    long RegCloseKey(RegKey key) override {
        ++closes;
        return DataRegistry::RegCloseKey(key);
    }

    std::optional<long> failOpen;
    std::optional<long> failQueryNumber;  // fails the n-th query (1-based) with failQueryCode
    long failQueryCode = ERROR_FILE_NOT_FOUND;
    int opens = 0;
    int queries = 0;
    int closes = 0;
    uint32_t lastAccess = 0;
};

}  // namespace bundora::test

#pragma once

// An in-memory registry for tests: counts its calls and can be told to fail.

#include <optional>

#include "Registry.h"

namespace test {

class MemoryRegistry : public bundora::DataRegistry {
public:
    long RegOpenKeyEx(bundora::RegKey root, const std::string& subKey, uint32_t options,
                      uint32_t access, bundora::RegKey* result) override {
        ++opens;
        lastAccess = access;
        return failOpen
                   ? *failOpen
                   : bundora::DataRegistry::RegOpenKeyEx(root, subKey, options, access, result);
    }
    long RegQueryValueEx(bundora::RegKey key, const std::string& valueName, uint32_t* type,
                         unsigned char* data, uint32_t* size) override {
        ++queries;
        return failQueryNumber && *failQueryNumber == queries
                   ? failQueryCode
                   : bundora::DataRegistry::RegQueryValueEx(key, valueName, type, data, size);
    }
    long RegCloseKey(bundora::RegKey key) override {
        ++closes;
        return bundora::DataRegistry::RegCloseKey(key);
    }

    std::optional<long> failOpen;
    std::optional<long> failQueryNumber;  // fails the n-th query (1-based) with failQueryCode
    long failQueryCode = bundora::ERROR_FILE_NOT_FOUND;
    int opens = 0;
    int queries = 0;
    int closes = 0;
    uint32_t lastAccess = 0;
};

}  // namespace test

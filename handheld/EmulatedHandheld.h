#pragma once

// The emulated handheld: a folder tree on the desktop behind the device table. Its storages and
// settings are described in Storage.h.

#include <memory>
#include <string>

#include "DeviceErrors.h"
#include "Storage.h"
#include "rapi.h"

namespace handheld {

// The device table of the built-in emulated handheld.
const RapiTable& BuiltInTable();

// One emulated handheld. Its methods are the device functions of rapi.h and behave like them.
// Thread-safe; no method throws.
class EmulatedHandheld {
public:
    // An empty root means DefaultRoot(), read again at each CeRapiInitEx. A connect to another
    // handheld than before removes what writers that are gone left half-way, unless
    // sweepAtConnect is false (whoever serves the handheld does it then).
    explicit EmulatedHandheld(std::string root = {}, bool sweepAtConnect = true);
    ~EmulatedHandheld();
    EmulatedHandheld(const EmulatedHandheld&) = delete;
    EmulatedHandheld& operator=(const EmulatedHandheld&) = delete;

#define HANDHELD_METHOD(name, result, parameters, ...) result name parameters;
    RAPI_DEVICE_FUNCTIONS(HANDHELD_METHOD)
#undef HANDHELD_METHOD

    // Calls beyond the contract that every handheld answers (handheld-sim serve offers them).
    RAPI_BOOL CeRemoveDirectory(const char16_t* path);
    // The attributes, or 0xFFFFFFFF with the last error.
    RAPI_DWORD CeGetFileAttributes(const char16_t* path);
    RAPI_BOOL CeSetFileAttributes(const char16_t* path, RAPI_DWORD attributes);
    // The size's low part (high part in *high), or 0xFFFFFFFF with a last error other than 0.
    RAPI_DWORD CeGetFileSize(RAPI_HANDLE h, RAPI_DWORD* high);
    // Main memory's size and free bytes (each at most 0x7FFFFFFF).
    RAPI_BOOL CeGetStoreInformation(RAPI_DWORD* storeSize, RAPI_DWORD* freeSize);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process-wide instance behind BuiltInTable() (and the exported functions of the shared
// library).
EmulatedHandheld& Instance();

}  // namespace handheld

// The device functions exported by name from the loadable device library, for dlopen/dlsym.

#include <type_traits>

#include "DeviceFunctions.h"
#include "EmulatedHandheld.h"

#define HANDHELD_EXPORT(name, result, parameters, arguments)                   \
    extern "C" __attribute__((visibility("default"))) result name parameters { \
        return handheld::Instance().name arguments;                            \
    }                                                                          \
    static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name " matches the contract");
HANDHELD_DEVICE_FUNCTIONS(HANDHELD_EXPORT)

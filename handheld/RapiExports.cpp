// The device functions of rapi.h exported by name from the loadable device library, for
// dlopen/dlsym.

#include "EmulatedHandheld.h"

#define HANDHELD_EXPORT(name, result, parameters, arguments, ...)              \
    extern "C" __attribute__((visibility("default"))) result name parameters { \
        return handheld::Instance().name arguments;                            \
    }
RAPI_DEVICE_FUNCTIONS(HANDHELD_EXPORT)
#undef HANDHELD_EXPORT

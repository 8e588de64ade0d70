// The built-in device table: the device functions of rapi.h, forwarding to Instance().

#include "EmulatedHandheld.h"

namespace handheld {

namespace {

#define HANDHELD_FORWARD(name, result, parameters, arguments, ...) \
    result name parameters {                                       \
        return Instance().name arguments;                          \
    }
RAPI_DEVICE_FUNCTIONS(HANDHELD_FORWARD)
#undef HANDHELD_FORWARD

}  // namespace

const RapiTable& BuiltInTable() {
    static const RapiTable table = [] {
        RapiTable t;
#define HANDHELD_ENTRY(name, ...) t.name = name;
        RAPI_DEVICE_FUNCTIONS(HANDHELD_ENTRY)
#undef HANDHELD_ENTRY
        return t;
    }();
    return table;
}

}  // namespace handheld

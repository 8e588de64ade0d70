// The built-in device table: the listed device functions, forwarding to Instance().

#include "DeviceFunctions.h"
#include "EmulatedHandheld.h"

namespace handheld {

namespace {

#define HANDHELD_FORWARD(name, result, parameters, arguments) \
    result name parameters {                                  \
        return Instance().name arguments;                     \
    }
HANDHELD_DEVICE_FUNCTIONS(HANDHELD_FORWARD)
#undef HANDHELD_FORWARD

}  // namespace

static_assert(sizeof(RapiTable) == HANDHELD_DEVICE_FUNCTION_COUNT * sizeof(void*),
              "every entry of the device table is listed in DeviceFunctions.h");

const RapiTable& BuiltInTable() {
    static const RapiTable table = [] {
        RapiTable t;
#define HANDHELD_ENTRY(name, ...) t.name = name;
        HANDHELD_DEVICE_FUNCTIONS(HANDHELD_ENTRY)
#undef HANDHELD_ENTRY
        return t;
    }();
    return table;
}

}  // namespace handheld

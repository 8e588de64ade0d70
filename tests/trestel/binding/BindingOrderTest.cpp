// Which handheld the installer binds when SynCE's library (the fake) can be loaded: the library
// named by TRESTEL_RAPI_LIBRARY, else the emulated handheld when TRESTEL_DEVICE is set, else SynCE
// through the bridge. realDeviceApi() binds once per process, so each case runs in a child.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <utility>
#include <vector>

#include "DeviceApi.h"
#include "TestSupport.h"

namespace {

enum Bound { kSynce = 1, kEmulated = 2, kNamedLibrary = 3 };

bool loaded(const char* library) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

// Connects through realDeviceApi() and tells what answered; 10 and up: the step that failed.
int ConnectAndTell() {
    RAPIINIT init{12, 0, 0};
    if (realDeviceApi().CeRapiInitEx(&init) < 0) {
        return 10;
    }
    if (realWaiter().WaitForSingleObject(init.heRapiInit, 3000) != WAIT_OBJECT_0) {
        return 11;
    }
    if (init.hrRapiInit < 0) {
        return 12;
    }
    realDeviceApi().CeRapiUninit();
    return loaded("libsynce.so.0")         ? kSynce
           : loaded(HANDHELD_RAPI_LIBRARY) ? kNamedLibrary
                                           : kEmulated;
}

TEST(BindingOrder, NamedLibraryThenEmulatorWhenAskedForThenSynce) {
    test::TempDir dir;
    const std::string root = dir / "data/trestel/handheld";
    for (const char* folder : {"data", "data/trestel", "data/trestel/handheld"}) {
        test::makeDir(dir / folder);
    }
    using Env = std::vector<std::pair<const char*, std::string>>;
    const struct {
        const char* what;
        Env env;
        int bound;
    } cases[] = {
        {"nothing asked for", {}, kSynce},
        {"TRESTEL_DEVICE", {{"TRESTEL_DEVICE", root}}, kEmulated},
        {"TRESTEL_DEVICE empty: the default root", {{"TRESTEL_DEVICE", ""}}, kEmulated},
        {"TRESTEL_RAPI_LIBRARY",
         {{"TRESTEL_RAPI_LIBRARY", HANDHELD_RAPI_LIBRARY}, {"TRESTEL_DEVICE", root}},
         kNamedLibrary},
        {"no bridge where TRESTEL_SYNCE_BRIDGE points",
         {{"TRESTEL_SYNCE_BRIDGE", dir / "none.so"}},
         kEmulated},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int bound = test::inChild([&] {
            for (const char* name :
                 {"TRESTEL_RAPI_LIBRARY", "TRESTEL_DEVICE", "TRESTEL_SYNCE_BRIDGE"}) {
                unsetenv(name);
            }
            setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
            setenv("FAKE_SYNCE_DEVICE", root.c_str(), 1);
            for (const auto& [name, value] : c.env) {
                setenv(name, value.c_str(), 1);
            }
            return ConnectAndTell();
        });
        EXPECT_EQ(bound, c.bound);
    }
}

}  // namespace

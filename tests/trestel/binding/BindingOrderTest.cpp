// Which handheld the installer binds when SynCE's library (the fake) can be loaded: the library
// named by TRESTEL_RAPI_LIBRARY, else the emulated handheld when TRESTEL_DEVICE is set, else SynCE
// through the bridge. realDeviceApi() binds once per process, so each case runs in a child.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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
    for (const char* folder : {"data", "data/trestel", "data/trestel/handheld", "mine", "open"}) {
        test::makeDir(dir / folder);
    }
    // Copies of the bridge: one in a folder only its user may write, one where anybody may.
    for (const char* folder : {"mine", "open"}) {
        std::filesystem::copy_file(BRIDGE_LIBRARY,
                                   dir / (std::string(folder) + "/libtrestel-synce.so"));
    }
    ASSERT_EQ(chmod((dir / "mine").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir / "open").c_str(), 0777), 0);
    // Links to the user's own bridge: the user's, and (with root to make one) another user's.
    std::filesystem::create_symlink(dir / "mine/libtrestel-synce.so", dir / "my-link.so");
    std::filesystem::create_symlink(dir / "mine/libtrestel-synce.so", dir / "their-link.so");
    const bool theirs =
        geteuid() == 0 && lchown((dir / "their-link.so").c_str(), 65534, 65534) == 0;
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
        {"TRESTEL_SYNCE_BRIDGE in a folder of the user's own",
         {{"TRESTEL_SYNCE_BRIDGE", dir / "mine/libtrestel-synce.so"}},
         kSynce},
        {"TRESTEL_SYNCE_BRIDGE in a folder others may write",
         {{"TRESTEL_SYNCE_BRIDGE", dir / "open/libtrestel-synce.so"}},
         kEmulated},
        {"TRESTEL_SYNCE_BRIDGE through the user's own link",
         {{"TRESTEL_SYNCE_BRIDGE", dir / "my-link.so"}},
         kSynce},
        {"TRESTEL_SYNCE_BRIDGE through another user's link",
         {{"TRESTEL_SYNCE_BRIDGE", dir / "their-link.so"}},
         theirs ? kEmulated : kSynce},
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

TEST(BindingOrder, TheBridgeIsLookedForOnlyWhereOthersCannotPlantIt) {
    using Paths = std::vector<std::string>;
    const std::filesystem::path built = std::filesystem::path(BRIDGE_LIBRARY).parent_path();
    const Paths installed = SynceBridgeCandidates(nullptr, "/nowhere/bin");
    ASSERT_EQ(installed.size(), 2u);
    for (const std::string& path : installed) {
        EXPECT_TRUE(path.ends_with("/pocket-lorvex/devices/libtrestel-synce.so")) << path;
    }
    // A copy of the installer that a launcher extracted into a shared folder never looks beside
    // itself: /tmp/x/../lib is anybody's to create.
    EXPECT_EQ(SynceBridgeCandidates(nullptr, "/tmp/x"), installed);
    EXPECT_EQ(SynceBridgeCandidates("", "/tmp/x"), installed);
    // The build's own program folder (where these tests run) finds the build's bridge first.
    Paths fromBuild = SynceBridgeCandidates(
        nullptr, std::filesystem::read_symlink("/proc/self/exe").parent_path());
    ASSERT_EQ(fromBuild.size(), 3u);
    EXPECT_EQ(fromBuild[0], built / "libtrestel-synce.so");
    EXPECT_EQ(SynceBridgeCandidates("/opt/b.so", "/tmp/x"), Paths{"/opt/b.so"});
}

}  // namespace

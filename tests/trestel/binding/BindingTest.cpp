// The installer's binding of the device table: the loadable library, libraries that can't be
// bound, and the default emulated handheld when SynCE isn't there (the SynCE bridge's own tests
// cover the order with SynCE present). realDeviceApi() binds once per process, so each case runs
// in a child.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DeviceApi.h"
#include "EmulatedHandheld.h"
#include "TestSupport.h"

namespace {

// Connects through realDeviceApi() and copies a small file; 0 on success, else the step.
int ConnectAndCopy() {
    DeviceApi& api = realDeviceApi();
    RAPIINIT init{12, 0, 0};
    if (api.CeRapiInitEx(&init) != 0) {
        return 1;
    }
    if (realWaiter().WaitForSingleObject(init.heRapiInit, 2000) != WAIT_OBJECT_0 ||
        init.hrRapiInit < 0) {
        return 2;
    }
    if (api.CeCreateDirectory(u"Program Files\\Pocket Lorvex\\", nullptr) != 1) {
        return 3;
    }
    const RAPI_HANDLE h = api.CeCreateFile(u"Program Files\\Pocket Lorvex\\m.bbl", GENERIC_WRITE, 0,
                                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (h == INVALID_HANDLE_VALUE) {
        return 4;
    }
    RAPI_DWORD written = 0;
    if (api.CeWriteFile(h, "module", 6, &written, nullptr) != 1 || written != 6) {
        return 5;
    }
    if (api.CeCloseHandle(h) == 0) {
        return 6;
    }
    CE_FIND_DATA data{};
    const RAPI_HANDLE search = api.CeFindFirstFile(u"*", &data);
    if (search == INVALID_HANDLE_VALUE || (data.dwFileAttributes & 0x110) != 0x110) {
        return 7;  // the card "Card" sorts first
    }
    api.CeFindClose(search);
    api.CeRapiUninit();
    return 0;
}

class BindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::makeDir(root + "/Program Files");
        test::makeDir(root + "/Card");
        test::writeFile(root + "/Card/.storage-card", "");
    }
    test::TempDir dir;
    std::string root = dir / "root";
};

TEST_F(BindingTest, LoadableLibraryDrivesTheHandheld) {
    const int step = test::inChild([&] {
        setenv("TRESTEL_RAPI_LIBRARY", HANDHELD_RAPI_LIBRARY, 1);
        setenv("TRESTEL_DEVICE", root.c_str(), 1);
        const int result = ConnectAndCopy();
        if (result != 0) {
            return result;
        }
        // The library holds a handheld of its own: the built-in one saw no connect.
        CE_FIND_DATA data{};
        return handheld::Instance().CeFindFirstFile(u"*", &data) == INVALID_HANDLE_VALUE ? 0 : 10;
    });
    EXPECT_EQ(step, 0);
    EXPECT_EQ(test::readFile(root + "/Program Files/Pocket Lorvex/m.bbl"), "module");
}

TEST_F(BindingTest, WithoutSynceTheDefaultEmulatedHandheldIsUsed) {
    if (void* synce = dlopen("libsynce.so.0", RTLD_LAZY)) {
        dlclose(synce);
        GTEST_SKIP() << "SynCE is installed here";
    }
    const std::string defaultRoot = dir / "data/trestel/handheld";
    test::makeDir(dir / "data");
    test::makeDir(dir / "data/trestel");
    ASSERT_EQ(rename(root.c_str(), defaultRoot.c_str()), 0);
    const int step = test::inChild([&] {
        unsetenv("TRESTEL_RAPI_LIBRARY");
        unsetenv("TRESTEL_DEVICE");
        setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        return ConnectAndCopy();
    });
    EXPECT_EQ(step, 0);
    EXPECT_EQ(test::readFile(defaultRoot + "/Program Files/Pocket Lorvex/m.bbl"), "module");
}

TEST_F(BindingTest, LibraryThatCannotBeBoundMakesEveryCallUnavailable) {
    // A missing file, and a library without the device functions.
    for (const std::string& library : {dir / "no-such-library.so", std::string("libc.so.6")}) {
        SCOPED_TRACE(library);
        const int step = test::inChild([&] {
            setenv("TRESTEL_RAPI_LIBRARY", library.c_str(), 1);
            setenv("TRESTEL_DEVICE", root.c_str(), 1);
            RAPIINIT init{12, 0, 0};
            int thrown = 0;
            try {
                realDeviceApi().CeRapiInitEx(&init);
            } catch (const DeviceUnavailable&) {
                ++thrown;
            }
            try {
                realDeviceApi().CeRapiUninit();
            } catch (const DeviceUnavailable&) {
                ++thrown;
            }
            return thrown == 2 ? 0 : 1;
        });
        EXPECT_EQ(step, 0);
    }
}

}  // namespace

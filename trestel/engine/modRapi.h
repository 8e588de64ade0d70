#pragma once

// The installer's device module: opening and closing the link, finding the storage cards and the
// transfer of one module file. One Engine holds its device table, its connect wait and the face
// it reports to (the window, the terminal); it shows nothing itself. Booleans are 16-bit: -1
// true, 0 false.

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>

#include "DesktopPath.h"
#include "DeviceApi.h"
#include "Reporter.h"

namespace modRapi {

using DesktopPath::kFalse;
using DesktopPath::kTrue;
inline constexpr uint32_t kConnectWaitMs = 10000;

class Engine {
public:
    // A null device or waiter means the real one; a null reporter hears nothing. connectWaitMs is
    // the connect wait; tests may pass a shorter one.
    explicit Engine(Reporter* reporter, DeviceApi* device = nullptr, Waiter* waiter = nullptr,
                    uint32_t connectWaitMs = kConnectWaitMs);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // A connect that succeeds first deletes what failed copies left on the handheld.
    int16_t RapiConnect();
    void RapiDisconnect();
    // Reports each storage card's module folder. kFalse when the link failed during the search.
    int16_t FindModuleFolders();
    // Files that failed copies left on the handheld because their delete couldn't reach it; each
    // is deleted at the next successful connect.
    QStringList LeftOnDevice() const { return leftOnDevice_; }

    int32_t CreateDeviceFolder(const QString& sPath);
    int32_t CreateDeviceFile(const QString& sPath, int16_t bOverwrite, uint32_t nAttributes);
    int32_t DeleteDeviceFile(const QString& sPath);
    // Copies the desktop file sSource to the device path sTarget and reports the outcome.
    void CopyFileToDevice(const QString& sSource, const QString& sTarget);
    // Whether the last CopyFileToDevice completed.
    bool LastCopyCompleted() const { return bLastCompleted_; }

    // -1 while CopyFileToDevice runs, 0 otherwise. A face refuses to close while it is -1.
    std::atomic<int16_t> bCopying{kFalse};

private:
    struct Copy;

    DeviceApi& device() const;
    Waiter& waiter() const;
    // Runs fn on the reporter, if any; a call that fails is skipped.
    template <typename Fn>
    void report(Fn&& fn);
    RAPI_DWORD lastError();
    // Deletes a device file; true when it is gone, also when it was not there.
    bool removeFromDevice(const QString& sPath);
    bool transfer(Copy& copy);
    bool writeAll(Copy& copy, RAPI_HANDLE hFile);
    bool closeDeviceFile(RAPI_HANDLE hFile);
    void finish(Copy& copy, bool bOk);

    Reporter* reporter_;
    DeviceApi* device_;
    Waiter* waiter_;
    uint32_t connectWaitMs_;
    QStringList leftOnDevice_;
    bool bLastCompleted_ = false;
};

}  // namespace modRapi

#pragma once

// The installer's device module: opening and closing the link, finding the storage cards and the
// transfer of one module file. One Engine holds its device table, its connect wait and the face
// it reports to (the window, the terminal); it shows nothing itself. Booleans are 16-bit: -1
// true, 0 false.

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <optional>

#include "DesktopPath.h"
#include "DeviceApi.h"
#include "Reporter.h"

namespace modRapi {

using DesktopPath::kFalse;
using DesktopPath::kTrue;
inline constexpr uint32_t kConnectWaitMs = 10000;
// Main memory's module folder; each card's is its name followed by kStorageFolder.
inline const QString kMainMemoryFolder = QStringLiteral("Program Files\\Pocket Lorvex");
inline const QString kStorageFolder = QStringLiteral("\\Pocket Lorvex");
// What a copy is written under until it has been read back: hidden, and this installer's own.
inline const QString kTemporaryPrefix = QStringLiteral(".~trestel-");
// What a module being replaced is called between its new one's checks and its move into place:
// its own name with this ending. A later connect puts it back when its name is still free, so
// that an install killed between the two moves never loses the old module.
inline const QString kSetAsideSuffix = QStringLiteral(".~trestel-old");

// Why the last RapiConnect failed.
enum class ConnectFault { None, NoHandheld, NoAnswer, UnknownHandheld };

class Engine {
public:
    // A null device or waiter means the real one; a null reporter hears nothing. connectWaitMs is
    // the connect wait; tests may pass a shorter one.
    explicit Engine(Reporter* reporter, DeviceApi* device = nullptr, Waiter* waiter = nullptr,
                    uint32_t connectWaitMs = kConnectWaitMs);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // A connect that succeeds first deletes what failed copies left on the handheld. One that
    // fails where the device lists no handheld at all tells so (LastConnectFault: NoHandheld).
    int16_t RapiConnect();
    ConnectFault LastConnectFault() const { return connectFault_; }
    // The handheld the connects open, by name (empty: the device's default). A name the device
    // doesn't know fails the connect (UnknownHandheld).
    void SelectHandheld(const QString& sName) { sHandheld_ = sName; }
    // The names of the attached handhelds, as the device lists them.
    QStringList Handhelds();
    // Whether the chosen handheld refuses connects until its password is given (asked after a
    // connect failed).
    bool HandheldLocked();
    // Ends a connect's wait early, from any thread: the connect fails.
    void CancelConnect();
    void RapiDisconnect();
    // Reports each storage card's module folder, then removes what copies of this installer
    // (of any process) left in the module folders. kFalse when the link failed during the search.
    int16_t FindModuleFolders();
    // The bytes free to the installer in a device folder; empty when the handheld can't tell.
    std::optional<uint64_t> FreeSpace(const QString& sFolder);
    // Files that failed copies left on the handheld because their delete couldn't reach it; each
    // is deleted at the next successful connect.
    QStringList LeftOnDevice() const { return leftOnDevice_; }

    int32_t CreateDeviceFolder(const QString& sPath);
    int32_t CreateDeviceFile(const QString& sPath, int16_t bOverwrite, uint32_t nAttributes);
    int32_t DeleteDeviceFile(const QString& sPath);
    // Copies the desktop file sSource to the device path sTarget and reports the outcome: written
    // under a temporary name in the target folder, read back and compared, then moved into place
    // (an existing module stays until then). A module larger than the folder's free space fails
    // before the first write.
    void CopyFileToDevice(const QString& sSource, const QString& sTarget);
    // Asks a running copy, from any thread, to stop after its current block; it then removes its
    // temporary file and reports nothing.
    void RequestStop() { bStopRequested_ = true; }
    // Whether the last CopyFileToDevice completed.
    bool LastCopyCompleted() const { return bLastCompleted_; }

    // -1 while CopyFileToDevice runs, 0 otherwise. A face refuses to close while it is -1.
    std::atomic<int16_t> bCopying{kFalse};

private:
    struct Copy;
    // Why a copy did not complete: the device refused (the memory sentence), the link to it was
    // lost, or the user stopped it.
    enum class Fault { None, Device, Link, Stopped };

    DeviceApi& device() const;
    Waiter& waiter() const;
    // Runs fn on the reporter, if any; a call that fails is skipped.
    template <typename Fn>
    void report(Fn&& fn);
    RAPI_DWORD lastError();
    // A call that threw, or failed with the link gone, is a lost link; else the device refused.
    Fault faultOf(bool bThrew);
    // Runs fn for each name a search finds; false when the link failed during it.
    template <typename Fn>
    bool search(const QString& sPattern, Fn&& fn);
    void removeTemporaries(const QString& sFolder);
    RAPI_HANDLE openDeviceFile(const QString& sPath, RAPI_DWORD nAccess, RAPI_DWORD nDisposition,
                               RAPI_DWORD nAttributes);
    RAPI_DWORD listHandhelds(char16_t* pNames, RAPI_DWORD nCapacity);
    Fault moveDeviceFile(const QString& sFrom, const QString& sTo);
    // Deletes a device file; true when it is gone, also when it was not there.
    bool deleted(const QString& sPath);
    // The same, and a file that can't be deleted now is deleted at the next connect.
    void removeFromDevice(const QString& sPath);
    bool transfer(Copy& copy);
    Fault writeAll(Copy& copy, RAPI_HANDLE hFile);
    Fault readBack(Copy& copy);
    Fault moveIntoPlace(Copy& copy);
    Fault closeDeviceFile(RAPI_HANDLE hFile);
    bool finish(Copy& copy, Fault fault);

    Reporter* reporter_;
    DeviceApi* device_;
    Waiter* waiter_;
    uint32_t connectWaitMs_;
    QStringList leftOnDevice_;
    bool bLastCompleted_ = false;
    ConnectFault connectFault_ = ConnectFault::None;
    QString sHandheld_;
    std::atomic<bool> bStopRequested_{false};
    std::atomic<bool> bConnectCancelled_{false};
};

}  // namespace modRapi

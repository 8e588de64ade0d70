#pragma once

// The installer's device module: opening and closing the link, finding the storage cards, the
// path helpers and the transfer of one module file. Booleans are 16-bit: -1 true, 0 false.

#include <QString>
#include <QStringList>
#include <cstdint>

#include "DeviceApi.h"
#include "InstallerWindow.h"

namespace modRapi {

inline constexpr int16_t kTrue = -1;
inline constexpr int16_t kFalse = 0;
inline constexpr uint32_t kConnectWaitMs = 10000;
inline constexpr const char* kMessageTitle = "Pocket Lorvex Module Installer";

// -1 while CopyFileToDevice runs, 0 otherwise. The window refuses to close while it is -1.
extern int16_t bCopying;

// Binds the module to its window and platform. A null device or waiter means the real one.
// connectWaitMs is the connect wait; tests may pass a shorter one. The files left to delete
// (see LeftOnDevice) belong to the window bound before and are forgotten.
void Bind(InstallerWindow* window, DeviceApi* device = nullptr, Waiter* waiter = nullptr,
          uint32_t connectWaitMs = kConnectWaitMs);
// Undoes Bind when window is the one bound: the module then reaches no window and goes back to
// the real platform. A window calls it when it is destroyed.
void Unbind(const InstallerWindow* window);

// A connect that succeeds first deletes what failed copies left on the handheld.
int16_t RapiConnect();
void RapiDisconnect();
// Appends each storage card's module folder. kFalse when the link failed during the search.
int16_t FindModuleFolders();
// Files that failed copies left on the handheld because their delete couldn't reach it; each is
// deleted at the next successful connect.
QStringList LeftOnDevice();

int16_t FileExists(QString sPath);
QString GetFileName(QString sPath);
QString GetFolderPath(QString sPath);

int32_t CreateDeviceFolder(const QString& sPath);
int32_t CreateDeviceFile(const QString& sPath, int16_t bOverwrite, uint32_t nAttributes);
int32_t DeleteDeviceFile(const QString& sPath);
void CopyFileToDevice(const QString& sSource, const QString& sTarget);

}  // namespace modRapi

#pragma once

// What the device module needs of the installer's window. FormMain implements it; tests fake it.

#include <QString>
#include <cstdint>

enum class MessageIcon { Information, Error };

class InstallerWindow {
public:
    virtual ~InstallerWindow() = default;
    // Appends one entry to ListBoxFolders.
    virtual void AppendFolder(const QString& sEntry) = 0;
    virtual void FloodInit(int16_t nMax) = 0;
    virtual void FloodUpdate(int16_t nValue, const QString& sMessage) = 0;
    // Hides PictureProgress.
    virtual void HideProgress() = 0;
    // Modal box with one OK button, the icon and the title "Pocket Lorvex Module Installer".
    virtual void ShowMessage(const QString& sText, MessageIcon icon) = 0;
    // The application's mouse pointer: hourglass (true) or default (false).
    virtual void SetHourglass(bool bBusy) = 0;
};

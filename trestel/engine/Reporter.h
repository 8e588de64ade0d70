#pragma once

// What the install engine tells the face that drives it: the folders found, the copy's progress,
// its outcome and when it is busy. The window shows them; the terminal prints them; tests record
// them.

#include <QString>
#include <cstdint>

enum class MessageIcon { Information, Error };

class Reporter {
public:
    virtual ~Reporter() = default;
    // One more folder that can take modules (after main memory's, which the face adds itself).
    virtual void AppendFolder(const QString& sEntry) = 0;
    // A pass over the module starts: nMax units make a full bar.
    virtual void FloodInit(int16_t nMax) = 0;
    // After each 4096-byte block: the units done and the text to show with them.
    virtual void FloodUpdate(int16_t nValue, const QString& sMessage) = 0;
    // The copy is over (whatever its outcome).
    virtual void HideProgress() = 0;
    // The outcome, told once; returns when the user has taken note of it.
    virtual void ShowMessage(const QString& sText, MessageIcon icon) = 0;
    // Busy (true) or idle again (false), e.g. the hourglass pointer.
    virtual void SetHourglass(bool bBusy) = 0;
};

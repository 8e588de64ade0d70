#pragma once

// Which handheld a connect opens, and the password of a locked one: the steps around the
// installer's connect, free of widgets. The questions go through HandheldPrompts; the owner
// passed along is only handed to them.
//
// A connect runs:
//   1. ChooseBeforeConnect: connect only for Default or Selected (Failed: show its message);
//   2. the connect itself;
//   3. when it failed, UnlockAfterFailedConnect once: connect again only for Unlocked.

#include <QString>
#include <QStringList>

#include "DeviceApi.h"
#include "HandheldPrompts.h"

class QWidget;

namespace HandheldChoice {

// Names the handheld to use without asking.
inline constexpr const char* kVariable = "TRESTEL_HANDHELD";

// The value of TRESTEL_HANDHELD; empty when it is unset or empty.
QString WantedFromEnvironment();

// A handheld's name as shown in a message or a list: control characters as \xNN, so that a name
// with a line break can't break the text it is part of.
QString Shown(const QString& sName);

// The attached handhelds' names, each once, in the device's order; empty when none is attached
// or the device can't tell.
QStringList Attached(DeviceApi& device);

struct Choice {
    enum class Outcome {
        Default,    // connect to the default handheld (no earlier choice is left selected)
        Selected,   // the handheld named in `handheld` is selected for the connect
        Cancelled,  // the user closed the question: no connect, nothing to tell
        Failed,     // no connect; `message` tells the user why
    };
    Outcome outcome = Outcome::Default;
    // The handheld the connect opens when known: the selected one, or the only one attached.
    QString handheld;
    QStringList attached;
    QString message;
};

// Before a connect: with sWanted (TRESTEL_HANDHELD) non-empty selects that handheld without
// asking, and fails naming it and the attached ones when it can't; otherwise asks which one
// when more than one is attached, and selects the default when one or none is. A device that
// can't list or choose handhelds (a call throws or fails) leaves the default; a handheld that the
// user or sWanted named and that can't be selected fails, never falling back to another one.
Choice ChooseBeforeConnect(DeviceApi& device, HandheldPrompts& prompts, QWidget* owner,
                           const QString& sWanted);

enum class Unlock {
    NotLocked,  // not locked, or the device can't tell: the connect failed as it did
    Unlocked,   // the password was right: connect again
    Cancelled,  // the user closed the password question
    Failed,     // the handheld refused the password for another reason than a wrong one
};

// After a connect that failed: when the selected handheld is locked, asks for its password
// (sHandheld names it; empty when unknown) and gives it, asking again after each wrong one until
// it is right or the user cancels.
Unlock UnlockAfterFailedConnect(DeviceApi& device, HandheldPrompts& prompts, QWidget* owner,
                                const QString& sHandheld);

}  // namespace HandheldChoice

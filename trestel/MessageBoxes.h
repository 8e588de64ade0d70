#pragma once

// The seam for the installer's message boxes: modal, one OK button, an icon and the fixed title;
// and its one question, Yes or No.
// The real one shows a QMessageBox; tests answer through a fake.

#include <QString>

#include "Reporter.h"

class QWidget;

// The title of the window and of every message box.
inline constexpr const char* kMessageTitle = "Pocket Lorvex Module Installer";

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows the box and returns when the user has closed it. owner may be null (no window yet).
    virtual void Show(QWidget* owner, const QString& sText, MessageIcon icon) = 0;
    // A question with Yes and No, No the default (Escape too). True when the user said Yes.
    virtual bool Ask(QWidget* owner, const QString& sQuestion) = 0;
};

MessageBoxes& realMessageBoxes();

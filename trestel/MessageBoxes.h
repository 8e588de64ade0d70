#pragma once

// The seam for the installer's message boxes: modal, one OK button, an icon and the fixed title;
// and its one question, Yes or No.
// The real one shows a QMessageBox; tests answer through a fake.

#include <QString>
#include <QStringList>
#include <optional>

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
    // One of items, chosen from a list; empty when the user cancelled.
    virtual QString Choose(QWidget* owner, const QString& sPrompt, const QStringList& items) = 0;
    // A password, typed masked; empty when the user cancelled.
    virtual std::optional<QString> AskPassword(QWidget* owner, const QString& sPrompt) = 0;
};

MessageBoxes& realMessageBoxes();

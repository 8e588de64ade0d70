#pragma once

// The seam for the two questions Connect may ask about the handheld: which one, when several are
// attached, and the password of a locked one. The real one shows small modal dialogs in the look
// of the installer's window; tests answer through a fake.

#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

class HandheldPrompts {
public:
    virtual ~HandheldPrompts() = default;
    // Lets the user pick one of names (the first is offered). The chosen name, exactly as given;
    // none when the user cancelled. owner may be null (no window yet).
    virtual std::optional<QString> ChooseHandheld(QWidget* owner, const QStringList& names) = 0;
    // Asks for the password of the locked handheld (empty: its name is unknown); afterWrongOne
    // says that the one given before was wrong. The password typed, none when cancelled.
    virtual std::optional<QString> AskPassword(QWidget* owner, const QString& handheld,
                                               bool afterWrongOne) = 0;
};

HandheldPrompts& realHandheldPrompts();

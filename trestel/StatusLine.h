#pragma once

// The window's status line ("ActiveSync Status: ..."): a label whose changes a screen reader
// announces. A plain label's new text is only read when the user goes looking for it; this one
// presents itself to assistive technology as a notification, named by its text, that shows itself
// anew with each new text.

#include <QLabel>
#include <QString>

class StatusLine : public QLabel {
    Q_OBJECT
public:
    explicit StatusLine(QWidget* parent = nullptr);

    // Shows the text and announces it.
    void SetStatus(const QString& sText);
};

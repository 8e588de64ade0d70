#include "MessageBoxes.h"

#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

namespace {

// The icon alone tells an error from a notice; assistive technology gets the kind in words: as the
// box's description and as the icon's name.
void DescribeKind(QMessageBox& box, MessageIcon icon) {
    const QString sKind =
        icon == MessageIcon::Error ? QStringLiteral("Error") : QStringLiteral("Information");
    box.setAccessibleDescription(sKind);
    if (auto* picture = box.findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"))) {
        picture->setAccessibleName(sKind);
    }
}

class QtMessageBoxes final : public MessageBoxes {
public:
    void Show(QWidget* owner, const QString& sText, MessageIcon icon) override {
        QMessageBox box(
            icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
            QString::fromUtf8(kMessageTitle), sText, QMessageBox::Ok,
            owner != nullptr && owner->isVisible() ? owner : nullptr);
        box.setWindowModality(Qt::ApplicationModal);
        // Module names go into these texts: never read as markup.
        box.setTextFormat(Qt::PlainText);
        DescribeKind(box, icon);
        // The box may come while the hourglass is up (the copy's result): the user answers it
        // with the normal pointer.
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        box.exec();
        QApplication::restoreOverrideCursor();
    }

    bool Ask(QWidget* owner, const QString& sQuestion) override {
        QMessageBox box(QMessageBox::Question, QString::fromUtf8(kMessageTitle), sQuestion,
                        QMessageBox::Yes | QMessageBox::No,
                        owner != nullptr && owner->isVisible() ? owner : nullptr);
        box.setWindowModality(Qt::ApplicationModal);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        box.setAccessibleDescription(QStringLiteral("Question"));
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        const int nAnswer = box.exec();
        QApplication::restoreOverrideCursor();
        return nAnswer == QMessageBox::Yes;
    }
};

}  // namespace

MessageBoxes& realMessageBoxes() {
    static QtMessageBoxes boxes;
    return boxes;
}

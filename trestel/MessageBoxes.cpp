#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

#include "modRapi.h"

namespace {

class QtMessageBoxes final : public MessageBoxes {
public:
    void Show(QWidget* owner, const QString& sText, MessageIcon icon) override {
        QMessageBox box(
            icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
            QString::fromUtf8(modRapi::kMessageTitle), sText, QMessageBox::Ok,
            owner != nullptr && owner->isVisible() ? owner : nullptr);
        box.setWindowModality(Qt::ApplicationModal);
        // Module names go into these texts: never read as markup.
        box.setTextFormat(Qt::PlainText);
        // The box may come while the hourglass is up (the copy's result): the user answers it
        // with the normal pointer.
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        box.exec();
        QApplication::restoreOverrideCursor();
    }
};

}  // namespace

MessageBoxes& realMessageBoxes() {
    static QtMessageBoxes boxes;
    return boxes;
}

#include "MessageBoxes.h"

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
        box.exec();
    }
};

}  // namespace

MessageBoxes& realMessageBoxes() {
    static QtMessageBoxes boxes;
    return boxes;
}

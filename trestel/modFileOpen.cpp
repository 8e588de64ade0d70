#include "modFileOpen.h"

#include <QFileDialog>

namespace modFileOpen {

namespace {

class QtFileDialog final : public FileDialog {
public:
    QString GetOpenFileName(QWidget* owner, const QString& sFilter) override {
        // A fresh dialog each time: no remembered name, the platform's default title and folder.
        // The filter shows its description only, as the patterns are part of its text.
        return QFileDialog::getOpenFileName(owner, QString(), QString(), sFilter, nullptr,
                                            QFileDialog::HideNameFilterDetails);
    }
};

}  // namespace

FileDialog& realFileDialog() {
    static QtFileDialog dialog;
    return dialog;
}

QString ShowOpen(FileDialog& dialog, QWidget* owner) {
    try {
        return dialog.GetOpenFileName(owner, QString::fromUtf8(kFilter));
    } catch (...) {
        // A dialog that fails counts as cancelled.
        return QString();
    }
}

}  // namespace modFileOpen

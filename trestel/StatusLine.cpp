#include "StatusLine.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace {

class StatusLineAccessible final : public QAccessibleWidget {
public:
    explicit StatusLineAccessible(StatusLine* line)
        : QAccessibleWidget(line, QAccessible::Notification) {}

    QString text(QAccessible::Text type) const override {
        if (type == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            return static_cast<const QLabel*>(widget())->text();
        }
        return QAccessibleWidget::text(type);
    }
};

QAccessibleInterface* MakeAccessible(const QString& sClassName, QObject* object) {
    if (sClassName == QLatin1String("StatusLine") && object != nullptr && object->isWidgetType()) {
        return new StatusLineAccessible(static_cast<StatusLine*>(object));
    }
    return nullptr;
}

}  // namespace

StatusLine::StatusLine(QWidget* parent) : QLabel(parent) {
    static const bool bFactory = [] {
        QAccessible::installFactory(MakeAccessible);
        return true;
    }();
    (void)bFactory;
}

void StatusLine::SetStatus(const QString& sText) {
    // The label reports its new name itself; screen readers speak a notification when it shows.
    setText(sText);
    if (QAccessible::isActive() && isVisible()) {
        QAccessibleEvent shown(this, QAccessible::ObjectShow);
        QAccessible::updateAccessibility(&shown);
    }
}

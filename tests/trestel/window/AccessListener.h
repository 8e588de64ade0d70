#pragma once

// Assistive technology switched on for the time of a test, as a screen reader switches it on, with
// every event the window sends recorded.

#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <QAccessible>
#include <QString>
#include <QVariant>
#include <vector>

class AccessListener {
public:
    struct Event {
        QAccessible::Event type;
        QObject* object;
        int child;
        QAccessible::Role role;
        QString name;
        QVariant value;  // of a value change
    };
    std::vector<Event> events;

    AccessListener() {
        current() = this;
        QAccessible::installUpdateHandler(&Record);
        Platform()->setActive(true);
    }
    ~AccessListener() {
        Platform()->setActive(false);
        QAccessible::installUpdateHandler(nullptr);
        current() = nullptr;
    }
    AccessListener(const AccessListener&) = delete;
    AccessListener& operator=(const AccessListener&) = delete;

    std::vector<Event> Of(const QObject* object, QAccessible::Event type) const {
        std::vector<Event> found;
        for (const Event& e : events) {
            if (e.object == object && e.type == type) {
                found.push_back(e);
            }
        }
        return found;
    }

private:
    static QPlatformAccessibility* Platform() {
        return QGuiApplicationPrivate::platformIntegration()->accessibility();
    }
    static AccessListener*& current() {
        static AccessListener* listener = nullptr;
        return listener;
    }
    static void Record(QAccessibleEvent* event) {
        QAccessibleInterface* iface = event->accessibleInterface();
        Event e{event->type(),
                event->object(),
                event->child(),
                iface != nullptr ? iface->role() : QAccessible::NoRole,
                iface != nullptr ? iface->text(QAccessible::Name) : QString(),
                {}};
        if (event->type() == QAccessible::ValueChanged) {
            e.value = static_cast<QAccessibleValueChangeEvent*>(event)->value();
        }
        current()->events.push_back(e);
    }
};

// The launcher's one visible output: a Qt message box, or standard error without a display.

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "Form1.h"

namespace bundora {

namespace {

bool displayAtHand() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v && *v;
    };
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && (std::strncmp(platform, "offscreen", 9) == 0 ||
                     std::strncmp(platform, "minimal", 7) == 0)) {
        return false;  // nobody could answer the box
    }
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

// Carriage returns break lines in the box's text; a terminal would overwrite instead.
std::string withLineFeeds(std::string text) {
    for (auto& c : text) {
        if (c == '\r') {
            c = '\n';
        }
    }
    return text;
}

class QtMessageBox : public MessageBox {
public:
    void Show(const std::string& text, const std::string& title, int icon) override {
        const std::string shown = withLineFeeds(text);
        if (!displayAtHand()) {
            std::cerr << shown << std::endl;
            return;
        }
        static int argc = 1;
        static char name[] = "bundora";
        static char* argv[] = {name, nullptr};
        QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        std::unique_ptr<QApplication> owned;
        if (!app) {
            owned = std::make_unique<QApplication>(argc, argv);
        }
        QMessageBox box(icon == MB_ICONINFORMATION ? QMessageBox::Information
                                                   : QMessageBox::NoIcon,
                        QString::fromStdString(title), QString::fromStdString(shown),
                        QMessageBox::Ok);
        box.exec();
    }
};

}  // namespace

MessageBox& realMessageBox() {
    static QtMessageBox box;
    return box;
}

}  // namespace bundora

// The launcher's one visible output: a Qt message box, or standard error without a display.

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "Form1.h"
#include "Text.h"

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

// For a terminal: carriage returns break lines, every other control character is escaped, so
// a folder name can't move the cursor or send the terminal commands.
std::string forTerminal(const std::string& text) {
    std::string out;
    for (size_t at = 0;;) {
        const size_t cr = text.find('\r', at);
        out += text::oneLine(
            std::string_view(text).substr(at, cr == std::string::npos ? cr : cr - at));
        if (cr == std::string::npos) {
            return out;
        }
        out += '\n';
        at = cr + 1;
    }
}

class QtMessageBox : public MessageBox {
public:
    void Show(const std::string& text, const std::string& title, int icon) override {
        const std::string shown = withLineFeeds(text);
        if (!displayAtHand()) {
            std::cerr << forTerminal(text) << std::endl;
            return;
        }
        if (QCoreApplication::instance() != nullptr) {
            showBox(shown, title, icon);
            return;
        }
        // The toolkit ends the process when the display named in the environment can't be
        // reached, so the box is shown by a child; if the child fails, the text goes to
        // standard error instead of being lost.
        std::cout.flush();
        std::cerr.flush();
        const pid_t child = ::fork();
        if (child == 0) {
            static int argc = 1;
            static char name[] = "bundora";
            static char* argv[] = {name, nullptr};
            QApplication app(argc, argv);
            showBox(shown, title, icon);
            ::_exit(0);
        }
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            std::cerr << forTerminal(text) << std::endl;
        }
    }

private:
    static void showBox(const std::string& shown, const std::string& title, int icon) {
        QMessageBox box(icon == MB_ICONINFORMATION ? QMessageBox::Information : QMessageBox::NoIcon,
                        QString::fromStdString(title), QString::fromStdString(shown),
                        QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);  // folder and file names are never markup
        box.exec();
    }
};

}  // namespace

MessageBox& realMessageBox() {
    static QtMessageBox box;
    return box;
}

}  // namespace bundora

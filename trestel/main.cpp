// Trestel, the Pocket Lorvex module installer: one window that copies a module to the handheld.

#include <QApplication>

#include "FormMain.h"

int main(int argc, char* argv[]) {
    // The arguments as given, before the toolkit takes out the options it knows.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("trestel"));
    QApplication::setQuitOnLastWindowClosed(true);

    FormMain form;
    if (!form.Load(FormMain::ArgumentText(arguments))) {
        return 0;
    }
    form.show();
    return QApplication::exec();
}

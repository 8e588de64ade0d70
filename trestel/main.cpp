// Trestel, the Pocket Lorvex module installer: one window that copies a module to the handheld,
// or an install from the terminal.

#include <QApplication>

#include "CommandLine.h"
#include "FormMain.h"
#include "ProgramText.h"
#include "Terminal.h"

int main(int argc, char* argv[]) {
    // An install from the terminal needs no display and no toolkit.
    if (Terminal::Wanted(argc, argv)) {
        return Terminal::Run(argc, argv);
    }
    switch (CommandLine::EarlyAnswerFor(argc, argv)) {
        case CommandLine::EarlyAnswer::Help:
            return programtext::Answer("trestel", CommandLine::HelpText().toStdString());
        case CommandLine::EarlyAnswer::Version:
            return programtext::Answer("trestel", programtext::VersionText("trestel"));
        case CommandLine::EarlyAnswer::None:
            break;
    }

    const std::unique_ptr<QApplication> app = CommandLine::StartApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("trestel"));
    QApplication::setQuitOnLastWindowClosed(true);

    FormMain form;
    if (!form.Load(FormMain::ArgumentText(CommandLine::Arguments(argc, argv)))) {
        // The module named does not exist; the user has been told.
        return 1;
    }
    form.show();
    const int nStatus = QApplication::exec();
    return nStatus != 0 ? nStatus : form.ExitStatus();
}

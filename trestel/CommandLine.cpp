#include "CommandLine.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "LocalPath.h"
#include "ProgramText.h"
#include "Text.h"

namespace CommandLine {

namespace {

// What the toolkit says while it starts, held back: when it fails, one line replaces it all; when
// it starts, the messages go on to the handler that was in place.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage> heldMessages;

void HoldStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        heldMessages.push_back({type, QByteArray(context.category), text});
        return;
    }
    // Qt's own reason: what its platform layer said last (a plugin that is missing, a display
    // that refused), else the first line of its final message.
    QString sReason = text;
    for (auto it = heldMessages.rbegin(); it != heldMessages.rend(); ++it) {
        if (it->category.startsWith("qt.qpa")) {
            sReason = it->text;
            break;
        }
    }
    sReason = sReason.section(QLatin1Char('\n'), 0, 0).trimmed();
    const char* display = std::getenv("DISPLAY");
    QByteArray line = display != nullptr && *display != '\0'
                          ? QByteArray("trestel: cannot open the display ") +
                                QByteArray::fromStdString(text::oneLine(display))
                          : QByteArray("trestel: no display to open (DISPLAY is not set)");
    if (!sReason.isEmpty()) {
        line += ": " + QByteArray::fromStdString(text::oneLine(sReason.toStdString()));
    }
    line += '\n';
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
    std::_Exit(1);
}

}  // namespace

EarlyAnswer EarlyAnswerFor(int argc, const char* const argv[]) {
    if (argc != 2) {
        return EarlyAnswer::None;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        return EarlyAnswer::Help;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        return EarlyAnswer::Version;
    }
    return EarlyAnswer::None;
}

QString HelpText() {
    return QString::fromStdString(programtext::BugReportLine())
        .prepend(QStringLiteral(
            "Usage: trestel [OPTION]... [MODULE-FILE]\n"
            "  or:  trestel --install MODULE-FILE --to FOLDER [--handheld NAME]\n"
            "Copy a Pocket Lorvex module to the handheld in one window, or from the terminal.\n"
            "\n"
            "The window connects to the handheld, lists the folders that can hold modules\n"
            "(main memory and each storage card) and copies MODULE-FILE into the one chosen.\n"
            "Without MODULE-FILE, choose the module with File, Open. The arguments after\n"
            "the toolkit's own options are joined with blanks and quotes are dropped, so a\n"
            "path with blanks may be given in one piece or in several.\n"
            "\n"
            "A copy is written under a hidden temporary name (.~trestel-...), read back\n"
            "and compared, and only then given the module's name; a module it replaces\n"
            "stays until then. A module larger than the folder's free space is refused\n"
            "before it is written. Close or Escape during a copy asks whether to stop it.\n"
            "\n"
            "With --install, no window and no display: MODULE-FILE is copied into FOLDER,\n"
            "which is 'main' (main memory's Program Files\\Pocket Lorvex) or the name of a\n"
            "storage card (its Pocket Lorvex folder). The progress goes to standard error (a\n"
            "bar on a terminal, a line at each tenth otherwise), then the outcome as the\n"
            "window's message box says it.\n"
            "\n"
            "Options:\n"
            "  --help        display this help and exit (given alone)\n"
            "  --version     output version information and exit (given alone)\n"
            "  --install MODULE-FILE  install MODULE-FILE from the terminal\n"
            "  --to FOLDER   where --install copies to: 'main' or a storage card's name\n"
            "  --handheld NAME  the handheld to use when more than one is attached\n"
            "  -platform NAME, -style NAME, -reverse, -session ID\n"
            "                taken by the Qt toolkit, as in every Qt program\n"
            "\n"
            "Exit status:\n"
            "  0  the last install of the run succeeded, or none was made\n"
            "  1  the last install failed or was stopped, MODULE-FILE does not exist, or no\n"
            "     display can be opened; with --install, also: no handheld, no such card\n"
            "  2  bad usage of --install, --to or --handheld\n"
            "\n"
            "Environment:\n"
            "The handheld is the first of: the one TRESTEL_RAPI_LIBRARY serves; the emulated\n"
            "handheld when TRESTEL_DEVICE is set; a real handheld through SynCE, when its\n"
            "library is installed; the emulated handheld at its default root.\n"
            "  TRESTEL_RAPI_LIBRARY  shared library exporting the Remote API's device\n"
            "                        functions to use for the handheld\n"
            "  TRESTEL_DEVICE        root folder of the emulated handheld; empty: the default\n"
            "                        root, ${XDG_DATA_HOME:-$HOME/.local/share}/trestel/handheld\n"
            "                        (a relative XDG_DATA_HOME is ignored)\n"
            "  TRESTEL_SYNCE_BRIDGE  the bridge library to SynCE (libtrestel-synce.so) to use\n"
            "                        instead of the installed one\n"
            "  TRESTEL_HANDHELD      the name of the handheld to use when more than one is\n"
            "                        attached (--handheld takes precedence); without it,\n"
            "                        Connect asks which one\n"
            "Without any handheld: attach a real one through SynCE, or make the emulated one\n"
            "with 'handheld-sim create'.\n"
            "\n"));
}

QStringList TrustedPluginFolders() {
    QStringList folders;
    const auto add = [&folders](const QString& folder) {
        const QString canonical = QDir(folder).canonicalPath();
        if (!canonical.isEmpty() && !folders.contains(canonical)) {
            folders << canonical;
        }
    };
    // What the user set, but none relative to the current folder.
    for (const QString& folder :
         qEnvironmentVariable("QT_PLUGIN_PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(folder)) {
            add(folder);
        }
    }
    add(QLibraryInfo::path(QLibraryInfo::PluginsPath));
    return folders;
}

void LimitPluginFolders() {
    const QStringList trusted = TrustedPluginFolders();
    // Qt adds the program's own folder to the plugin folders when the application object is
    // made (its documented behaviour: the paths set before are kept "and the path to the
    // application"), and then replays what was changed before: a folder that was on the list
    // and was taken off stays off. So the list is first computed with the program's folder on
    // it, then set without.
    const QString own = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString ownFolder = QFileInfo(own).path();
    const bool hadVariable = qEnvironmentVariableIsSet("QT_PLUGIN_PATH");
    const QByteArray variable = qgetenv("QT_PLUGIN_PATH");
    qputenv("QT_PLUGIN_PATH",
            QFile::encodeName(ownFolder) + QDir::listSeparator().toLatin1() + variable);
    QCoreApplication::libraryPaths();
    if (hadVariable) {
        qputenv("QT_PLUGIN_PATH", variable);
    } else {
        qunsetenv("QT_PLUGIN_PATH");
    }
    QCoreApplication::setLibraryPaths(trusted);
}

std::unique_ptr<QApplication> StartApplication(int& argc, char** argv) {
    // An installer that a launcher extracted into a shared folder (/tmp) must not load what others
    // put beside it: plugins come only from Qt's own folder and those QT_PLUGIN_PATH names.
    LimitPluginFolders();
    heldMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(HoldStartupMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    for (const HeldMessage& held : heldMessages) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        qt_message_output(held.type, context, held.text);
    }
    heldMessages.clear();
    // From here on the list is taken as it is set.
    QCoreApplication::setLibraryPaths(TrustedPluginFolders());
    return app;
}

QStringList Arguments(int argc, const char* const argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << LocalPath::decode(QByteArray(argv[i]));
    }
    return arguments;
}

}  // namespace CommandLine

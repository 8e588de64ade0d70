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
            "Copy a Pocket Lorvex module to the handheld in one window.\n"
            "\n"
            "The window connects to the handheld, lists the folders that can hold modules\n"
            "(main memory and each storage card) and copies MODULE-FILE into the one chosen.\n"
            "Without MODULE-FILE, choose the module with File, Open. The arguments after\n"
            "the toolkit's own options are joined with blanks and quotes are dropped, so a\n"
            "path with blanks may be given in one piece or in several.\n"
            "\n"
            "Options:\n"
            "  --help        display this help and exit (given alone)\n"
            "  --version     output version information and exit (given alone)\n"
            "  -platform NAME, -style NAME, -reverse, -session ID\n"
            "                taken by the Qt toolkit, as in every Qt program\n"
            "\n"
            "Exit status:\n"
            "  0  after a completed run\n"
            "  1  MODULE-FILE does not exist, or no display can be opened\n"
            "\n"
            "Environment:\n"
            "The handheld is the first of: the one TRESTEL_RAPI_LIBRARY serves; the emulated\n"
            "handheld when TRESTEL_DEVICE is set; a real handheld through SynCE, when its\n"
            "library is installed; the emulated handheld at its default root.\n"
            "  TRESTEL_RAPI_LIBRARY  shared library exporting the device functions\n"
            "                        (CeRapiInitEx, ...) to use for the handheld\n"
            "  TRESTEL_DEVICE        root folder of the emulated handheld; empty: the default\n"
            "                        root, ${XDG_DATA_HOME:-$HOME/.local/share}/trestel/handheld\n"
            "                        (a relative XDG_DATA_HOME is ignored)\n"
            "  TRESTEL_SYNCE_BRIDGE  the bridge library to SynCE (libtrestel-synce.so) to use\n"
            "                        instead of the installed one\n"
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

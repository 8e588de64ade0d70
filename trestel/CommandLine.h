#pragma once

// The installer's command line: --help and --version answered before any display is needed, the
// toolkit started so that a missing display ends the program with one line instead of an abort,
// and the arguments the toolkit leaves decoded byte for byte.

#include <QString>
#include <QStringList>
#include <memory>

class QApplication;

namespace CommandLine {

enum class EarlyAnswer { None, Help, Version };

// --help or --version given alone, which the program answers without opening a window.
EarlyAnswer EarlyAnswerFor(int argc, const char* const argv[]);
QString HelpText();

// The folders the installer loads plugins from: the absolute ones of QT_PLUGIN_PATH and Qt's own,
// never the program's folder or the current one.
QStringList TrustedPluginFolders();

// Makes the application object that comes next (QCoreApplication too) load plugins only from
// TrustedPluginFolders(): to be called before it is made. (Qt's configuration comes from the
// qt.conf built into the program, never from beside it.)
void LimitPluginFolders();

// Creates the application, loading plugins only from TrustedPluginFolders(). When the toolkit
// cannot start (no display), writes one line to standard error and ends the program with status 1.
// The toolkit takes its own options (-platform, -style, -reverse, -session, ...) out of argc and
// argv.
std::unique_ptr<QApplication> StartApplication(int& argc, char** argv);

// The arguments as local file names (LocalPath::decode), the program's name first.
QStringList Arguments(int argc, const char* const argv[]);

}  // namespace CommandLine

#pragma once

// The module file picker: the Open dialog behind File, Open, reached through a seam so that tests
// can answer it.

#include <QString>

class QWidget;

namespace modFileOpen {

// One filter with the five module endings.
inline constexpr const char* kFilter = "Pocket Lorvex Modules (*.bbl *.cmt *.dct *.dev *.map)";

class FileDialog {
public:
    virtual ~FileDialog() = default;
    // Shows an Open dialog modal to owner that accepts existing files only, starting with an
    // empty file name. Returns the chosen full path, or an empty string when cancelled.
    virtual QString GetOpenFileName(QWidget* owner, const QString& sFilter) = 0;
};

// The real Open dialog, which lists and returns any name Linux can give a file.
FileDialog& realFileDialog();

// Runs the dialog with the module filter; the chosen path, or empty when nothing was chosen.
QString ShowOpen(FileDialog& dialog, QWidget* owner);

}  // namespace modFileOpen

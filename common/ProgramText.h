#pragma once

// What every program of the package prints the same way, as GNU programs do: the --version text
// (name, product, version, copyright and licence), the line that says where to report bugs, and
// standard output checked once written, so that a failed write (a full disk, a closed pipe) is
// an error instead of a silent success.

#include <string>
#include <string_view>

namespace programtext {

// "PROGRAM (Pocket Lorvex Installer) 1.00", then the copyright, licence and warranty lines.
std::string VersionText(std::string_view program);

// "Report bugs to: ADDRESS", ending in a newline: the last line of each program's --help.
std::string BugReportLine();

// Writes out what standard output still buffers. When that or an earlier write to it failed,
// writes "PROGRAM: write error[: REASON]" on standard error and returns false.
bool FinishStandardOutput(std::string_view program);

// Writes text on standard output and finishes it: 0, or 1 after the error line.
int Answer(std::string_view program, std::string_view text);

}  // namespace programtext

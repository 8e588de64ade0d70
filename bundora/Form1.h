#pragma once

// The launcher's run: make sure the installer is in its folder (extracting it from the payload
// carried by the launcher's own executable when needed), find the module files beside the
// launcher and run the installer once per module, one after another.

#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Module1.h"
#include "Posix.h"

namespace bundora {

inline constexpr int MB_ICONINFORMATION = 64;
inline constexpr const char* kInstallerName = "Trestel.exe";
// The module files the launcher installs, by ending: ";"-separated, each exactly kEndingLength
// characters long, because FindFiles compares that many last characters of a name (a longer
// ending would never match). Checked below when the program is compiled.
inline constexpr const char* kModuleEndings = "bbl;dct;cmt;dev;brp";

// True when every ";"-separated ending of the list has exactly `length` characters.
consteval bool endingsOfLength(std::string_view list, size_t length) {
    for (;;) {
        const size_t end = list.find(';');
        if (list.substr(0, end).size() != length) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        list.remove_prefix(end + 1);
    }
}
static_assert(endingsOfLength(kModuleEndings, kEndingLength),
              "every module ending has the length that FindFiles compares");

// A modal message box with an OK button.
class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual void Show(const std::string& text, const std::string& title, int icon) = 0;
};

// A Qt message box when a display is at hand, else the text on standard error.
MessageBox& realMessageBox();

// A step of the run that failed; ends the run.
class LaunchError : public std::runtime_error {
public:
    LaunchError(const std::string& step, const std::string& reason)
        : std::runtime_error(step + ": " + reason), step_(step) {}
    const std::string& step() const { return step_; }

private:
    std::string step_;
};

struct Form1Deps {
    Registry* registry = nullptr;                    // null: the .reg file (BUNDORA_REGISTRY)
    ProcessRunner* runner = nullptr;                 // null: posix_spawn
    MessageBox* messageBox = nullptr;                // null: realMessageBox()
    std::function<const char*(const char*)> getenv;  // empty: the process environment
    std::string exePath;             // the running executable; empty: /proc/self/exe resolved
    std::string payloadPath;         // the file carrying the payload; empty: /proc/self/exe
    std::ostream* errors = nullptr;  // notes on installers that couldn't start; null: std::cerr
};

class Form1 {
public:
    explicit Form1(Form1Deps deps = {});
    // Removes the private folder made for this run, if any.
    ~Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // The installer folder: INSTALLDIR of HKLM\SOFTWARE\Pocket Lorvex as stored, else the
    // temporary folder followed by "/".
    std::string GetPocketLorvexPath();
    // The installer path; extracts the payload into the installer folder first when the
    // installer there is missing, empty, not executable, or could have been planted by another
    // user. The installer folder is used only when no other user can change what it holds
    // (posix::openChecked, which also holds it open for the extraction and the installer's
    // lookup); otherwise, and when a planted installer can't be replaced or replacing it fails,
    // the payload goes into a private folder made for this run (0700, removed when the form
    // ends) under the first of TEMP, XDG_RUNTIME_DIR and the user's cache folder that only the
    // user can change, and the installer path points there. The installer found is held open:
    // that very file is what Load starts. A folder path with a double quote ends the run
    // (LaunchError).
    std::string PocketLorvexInstallerPath();
    // The whole run. Throws LaunchError for a failed step, an installer that can't be started
    // included. A module whose path holds a double quote is skipped with a line on the errors
    // stream; it still counts as a run.
    void Load();

    std::string launcherFolder() const;
    int runCount() const { return runCount_; }

private:
    const char* env(const char* name) const;
    std::string temporaryFolder() const;
    posix::Checked privateBase(std::string& shown, std::string& firstWhy) const;
    std::string makePrivateFolder();
    std::string extractPrivately();

    Form1Deps deps_;
    std::string exePath_;
    std::string privateFolder_;  // as shown, without its final "/"
    std::string privateName_;    // its name in the folder privateBase_ holds
    posix::UniqueFd privateBase_;
    posix::UniqueFd privateFd_;
    posix::UniqueFd privateMarker_;  // locked for as long as this run lives
    posix::UniqueFd installer_;      // the installer checked, opened for the start (O_PATH)
    int runCount_ = 0;
};

// Runs the launcher; returns the exit status (0, or 1 after one line on standard error).
int runLauncher(Form1Deps deps = {});

// What the launcher makes of the installer file found at path.
enum class InstallerState {
    Missing,        // none, empty, not a regular file, or not trusted
    NotExecutable,  // trusted and with content, but without the execute bit
    Present,        // trusted, with content and executable: it is run as it is
};
// Opens name (a link the user's or root's is followed) in the folder open at folderFd, which
// was checked so, and judges it by posix::openCheckedAt: trusted, a regular file of the current
// user or root that no other user can write to. With fd, a present installer is held open there
// (O_PATH): what was checked is what gets started.
InstallerState installerState(int folderFd, const std::string& folderShown, const std::string& name,
                              posix::UniqueFd* fd = nullptr);

// Removes the private folders of runs that ended without removing theirs from the folder open at
// baseFd: only folders of the current user whose run marker nobody holds locked (a locked one is
// skipped, never waited for), and in them only what the run recorded in its marker (paths of
// plain names below the folder, never through a link); a folder that holds anything else stays.
// An empty private folder without a marker goes too.
void sweepAbandonedRuns(int baseFd);

// Why the folder entry at path can't be replaced by this user (no write access to its folder, or
// a sticky folder such as /tmp and someone else's entry); empty when it can.
std::string whyNotReplaceable(const std::string& path);

}  // namespace bundora

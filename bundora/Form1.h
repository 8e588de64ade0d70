#pragma once

// The launcher's run: make sure the installer is in its folder (extracting it from the payload
// carried by the launcher's own executable when needed), find the module files beside the
// launcher and run the installer once per module, one after another.

#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>

#include "Module1.h"

namespace bundora {

inline constexpr int MB_ICONINFORMATION = 64;
inline constexpr const char* kInstallerName = "Trestel.exe";
inline constexpr const char* kModuleEndings = "bbl;dct;cmt;dev;brp";

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
    static constexpr const char* kCaption = "Form1";

    explicit Form1(Form1Deps deps = {});

    // The installer folder: INSTALLDIR of HKLM\SOFTWARE\Pocket Lorvex as stored, else the
    // temporary folder followed by "/".
    std::string GetPocketLorvexPath();
    // The installer path; extracts the payload into the installer folder first when the
    // installer there is missing, empty, or could have been planted by another user.
    std::string PocketLorvexInstallerPath();
    // Writes every payload entry into destDir. Throws LaunchError.
    void extractFiles(const std::string& destDir);
    // The whole run. Throws LaunchError for a failed step.
    void Load();

    std::string launcherFolder() const;
    int runCount() const { return runCount_; }

private:
    const char* env(const char* name) const;

    Form1Deps deps_;
    std::string exePath_;
    int runCount_ = 0;
};

// Runs the launcher; returns the exit status (0, or 1 after one line on standard error).
int runLauncher(Form1Deps deps = {});

// Whether an installer file found in the installer folder may be run: a regular file (not a
// link) of the current user or root that no other user can write to.
bool installerTrusted(const std::string& path);

}  // namespace bundora

#include "Form1.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "Extract.h"
#include "Payload.h"
#include "Text.h"
#include "product.h"

namespace bundora {

namespace {

std::string selfExecutable() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        throw LaunchError("launcher folder", "cannot resolve /proc/self/exe: " + ec.message());
    }
    return path.string();
}

}  // namespace

InstallerState installerState(const std::string& path) {
    const uid_t me = ::geteuid();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return InstallerState::Missing;
    }
    // A link counts by what it points to, but only one of our own (or root's): another user's
    // link could point at any program.
    if (S_ISLNK(st.st_mode) &&
        ((st.st_uid != me && st.st_uid != 0) || ::stat(path.c_str(), &st) != 0)) {
        return InstallerState::Missing;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0 || (st.st_uid != me && st.st_uid != 0) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return InstallerState::Missing;
    }
    return (st.st_mode & S_IXUSR) ? InstallerState::Present : InstallerState::NotExecutable;
}

std::string whyNotReplaceable(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    struct stat dir {};
    if (::access(folder.c_str(), W_OK | X_OK) != 0 || ::stat(folder.c_str(), &dir) != 0) {
        return "no write access to " + text::oneLine(folder);
    }
    struct stat entry {};
    const uid_t me = ::geteuid();
    if ((dir.st_mode & S_ISVTX) && ::lstat(path.c_str(), &entry) == 0 && me != 0 &&
        entry.st_uid != me && dir.st_uid != me) {
        return "only its owner may replace it in " + text::oneLine(folder);
    }
    return "";
}

Form1::Form1(Form1Deps deps) : deps_(std::move(deps)) {
    exePath_ = deps_.exePath.empty() ? selfExecutable() : deps_.exePath;
    if (deps_.payloadPath.empty()) {
        deps_.payloadPath = "/proc/self/exe";
    }
}

Form1::~Form1() {
    if (!privateFolder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(privateFolder_, ec);  // never follows links
    }
}

const char* Form1::env(const char* name) const {
    return deps_.getenv ? deps_.getenv(name) : std::getenv(name);
}

std::string Form1::launcherFolder() const {
    const std::string folder = std::filesystem::path(exePath_).parent_path().string();
    return folder.ends_with('/') ? folder : folder + "/";  // a launcher in "/" shows "/"
}

std::string Form1::GetPocketLorvexPath() {
    const std::string value = GetRegistryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex",
                                               "INSTALLDIR", deps_.registry);
    if (!value.empty()) {
        return value;
    }
    return temporaryFolder();
}

std::string Form1::temporaryFolder() const {
    // An unset or empty variable never means the file-system root.
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const char* v = env(name);
        if (v && *v && std::string(v).find_first_not_of('/') != std::string::npos) {
            return std::string(v) + "/";
        }
    }
    return "/tmp/";
}

namespace {

// The installer's command line carries its paths in double quotes and can't carry one inside.
void refuseQuote(const std::string& step, const std::string& path) {
    if (path.find('"') != std::string::npos) {
        throw LaunchError(step, text::oneLine(path) +
                                    " holds a double quote, which the installer's command line "
                                    "can't carry");
    }
}

constexpr const char* kPrivatePrefix = "bundora-";

}  // namespace

std::string Form1::makePrivateFolder() {
    const std::string base = temporaryFolder();
    refuseQuote("private folder", base);
    // Folders of earlier runs that were killed before they could remove theirs (best effort).
    try {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(base, ec)) {
            struct stat st {};
            if (leftoverOfEndedProcess(e.path().filename().string(), kPrivatePrefix) &&
                ::lstat(e.path().c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                st.st_uid == ::geteuid()) {
                std::filesystem::remove_all(e.path(), ec);
            }
        }
    } catch (const std::filesystem::filesystem_error&) {
    }
    std::string folder = base + kPrivatePrefix + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        throw LaunchError("private folder",
                          "cannot create " + text::oneLine(folder) + ": " + std::strerror(errno));
    }
    privateFolder_ = folder;
    return folder + "/";
}

std::string Form1::PocketLorvexInstallerPath() {
    const std::string folder = GetPocketLorvexPath();
    refuseQuote("installer folder", folder);
    const std::string path = folder + kInstallerName;
    const InstallerState state = installerState(path);
    if (state == InstallerState::Present) {
        return path;
    }
    struct stat st {};
    const std::string why = whyNotReplaceable(path);
    if (state == InstallerState::NotExecutable && !why.empty()) {
        throw LaunchError("installer",
                          text::oneLine(path) + " is not executable and can't be replaced: " + why);
    }
    if (::lstat(path.c_str(), &st) == 0 && !why.empty()) {
        // Someone else's file that we may neither run nor replace: keep out of its way.
        const std::string own = makePrivateFolder();
        extractFiles(own);
        return own + kInstallerName;
    }
    extractFiles(GetPocketLorvexPath());
    return path;
}

void Form1::extractFiles(const std::string& destDir) {
    try {
        FileSource self(deps_.payloadPath);
        extractPayload(self, destDir);
    } catch (const std::exception& e) {
        throw LaunchError("extraction", e.what());
    }
}

void Form1::Load() {
    const std::string folder = launcherFolder();
    const std::string installer = PocketLorvexInstallerPath();
    std::vector<std::string> modules;
    try {
        modules = FindFiles(folder, kModuleEndings);
    } catch (const std::system_error& e) {
        throw LaunchError("module search", e.what());
    }
    std::ostream& errors = deps_.errors ? *deps_.errors : std::cerr;
    for (const std::string& module : modules) {
        if (module.empty()) {
            break;
        }
        if ((folder + module).find('"') != std::string::npos) {
            // Its quote would end the argument early and name another file.
            errors << "bundora: skipped module " << text::oneLine(folder + module)
                   << ": a double quote in its path can't be passed to the installer" << std::endl;
            ++runCount_;
            continue;
        }
        const std::string commandLine = "\"" + installer + "\" \"" + folder + module + "\"";
        std::string startError;
        if (RunAndWait(commandLine, deps_.runner, &startError) == -1 && !startError.empty()) {
            errors << text::oneLine("bundora: installer run: cannot start " + installer + ": " +
                                    startError)
                   << std::endl;
        }
        ++runCount_;
    }
    if (runCount_ == 0) {
        const std::string name = std::filesystem::path(exePath_).stem().string();
        const std::string text = "Unable to find modules to install in: \r\r" + folder +
                                 "\r\rPlease put " + name + " in the same folder as your modules.";
        (deps_.messageBox ? *deps_.messageBox : realMessageBox())
            .Show(text, product::kName, MB_ICONINFORMATION);
    }
}

int runLauncher(Form1Deps deps) {
    try {
        Form1 form(std::move(deps));
        form.Load();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bundora: " << text::oneLine(e.what()) << std::endl;
    }
    return 1;
}

}  // namespace bundora

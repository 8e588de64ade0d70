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

bool installerTrusted(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        return false;
    }
    // One that can't be run is no installer either: extracting again makes it runnable.
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && (st.st_mode & S_IXUSR) != 0;
}

Form1::Form1(Form1Deps deps) : deps_(std::move(deps)) {
    exePath_ = deps_.exePath.empty() ? selfExecutable() : deps_.exePath;
    if (deps_.payloadPath.empty()) {
        deps_.payloadPath = "/proc/self/exe";
    }
}

const char* Form1::env(const char* name) const {
    return deps_.getenv ? deps_.getenv(name) : std::getenv(name);
}

std::string Form1::launcherFolder() const {
    return std::filesystem::path(exePath_).parent_path().string() + "/";
}

std::string Form1::GetPocketLorvexPath() {
    const std::string value = GetRegistryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pocket Lorvex",
                                               "INSTALLDIR", deps_.registry);
    if (!value.empty()) {
        return value;
    }
    // The temporary folder; an unset or empty variable never means the file-system root.
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const char* v = env(name);
        if (v && *v && std::string(v).find_first_not_of('/') != std::string::npos) {
            return std::string(v) + "/";
        }
    }
    return "/tmp/";
}

std::string Form1::PocketLorvexInstallerPath() {
    const std::string path = GetPocketLorvexPath() + kInstallerName;
    if (FileStatus(path) != 1 || !installerTrusted(path)) {
        extractFiles(GetPocketLorvexPath());
    }
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
        const std::string commandLine = "\"" + installer + "\" \"" + folder + module + "\"";
        std::string startError;
        if (RunAndWait(commandLine, deps_.runner, &startError) == -1 && !startError.empty()) {
            errors << oneLine("bundora: installer run: cannot start " + installer + ": " +
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
        std::cerr << "bundora: " << oneLine(e.what()) << std::endl;
    }
    return 1;
}

}  // namespace bundora

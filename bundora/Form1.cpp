#include "Form1.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

namespace {

bool ownedByUserOrRoot(const struct stat& st) {
    return st.st_uid == ::geteuid() || st.st_uid == 0;
}

bool othersMayWrite(const struct stat& st) {
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The folder that holds path ("." for a bare name).
std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string realPath(const std::string& path) {
    char* real = ::realpath(path.empty() ? "." : path.c_str(), nullptr);
    if (!real) {
        return "";
    }
    std::string out = real;
    std::free(real);
    return out;
}

}  // namespace

std::string whyUntrusted(const std::string& folder) {
    // A folder that doesn't exist yet is judged when it is made; using it fails on its own.
    struct stat st {};
    return ::stat(folder.c_str(), &st) != 0 ? "" : posix::writableByOthers(folder);
}

InstallerState installerState(const std::string& path, posix::UniqueFd* fd) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return InstallerState::Missing;
    }
    std::string target = path;
    // A link counts by what it points to, but only one of our own (or root's) to a file in a
    // folder that no one else can change: another user's link could point at any program.
    if (S_ISLNK(st.st_mode)) {
        target = realPath(path);
        if (!ownedByUserOrRoot(st) || target.empty() || !whyUntrusted(folderOf(target)).empty()) {
            return InstallerState::Missing;
        }
    }
    // Checked through the descriptor that the start then uses.
    posix::UniqueFd file(::open(target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0 ||
        !ownedByUserOrRoot(st) || othersMayWrite(st)) {
        return InstallerState::Missing;
    }
    if (!(st.st_mode & S_IXUSR)) {
        return InstallerState::NotExecutable;
    }
    if (fd) {
        *fd = std::move(file);
    }
    return InstallerState::Present;
}

std::string whyNotReplaceable(const std::string& path) {
    const std::string folder = folderOf(path);
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

namespace {

constexpr const char* kPrivatePrefix = "bundora-";
// In each private folder: the list of what the run made there, locked while the run lives.
constexpr const char* kRunMarker = ".bundora-run";

// Removes what the marker lists (files, then temporary files and the folders, deepest first),
// and the marker. Anything else stays, and with it the folders that hold it.
void removeRecorded(int dirFd, int markerFd) {
    std::string list;
    if (::lseek(markerFd, 0, SEEK_SET) != 0 || !posix::readAll(markerFd, list, 16 << 20)) {
        return;
    }
    std::vector<std::string> folders;
    for (size_t at = 0; at < list.size();) {
        const size_t end = std::min(list.find('\0', at), list.size());
        const std::string item = list.substr(at, end - at);
        at = end + 1;
        if (item.size() < 2) {
            continue;
        }
        if (item[0] == 'd') {
            folders.push_back(item.substr(1));
        } else {
            ::unlinkat(dirFd, item.c_str() + 1, 0);
        }
    }
    sweepTemporaries(dirFd);
    for (auto f = folders.rbegin(); f != folders.rend(); ++f) {
        const posix::UniqueFd sub(
            ::openat(dirFd, f->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.valid()) {
            sweepTemporaries(sub.get());
        }
        ::unlinkat(dirFd, f->c_str(), AT_REMOVEDIR);
    }
    ::unlinkat(dirFd, kRunMarker, 0);
}

}  // namespace

void sweepAbandonedRuns(const std::string& folder) {
    const posix::UniqueFd base(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!base.valid()) {
        return;
    }
    std::vector<std::string> names;
    {
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(folder, ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.starts_with(kPrivatePrefix)) {
                names.push_back(std::move(name));
            }
        }
    }
    for (const std::string& name : names) {
        const posix::UniqueFd dir(
            ::openat(base.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!dir.valid() || ::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid()) {
            continue;
        }
        const posix::UniqueFd marker(
            ::openat(dir.get(), kRunMarker, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!marker.valid() || ::fstat(marker.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid() || ::flock(marker.get(), LOCK_EX | LOCK_NB) != 0) {
            continue;  // not a run's folder, or its run is alive
        }
        removeRecorded(dir.get(), marker.get());
        ::unlinkat(base.get(), name.c_str(), AT_REMOVEDIR);  // only when nothing else is left
    }
}

Form1::~Form1() {
    if (privateFd_.valid()) {
        removeRecorded(privateFd_.get(), privateMarker_.get());
        ::rmdir(privateFolder_.c_str());
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

}  // namespace

std::string Form1::makePrivateFolder() {
    const std::string base = temporaryFolder();
    refuseQuote("private folder", base);
    // Folders of earlier runs that were killed before they could remove theirs.
    sweepAbandonedRuns(base);
    const auto failed = [](const std::string& folder, int err) {
        return LaunchError("private folder",
                           "cannot create " + text::oneLine(folder) + ": " + std::strerror(err));
    };
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string folder = base + kPrivatePrefix + "XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) {
            throw failed(folder, errno);
        }
        posix::UniqueFd dir(
            ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!dir.valid() || ::fstat(dir.get(), &st) != 0) {
            throw failed(folder, errno);
        }
        if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
            throw failed(folder, EPERM);
        }
        posix::UniqueFd marker(
            ::openat(dir.get(), kRunMarker,
                     O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!marker.valid()) {
            throw failed(folder + "/" + kRunMarker, errno);
        }
        if (!posix::lockAsNamed(marker.get(), dir.get(), kRunMarker)) {
            continue;  // another run's clean-up took it for abandoned before it was locked
        }
        privateFolder_ = folder;
        privateFd_ = std::move(dir);
        privateMarker_ = std::move(marker);
        return folder + "/";
    }
    throw failed(base + kPrivatePrefix + "XXXXXX", EAGAIN);
}

std::string Form1::extractPrivately() {
    const std::string own = makePrivateFolder();
    try {
        FileSource self(deps_.payloadPath);
        // Listed before it is made, so that a run killed half-way leaves a complete list.
        const MadeRecorder record = [this](const std::string& path, bool folder) {
            const std::string item = (folder ? "d" : "f") + path + std::string(1, '\0');
            if (const int err = posix::writeAll(privateMarker_.get(), item.data(), item.size())) {
                throw ExtractError("cannot write " + text::oneLine(privateFolder_) + "/" +
                                   kRunMarker + ": " + std::strerror(err));
            }
        };
        extractPayloadAt(self, privateFd_.get(), own, record);
    } catch (const std::exception& e) {
        throw LaunchError("extraction", e.what());
    }
    installerState(own + kInstallerName, &installer_);
    return own + kInstallerName;
}

std::string Form1::PocketLorvexInstallerPath() {
    const std::string folder = GetPocketLorvexPath();
    refuseQuote("installer folder", folder);
    const std::string path = folder + kInstallerName;
    std::ostream& errors = deps_.errors ? *deps_.errors : std::cerr;
    // The installer's folder and the one extraction writes into (they differ for a folder
    // given without its final separator).
    std::string untrusted = whyUntrusted(folderOf(path));
    if (untrusted.empty()) {
        untrusted = whyUntrusted(folder);
    }
    if (!untrusted.empty()) {
        errors << "bundora: installer folder " << text::oneLine(folder)
               << " not used: " << untrusted << "; using a private folder" << std::endl;
        return extractPrivately();
    }
    const InstallerState state = installerState(path, &installer_);
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
        return extractPrivately();
    }
    try {
        extractFiles(GetPocketLorvexPath());
    } catch (const LaunchError& e) {
        // In a folder shared with others (sticky), another user may have put a file in the way
        // meanwhile: their file stays, the run goes on from a private folder.
        if (::stat(folder.c_str(), &st) != 0 || !othersMayWrite(st)) {
            throw;
        }
        errors << "bundora: " << text::oneLine(e.what()) << "; using a private folder" << std::endl;
        return extractPrivately();
    }
    installerState(path, &installer_);
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
        std::string startError = "it is missing, empty or not executable";
        // Started through the descriptor that was checked, never by its name again.
        if ((!installer_.valid() ||
             RunAndWait(commandLine, deps_.runner, &startError, installer_.get()) == -1) &&
            !startError.empty()) {
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

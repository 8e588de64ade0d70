#include "Form1.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

bool othersMayWrite(const struct stat& st) {
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The folder that holds path ("." for a bare name).
std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

InstallerState installerState(int folderFd, const std::string& folderShown, const std::string& name,
                              posix::UniqueFd* fd) {
    // A link in its place counts by its target, when the link is the user's or root's and the
    // target lies where no one else can change it: the walk judges both as it opens them.
    posix::Checked file = posix::openCheckedAt(folderFd, folderShown, name);
    if (!file.trusted() || !S_ISREG(file.st.st_mode) || file.st.st_size == 0) {
        return InstallerState::Missing;
    }
    if (!(file.st.st_mode & S_IXUSR)) {
        return InstallerState::NotExecutable;
    }
    if (fd) {
        *fd = std::move(file.fd);
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

// A marker line's path as the parts below the private folder: only plain names, never an
// absolute path or a "." or ".." part. Empty when the line is refused.
std::vector<std::string> recordedParts(const std::string& path) {
    std::vector<std::string> parts;
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string part = path.substr(at, end - at);
        if (part.empty() || part == "." || part == "..") {
            return {};
        }
        parts.push_back(part);
        at = end + 1;
    }
    return parts;
}

// Opens the folder that holds the recorded path's last part, never following a link.
posix::UniqueFd recordedFolder(int dirFd, const std::vector<std::string>& parts) {
    posix::UniqueFd folder(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; folder.valid() && i + 1 < parts.size(); ++i) {
        folder = posix::UniqueFd(::openat(folder.get(), parts[i].c_str(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return folder;
}

// Removes what the marker lists (files, then temporary files and the folders, deepest first),
// and the marker. Anything else stays, and with it the folders that hold it.
void removeRecorded(int dirFd, int markerFd) {
    std::string list;
    if (::lseek(markerFd, 0, SEEK_SET) != 0 || !posix::readAll(markerFd, list, 16 << 20)) {
        return;
    }
    std::vector<std::vector<std::string>> folders;
    for (size_t at = 0; at < list.size();) {
        const size_t end = std::min(list.find('\0', at), list.size());
        const std::string item = list.substr(at, end - at);
        at = end + 1;
        std::vector<std::string> parts =
            item.size() < 2 ? std::vector<std::string>{} : recordedParts(item.substr(1));
        if (parts.empty()) {
            continue;
        }
        if (item[0] == 'd') {
            folders.push_back(std::move(parts));
        } else if (const posix::UniqueFd in = recordedFolder(dirFd, parts); in.valid()) {
            ::unlinkat(in.get(), parts.back().c_str(), 0);
        }
    }
    sweepTemporaries(dirFd);
    for (auto f = folders.rbegin(); f != folders.rend(); ++f) {
        const posix::UniqueFd in = recordedFolder(dirFd, *f);
        if (!in.valid()) {
            continue;
        }
        const posix::UniqueFd sub(
            ::openat(in.get(), f->back().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.valid()) {
            sweepTemporaries(sub.get());
        }
        ::unlinkat(in.get(), f->back().c_str(), AT_REMOVEDIR);
    }
    ::unlinkat(dirFd, kRunMarker, 0);
}

// The names the private folders get: the prefix and six letters or digits.
constexpr size_t kPrivateSuffix = 6;

bool isPrivateName(std::string_view name) {
    if (!name.starts_with(kPrivatePrefix) ||
        name.size() != std::strlen(kPrivatePrefix) + kPrivateSuffix) {
        return false;
    }
    name.remove_prefix(std::strlen(kPrivatePrefix));
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

void sweepAbandonedRuns(int baseFd) {
    std::vector<std::string> names;
    {
        const int fd = ::openat(baseFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0) {
                ::close(fd);
            }
            return;
        }
        while (const dirent* e = ::readdir(dir)) {
            if (std::string_view(e->d_name).starts_with(kPrivatePrefix)) {
                names.emplace_back(e->d_name);
            }
        }
        ::closedir(dir);
    }
    for (const std::string& name : names) {
        const posix::UniqueFd dir(
            ::openat(baseFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!dir.valid() || ::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid()) {
            continue;
        }
        const posix::UniqueFd marker(
            ::openat(dir.get(), kRunMarker, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!marker.valid()) {
            // A run that ended between emptying its folder and removing it, or one killed before
            // its marker existed, leaves an empty folder of that name: it goes (only when empty).
            if (errno == ENOENT && isPrivateName(name)) {
                ::unlinkat(baseFd, name.c_str(), AT_REMOVEDIR);
            }
            continue;
        }
        if (::fstat(marker.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            ::flock(marker.get(), LOCK_EX | LOCK_NB) != 0) {
            continue;  // not a run's folder, or its run is alive: never waited for
        }
        removeRecorded(dir.get(), marker.get());
        ::unlinkat(baseFd, name.c_str(), AT_REMOVEDIR);  // only when nothing else is left
    }
}

Form1::~Form1() {
    if (privateFd_.valid()) {
        removeRecorded(privateFd_.get(), privateMarker_.get());
        ::unlinkat(privateBase_.get(), privateName_.c_str(), AT_REMOVEDIR);
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

namespace {

// A fresh private folder name: the prefix and six random letters or digits.
std::string privateName() {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[kPrivateSuffix] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // Without randomness the names still differ by process and time; mkdirat refuses a
        // taken one.
        const auto seed =
            static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(::time(nullptr));
        for (size_t i = 0; i < sizeof random; ++i) {
            random[i] = static_cast<unsigned char>(seed >> (i * 5));
        }
    }
    std::string name = kPrivatePrefix;
    for (const unsigned char r : random) {
        name += kLetters[r % (sizeof kLetters - 1)];
    }
    return name;
}

}  // namespace

posix::Checked Form1::privateBase(std::string& shown, std::string& firstWhy) const {
    // The temporary folder, else the user's runtime folder, else the user's cache folder (made
    // when missing): the first that only the user (or root) can change.
    std::vector<std::string> bases = {temporaryFolder()};
    const auto absolute = [this](const char* name) {
        const char* v = env(name);
        return v && v[0] == '/' ? std::string(v) : std::string();
    };
    if (const std::string runtime = absolute("XDG_RUNTIME_DIR"); !runtime.empty()) {
        bases.push_back(runtime + "/");
    }
    std::string cache = absolute("XDG_CACHE_HOME");
    const bool defaultCache = cache.empty() && !absolute("HOME").empty();
    if (defaultCache) {
        cache = absolute("HOME") + "/.cache";
    }
    if (!cache.empty()) {
        bases.push_back(cache + "/");
    }
    for (const std::string& base : bases) {
        if (defaultCache && &base == &bases.back()) {
            // The default cache folder is made when it is missing and its home qualifies.
            if (const posix::Checked home = posix::openChecked(absolute("HOME")); home.trusted()) {
                ::mkdirat(home.fd.get(), ".cache", 0700);
            }
        }
        posix::Checked checked = posix::openChecked(base);
        if (checked.trusted() && !S_ISDIR(checked.st.st_mode)) {
            checked = {};
            checked.why = text::oneLine(base) + " is not a folder";
        }
        if (checked.trusted()) {
            shown = base;
            return checked;
        }
        if (firstWhy.empty()) {
            firstWhy = checked.why;
        }
    }
    return {};
}

std::string Form1::makePrivateFolder() {
    std::string base, why;
    posix::Checked checked = privateBase(base, why);
    if (!checked.trusted()) {
        throw LaunchError("private folder", "no folder that only this user can change: " + why);
    }
    refuseQuote("private folder", base);
    // Folders of earlier runs that were killed before they could remove theirs.
    sweepAbandonedRuns(checked.fd.get());
    const auto failed = [&base](const std::string& name, int err) {
        return LaunchError("private folder", "cannot create " + text::oneLine(base + name) + ": " +
                                                 std::strerror(err));
    };
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = privateName();
        if (::mkdirat(checked.fd.get(), name.c_str(), 0700) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            throw failed(name, errno);
        }
        posix::UniqueFd dir(::openat(checked.fd.get(), name.c_str(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!dir.valid() || ::fstat(dir.get(), &st) != 0) {
            throw failed(name, errno);
        }
        if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
            throw failed(name, EPERM);
        }
        posix::UniqueFd marker(
            ::openat(dir.get(), kRunMarker,
                     O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!marker.valid() && errno == ENOENT) {
            continue;  // another run's clean-up took the empty folder for abandoned
        }
        if (!marker.valid()) {
            throw failed(name + "/" + kRunMarker, errno);
        }
        if (!posix::lockAsNamed(marker.get(), dir.get(), kRunMarker)) {
            continue;  // another run's clean-up took it for abandoned before it was locked
        }
        privateFolder_ = base + name;
        privateName_ = name;
        privateBase_ = std::move(checked.fd);
        privateFd_ = std::move(dir);
        privateMarker_ = std::move(marker);
        return privateFolder_ + "/";
    }
    throw failed(kPrivatePrefix + std::string("XXXXXX"), EAGAIN);
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
    // Opened in the folder this run holds, never looked up again by its path.
    installerState(privateFd_.get(), privateFolder_, kInstallerName, &installer_);
    return own + kInstallerName;
}

std::string Form1::PocketLorvexInstallerPath() {
    const std::string folder = GetPocketLorvexPath();
    refuseQuote("installer folder", folder);
    const std::string path = folder + kInstallerName;
    std::ostream& errors = deps_.errors ? *deps_.errors : std::cerr;
    // The installer's folder and the one extraction writes into (they differ for a folder given
    // without its final separator), each walked and judged once; from here on only their
    // descriptors are used.
    const std::string home = folderOf(path);
    const std::string leaf = path.substr(path.rfind('/') + 1);
    const posix::Checked place = posix::openChecked(home);
    const posix::Checked other =
        folder.ends_with('/') ? posix::Checked{} : posix::openChecked(folder);
    const posix::Checked& into = folder.ends_with('/') ? place : other;
    if (into.error != 0 || (into.trusted() && !S_ISDIR(into.st.st_mode))) {
        throw LaunchError("extraction", "cannot open destination folder " + text::oneLine(folder) +
                                            ": " +
                                            std::strerror(into.error ? into.error : ENOTDIR));
    }
    if (!place.trusted() || !into.trusted()) {
        errors << "bundora: installer folder " << text::oneLine(folder)
               << " not used: " << (place.trusted() ? into.why : place.why)
               << "; using a private folder" << std::endl;
        return extractPrivately();
    }
    const InstallerState state = installerState(place.fd.get(), home, leaf, &installer_);
    if (state == InstallerState::Present) {
        return path;
    }
    struct stat st {};
    const std::string why = whyNotReplaceable(path);
    if (state == InstallerState::NotExecutable && !why.empty()) {
        throw LaunchError("installer",
                          text::oneLine(path) + " is not executable and can't be replaced: " + why);
    }
    if (::fstatat(place.fd.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !why.empty()) {
        // Someone else's file that we may neither run nor replace: keep out of its way.
        return extractPrivately();
    }
    try {
        FileSource self(deps_.payloadPath);
        extractPayloadAt(self, into.fd.get(), folder, {});
    } catch (const std::exception& e) {
        // In a folder shared with others (sticky), another user may have put a file in the way
        // meanwhile: their file stays, the run goes on from a private folder.
        if (!othersMayWrite(into.st)) {
            throw LaunchError("extraction", e.what());
        }
        errors << "bundora: extraction: " << text::oneLine(e.what()) << "; using a private folder"
               << std::endl;
        return extractPrivately();
    }
    installerState(place.fd.get(), home, leaf, &installer_);
    return path;
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
        // Started through the descriptor that was checked, never by its name again. An installer
        // that can't start won't for the next module either: the run ends with the reason.
        if (!installer_.valid() ||
            RunAndWait(commandLine, deps_.runner, &startError, installer_.get()) == -1) {
            throw LaunchError("installer run", "cannot start " + installer + ": " + startError);
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

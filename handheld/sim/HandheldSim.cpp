// The commands of handheld-sim.

#include "HandheldSim.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <system_error>

#include "HelpTexts.h"
#include "ProgramText.h"
#include "Serve.h"
#include "SimShow.h"
#include "Storage.h"
#include "Text.h"
#include "product.h"

namespace fs = std::filesystem;

namespace handheldsim {

namespace {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Strips trailing slashes (but keeps "/").
std::string NormalizeRoot(std::string root) {
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The value of "--opt VALUE" or "--opt=VALUE"; advances i past it.
std::optional<std::string> OptionValue(const std::vector<std::string>& args, size_t& i,
                                       const std::string& option) {
    const std::string& arg = args[i];
    if (arg == option) {
        if (i + 1 >= args.size()) {
            throw UsageError(option + " needs a value");
        }
        return args[++i];
    }
    if (arg.rfind(option + "=", 0) == 0) {
        return arg.substr(option.size() + 1);
    }
    return std::nullopt;
}

// The folder of a storage on the handheld at root (open as rootFd): the root itself for main
// memory, else the card's folder, found the way the handheld finds it.
handheld::Fd OpenStorage(int rootFd, const std::string& root, const std::string& storage) {
    if (storage == kMainMemory) {
        return handheld::Fd(openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    int err;
    handheld::Fd folder = handheld::OpenFolder(rootFd, storage, err);
    if (!folder.valid() || !handheld::HoldsCardMarker(folder.get())) {
        throw Failure("the handheld at " + root + " has no storage card \"" + storage + "\"");
    }
    return folder;
}

// The name of a storage's settings file in its folder.
std::string_view SettingsName(const std::string& storage) {
    return storage == kMainMemory ? handheld::kHandheldSettings : handheld::kCardMarker;
}

handheld::Fd OpenRoot(const std::string& root) {
    handheld::Fd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        throw Failure("cannot open " + root + ": " + std::strerror(errno));
    }
    return fd;
}

void WriteSettings(int folder, std::string_view name, const std::string& path,
                   const std::string& text) {
    int err = 0;
    if (!handheld::WriteSettingsFile(folder, name, text, err)) {
        throw Failure("cannot write " + path + ": " + std::strerror(err));
    }
}

std::string CheckStorageName(const std::string& name) {
    if (name != kMainMemory && !handheld::IsValidCardName(name)) {
        throw UsageError("\"" + name + "\" is not a storage name (a card's name, or " +
                         kMainMemory + ")");
    }
    return name;
}

// "NAME=SIZE" (SIZE may be "none" when allowNone).
std::pair<std::string, std::optional<uint64_t>> ParseCapacity(const std::string& value,
                                                              bool allowNone) {
    const auto eq = value.rfind('=');
    if (eq == std::string::npos) {
        throw UsageError("--capacity takes NAME=SIZE, not \"" + value + "\"");
    }
    const std::string name = CheckStorageName(value.substr(0, eq));
    const std::string size = value.substr(eq + 1);
    if (allowNone && Lower(size) == "none") {
        return {name, std::nullopt};
    }
    const auto bytes = handheld::ParseSize(size);
    if (!bytes) {
        throw UsageError("\"" + size + "\" is not a size (N, NK, NM or NG)");
    }
    return {name, bytes};
}

handheld::Settings::Answer CheckAnswer(const std::string& value) {
    using Answer = handheld::Settings::Answer;
    const std::string answer = Lower(value);
    if (answer != "yes" && answer != "no" && answer != "refuse") {
        throw UsageError("--answer takes yes, no or refuse, not \"" + value + "\"");
    }
    return answer == "yes" ? Answer::Yes : answer == "no" ? Answer::No : Answer::Refuse;
}

struct Parsed {
    std::optional<std::string> root;
    std::vector<std::string> moreRoots;  // serve: the handhelds after the first
    bool help = false;
    std::vector<std::string> cards;
    std::vector<std::string> readOnly;
    std::vector<std::string> writable;
    std::vector<std::pair<std::string, std::optional<uint64_t>>> capacities;
    std::optional<std::optional<uint64_t>> speed;  // set: none clears
    std::optional<handheld::Settings::Answer> answer;
    std::optional<wire::OsVersion> os;  // serve
    std::optional<std::string> name;
    std::optional<std::string> password;  // set: empty removes it
};

// "MAJOR.MINOR", as the handheld's OS version.
wire::OsVersion ParseOsVersion(const std::string& value) {
    unsigned major = 0, minor = 0;
    int used = 0;
    if (std::sscanf(value.c_str(), "%3u.%3u%n", &major, &minor, &used) != 2 ||
        used != static_cast<int>(value.size()) ||
        !std::isdigit(static_cast<unsigned char>(value[0]))) {
        throw UsageError("\"" + value + "\" is not an OS version MAJOR.MINOR (say 5.2 or 4.21)");
    }
    return wire::OsVersion{major, minor};
}

// Parses the arguments of a command; options lists the ones it accepts.
Parsed ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& options,
                 bool isSet, bool manyRoots) {
    Parsed p;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            p.help = true;
            continue;
        }
        if (arg.rfind("-", 0) != 0 || arg == "-") {
            if (p.root && !manyRoots) {
                throw UsageError("unexpected argument \"" + arg + "\"");
            }
            (p.root ? p.moreRoots.emplace_back() : p.root.emplace()) = arg;
            continue;
        }
        const std::string name = arg.substr(0, arg.find('='));
        if (options.count(name) == 0) {
            throw UsageError("unknown option \"" + name + "\"");
        }
        const std::string value = *OptionValue(args, i, name);
        if (name == "--card") {
            if (!handheld::IsValidCardName(value)) {
                throw UsageError("\"" + value + "\" can't be a card's name");
            }
            p.cards.push_back(value);
        } else if (name == "--read-only") {
            p.readOnly.push_back(CheckStorageName(value));
        } else if (name == "--writable") {
            p.writable.push_back(CheckStorageName(value));
        } else if (name == "--capacity") {
            p.capacities.push_back(ParseCapacity(value, isSet));
        } else if (name == "--speed") {
            if (isSet && Lower(value) == "none") {
                p.speed = std::optional<uint64_t>();
            } else if (const auto speed = handheld::ParseSize(value)) {
                p.speed = speed;
            } else {
                throw UsageError("\"" + value + "\" is not a speed in bytes per second");
            }
        } else if (name == "--answer") {
            p.answer = CheckAnswer(value);
        } else if (name == "--os") {
            p.os = ParseOsVersion(value);
        } else if (name == "--name") {
            if (!handheld::IsValidDeviceName(value)) {
                throw UsageError(
                    "--name needs a name of 1 to 64 characters in UTF-8, without control "
                    "characters or spaces at either end");
            }
            p.name = value;
        } else if (name == "--password") {
            if (!handheld::IsValidPassword(value)) {
                throw UsageError(
                    "--password needs up to 64 characters in UTF-8, without control characters "
                    "or spaces at either end (empty: none)");
            }
            p.password = value;
        }
    }
    return p;
}

std::string RootOf(const Parsed& p) {
    const std::string root = NormalizeRoot(p.root ? *p.root : handheld::DefaultRoot());
    if (root.empty() || root == "/") {
        throw UsageError("\"" + root + "\" can't be a handheld's folder");
    }
    return root;
}

// The settings changes the options make, by storage.
std::map<std::string, handheld::SettingsChange> ChangesOf(const Parsed& p) {
    std::map<std::string, handheld::SettingsChange> changes;
    for (const auto& storage : p.writable) {
        changes[storage].readOnly = false;
    }
    for (const auto& storage : p.readOnly) {
        changes[storage].readOnly = true;
    }
    for (const auto& [storage, bytes] : p.capacities) {
        changes[storage].capacity = bytes;
    }
    if (p.speed) {
        changes[kMainMemory].speed = p.speed->value_or(0);
    }
    if (p.answer) {
        changes[kMainMemory].answer = *p.answer;
    }
    if (p.name) {
        changes[kMainMemory].name = *p.name;
    }
    if (p.os) {
        changes[kMainMemory].os = handheld::OsNumber{p.os->major, p.os->minor};
    }
    if (p.password) {
        changes[kMainMemory].password = *p.password;
    }
    return changes;
}

void MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        throw Failure("cannot create " + path + ": " + std::strerror(errno));
    }
    if (!IsDirectory(path)) {
        throw Failure(path + " exists and is not a folder");
    }
}

// Makes a card's folder (or takes the folder there) and gives it a marker unless it has one.
void AddCard(int rootFd, const std::string& root, const std::string& card) {
    const std::string folder = root + "/" + card;
    MakeFolder(folder);
    int err;
    const handheld::Fd cardFd = handheld::OpenFolder(rootFd, card, err);
    if (!cardFd.valid()) {
        throw Failure("cannot open " + folder + ": " + std::strerror(err));
    }
    if (!Exists(folder + "/" + std::string(handheld::kCardMarker))) {
        WriteSettings(cardFd.get(), handheld::kCardMarker,
                      folder + "/" + std::string(handheld::kCardMarker), "");
    }
}

// Rewrites a storage's settings file with the change made.
void ChangeStorage(int rootFd, const std::string& root, const std::string& storage,
                   const handheld::SettingsChange& change) {
    const handheld::Fd folder = OpenStorage(rootFd, root, storage);
    const std::string_view name = SettingsName(storage);
    const std::string path =
        (storage == kMainMemory ? root : root + "/" + storage) + "/" + std::string(name);
    WriteSettings(folder.get(), name, path,
                  handheld::ChangeSettings(handheld::ReadSettingsFile(folder.get(), name), change));
}

int Create(const Parsed& p, std::ostream& out) {
    const std::string root = RootOf(p);
    std::set<std::string> names = {"program files", "my documents", "windows"};
    for (const auto& card : p.cards) {
        if (!names.insert(Lower(card)).second) {
            throw UsageError("the card name \"" + card +
                             "\" is used twice or names a standard folder");
        }
    }
    auto known = [&](const std::string& storage) {
        return storage == kMainMemory ||
               std::find(p.cards.begin(), p.cards.end(), storage) != p.cards.end();
    };
    for (const auto& storage : p.readOnly) {
        if (!known(storage)) {
            throw UsageError("--read-only names no card given with --card: \"" + storage + "\"");
        }
    }
    for (const auto& capacity : p.capacities) {
        if (!known(capacity.first)) {
            throw UsageError("--capacity names no card given with --card: \"" + capacity.first +
                             "\"");
        }
    }
    if (Exists(UnpluggedPath(root))) {
        throw Failure("a handheld at " + root +
                      " exists and is unplugged; plug it in with: " + "handheld-sim plug " + root);
    }
    if (Exists(root)) {
        std::error_code ec;
        if (!IsDirectory(root) || !fs::is_empty(root, ec) || ec) {
            throw Failure(root + " exists already; change it with 'handheld-sim set'");
        }
    }
    std::error_code ec;
    fs::create_directories(fs::path(root).parent_path(), ec);
    MakeFolder(root);
    for (const char* folder : {"Program Files", "My Documents", "Windows"}) {
        MakeFolder(root + "/" + folder);
    }
    const handheld::Fd rootFd = OpenRoot(root);
    for (const auto& card : p.cards) {
        AddCard(rootFd.get(), root, card);
    }
    auto changes = ChangesOf(p);
    ChangeStorage(rootFd.get(), root, kMainMemory, changes[kMainMemory]);
    for (const auto& card : p.cards) {
        ChangeStorage(rootFd.get(), root, card, changes[card]);
    }
    out << "Created a handheld at " << root;
    if (!p.cards.empty()) {
        out << " with " << p.cards.size() << (p.cards.size() == 1 ? " card" : " cards");
    }
    out << "\n";
    return kOk;
}

// ---- show ----

int Show(const Parsed& p, std::ostream& out) {
    const std::string root = RootOf(p);
    if (!IsDirectory(root)) {
        if (IsDirectory(UnpluggedPath(root))) {
            out << "Handheld " << root << ": unplugged (plug it in with: handheld-sim plug " << root
                << ")\n";
        } else {
            out << "Handheld " << root << ": not attached (create one with: handheld-sim create "
                << root << ")\n";
        }
        return kOk;
    }
    const handheld::Fd rootFd = OpenRoot(root);
    ShowAttached(root, rootFd.get(), out);
    return kOk;
}

// ---- unplug, plug ----

void Move(const std::string& from, const std::string& to) {
    // Never replaces an existing folder.
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        throw Failure("cannot rename " + from + " to " + to + ": " + std::strerror(errno));
    }
}

int Unplug(const Parsed& p, std::ostream& out) {
    const std::string root = RootOf(p);
    const std::string aside = UnpluggedPath(root);
    if (!Exists(root)) {
        throw Failure(Exists(aside) ? "the handheld at " + root + " is unplugged already"
                                    : "there is no handheld at " + root);
    }
    if (!IsDirectory(root)) {
        throw Failure(root + " is not a handheld's folder");
    }
    if (Exists(aside)) {
        throw Failure("cannot unplug: " + aside + " is in the way");
    }
    Move(root, aside);
    out << "Unplugged the handheld at " << root << "\n";
    return kOk;
}

int Plug(const Parsed& p, std::ostream& out) {
    const std::string root = RootOf(p);
    const std::string aside = UnpluggedPath(root);
    if (!IsDirectory(aside)) {
        throw Failure(Exists(root) ? "the handheld at " + root + " is plugged in already"
                                   : "there is no unplugged handheld for " + root);
    }
    if (Exists(root)) {
        throw Failure("cannot plug in: " + root + " exists");
    }
    Move(aside, root);
    out << "Plugged in the handheld at " << root << "\n";
    return kOk;
}

// ---- set ----

int Set(const Parsed& p, std::ostream& out) {
    const std::string root = RootOf(p);
    if (!IsDirectory(root)) {
        throw Failure(IsDirectory(UnpluggedPath(root))
                          ? "the handheld at " + root + " is unplugged; plug it in first"
                          : "there is no handheld at " + root);
    }
    if (p.cards.empty() && p.readOnly.empty() && p.writable.empty() && p.capacities.empty() &&
        !p.speed && !p.answer && !p.name && !p.os && !p.password) {
        throw UsageError("set: nothing to change");
    }
    const handheld::Fd rootFd = OpenRoot(root);
    const auto changes = ChangesOf(p);
    // Every storage named must exist (or be added now) before anything changes.
    for (const auto& [storage, change] : changes) {
        if (std::find(p.cards.begin(), p.cards.end(), storage) == p.cards.end()) {
            OpenStorage(rootFd.get(), root, storage);
        }
    }
    for (const auto& card : p.cards) {
        AddCard(rootFd.get(), root, card);
    }
    for (const auto& [storage, change] : changes) {
        ChangeStorage(rootFd.get(), root, storage, change);
    }
    out << "Changed the handheld at " << root << "\n";
    return kOk;
}

// ---- serve ----

int Serve(const Parsed& p, std::ostream& out) {
    if (!p.moreRoots.empty() && (p.os || p.name)) {
        throw UsageError(
            "--os and --name are for one handheld; give each its own with: handheld-sim set "
            "ROOT --name NAME --os MAJOR.MINOR");
    }
    std::vector<std::string> roots = {RootOf(p)};
    for (const auto& more : p.moreRoots) {
        Parsed one;
        one.root = more;
        roots.push_back(RootOf(one));
    }
    wire::ServeOptions options;
    std::set<std::string> seen;
    for (const auto& given : roots) {
        wire::ServedHandheld served;
        served.root = NormalizeRoot(fs::absolute(given).lexically_normal().string());
        if (!IsDirectory(served.root) && !IsDirectory(UnpluggedPath(served.root))) {
            throw Failure("there is no handheld at " + served.root +
                          " (make one with: handheld-sim create " + served.root + ")");
        }
        if (!seen.insert(served.root).second) {
            throw UsageError("the handheld at " + served.root + " is named twice");
        }
        served.os = p.os;
        served.name = p.name;
        options.handhelds.push_back(std::move(served));
    }
    std::string why;
    if (wire::Serve(options, out, why) != 0) {
        throw Failure(why);
    }
    return kOk;
}

}  // namespace

std::string UnpluggedPath(const std::string& root) {
    const fs::path path(NormalizeRoot(root));
    return (path.parent_path() / ("." + path.filename().string() + ".unplugged")).string();
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    // A usage error is one line and where to read more, not the whole help.
    const auto badUsage = [&err](const std::string& who, const std::string& problem,
                                 const std::string& helpCommand) {
        err << who << ": " << problem << "\nTry '" << helpCommand
            << " --help' for more information.\n";
        return kBadUsage;
    };
    if (args.empty()) {
        return badUsage("handheld-sim", "no command given", "handheld-sim");
    }
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage << programtext::BugReportLine();
        return kOk;
    }
    if (command == "--version") {
        out << programtext::VersionText("handheld-sim");
        return kOk;
    }
    struct Command {
        const char* usage;
        std::set<std::string> options;
        int (*run)(const Parsed&, std::ostream&);
    };
    static const std::map<std::string, Command> commands = {
        {"create",
         {kCreateUsage, {"--card", "--read-only", "--capacity", "--speed", "--answer"}, Create}},
        {"show", {kShowUsage, {}, Show}},
        {"unplug", {kUnplugUsage, {}, Unplug}},
        {"plug", {kPlugUsage, {}, Plug}},
        {"serve", {kServeUsage, {"--os", "--name"}, Serve}},
        {"set",
         {kSetUsage,
          {"--card", "--read-only", "--writable", "--capacity", "--speed", "--answer", "--name",
           "--os", "--password"},
          Set}},
    };
    const auto it = commands.find(command);
    if (it == commands.end()) {
        return badUsage("handheld-sim", "unknown command \"" + command + "\"", "handheld-sim");
    }
    try {
        const Parsed parsed =
            ParseArgs(args, it->second.options, command == "set", command == "serve");
        if (parsed.help) {
            out << it->second.usage;
            return kOk;
        }
        return it->second.run(parsed, out);
    } catch (const UsageError& e) {
        return badUsage("handheld-sim " + command, e.what(), "handheld-sim " + command);
    } catch (const std::exception& e) {
        err << "handheld-sim " << command << ": " << e.what() << "\n";
        return kFailure;
    }
}

}  // namespace handheldsim

// The commands of handheld-sim.

#include "HandheldSim.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <system_error>

#include "EmulatedHandheld.h"
#include "product.h"

namespace fs = std::filesystem;

namespace handheldsim {

namespace {

const char* const kUsage =
    "Usage: handheld-sim COMMAND [ROOT] [OPTIONS]\n"
    "Creates and changes an emulated handheld: a folder tree that the installer's built-in\n"
    "device uses. ROOT defaults to $TRESTEL_DEVICE, else\n"
    "${XDG_DATA_HOME:-$HOME/.local/share}/trestel/handheld.\n"
    "\n"
    "Commands:\n"
    "  create   create a handheld with its standard folders and storage cards\n"
    "  show     show the handheld's tree, cards and settings\n"
    "  unplug   take the handheld away (its folder is moved aside)\n"
    "  plug     put an unplugged handheld back\n"
    "  set      change settings: read-only, capacity, speed, answer; add cards\n"
    "\n"
    "A storage is named by its card's folder name, or by \":main\" for main memory.\n"
    "Run 'handheld-sim COMMAND --help' for the options of a command.\n"
    "\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "Exit status: 0 success, 1 a failure, 2 bad usage.\n";

const char* const kCreateUsage =
    "Usage: handheld-sim create [ROOT] [--card NAME]... [--read-only NAME]...\n"
    "                           [--capacity NAME=SIZE]... [--speed N] [--answer yes|no|refuse]\n"
    "Creates ROOT with the folders \"Program Files\", \"My Documents\" and \"Windows\", and one\n"
    "storage card folder per --card. ROOT must not exist yet (or be an empty folder).\n"
    "  --card NAME            add a storage card called NAME\n"
    "  --read-only NAME       make a storage write-protected (NAME: a card, or :main)\n"
    "  --capacity NAME=SIZE   bytes available for files in a storage; SIZE is N, NK, NM or NG\n"
    "  --speed N              link speed in bytes per second (K, M, G allowed); 0: full speed\n"
    "  --answer WORD          how the handheld answers a connect: yes, no (never), refuse\n";

const char* const kShowUsage =
    "Usage: handheld-sim show [ROOT]\n"
    "Shows whether the handheld is attached, its settings, its storage cards and its tree\n"
    "with file sizes.\n";

const char* const kUnplugUsage =
    "Usage: handheld-sim unplug [ROOT]\n"
    "Unplugs the handheld: ROOT is renamed to a hidden sibling (.NAME.unplugged), so that the\n"
    "installer finds no handheld. Refused when it is unplugged already.\n";

const char* const kPlugUsage =
    "Usage: handheld-sim plug [ROOT]\n"
    "Plugs an unplugged handheld back in: its folder is renamed back to ROOT.\n";

const char* const kSetUsage =
    "Usage: handheld-sim set [ROOT] [--card NAME]... [--read-only NAME]... [--writable NAME]...\n"
    "                        [--capacity NAME=SIZE|NAME=none]... [--speed N|none]\n"
    "                        [--answer yes|no|refuse]\n"
    "Changes the settings of an attached handheld.\n"
    "  --card NAME            add a storage card called NAME (a folder that exists already\n"
    "                         becomes a card)\n"
    "  --read-only NAME       make a storage write-protected (NAME: a card, or :main)\n"
    "  --writable NAME        make a storage writable again\n"
    "  --capacity NAME=SIZE   bytes available for files (N, NK, NM, NG); none: unlimited\n"
    "  --speed N              link speed in bytes per second; none or 0: full speed\n"
    "  --answer WORD          yes (answer at once), no (never answer), refuse\n";

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

// A name that the device can address as one folder.
bool IsValidCardName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) {
        return false;
    }
    if (Lower(name) == std::string(handheld::kCardMarker) ||
        Lower(name) == std::string(handheld::kHandheldSettings)) {
        return false;
    }
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) {
            return false;
        }
    }
    return true;
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

// One settings line to change: the line's key and its new text (none: removed).
struct SettingChange {
    std::string key;
    std::optional<std::string> line;
};

std::string LineKey(const std::string& line) {
    std::string key = line.substr(0, line.find('='));
    const auto first = key.find_first_not_of(" \t\r");
    const auto last = key.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : Lower(key.substr(first, last - first + 1));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes a file whole: a temporary beside it, renamed over it.
void WriteText(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            throw Failure("cannot write " + path + ": " + std::strerror(errno));
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(temporary.c_str());
        throw Failure("cannot write " + path + ": " + std::strerror(err));
    }
}

// Rewrites a settings file: lines of the changed keys are replaced, all others kept.
void EditSettings(const std::string& path, const std::vector<SettingChange>& changes) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        throw Failure(path + " is not a regular file");
    }
    std::set<std::string> keys;
    for (const auto& change : changes) {
        keys.insert(change.key);
    }
    std::istringstream in(ReadText(path));
    std::string kept;
    for (std::string line; std::getline(in, line);) {
        if (keys.count(LineKey(line)) == 0) {
            kept += line + "\n";
        }
    }
    for (const auto& change : changes) {
        if (change.line) {
            kept += *change.line + "\n";
        }
    }
    WriteText(path, kept);
}

// The settings file of a storage on the handheld at root.
std::string SettingsFile(const std::string& root, const std::string& storage) {
    if (storage == kMainMemory) {
        return root + "/" + std::string(handheld::kHandheldSettings);
    }
    const std::string marker = root + "/" + storage + "/" + std::string(handheld::kCardMarker);
    struct stat st;
    if (!IsDirectory(root + "/" + storage) || lstat(marker.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode)) {
        throw Failure("the handheld at " + root + " has no storage card \"" + storage + "\"");
    }
    return marker;
}

std::string CheckStorageName(const std::string& name) {
    if (name != kMainMemory && !IsValidCardName(name)) {
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

std::string CheckAnswer(const std::string& value) {
    const std::string answer = Lower(value);
    if (answer != "yes" && answer != "no" && answer != "refuse") {
        throw UsageError("--answer takes yes, no or refuse, not \"" + value + "\"");
    }
    return answer;
}

struct Parsed {
    std::optional<std::string> root;
    bool help = false;
    std::vector<std::string> cards;
    std::vector<std::string> readOnly;
    std::vector<std::string> writable;
    std::vector<std::pair<std::string, std::optional<uint64_t>>> capacities;
    std::optional<std::optional<uint64_t>> speed;  // set: none clears
    std::optional<std::string> answer;
};

// Parses the arguments of a command; options lists the ones it accepts.
Parsed ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& options,
                 bool isSet) {
    Parsed p;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            p.help = true;
            continue;
        }
        if (arg.rfind("-", 0) != 0 || arg == "-") {
            if (p.root) {
                throw UsageError("unexpected argument \"" + arg + "\"");
            }
            p.root = arg;
            continue;
        }
        const std::string name = arg.substr(0, arg.find('='));
        if (options.count(name) == 0) {
            throw UsageError("unknown option \"" + name + "\"");
        }
        const std::string value = *OptionValue(args, i, name);
        if (name == "--card") {
            if (!IsValidCardName(value)) {
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

std::string CapacityLine(uint64_t bytes) {
    return "capacity=" + std::to_string(bytes);
}

// The settings lines of one storage as given to create.
std::string InitialSettings(const Parsed& p, const std::string& storage) {
    std::string text;
    if (std::find(p.readOnly.begin(), p.readOnly.end(), storage) != p.readOnly.end()) {
        text += "read-only\n";
    }
    for (const auto& [name, bytes] : p.capacities) {
        if (name == storage && bytes) {
            text += CapacityLine(*bytes) + "\n";
        }
    }
    if (storage == kMainMemory) {
        if (p.speed && *p.speed && **p.speed > 0) {
            text += "speed=" + std::to_string(**p.speed) + "\n";
        }
        if (p.answer && *p.answer != "yes") {
            text += "answer=" + *p.answer + "\n";
        }
    }
    return text;
}

void MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        throw Failure("cannot create " + path + ": " + std::strerror(errno));
    }
    if (!IsDirectory(path)) {
        throw Failure(path + " exists and is not a folder");
    }
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
    WriteText(root + "/" + std::string(handheld::kHandheldSettings),
              InitialSettings(p, kMainMemory));
    for (const auto& card : p.cards) {
        MakeFolder(root + "/" + card);
        WriteText(root + "/" + card + "/" + std::string(handheld::kCardMarker),
                  InitialSettings(p, card));
    }
    out << "Created a handheld at " << root;
    if (!p.cards.empty()) {
        out << " with " << p.cards.size() << (p.cards.size() == 1 ? " card" : " cards");
    }
    out << "\n";
    return kOk;
}

// ---- show ----

struct Entry {
    std::string name;
    struct stat st;
};

std::vector<Entry> ListFolder(const std::string& path) {
    std::vector<Entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        Entry entry{it->path().filename().string(), {}};
        if (lstat(it->path().c_str(), &entry.st) == 0) {
            entries.push_back(std::move(entry));
        }
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        const std::string la = Lower(a.name), lb = Lower(b.name);
        return la != lb ? la < lb : a.name < b.name;
    });
    return entries;
}

bool IsMarker(const std::string& name) {
    return Lower(name) == std::string(handheld::kCardMarker) ||
           Lower(name) == std::string(handheld::kHandheldSettings);
}

bool IsCard(const std::string& folder) {
    struct stat st;
    const std::string marker = folder + "/" + std::string(handheld::kCardMarker);
    return lstat(marker.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

uint64_t Used(const std::string& folder, bool isRoot, int depth) {
    uint64_t total = 0;
    if (depth > 64) {
        return 0;
    }
    for (const auto& e : ListFolder(folder)) {
        if (IsMarker(e.name)) {
            continue;
        }
        if (S_ISREG(e.st.st_mode)) {
            total += static_cast<uint64_t>(e.st.st_size);
        } else if (S_ISDIR(e.st.st_mode) && !(isRoot && IsCard(folder + "/" + e.name))) {
            total += Used(folder + "/" + e.name, false, depth + 1);
        }
    }
    return total;
}

std::string Describe(const handheld::Settings& s, uint64_t used, bool withLink) {
    std::string text = std::to_string(used) + " bytes used";
    if (s.capacity) {
        text += " of " + std::to_string(*s.capacity) + " (";
        text += std::to_string(*s.capacity > used ? *s.capacity - used : 0) + " free)";
    }
    if (s.readOnly) {
        text += ", read-only";
    }
    if (withLink) {
        if (s.speed > 0) {
            text += ", link " + std::to_string(s.speed) + " bytes/s";
        }
        if (s.answer == handheld::Settings::Answer::No) {
            text += ", never answers a connect";
        } else if (s.answer == handheld::Settings::Answer::Refuse) {
            text += ", refuses a connect";
        }
    }
    return text;
}

void ShowTree(const std::string& folder, bool isRoot, int depth, std::ostream& out) {
    const std::string indent(static_cast<size_t>(depth + 1) * 2, ' ');
    if (depth > 64) {
        out << indent << "...\n";
        return;
    }
    for (const auto& e : ListFolder(folder)) {
        if (IsMarker(e.name)) {
            continue;
        }
        const std::string path = folder + "/" + e.name;
        if (S_ISDIR(e.st.st_mode)) {
            out << indent << e.name << "\\";
            if (isRoot && IsCard(path)) {
                const auto s = handheld::ParseSettings(
                    ReadText(path + "/" + std::string(handheld::kCardMarker)));
                out << "  [storage card: " << Describe(s, Used(path, false, 0), false) << "]";
            }
            out << "\n";
            ShowTree(path, false, depth + 1, out);
        } else if (S_ISREG(e.st.st_mode)) {
            out << indent << e.name << "  " << e.st.st_size << " bytes\n";
        } else if (S_ISLNK(e.st.st_mode)) {
            out << indent << e.name << "  (symbolic link: not seen by the handheld)\n";
        } else {
            out << indent << e.name << "  (special file: not seen by the handheld)\n";
        }
    }
}

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
    const auto main =
        handheld::ParseSettings(ReadText(root + "/" + std::string(handheld::kHandheldSettings)));
    out << "Handheld " << root << ": attached\n";
    out << "Main memory: " << Describe(main, Used(root, true, 0), true) << "\n";
    std::vector<std::string> cards;
    for (const auto& e : ListFolder(root)) {
        if (S_ISDIR(e.st.st_mode) && IsCard(root + "/" + e.name)) {
            cards.push_back(e.name);
        }
    }
    out << "Storage cards:";
    if (cards.empty()) {
        out << " none";
    }
    for (size_t i = 0; i < cards.size(); ++i) {
        out << (i == 0 ? " " : ", ") << cards[i];
    }
    out << "\n\\\n";
    ShowTree(root, true, 0, out);
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
        !p.speed && !p.answer) {
        throw UsageError("set: nothing to change");
    }
    // Every storage named must exist (or be added now) before anything changes.
    auto check = [&](const std::string& storage) {
        if (std::find(p.cards.begin(), p.cards.end(), storage) == p.cards.end()) {
            SettingsFile(root, storage);
        }
    };
    std::for_each(p.readOnly.begin(), p.readOnly.end(), check);
    std::for_each(p.writable.begin(), p.writable.end(), check);
    for (const auto& capacity : p.capacities) {
        check(capacity.first);
    }
    for (const auto& card : p.cards) {
        const std::string folder = root + "/" + card;
        MakeFolder(folder);
        const std::string marker = folder + "/" + std::string(handheld::kCardMarker);
        if (!Exists(marker)) {
            WriteText(marker, "");
        }
    }
    std::map<std::string, std::vector<SettingChange>> changes;  // by settings file
    for (const auto& storage : p.readOnly) {
        changes[SettingsFile(root, storage)].push_back({"read-only", "read-only"});
    }
    for (const auto& storage : p.writable) {
        changes[SettingsFile(root, storage)].push_back({"read-only", std::nullopt});
    }
    for (const auto& [storage, bytes] : p.capacities) {
        changes[SettingsFile(root, storage)].push_back(
            {"capacity", bytes ? std::optional(CapacityLine(*bytes)) : std::nullopt});
    }
    const std::string mainFile = SettingsFile(root, kMainMemory);
    if (p.speed) {
        const bool paced = *p.speed && **p.speed > 0;
        changes[mainFile].push_back(
            {"speed", paced ? std::optional("speed=" + std::to_string(**p.speed)) : std::nullopt});
    }
    if (p.answer) {
        changes[mainFile].push_back(
            {"answer", *p.answer == "yes" ? std::nullopt : std::optional("answer=" + *p.answer)});
    }
    for (const auto& [file, list] : changes) {
        EditSettings(file, list);
    }
    out << "Changed the handheld at " << root << "\n";
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
        out << kUsage;
        return kOk;
    }
    if (command == "--version") {
        out << "handheld-sim (" << product::kName << ") " << product::kVersion << "\n";
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
        {"set",
         {kSetUsage,
          {"--card", "--read-only", "--writable", "--capacity", "--speed", "--answer"},
          Set}},
    };
    const auto it = commands.find(command);
    if (it == commands.end()) {
        return badUsage("handheld-sim", "unknown command \"" + command + "\"", "handheld-sim");
    }
    try {
        const Parsed parsed = ParseArgs(args, it->second.options, command == "set");
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

// handheld-sim show: what an attached handheld holds, storage by storage and folder by folder.

#include "SimShow.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <ostream>
#include <system_error>
#include <vector>

#include "Storage.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace handheldsim {

namespace {

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
        const auto lower = [](std::string text) {
            std::transform(text.begin(), text.end(), text.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            return text;
        };
        const std::string la = lower(a.name), lb = lower(b.name);
        return la != lb ? la < lb : a.name < b.name;
    });
    return entries;
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

// A card's line in the tree: its settings and the bytes in use.
std::string DescribeCard(int rootFd, const std::string& name) {
    int err;
    const handheld::Fd card = handheld::OpenFolder(rootFd, name, err);
    const auto settings =
        handheld::ParseSettings(handheld::ReadSettingsFile(card.get(), handheld::kCardMarker));
    return Describe(settings, handheld::UsedBytes(card.get(), false), false);
}

// rootFd: the open root when folder is the root, else -1.
void ShowTree(const std::string& folder, int rootFd, int depth, std::ostream& out) {
    const std::string indent(static_cast<size_t>(depth + 1) * 2, ' ');
    if (depth > 64) {
        out << indent << "...\n";
        return;
    }
    for (const auto& e : ListFolder(folder)) {
        if (handheld::IsMarkerName(e.name)) {
            continue;
        }
        const std::string path = folder + "/" + e.name;
        // What the handheld holds is named by whoever wrote it: shown with its controls escaped.
        const std::string name = text::oneLine(e.name);
        if (S_ISDIR(e.st.st_mode)) {
            out << indent << name << "\\";
            if (rootFd >= 0 && handheld::IsCardFolder(rootFd, e.name)) {
                out << "  [storage card: " << DescribeCard(rootFd, e.name) << "]";
            }
            out << "\n";
            ShowTree(path, -1, depth + 1, out);
        } else if (S_ISREG(e.st.st_mode)) {
            out << indent << name << "  " << e.st.st_size << " bytes\n";
        } else if (S_ISLNK(e.st.st_mode)) {
            out << indent << name << "  (symbolic link: not seen by the handheld)\n";
        } else {
            out << indent << name << "  (special file: not seen by the handheld)\n";
        }
    }
}

}  // namespace

void ShowAttached(const std::string& root, int rootFd, std::ostream& out) {
    const auto main =
        handheld::ParseSettings(handheld::ReadSettingsFile(rootFd, handheld::kHandheldSettings));
    out << "Handheld " << root << ": attached\n";
    out << "Name: \"" << main.name << "\", OS ";
    if (main.os) {
        out << main.os->major << "." << main.os->minor;
    } else {
        out << "5.2 (the default)";
    }
    out << (main.password.empty() ? "" : ", locked with a password") << "\n";
    out << "Main memory: " << Describe(main, handheld::UsedBytes(rootFd, true), true) << "\n";
    std::vector<std::string> cards;
    for (const auto& e : ListFolder(root)) {
        if (S_ISDIR(e.st.st_mode) && handheld::IsCardFolder(rootFd, e.name)) {
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
    ShowTree(root, rootFd, 0, out);
}

}  // namespace handheldsim

// bundora-pack: appends entries to a carrying file, lists them, extracts them.
// Exit status: 0 success, 1 a failure (a broken chain, a file that can't be read or written),
// 2 bad usage (one line and a pointer to --help on standard error).

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "Extract.h"
#include "Payload.h"
#include "ProgramText.h"
#include "Text.h"

namespace {

constexpr const char* kUsage =
    "Usage: bundora-pack append CARRIER NAME SOURCE [--backup] [--replace]\n"
    "  or:  bundora-pack list CARRIER\n"
    "  or:  bundora-pack extract CARRIER DESTDIR\n"
    "  or:  bundora-pack --help | --version\n"
    "Appends, lists and extracts the entries that a bundle launcher carries behind its\n"
    "program image.\n"
    "\n"
    "Commands:\n"
    "  append   appends the content of SOURCE to CARRIER as an entry named NAME (backup\n"
    "           flag 1 with --backup, else 0); a NAME already carried (the same path\n"
    "           once extracted) is refused unless --replace is given, which replaces it\n"
    "           in its place; a NAME that would be a folder of a carried one's path, or\n"
    "           the other way round (sub beside sub\\x), is refused\n"
    "  list     prints one line per entry, last appended first: DataSize BackupFlag Name\n"
    "           (control characters in names shown as \\xNN)\n"
    "  extract  writes every entry into DESTDIR as the launcher does\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  a failure: a broken chain, a file that can't be read or written\n"
    "  2  bad usage\n"
    "\n";

int usage(const std::string& problem) {
    std::cerr << "bundora-pack: " << problem << "\n"
              << "Try 'bundora-pack --help' for more information.\n";
    return 2;
}

int run(const std::vector<std::string>& args) {
    const std::string& command = args[0];
    if (command == "append") {
        std::vector<std::string> plain;
        bool backup = false;
        bool replace = false;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--backup") {
                backup = true;
            } else if (args[i] == "--replace") {
                replace = true;
            } else {
                plain.push_back(args[i]);
            }
        }
        if (plain.size() != 3) {
            return usage("append takes CARRIER NAME SOURCE [--backup] [--replace]");
        }
        // The launcher would refuse it: so does packing.
        const auto parts = bundora::entryPathParts(plain[1]);
        // Names that extract to the same file are the same entry; of two, the launcher would
        // only ever use one. A name that extracts to a folder of the other's path (sub beside
        // sub\x) can't be extracted together with it at all.
        const auto partsOf = [](std::string_view other) {
            try {
                return bundora::entryPathParts(other);
            } catch (const bundora::ExtractError&) {
                return std::vector<std::string>{};
            }
        };
        const auto same = [&](std::string_view other) { return partsOf(other) == parts; };
        bool present = false;
        std::string inTheWay;
        {
            bundora::FileSource carrier(plain[0]);
            bundora::walk(
                carrier,
                [&](bundora::Entry& e) {
                    const auto theirs = partsOf(e.name);
                    const size_t common = std::min(theirs.size(), parts.size());
                    if (theirs == parts) {
                        present = true;
                    } else if (!theirs.empty() && inTheWay.empty() &&
                               std::equal(parts.begin(), parts.begin() + common, theirs.begin())) {
                        inTheWay = e.name;
                    }
                },
                nullptr, false);
        }
        if (!inTheWay.empty()) {
            std::cerr << "bundora-pack: append: " << text::oneLine(plain[0])
                      << " carries an entry named \"" << text::oneLine(inTheWay)
                      << "\", which can't be extracted beside \"" << text::oneLine(plain[1])
                      << "\" (one would be a folder of the other)\n";
            return 1;
        }
        bundora::FileSource source(plain[2]);
        if (replace) {
            bundora::replaceEntry(plain[0], plain[1], backup ? 1 : 0, source, same);
            return 0;
        }
        if (present) {
            std::cerr << "bundora-pack: append: " << text::oneLine(plain[0])
                      << " already carries an entry named \"" << text::oneLine(plain[1])
                      << "\"; give --replace to replace it\n";
            return 1;
        }
        bundora::appendEntry(plain[0], plain[1], backup ? 1 : 0, source);
        return 0;
    }
    if (command == "list") {
        if (args.size() != 2) {
            return usage("list takes CARRIER");
        }
        bundora::FileSource carrier(args[1]);
        bundora::walk(
            carrier,
            [](bundora::Entry& e) {
                std::cout << e.dataSize << ' ' << e.backupFlag << ' ' << text::oneLine(e.name)
                          << '\n';
                std::cout.flush();
            },
            nullptr, false);
        return 0;
    }
    if (command == "extract") {
        if (args.size() != 3) {
            return usage("extract takes CARRIER DESTDIR");
        }
        bundora::FileSource carrier(args[1]);
        bundora::extractPayload(carrier, args[2]);
        return 0;
    }
    return usage("unknown command \"" + text::oneLine(command) + "\"");
}

int runOrAnswer(const std::vector<std::string>& args) {
    if (args.empty()) {
        return usage("no command given");
    }
    if (args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsage << programtext::BugReportLine();
        return 0;
    }
    if (args[0] == "--version") {
        std::cout << programtext::VersionText("bundora-pack");
        return 0;
    }
    try {
        return run(args);
    } catch (const std::exception& e) {
        std::cerr << "bundora-pack: " << text::oneLine(args[0]) << ": " << text::oneLine(e.what())
                  << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int status = runOrAnswer(std::vector<std::string>(argv + 1, argv + argc));
    // What was listed or answered must have reached standard output.
    return programtext::FinishStandardOutput("bundora-pack") ? status : 1;
}

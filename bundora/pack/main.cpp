// bundora-pack: appends entries to a carrying file, lists them, extracts them.
// Exit status: 0 success, 1 a failure (a broken chain, a file that can't be read or written),
// 2 bad usage (one line and a pointer to --help on standard error).

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
    "Usage: bundora-pack append CARRIER NAME SOURCE [--backup]\n"
    "  or:  bundora-pack list CARRIER\n"
    "  or:  bundora-pack extract CARRIER DESTDIR\n"
    "  or:  bundora-pack --help | --version\n"
    "Appends, lists and extracts the entries that a bundle launcher carries behind its\n"
    "program image.\n"
    "\n"
    "Commands:\n"
    "  append   appends the content of SOURCE to CARRIER as an entry named NAME (backup\n"
    "           flag 1 with --backup, else 0)\n"
    "  list     prints one line per entry, last appended first: DataSize BackupFlag Name\n"
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
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--backup") {
                backup = true;
            } else {
                plain.push_back(args[i]);
            }
        }
        if (plain.size() != 3) {
            return usage("append takes CARRIER NAME SOURCE [--backup]");
        }
        bundora::entryPathParts(plain[1]);  // the launcher would refuse it: so does packing
        bundora::FileSource source(plain[2]);
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
                std::cout << e.dataSize << ' ' << e.backupFlag << ' ' << e.name << '\n';
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
    return usage("unknown command \"" + command + "\"");
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
        std::cerr << "bundora-pack: " << args[0] << ": " << text::oneLine(e.what()) << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int status = runOrAnswer(std::vector<std::string>(argv + 1, argv + argc));
    // What was listed or answered must have reached standard output.
    return programtext::FinishStandardOutput("bundora-pack") ? status : 1;
}

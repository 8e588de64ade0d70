// The registry reader's cost against the size of the file: the time to read exports of 10,000
// and 40,000 keys (with values, and the same keys deleted again), and the peak memory that reading
// adds, measured in a fresh process per file, next to the file's size.
// Usage: bench-registry [ROUNDS] (default 5); works below $TMPDIR (default /tmp).

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Registry.h"

namespace fs = std::filesystem;

namespace {

// What regedit writes: UTF-16LE with a byte-order mark and CRLF line ends.
std::string utf16(const std::string& ascii) {
    std::string out = "\xff\xfe";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string keyName(int i) {
    char name[64];
    std::snprintf(name, sizeof name, "SOFTWARE\\Vendor %d\\Product\\Settings %06d", i % 97, i);
    return name;
}

// An export of n keys with three values each; with deletions, each key is deleted again after.
std::string exportText(int n, bool deletions) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    for (int i = 0; i < n; ++i) {
        text += "[HKEY_LOCAL_MACHINE\\" + keyName(i) + "]\r\n";
        text += "\"InstallDir\"=\"C:\\\\Program Files\\\\Vendor\\\\Product " + std::to_string(i) +
                "\\\\\"\r\n\"Version\"=dword:0000012c\r\n";
        text +=
            "\"Path\"=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,46,00,69,00,\\\r\n"
            "  6c,00,65,00,73,00,25,00,00,00\r\n\r\n";
    }
    for (int i = 0; deletions && i < n; ++i) {
        text += "[-HKEY_LOCAL_MACHINE\\" + keyName(i) + "]\r\n\r\n";
    }
    return text;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The process's peak resident memory (VmHWM, which unlike getrusage starts afresh at exec).
long peakKiB() {
    std::ifstream status("/proc/self/status");
    std::string field;
    long kib = 0;
    while (status >> field) {
        if (field == "VmHWM:") {
            status >> kib;
            break;
        }
    }
    return kib;
}

// Child mode: the peak memory reading one file adds, in KiB, on standard output; whole, or as the
// launcher looks up its one value.
int measurePeak(const char* path, bool lookup) {
    const long before = peakKiB();
    const auto registry =
        lookup ? std::make_unique<bundora::RegFileRegistry>(
                     path, bundora::WantedValue{bundora::HKEY_LOCAL_MACHINE,
                                                "SOFTWARE\\Pocket Lorvex", "INSTALLDIR"})
               : std::make_unique<bundora::RegFileRegistry>(path);
    std::printf("%ld %d\n", peakKiB() - before, registry->readable() ? 1 : 0);
    return 0;
}

double readSeconds(const fs::path& path, int rounds) {
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        const double start = bench::seconds();
        bundora::RegFileRegistry registry(path.string());
        times.push_back(bench::seconds() - start);
        if (!registry.readable()) {
            std::fprintf(stderr, "%s reads as unreadable\n", path.c_str());
        }
    }
    return bench::median(times);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && (std::string(argv[1]) == "--peak" || std::string(argv[1]) == "--lookup")) {
        return measurePeak(argv[2], std::string(argv[1]) == "--lookup");
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const fs::path dir = bench::scratchFolder("bench-registry");

    std::printf("time to read (median of %d):\n", rounds);
    for (const bool deletions : {false, true}) {
        double t10 = 0;
        for (const int n : {10000, 40000}) {
            const fs::path file = dir / ("keys-" + std::to_string(n) + ".reg");
            writeFile(file, utf16(exportText(n, deletions)));
            const double t = readSeconds(file, rounds);
            std::printf("  %6d keys%s, %6.1f MiB: %8.1f ms", n,
                        deletions ? " then deleted" : "             ",
                        static_cast<double>(fs::file_size(file)) / 1048576.0, t * 1000);
            if (n == 10000) {
                t10 = t;
                std::printf("\n");
            } else {
                std::printf("  (%.2fx the time of 10,000; target <= 5x)\n", t / t10);
            }
            fs::remove(file);
        }
    }

    std::printf(
        "peak memory added by reading, in a fresh process (everything; the launcher's "
        "lookup of its one value):\n");
    struct Case {
        const char* what;
        std::string bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"40,000 keys, UTF-16 export", utf16(exportText(40000, false))});
    {
        std::string ansi = exportText(40000, false);
        ansi.replace(0, ansi.find('\r'), "REGEDIT4");
        cases.push_back({"40,000 keys, REGEDIT4 export", ansi});
    }
    {
        std::string bare = "REGEDIT4\n";
        for (int i = 0; i < 400000; ++i) {
            bare += "[HKCU\\k" + std::to_string(i) + "]\n";
        }
        cases.push_back({"400,000 bare keys, REGEDIT4", bare});
    }
    cases.push_back({"60 MiB of blank lines", "REGEDIT4\n" + std::string(60 << 20, '\n')});
    // Hostile shapes just under the cap.
    {
        std::string bare = "REGEDIT4\n";
        for (int i = 0; bare.size() < (62u << 20); ++i) {
            bare += "[HKLM\\k" + std::to_string(i) + "]\n";
        }
        cases.push_back({"62 MiB of bare key headers", bare});
    }
    {
        std::string values = "REGEDIT4\n[HKLM\\SOFTWARE\\Pocket Lorvex]\n";
        for (int i = 0; values.size() < (62u << 20); ++i) {
            values += "\"v" + std::to_string(i) + "\"=\"x\"\n";
        }
        cases.push_back({"62 MiB of values in one key", values});
    }
    cases.push_back({"one 62 MiB line, cp1252 letters",
                     "REGEDIT4\n[HKLM\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"" +
                         std::string(62u << 20, '\xe9') + "\"\n"});
    {
        std::string hex = "REGEDIT4\n[HKLM\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=hex(2):";
        const std::string line =
            "e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,e9,\\\n  ";
        while (hex.size() < (62u << 20)) {
            hex += line;
        }
        cases.push_back({"62 MiB hex value, continued", hex + "00\n"});
    }
    cases.push_back({"one 62 MiB line, UTF-16",
                     utf16("Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Pocket "
                           "Lorvex]\r\n\"INSTALLDIR\"=\"" +
                           std::string(31u << 20, 'a') + "\"\r\n")});
    // Above the cap: unreadable at once.
    cases.push_back({"100 MiB of blank lines", "REGEDIT4\n" + std::string(100 << 20, '\n')});
    for (auto& c : cases) {
        const fs::path file = dir / "peak.reg";
        writeFile(file, c.bytes);
        const double mib = static_cast<double>(c.bytes.size()) / 1048576.0;
        c.bytes = std::string();
        const std::string out = dir / "peak.out";
        std::printf("  %-32s %5.1f MiB file:", c.what, mib);
        for (const char* mode : {"--peak", "--lookup"}) {
            if (bench::spawnWait({"/bin/sh", "-c", "exec \"$0\" \"$1\" \"$2\" > \"$3\"",
                                  fs::read_symlink("/proc/self/exe").string(), mode, file.string(),
                                  out}) != 0) {
                std::printf(" (measuring failed)");
                continue;
            }
            long peak = 0;
            int readable = 0;
            std::ifstream(out) >> peak >> readable;
            const double kib = static_cast<double>(peak);
            std::printf(" %s %6.1f MiB (%.2fx)%s", mode[2] == 'p' ? "whole" : "lookup",
                        kib / 1024.0, kib / 1024.0 / mib, readable ? "" : " unreadable");
        }
        std::printf("\n");
        fs::remove(file);
    }
    fs::remove_all(dir);
    return 0;
}

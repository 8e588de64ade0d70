// The registry reader's cost against the size of the file: the time to read exports of 10,000
// and 40,000 keys (with values, and the same keys deleted again), and the peak memory that reading
// adds, measured in a fresh process per file, next to the file's size.
// Usage: bench-registry [ROUNDS] (default 5); works below $TMPDIR (default /tmp).

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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

// Child mode: the peak memory reading one file adds, in KiB, on standard output.
int measurePeak(const char* path) {
    const long before = peakKiB();
    bundora::RegFileRegistry registry(path);
    std::printf("%ld %d\n", peakKiB() - before, registry.readable() ? 1 : 0);
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
    if (argc == 3 && std::string(argv[1]) == "--peak") {
        return measurePeak(argv[2]);
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
                std::printf("  (%.2fx the time of 10,000)\n", t / t10);
            }
            fs::remove(file);
        }
    }

    std::printf("peak memory added by reading, in a fresh process:\n");
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
    // Above the cap: unreadable at once.
    cases.push_back({"100 MiB of blank lines", "REGEDIT4\n" + std::string(100 << 20, '\n')});
    for (auto& c : cases) {
        const fs::path file = dir / "peak.reg";
        writeFile(file, c.bytes);
        const double mib = static_cast<double>(c.bytes.size()) / 1048576.0;
        c.bytes = std::string();
        const std::string out = dir / "peak.out";
        if (bench::spawnWait({"/bin/sh", "-c", "exec \"$0\" --peak \"$1\" > \"$2\"",
                              fs::read_symlink("/proc/self/exe").string(), file.string(), out}) !=
            0) {
            std::fprintf(stderr, "measuring %s failed\n", c.what);
            continue;
        }
        long peak = 0;
        int readable = 0;
        std::ifstream(out) >> peak >> readable;
        const double kib = static_cast<double>(peak);
        std::printf("  %-30s %7.1f MiB file: %7.1f MiB peak (%.2fx)%s\n", c.what, mib, kib / 1024.0,
                    kib / 1024.0 / mib, readable ? "" : ", reads as unreadable");
        fs::remove(file);
    }
    fs::remove_all(dir);
    return 0;
}

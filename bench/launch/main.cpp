// The launcher's own cost per module (start, search, spawn, wait) over 100 modules with an
// installer that ends at once, next to running that installer 100 times from a shell loop.
// Usage: bench-launch [ROUNDS [IMAGE]] (default 15 rounds; IMAGE: a launcher image without
// payload to measure instead of the build's, such as an older build's); works below $TMPDIR
// (default /tmp).

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Payload.h"

namespace fs = std::filesystem;

namespace {

constexpr int kModules = 100;
// The launcher's own cost may be at most this much of the shell loop's (median).
constexpr double kTarget = 1.4;

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const fs::path dir = bench::scratchFolder("bench-launch");
    fs::create_directory(dir / "launch");
    fs::create_directory(dir / "install");
    const std::string launcher = (dir / "launch/bundora").string();
    fs::copy_file(argc > 2 ? argv[2] : BUNDORA_IMAGE, launcher);
    {
        bundora::FileSource installer(NOOP_INSTALLER);
        bundora::appendEntry(launcher, "Trestel.exe", 0, installer);
    }
    for (int i = 0; i < kModules; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "module%03d.bbl", i);
        std::ofstream(dir / "launch" / name) << "module";
    }
    const std::string registry = (dir / "registry.reg").string();
    std::ofstream(registry) << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n"
                            << "\"INSTALLDIR\"=\"" << (dir / "install").string() << "/\"\n";
    setenv("BUNDORA_REGISTRY", registry.c_str(), 1);
    const std::string installer = (dir / "install/Trestel.exe").string();

    // The first run extracts the installer; the timed runs find it in place.
    if (bench::spawnWait({launcher}) != 0 || !fs::exists(installer)) {
        std::fprintf(stderr, "launcher warm-up failed\n");
        return 1;
    }
    const std::string loop = "for f in \"$1\"/*.bbl; do \"$2\" \"$f\"; done";
    std::vector<double> launcherTimes, shellTimes;
    for (int r = 0; r < rounds; ++r) {
        double t0 = bench::seconds();
        bench::spawnWait({launcher});
        launcherTimes.push_back(bench::seconds() - t0);
        t0 = bench::seconds();
        bench::spawnWait({"sh", "-c", loop, "sh", (dir / "launch").string(), installer});
        shellTimes.push_back(bench::seconds() - t0);
    }
    const double l = bench::median(launcherTimes), s = bench::median(shellTimes);
    const double lBest = *std::min_element(launcherTimes.begin(), launcherTimes.end());
    const double sBest = *std::min_element(shellTimes.begin(), shellTimes.end());
    std::printf("%d modules, %d rounds (median / best)\n", kModules, rounds);
    std::printf("launcher:   %8.1f / %8.1f ms total  %6.3f / %6.3f ms per module\n", l * 1e3,
                lBest * 1e3, l * 1e3 / kModules, lBest * 1e3 / kModules);
    std::printf("shell loop: %8.1f / %8.1f ms total  %6.3f / %6.3f ms per module\n", s * 1e3,
                sBest * 1e3, s * 1e3 / kModules, sBest * 1e3 / kModules);
    std::printf("launcher / shell loop: %.2f (median)  %.2f (best)\n", l / s, lBest / sBest);
    std::printf("target: launcher / shell loop <= %.2f (median): %s\n", kTarget,
                l / s <= kTarget ? "met" : "not met");
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}

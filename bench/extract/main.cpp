// Extraction of a 64 MiB entry next to a plain cp of the same bytes, in the same run; prints the
// throughputs, their ratio, and how many bytes the walk read beyond the entries' data.
// Usage: bench-extract [ROUNDS] (default 7); works below $TMPDIR (default /tmp).

#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Extract.h"
#include "Payload.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kEntrySize = 64LL << 20;

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const fs::path dir = bench::scratchFolder("bench-extract");
    const std::string plain = (dir / "plain.bin").string();
    const std::string carrier = (dir / "carrier").string();
    fs::create_directory(dir / "cp");
    fs::create_directory(dir / "pack");
    fs::create_directory(dir / "lib");

    {
        std::vector<char> data(static_cast<size_t>(kEntrySize));
        unsigned x = 12345;
        for (auto& c : data) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 16);
        }
        std::ofstream(plain, std::ios::binary).write(data.data(), kEntrySize);
        std::ofstream(carrier, std::ios::binary) << std::string(32768, '\0');
        bundora::MemorySource content({data.data(), data.size()});
        bundora::appendEntry(carrier, "big.bin", 0, content);
    }

    // How much the walk reads beyond the data.
    bundora::WalkStats stats;
    {
        bundora::FileSource src(carrier);
        bundora::extractPayload(src, (dir / "lib").string() + "/", &stats);
    }

    std::vector<double> cpTimes, packTimes, libTimes;
    for (int r = 0; r < rounds; ++r) {
        fs::remove(dir / "cp/big.bin");
        double t0 = bench::seconds();
        if (bench::spawnWait({"cp", plain, (dir / "cp/big.bin").string()}) != 0) {
            std::fprintf(stderr, "cp failed\n");
            return 1;
        }
        cpTimes.push_back(bench::seconds() - t0);

        fs::remove(dir / "pack/big.bin");
        t0 = bench::seconds();
        if (bench::spawnWait({BUNDORA_PACK, "extract", carrier, (dir / "pack").string() + "/"}) !=
            0) {
            std::fprintf(stderr, "bundora-pack extract failed\n");
            return 1;
        }
        packTimes.push_back(bench::seconds() - t0);

        fs::remove(dir / "lib/big.bin");
        t0 = bench::seconds();
        bundora::FileSource src(carrier);
        bundora::extractPayload(src, (dir / "lib").string() + "/");
        libTimes.push_back(bench::seconds() - t0);
    }
    const double mib = static_cast<double>(kEntrySize) / (1 << 20);
    const double cp = bench::median(cpTimes), pack = bench::median(packTimes),
                 lib = bench::median(libTimes);
    std::printf("entry: %lld bytes, %d rounds, medians\n", static_cast<long long>(kEntrySize),
                rounds);
    std::printf("cp:                    %8.1f ms  %8.1f MiB/s\n", cp * 1e3, mib / cp);
    std::printf("bundora-pack extract:  %8.1f ms  %8.1f MiB/s  ratio to cp %.2f (target >= 0.50)\n",
                pack * 1e3, mib / pack, cp / pack);
    std::printf("extraction in process: %8.1f ms  %8.1f MiB/s  ratio to cp %.2f\n", lib * 1e3,
                mib / lib, cp / lib);
    std::printf(
        "walk: %lld bytes read, %lld of them data, %lld beyond the data (target: footers "
        "and records only)\n",
        static_cast<long long>(stats.bytesRead), static_cast<long long>(stats.dataBytesRead),
        static_cast<long long>(stats.bytesRead - stats.dataBytesRead));
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}

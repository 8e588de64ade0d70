// bench-copy: copies a file of random bytes to an emulated handheld in a temporary folder
// through CopyFileToDevice, then copies the same file into the same device folder with /bin/cp,
// and prints the throughput of both, their ratio and the copy's peak memory over the idle
// process. Both copies are checked byte for byte against the source.
//
// Usage: bench-copy [--mib N] [--runs N] [--dir FOLDER]

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <optional>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "LargeBuffer.h"
#include "QuietWindow.h"
#include "modRapi.h"

extern char** environ;

namespace {

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// Streams through a file in small blocks so that neither warming nor checking raises the
// process's peak memory.
bool sameBytes(const QString& a, const QString& b) {
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size()) {
        return false;
    }
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        const qint64 na = fa.read(ba.data(), qint64(ba.size()));
        const qint64 nb = fb.read(bb.data(), qint64(bb.size()));
        if (na != nb || na < 0) {
            return false;
        }
        if (na == 0) {
            return true;
        }
        if (std::memcmp(ba.data(), bb.data(), size_t(na)) != 0) {
            return false;
        }
    }
}

void warm(const QString& path) {
    QFile f(path);
    if (f.open(QIODevice::ReadOnly)) {
        std::vector<char> buf(1 << 20);
        while (f.read(buf.data(), qint64(buf.size())) > 0) {
        }
    }
}

bool runCp(const QString& from, const QString& to) {
    const QByteArray a = QFile::encodeName(from), b = QFile::encodeName(to);
    char* argv[] = {const_cast<char*>("cp"), const_cast<char*>(a.constData()),
                    const_cast<char*>(b.constData()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/cp", nullptr, nullptr, argv, environ) != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The floor of any copy that reads the file whole and hands it on in 4096-byte writes: the same
// two steps done bare (one read into a huge-page buffer, then pwrite to a plain file), without
// a device layer or progress. Returns the seconds of both steps.
std::pair<double, double> bareCopy(const QString& from, const QString& to) {
    const int in = ::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return {-1, -1};
    }
    const off_t n = lseek(in, 0, SEEK_END);
    auto start = std::chrono::steady_clock::now();
    posix::LargeBuffer buffer;
    if (!buffer.allocate(size_t(n))) {
        ::close(in);
        return {-1, -1};
    }
    char* buf = buffer.get();
    off_t got = 0;
    while (got < n) {
        const ssize_t r = pread(in, buf + got, size_t(n - got), got);
        if (r <= 0) {
            break;
        }
        got += r;
    }
    ::close(in);
    const double read = seconds(start);
    start = std::chrono::steady_clock::now();
    const int out =
        ::open(QFile::encodeName(to).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (off_t off = 0; out >= 0 && off < got; off += 4096) {
        if (pwrite(out, buf + off, size_t(std::min<off_t>(4096, got - off)), off) < 0) {
            break;
        }
    }
    if (out >= 0) {
        ::close(out);
    }
    const double write = seconds(start);
    QFile::remove(to);
    return {read, write};
}

}  // namespace

int main(int argc, char** argv) {
    long nMiB = 64;
    int nRuns = 3;
    QString sBase = QDir::tempPath();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc) {
            nMiB = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--runs" && i + 1 < argc) {
            nRuns = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--dir" && i + 1 < argc) {
            sBase = QString::fromLocal8Bit(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bench-copy [--mib N] [--runs N] [--dir FOLDER]\n");
            return 2;
        }
    }
    if (nMiB < 1 || nMiB > 2047) {
        std::fprintf(stderr, "bench-copy: --mib must be 1 to 2047\n");
        return 2;
    }

    QTemporaryDir dir(sBase + "/bench-copy-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench-copy: can't make a temporary folder in %s\n",
                     qPrintable(sBase));
        return 1;
    }
    const QString sRoot = dir.filePath("handheld");
    const QString sSource = dir.filePath("module.bin");
    QDir().mkpath(sRoot);
    // The device binds on its first call and takes its root from here.
    setenv("TRESTEL_DEVICE", QFile::encodeName(sRoot).constData(), 1);

    {
        QFile f(sSource);
        if (!f.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "bench-copy: can't write %s\n", qPrintable(sSource));
            return 1;
        }
        std::mt19937_64 random(20261207);
        std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
        for (long m = 0; m < nMiB; ++m) {
            for (auto& word : block) {
                word = random();
            }
            f.write(reinterpret_cast<const char*>(block.data()), qint64(block.size() * 8));
        }
    }
    const double nBytes = double(nMiB) * 1024 * 1024;
    warm(sSource);

    bench::QuietWindow window;
    std::optional<modRapi::Engine> engine;
    engine.emplace(&window);
    if (engine->RapiConnect() != modRapi::kTrue) {
        std::fprintf(stderr, "bench-copy: the emulated handheld at %s did not answer\n",
                     qPrintable(sRoot));
        return 1;
    }

    const long nIdleKiB = bench::statusKiB("VmHWM");
    std::vector<double> ours, theirs;
    bool bOk = true;
    for (int run = 0; run < nRuns && bOk; ++run) {
        const QString sName = QStringLiteral("run%1").arg(run);
        const QString sOurs = sRoot + "/Bench/" + sName + ".modrapi";
        const QString sTheirs = sRoot + "/Bench/" + sName + ".cp";

        auto start = std::chrono::steady_clock::now();
        engine->CopyFileToDevice(sSource, "Bench\\" + sName + ".modrapi");
        ours.push_back(seconds(start));
        if (window.failed) {
            std::fprintf(stderr, "bench-copy: the copy failed: %s\n", qPrintable(window.message));
            bOk = false;
            break;
        }

        start = std::chrono::steady_clock::now();
        const bool bCp = runCp(sSource, sTheirs);
        theirs.push_back(seconds(start));
        if (!bCp) {
            std::fprintf(stderr, "bench-copy: /bin/cp failed\n");
            bOk = false;
            break;
        }
        if (!sameBytes(sSource, sOurs) || !sameBytes(sSource, sTheirs)) {
            std::fprintf(stderr, "bench-copy: run %d: the copied bytes differ from the source\n",
                         run + 1);
            bOk = false;
        }
        QFile::remove(sOurs);
        QFile::remove(sTheirs);
        std::printf("run %d: CopyFileToDevice %.3f s (%.1f MiB/s), cp %.3f s (%.1f MiB/s)\n",
                    run + 1, ours.back(), nMiB / ours.back(), theirs.back(), nMiB / theirs.back());
    }
    const long nPeakKiB = bench::statusKiB("VmHWM");
    double bareRead = 1e9, bareWrite = 1e9;
    for (int run = 0; run < nRuns && bOk; ++run) {
        const auto [r, w] = bareCopy(sSource, sRoot + "/Bench/bare.bin");
        if (r >= 0 && r + w < bareRead + bareWrite) {
            bareRead = r;
            bareWrite = w;
        }
    }
    engine->RapiDisconnect();
    engine.reset();
    if (!bOk) {
        return 1;
    }

    const double bestOurs = *std::min_element(ours.begin(), ours.end());
    const double bestTheirs = *std::min_element(theirs.begin(), theirs.end());
    const double overKiB = double(nPeakKiB - nIdleKiB);
    std::printf("file: %ld MiB of random bytes, %d run(s), bytes verified\n", nMiB, nRuns);
    std::printf("CopyFileToDevice: %.1f MiB/s (best of %d)\n", nMiB / bestOurs, nRuns);
    std::printf("cp:               %.1f MiB/s (best of %d)\n", nMiB / bestTheirs, nRuns);
    std::printf("ratio (CopyFileToDevice / cp): %.2f (target >= 0.50)\n", bestTheirs / bestOurs);
    std::printf(
        "peak memory over idle: %.1f MiB (idle VmHWM %.1f MiB, peak %.1f MiB; "
        "target <= %.1f MiB)\n",
        overKiB / 1024, nIdleKiB / 1024.0, nPeakKiB / 1024.0, nBytes / 1048576 + 16);
    std::printf(
        "reference, bare read whole + 4096-byte pwrites to a plain file (no device layer): "
        "%.3f s + %.3f s = %.1f MiB/s, ratio to cp %.2f\n",
        bareRead, bareWrite, nMiB / (bareRead + bareWrite), bestTheirs / (bareRead + bareWrite));
    std::printf("progress updates per copy: %ld\n", window.updates / long(ours.size()));
    return 0;
}

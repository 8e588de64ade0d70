// bench-copy: copies a file of random bytes to an emulated handheld in a temporary folder
// through CopyFileToDevice (the writes and the read-back), then the same file into the same
// device folder with /bin/cp and with a bare loop doing the same file work, and prints the
// throughputs, the ratio to the bare loop with its target and the copy's peak memory over the
// idle process. The copies are checked byte for byte against the source.
//
// Usage: bench-copy [--mib N] [--runs N] [--dir FOLDER] [--capacity]
//   --capacity gives main memory a capacity (1 TiB), so the copy counts its bytes in the count
//   that every writer of the storage shares.

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

// The floor of the installer's copy: the same steps done bare, without a device layer or
// progress: one read of the file into a huge-page buffer, 4096-byte pwrites to a temporary file,
// 4096-byte preads of it compared with the buffer, one more pread that finds its end, and a rename
// into place. Returns the seconds of the read, the writes and the check with the rename.
struct BareTimes {
    double read = -1;
    double write = -1;
    double check = -1;
    double total() const { return read + write + check; }
};

BareTimes bareCopy(const QString& from, const QString& to) {
    BareTimes times;
    const int in = ::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return times;
    }
    const off_t n = lseek(in, 0, SEEK_END);
    auto start = std::chrono::steady_clock::now();
    posix::LargeBuffer buffer;
    if (!buffer.allocate(size_t(n))) {
        ::close(in);
        return times;
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
    times.read = seconds(start);
    const QByteArray temporary = QFile::encodeName(to + ".tmp");
    start = std::chrono::steady_clock::now();
    int out = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (off_t off = 0; out >= 0 && off < got; off += 4096) {
        if (pwrite(out, buf + off, size_t(std::min<off_t>(4096, got - off)), off) < 0) {
            break;
        }
    }
    if (out >= 0) {
        ::close(out);
    }
    times.write = seconds(start);
    start = std::chrono::steady_clock::now();
    out = ::open(temporary.constData(), O_RDONLY | O_CLOEXEC);
    char block[4096];
    bool bSame = out >= 0;
    for (off_t off = 0; bSame && off <= got; off += 4096) {
        const size_t nWant = size_t(std::max<off_t>(1, std::min<off_t>(4096, got - off)));
        const ssize_t r = pread(out, block, nWant, off);
        bSame =
            off == got ? r == 0 : r == ssize_t(nWant) && std::memcmp(block, buf + off, nWant) == 0;
    }
    if (out >= 0) {
        ::close(out);
    }
    if (bSame) {
        std::rename(temporary.constData(), QFile::encodeName(to).constData());
    }
    times.check = seconds(start);
    QFile::remove(to);
    QFile::remove(QString::fromLocal8Bit(temporary));
    return bSame ? times : BareTimes{};
}

}  // namespace

int main(int argc, char** argv) {
    long nMiB = 64;
    int nRuns = 3;
    QString sBase = QDir::tempPath();
    bool bCapacity = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc) {
            nMiB = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--runs" && i + 1 < argc) {
            nRuns = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--dir" && i + 1 < argc) {
            sBase = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == "--capacity") {
            bCapacity = true;
        } else {
            std::fprintf(stderr,
                         "usage: bench-copy [--mib N] [--runs N] [--dir FOLDER] [--capacity]\n");
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
    if (bCapacity) {
        QFile settings(sRoot + "/.handheld");
        if (!settings.open(QIODevice::WriteOnly) || settings.write("capacity=1024G\n") < 0) {
            std::fprintf(stderr, "bench-copy: can't write the handheld's settings\n");
            return 1;
        }
    }
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
    BareTimes bare;
    bare.read = 1e9;
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
        // The bare loop in the same round, so that both meet about the same load.
        const BareTimes times = bareCopy(sSource, sRoot + "/Bench/bare.bin");
        if (times.read >= 0 && times.total() < bare.total()) {
            bare = times;
        }
        std::printf("run %d: CopyFileToDevice %.3f s (%.1f MiB/s), cp %.3f s (%.1f MiB/s)\n",
                    run + 1, ours.back(), nMiB / ours.back(), theirs.back(), nMiB / theirs.back());
    }
    const long nPeakKiB = bench::statusKiB("VmHWM");
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
    std::printf(
        "peak memory over idle: %.1f MiB (idle VmHWM %.1f MiB, peak %.1f MiB; "
        "target <= %.1f MiB)\n",
        overKiB / 1024, nIdleKiB / 1024.0, nPeakKiB / 1024.0, nBytes / 1048576 + 16);
    std::printf(
        "reference, bare read whole + 4096-byte pwrites + 4096-byte preads compared + rename, "
        "plain files (no device layer): %.3f s + %.3f s + %.3f s = %.1f MiB/s\n",
        bare.read, bare.write, bare.check, nMiB / bare.total());
    std::printf("ratio (CopyFileToDevice / bare): %.2f (target >= 0.95)\n",
                bare.total() / bestOurs);
    std::printf("progress updates per copy: %ld\n", window.updates / long(ours.size()));
    return 0;
}

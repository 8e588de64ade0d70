// Times the installer window's flood bar and a whole install through the window.
//
//   bench-flood [--updates N] [--megabytes M]
//
// Runs under the offscreen platform unless QT_QPA_PLATFORM says otherwise. The install goes to a
// fresh emulated handheld in a temporary folder, with the result message answered at once; a
// plain `cp` of the same file in the same run gives the yardstick.

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QLocale>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "FormMain.h"
#include "MessageBoxes.h"

namespace {

class InstantMessageBoxes : public MessageBoxes {
public:
    QStringList shown;
    void Show(QWidget*, const QString& sText, MessageIcon) override { shown << sText; }
    bool Ask(QWidget*, const QString&) override { return false; }
};

QByteArray Sha256(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return hash.result();
}

bool WriteModule(const QString& path, qint64 nBytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        return false;
    }
    QByteArray block(1 << 20, '\0');
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (qint64 written = 0; written < nBytes; written += block.size()) {
        for (int i = 0; i < block.size(); i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::memcpy(block.data() + i, &state, 8);
        }
        const qint64 n = std::min<qint64>(block.size(), nBytes - written);
        if (f.write(block.constData(), n) != n) {
            return false;
        }
    }
    return true;
}

// CPU time of this thread, so that figures on a busy machine stay comparable.
qint64 ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double MiBPerSecond(qint64 nBytes, qint64 nanoseconds) {
    return nanoseconds <= 0 ? 0.0 : (nBytes / 1048576.0) / (nanoseconds / 1e9);
}

int BenchUpdates(int nUpdates) {
    InstantMessageBoxes boxes;
    FormMainPlatform platform;
    platform.messages = &boxes;
    FormMain form(platform);
    form.show();
    QCoreApplication::processEvents();

    const QLocale locale;
    const auto nMax = static_cast<int16_t>(std::min(nUpdates, 32767));
    const QString sTotal = locale.toString(static_cast<qlonglong>(nMax) * 4096);
    form.FloodInit(nMax);
    QElapsedTimer timer;
    const qint64 cpu0 = ThreadCpuNs();
    timer.start();
    for (int i = 1; i <= nUpdates; ++i) {
        const int16_t nValue = static_cast<int16_t>(i % (nMax + 1));
        // The text is built afresh for each update, as the copy does.
        const QString sMessage = locale.toString(static_cast<qlonglong>(nValue) * 4096) +
                                 QStringLiteral(" of ") + sTotal + QStringLiteral(" bytes copied");
        form.FloodUpdate(nValue, sMessage);
    }
    const qint64 ns = timer.nsecsElapsed();
    const qint64 cpu = ThreadCpuNs() - cpu0;
    std::printf(
        "FloodUpdate: %d updates in %.1f ms: %.2f us per update (target <= 50); "
        "CPU %.2f us per update\n",
        nUpdates, ns / 1e6, ns / 1e3 / nUpdates, cpu / 1e3 / nUpdates);
    form.HideProgress();
    return 0;
}

int BenchInstall(int nMegabytes) {
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench-flood: no temporary folder\n");
        return 1;
    }
    const QString root = dir.filePath(QStringLiteral("handheld"));
    const QString module = dir.filePath(QStringLiteral("modules/bench.bbl"));
    const QString copied = dir.filePath(QStringLiteral("cp/bench.bbl"));
    QDir().mkpath(root + QStringLiteral("/Program Files"));
    QDir().mkpath(dir.filePath(QStringLiteral("modules")));
    QDir().mkpath(dir.filePath(QStringLiteral("cp")));
    const qint64 nBytes = static_cast<qint64>(nMegabytes) * 1048576;
    if (!WriteModule(module, nBytes)) {
        std::fprintf(stderr, "bench-flood: can't write %s\n", qPrintable(module));
        return 1;
    }
    // The built-in emulated handheld lives where TRESTEL_DEVICE points.
    qputenv("TRESTEL_DEVICE", QFile::encodeName(root));

    InstantMessageBoxes boxes;
    FormMainPlatform platform;
    platform.messages = &boxes;
    FormMain form(platform);
    if (!form.Load(module)) {
        std::fprintf(stderr, "bench-flood: the window did not load the module\n");
        return 1;
    }
    form.show();
    QCoreApplication::processEvents();
    auto* connect = form.findChild<QPushButton*>(QStringLiteral("ButtonConnect"));
    auto* list = form.findChild<QListWidget*>(QStringLiteral("ListBoxFolders"));
    auto* copy = form.findChild<QPushButton*>(QStringLiteral("ButtonCopy"));
    connect->click();
    if (list->count() == 0) {
        std::fprintf(stderr, "bench-flood: the emulated handheld did not connect\n");
        return 1;
    }
    list->setCurrentRow(0);
    if (!copy->isEnabled()) {
        std::fprintf(stderr, "bench-flood: Copy is not enabled\n");
        return 1;
    }

    QElapsedTimer timer;
    const qint64 cpu0 = ThreadCpuNs();
    timer.start();
    copy->click();
    const qint64 nsInstall = timer.nsecsElapsed();
    const qint64 cpuInstall = ThreadCpuNs() - cpu0;

    const QString target = root + QStringLiteral("/Program Files/Pocket Lorvex/bench.bbl");
    const bool bSame = Sha256(target) == Sha256(module);
    const QString sMessage = boxes.shown.isEmpty() ? QStringLiteral("(none)") : boxes.shown.last();

    timer.restart();
    const int nCp = QProcess::execute(QStringLiteral("cp"), {module, copied});
    const qint64 nsCp = timer.nsecsElapsed();

    std::printf(
        "GUI install of %d MiB (Connect, folder, Copy through FormMain): %.1f ms, "
        "%.1f MiB/s (target >= 100), CPU %.1f ms; bytes %s; message: %s\n",
        nMegabytes, nsInstall / 1e6, MiBPerSecond(nBytes, nsInstall), cpuInstall / 1e6,
        bSame ? "identical" : "DIFFER", qPrintable(sMessage));
    std::printf("plain cp of the same file: %.1f ms, %.1f MiB/s%s\n", nsCp / 1e6,
                MiBPerSecond(nBytes, nsCp), nCp == 0 ? "" : " (cp failed)");
    return bSame && nCp == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    int nUpdates = 16384;
    int nMegabytes = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--updates") == 0) {
            nUpdates = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--megabytes") == 0) {
            nMegabytes = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    int status = BenchUpdates(nUpdates);
    status |= BenchInstall(nMegabytes);
    return status;
}

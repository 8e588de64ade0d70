#include "Terminal.h"

#include <unistd.h>

#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "DesktopPath.h"
#include "LocalPath.h"
#include "modRapi.h"

namespace Terminal {

namespace {

struct Request {
    std::optional<QString> sModule;
    std::optional<QString> sFolder;
    std::optional<QString> sHandheld;
};

void say(FILE* err, const QString& sText) {
    std::fprintf(err, "trestel: %s\n", sText.toLocal8Bit().constData());
    std::fflush(err);
}

std::optional<QString>* slotFor(Request& request, const char* arg) {
    if (std::strcmp(arg, "--install") == 0) {
        return &request.sModule;
    }
    if (std::strcmp(arg, "--to") == 0) {
        return &request.sFolder;
    }
    if (std::strcmp(arg, "--handheld") == 0) {
        return &request.sHandheld;
    }
    return nullptr;
}

// Each option once and with its value; --install and --to are needed. Empty when the usage is
// bad, with the reason in sProblem.
std::optional<Request> parse(int argc, const char* const argv[], QString& sProblem) {
    Request request;
    for (int i = 1; i < argc; ++i) {
        std::optional<QString>* slot = slotFor(request, argv[i]);
        const QString sArg = LocalPath::forDisplay(LocalPath::decode(argv[i]));
        if (slot == nullptr) {
            sProblem = QStringLiteral("unexpected argument '%1'").arg(sArg);
            return std::nullopt;
        }
        if (slot->has_value()) {
            sProblem = QStringLiteral("option '%1' given twice").arg(sArg);
            return std::nullopt;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            sProblem = QStringLiteral("option '%1' needs a value").arg(sArg);
            return std::nullopt;
        }
        *slot = LocalPath::decode(argv[++i]);
    }
    if (!request.sModule || !request.sFolder) {
        sProblem = QStringLiteral("both --install MODULE and --to FOLDER are needed");
        return std::nullopt;
    }
    return request;
}

// Progress and outcome on standard error. On a terminal one bar line is redrawn in place when
// its text changes; otherwise a line is written at each tenth of the pass and at its end.
class TerminalReporter final : public Reporter {
public:
    TerminalReporter(FILE* err, bool bTerminal) : err_(err), bTerminal_(bTerminal) {}

    QStringList folders;
    bool bFailed = false;

    void AppendFolder(const QString& sEntry) override { folders << sEntry; }
    // Each pass (the copy, then its check) gets its own bar.
    void FloodInit(int16_t nMax) override {
        endBar();
        nMax_ = nMax;
        nShownTenth_ = -1;
        bBarOpen_ = false;
    }
    void FloodUpdate(int16_t nValue, const QString& sMessage) override {
        const int nTenth = nMax_ > 0 ? nValue * 10 / nMax_ : 10;
        if (bTerminal_) {
            constexpr int kWidth = 30;
            const int nFill = nMax_ > 0 ? nValue * kWidth / nMax_ : kWidth;
            const QString sLine = QStringLiteral("\r[%1%2] %3")
                                      .arg(QString(nFill, QLatin1Char('#')))
                                      .arg(QString(kWidth - nFill, QLatin1Char('.')))
                                      .arg(sMessage);
            std::fputs(sLine.toLocal8Bit().constData(), err_);
            std::fflush(err_);
            bBarOpen_ = true;
        } else if (nTenth != nShownTenth_) {
            nShownTenth_ = nTenth;
            say(err_, sMessage);
        }
    }
    void HideProgress() override { endBar(); }
    void ShowMessage(const QString& sText, MessageIcon icon) override {
        endBar();
        bFailed = icon == MessageIcon::Error;
        say(err_, LocalPath::forDisplay(sText));
    }
    void SetHourglass(bool) override {}

private:
    void endBar() {
        if (bBarOpen_) {
            std::fputc('\n', err_);
            std::fflush(err_);
            bBarOpen_ = false;
        }
    }

    FILE* err_;
    bool bTerminal_;
    int nMax_ = 0;
    int nShownTenth_ = -1;
    bool bBarOpen_ = false;
};

// The module folder FOLDER names: main memory's for "main", else the card of that name (the
// handheld's names ignore case).
std::optional<QString> folderFor(const QString& sFolder, const QStringList& cards) {
    if (sFolder == QStringLiteral("main")) {
        return modRapi::kMainMemoryFolder;
    }
    for (const QString& sEntry : cards) {
        if (sEntry.compare(sFolder + modRapi::kStorageFolder, Qt::CaseInsensitive) == 0) {
            return sEntry;
        }
    }
    return std::nullopt;
}

int install(const Request& request, const Platform& platform) {
    FILE* err = platform.err;
    const QString& sModule = *request.sModule;
    if (DesktopPath::FileExists(sModule) == DesktopPath::kFalse) {
        say(err, LocalPath::forDisplay(sModule) + QStringLiteral(": File does not exist!"));
        return kFailed;
    }
    TerminalReporter reporter(err, platform.bTerminal);
    modRapi::Engine engine(&reporter, platform.device, platform.waiter);
    engine.SelectHandheld(request.sHandheld.value_or(QString()));
    if (engine.RapiConnect() == modRapi::kFalse) {
        switch (engine.LastConnectFault()) {
            case modRapi::ConnectFault::NoHandheld:
                say(err, QStringLiteral("no handheld: attach one through SynCE, or make the "
                                        "emulated one with 'handheld-sim create'"));
                break;
            case modRapi::ConnectFault::UnknownHandheld: {
                const QStringList names = engine.Handhelds();
                say(err, QStringLiteral("no handheld named '%1' (attached: %2)")
                             .arg(LocalPath::forDisplay(*request.sHandheld),
                                  names.isEmpty() ? QStringLiteral("none") : names.join(", ")));
                break;
            }
            default:
                say(err, engine.HandheldLocked()
                             ? QStringLiteral("the handheld is locked: unlock it with its "
                                              "password (the window asks for it) and try again")
                             : QStringLiteral("no handheld answered: ActiveSync Status: "
                                              "Disconnected"));
        }
        return kFailed;
    }
    int nStatus = kFailed;
    if (engine.FindModuleFolders() == modRapi::kFalse) {
        say(err, QStringLiteral("the link to the handheld failed while its cards were listed"));
    } else if (const auto sFolder = folderFor(*request.sFolder, reporter.folders); !sFolder) {
        QStringList names;
        for (const QString& sEntry : reporter.folders) {
            names << sEntry.chopped(modRapi::kStorageFolder.size());
        }
        say(err, QStringLiteral("the handheld has no storage card named '%1' (FOLDER is 'main' "
                                "or one of: %2)")
                     .arg(LocalPath::forDisplay(*request.sFolder),
                          names.isEmpty() ? QStringLiteral("no cards") : names.join(", ")));
    } else {
        const QString sName = LocalPath::forDisplay(DesktopPath::GetFileName(sModule));
        engine.CopyFileToDevice(sModule, *sFolder + QLatin1Char('\\') + sName);
        nStatus = engine.LastCopyCompleted() ? kInstalled : kFailed;
    }
    engine.RapiDisconnect();
    return nStatus;
}

}  // namespace

bool Wanted(int argc, const char* const argv[]) {
    Request probe;
    for (int i = 1; i < argc; ++i) {
        if (slotFor(probe, argv[i]) != nullptr) {
            return true;
        }
    }
    return false;
}

int Run(int argc, const char* const argv[], const Platform& platform) {
    QString sProblem;
    const std::optional<Request> request = parse(argc, argv, sProblem);
    if (!request) {
        say(platform.err, sProblem);
        std::fputs("Try 'trestel --help' for more information.\n", platform.err);
        return kBadUsage;
    }
    Request chosen = *request;
    // The handheld named in the environment, unless --handheld names one.
    if (const char* name = std::getenv("TRESTEL_HANDHELD"); !chosen.sHandheld && name != nullptr) {
        chosen.sHandheld = LocalPath::decode(name);
    }
    return install(chosen, platform);
}

int Run(int argc, const char* const argv[]) {
    Platform platform;
    platform.bTerminal = isatty(STDERR_FILENO) == 1;
    return Run(argc, argv, platform);
}

}  // namespace Terminal

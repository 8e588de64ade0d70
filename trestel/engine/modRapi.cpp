// The installer's device module: the link to the handheld, the storage-card search and the
// transfer of one module file, reported to the face that drives it.
//
// Every device and reporter call goes through a small guard that absorbs what it throws: a step
// that fails is skipped and the procedure goes on, and nothing is ever raised to the face.

#include "modRapi.h"

#include <algorithm>
#include <limits>

#include "InstallTexts.h"
#include "SourceImage.h"

namespace modRapi {

namespace {

constexpr int32_t kChunk = 4096;
const QString kStorageFolder = QStringLiteral("\\Pocket Lorvex");

// Runs fn and absorbs whatever it throws. Returns false when it threw.
template <typename Fn>
bool attempt(Fn&& fn) {
    try {
        fn();
        return true;
    } catch (...) {
        return false;
    }
}

const char16_t* utf16(const QString& s) {
    return reinterpret_cast<const char16_t*>(s.utf16());
}

// The bytes one unit of the progress bar stands for: a block of 4096 bytes, or for files of
// 128 MiB and more a multiple of it, so that every value fits the bar's 16 bits. Skipping the
// values that don't fit would leave the bar with a stale scale that ignores every update, and
// the window would handle no input for the rest of the copy.
int64_t progressUnit(int64_t nLength) {
    constexpr int64_t kMaxValue = std::numeric_limits<int16_t>::max();
    const int64_t nBlocks = nLength / kChunk;
    return kChunk * std::max<int64_t>(1, (nBlocks + kMaxValue - 1) / kMaxValue);
}

}  // namespace

// One call of CopyFileToDevice: what is copied where, and how far it got.
struct Engine::Copy {
    QString sSource;
    QString sTarget;
    QString sName;
    SourceImage image;
    int64_t nUnit = kChunk;
    InstallTexts::Progress text{0};
    int32_t nWritten = 0;
};

Engine::Engine(Reporter* reporter, DeviceApi* device, Waiter* waiter, uint32_t connectWaitMs)
    : reporter_(reporter), device_(device), waiter_(waiter), connectWaitMs_(connectWaitMs) {}

DeviceApi& Engine::device() const {
    return device_ != nullptr ? *device_ : realDeviceApi();
}

Waiter& Engine::waiter() const {
    return waiter_ != nullptr ? *waiter_ : realWaiter();
}

template <typename Fn>
void Engine::report(Fn&& fn) {
    if (reporter_ != nullptr) {
        attempt([&] { fn(*reporter_); });
    }
}

RAPI_DWORD Engine::lastError() {
    RAPI_DWORD nCode = ERROR_DEVICE_NOT_CONNECTED;
    attempt([&] { nCode = device().CeGetLastError(); });
    return nCode;
}

bool Engine::removeFromDevice(const QString& sPath) {
    if (DeleteDeviceFile(sPath) != 0) {
        return true;
    }
    const RAPI_DWORD nCode = lastError();
    return nCode == ERROR_FILE_NOT_FOUND || nCode == ERROR_PATH_NOT_FOUND;
}

int16_t Engine::RapiConnect() {
    report([](Reporter& r) { r.SetHourglass(true); });
    int16_t bResult = kFalse;
    bool bStarted = false;
    try {
        RAPIINIT init{};
        init.cbSize = sizeof(RAPIINIT);
        const RAPI_HRESULT hr = device().CeRapiInitEx(&init);
        if (hr >= 0) {
            bStarted = true;
            const RAPI_DWORD nWait = waiter().WaitForSingleObject(init.heRapiInit, connectWaitMs_);
            if (nWait == WAIT_OBJECT_0 && init.hrRapiInit >= 0) {
                bResult = kTrue;
            }
        }
    } catch (...) {
        bResult = kFalse;
    }
    // A started attempt that failed is ended, so that no half-open link is left behind.
    if (bStarted && bResult == kFalse) {
        RapiDisconnect();
    }
    if (bResult != kFalse) {
        leftOnDevice_.removeIf([this](const QString& sPath) { return removeFromDevice(sPath); });
    }
    report([](Reporter& r) { r.SetHourglass(false); });
    return bResult;
}

void Engine::RapiDisconnect() {
    attempt([this] { device().CeRapiUninit(); });
}

int16_t Engine::FindModuleFolders() {
    CE_FIND_DATA data{};
    RAPI_HANDLE hFind = INVALID_HANDLE_VALUE;
    if (!attempt([&] { hFind = device().CeFindFirstFile(u"*", &data); })) {
        return kFalse;
    }
    if (hFind == INVALID_HANDLE_VALUE) {
        // An empty root, or a link that failed.
        return lastError() == ERROR_DEVICE_NOT_CONNECTED ? kFalse : kTrue;
    }
    bool bLost = false;
    constexpr RAPI_DWORD kCard = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;
    for (;;) {
        if ((data.dwFileAttributes & kCard) == kCard) {
            const auto* name = data.cFileName;
            const auto nLength = std::find(name, name + kMaxPath, u'\0') - name;
            const QString sEntry =
                QString::fromUtf16(name, static_cast<qsizetype>(nLength)) + kStorageFolder;
            report([&](Reporter& r) { r.AppendFolder(sEntry); });
        }
        data = CE_FIND_DATA{};
        RAPI_BOOL bMore = 0;
        // A search step that fails ends the search rather than going round again forever.
        if (!attempt([&] { bMore = device().CeFindNextFile(hFind, &data); })) {
            bLost = true;
            break;
        }
        if (bMore == 0) {
            bLost = lastError() == ERROR_DEVICE_NOT_CONNECTED;
            break;
        }
    }
    attempt([&] { device().CeFindClose(hFind); });
    return bLost ? kFalse : kTrue;
}

int32_t Engine::CreateDeviceFolder(const QString& sPath) {
    int32_t nResult = 0;
    attempt([&] { nResult = device().CeCreateDirectory(utf16(sPath), nullptr); });
    return nResult;
}

int32_t Engine::CreateDeviceFile(const QString& sPath, int16_t bOverwrite, uint32_t nAttributes) {
    int32_t hFile = INVALID_HANDLE_VALUE;
    attempt([&] {
        hFile = device().CeCreateFile(utf16(sPath), GENERIC_WRITE, 0, nullptr,
                                      bOverwrite != 0 ? CREATE_ALWAYS : CREATE_NEW, nAttributes, 0);
    });
    return hFile;
}

int32_t Engine::DeleteDeviceFile(const QString& sPath) {
    int32_t nResult = 0;
    attempt([&] { nResult = device().CeDeleteFile(utf16(sPath)); });
    return nResult;
}

void Engine::CopyFileToDevice(const QString& sSource, const QString& sTarget) {
    bCopying = kTrue;
    bLastCompleted_ = false;
    Copy copy;
    copy.sSource = sSource;
    copy.sTarget = sTarget;
    copy.sName = DesktopPath::GetFileName(sSource);
    // Nothing is raised to the face; every way out hides the progress and clears the flag.
    attempt([&] { bLastCompleted_ = transfer(copy); });
    report([](Reporter& r) { r.HideProgress(); });
    bCopying = kFalse;
}

// The desktop file is read whole and closed before the handheld is touched, so that a file that
// can't be read leaves the handheld as it was.
bool Engine::transfer(Copy& copy) {
    copy.image = ReadSourceImage(copy.sSource);
    if (copy.image.fault != SourceFault::None) {
        const QString sText =
            copy.image.fault == SourceFault::TooLarge
                ? InstallTexts::SourceTooLarge(copy.sName, copy.sSource, copy.image.nActualLength,
                                               int64_t(std::numeric_limits<int32_t>::max()) + 1)
                : InstallTexts::SourceUnreadable(copy.sName, copy.sSource);
        report([&](Reporter& r) { r.ShowMessage(sText, MessageIcon::Error); });
        return false;
    }
    const int32_t nLength = copy.image.nLength;
    copy.nUnit = progressUnit(nLength);
    copy.text = InstallTexts::Progress(nLength);

    CreateDeviceFolder(DesktopPath::GetFolderPath(copy.sTarget));
    report([&](Reporter& r) { r.FloodInit(static_cast<int16_t>(nLength / copy.nUnit)); });

    const RAPI_HANDLE hFile = CreateDeviceFile(copy.sTarget, kTrue, FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE) {
        const QString sText = InstallTexts::CreateFailed(lastError());
        report([&](Reporter& r) { r.ShowMessage(sText, MessageIcon::Error); });
        return false;
    }
    bool bOk = writeAll(copy, hFile);
    // A handle that can't be closed leaves the file incomplete on the handheld: that is a failed
    // installation, not a completed one.
    bOk = closeDeviceFile(hFile) && bOk;
    finish(copy, bOk);
    return bOk;
}

// Each write starts at the first byte the handheld hasn't taken yet, so a write that takes less
// than it was given leaves neither a hole nor repeated bytes. A write that fails, throws, takes
// nothing or claims more than it was given ends the copy as failed. One progress update follows
// each write.
bool Engine::writeAll(Copy& copy, RAPI_HANDLE hFile) {
    const int32_t nLength = copy.image.nLength;
    const auto update = [&] {
        report([&](Reporter& r) {
            r.FloodUpdate(static_cast<int16_t>(copy.nWritten / copy.nUnit),
                          copy.text(copy.nWritten));
        });
    };
    if (nLength == 0) {
        update();
    }
    bool bOk = true;
    while (bOk && copy.nWritten < nLength) {
        const auto nChunk = static_cast<RAPI_DWORD>(std::min(kChunk, nLength - copy.nWritten));
        RAPI_DWORD nCount = 0;
        RAPI_BOOL nReturned = 0;
        const bool bCalled = attempt([&] {
            nReturned = device().CeWriteFile(hFile, copy.image.bytes.get() + copy.nWritten, nChunk,
                                             &nCount, nullptr);
        });
        // Only the low 16 bits of the result count.
        const bool bTaken = bCalled && (static_cast<uint32_t>(nReturned) & 0xFFFFu) != 0;
        bOk = bTaken && nCount != 0 && nCount <= nChunk;
        if (bCalled && nCount <= nChunk) {
            copy.nWritten += static_cast<int32_t>(nCount);
        }
        update();
    }
    return bOk;
}

bool Engine::closeDeviceFile(RAPI_HANDLE hFile) {
    RAPI_BOOL nClosed = 0;
    return attempt([&] { nClosed = device().CeCloseHandle(hFile); }) && nClosed != 0;
}

void Engine::finish(Copy& copy, bool bOk) {
    if (bOk) {
        leftOnDevice_.removeAll(copy.sTarget);
        const QString sText = InstallTexts::Completed(copy.sName);
        report([&](Reporter& r) { r.ShowMessage(sText, MessageIcon::Information); });
        return;
    }
    const QString sText = InstallTexts::WriteFailed(copy.sName, copy.image.nLength);
    report([&](Reporter& r) { r.ShowMessage(sText, MessageIcon::Error); });
    // No partial module stays behind: when the handheld can't be reached now, the file is
    // deleted at the next connect.
    if (!removeFromDevice(copy.sTarget) && !leftOnDevice_.contains(copy.sTarget)) {
        leftOnDevice_.append(copy.sTarget);
    }
}

}  // namespace modRapi

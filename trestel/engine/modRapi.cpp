// The installer's device module: the link to the handheld, the storage-card search and the
// transfer of one module file, reported to the face that drives it.
//
// Every device and reporter call goes through a small guard that absorbs what it throws: a step
// that fails is skipped and the procedure goes on, and nothing is ever raised to the face.

#include "modRapi.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>

#include "InstallTexts.h"
#include "SourceImage.h"

namespace modRapi {

namespace {

constexpr int32_t kChunk = 4096;

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

// A name of its own for each temporary file, so that installers side by side never share one.
QString temporaryName() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return kTemporaryPrefix + QString::number(random(), 16) + QStringLiteral(".tmp");
}

}  // namespace

// One call of CopyFileToDevice: what is copied where, and how far it got.
struct Engine::Copy {
    QString sSource;
    QString sTarget;
    QString sFolder;
    QString sTemporary;
    QString sName;
    SourceImage image;
    int64_t nUnit = kChunk;
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

Engine::Fault Engine::faultOf(bool bThrew) {
    return bThrew || lastError() == ERROR_DEVICE_NOT_CONNECTED ? Fault::Link : Fault::Device;
}

bool Engine::deleted(const QString& sPath) {
    if (DeleteDeviceFile(sPath) != 0) {
        return true;
    }
    const RAPI_DWORD nCode = lastError();
    return nCode == ERROR_FILE_NOT_FOUND || nCode == ERROR_PATH_NOT_FOUND;
}

void Engine::removeFromDevice(const QString& sPath) {
    if (!deleted(sPath) && !leftOnDevice_.contains(sPath)) {
        leftOnDevice_.append(sPath);
    }
}

int16_t Engine::RapiConnect() {
    report([](Reporter& r) { r.SetHourglass(true); });
    connectFault_ = ConnectFault::NoAnswer;
    int16_t bResult = kFalse;
    bool bStarted = false;
    try {
        // A device that lists no handheld at all is told as that at once, without the wait: there
        // is nothing to connect to. A device that can't list handhelds at all (the call throws or
        // isn't offered) is still tried.
        RAPI_DWORD nNames = 1;
        attempt([&] { nNames = listHandhelds(nullptr, 0); });
        RAPI_BOOL bChosen = 1;
        if (!sHandheld_.isEmpty()) {
            bChosen = 0;
            attempt([&] { bChosen = device().RapiSelectDevice(utf16(sHandheld_)); });
        }
        if (bChosen == 0) {
            connectFault_ = ConnectFault::UnknownHandheld;
            nNames = 1;
        } else if (!bConnectCancelled_ && nNames != 0) {
            RAPIINIT init{};
            init.cbSize = sizeof(RAPIINIT);
            const RAPI_HRESULT hr = device().CeRapiInitEx(&init);
            if (hr >= 0) {
                bStarted = true;
                const RAPI_DWORD nWait =
                    waiter().WaitForSingleObject(init.heRapiInit, connectWaitMs_);
                if (nWait == WAIT_OBJECT_0 && init.hrRapiInit >= 0 && !bConnectCancelled_) {
                    bResult = kTrue;
                }
            }
        }
        if (nNames == 0) {
            connectFault_ = ConnectFault::NoHandheld;
        }
    } catch (...) {
        bResult = kFalse;
    }
    // A started attempt that failed is ended, so that no half-open link is left behind.
    if (bStarted && bResult == kFalse) {
        RapiDisconnect();
    }
    if (bResult != kFalse) {
        connectFault_ = ConnectFault::None;
        leftOnDevice_.removeIf([this](const QString& sPath) { return deleted(sPath); });
    }
    report([](Reporter& r) { r.SetHourglass(false); });
    return bResult;
}

RAPI_DWORD Engine::listHandhelds(char16_t* pNames, RAPI_DWORD nCapacity) {
    return device().RapiEnumDevices(pNames, nCapacity);
}

QStringList Engine::Handhelds() {
    QStringList names;
    attempt([&] {
        const RAPI_DWORD nNeeded = listHandhelds(nullptr, 0);
        std::u16string list(nNeeded, u'\0');
        if (nNeeded == 0 || listHandhelds(list.data(), nNeeded) != nNeeded) {
            return;
        }
        for (const QString& sName : QString::fromStdU16String(list).split(QChar(u'\0'))) {
            if (!sName.isEmpty()) {
                names << sName;
            }
        }
    });
    return names;
}

bool Engine::HandheldLocked() {
    RAPI_BOOL bLocked = 0;
    attempt([&] { bLocked = device().RapiDeviceLocked(); });
    return bLocked != 0;
}

void Engine::CancelConnect() {
    bConnectCancelled_ = true;
    attempt([this] { waiter().Cancel(); });
}

void Engine::RapiDisconnect() {
    attempt([this] { device().CeRapiUninit(); });
}

template <typename Fn>
bool Engine::search(const QString& sPattern, Fn&& fn) {
    CE_FIND_DATA data{};
    RAPI_HANDLE hFind = INVALID_HANDLE_VALUE;
    if (!attempt([&] { hFind = device().CeFindFirstFile(utf16(sPattern), &data); })) {
        return false;
    }
    if (hFind == INVALID_HANDLE_VALUE) {
        // Nothing found, or a link that failed.
        return lastError() != ERROR_DEVICE_NOT_CONNECTED;
    }
    bool bLost = false;
    for (;;) {
        const auto* name = data.cFileName;
        const auto nLength = std::find(name, name + kMaxPath, u'\0') - name;
        fn(data.dwFileAttributes, QString::fromUtf16(name, static_cast<qsizetype>(nLength)));
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
    return !bLost;
}

int16_t Engine::FindModuleFolders() {
    constexpr RAPI_DWORD kCard = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;
    QStringList folders{kMainMemoryFolder};
    const bool bOk = search(QStringLiteral("*"), [&](RAPI_DWORD nAttributes, const QString& sName) {
        if ((nAttributes & kCard) == kCard) {
            const QString sEntry = sName + kStorageFolder;
            folders << sEntry;
            report([&](Reporter& r) { r.AppendFolder(sEntry); });
        }
    });
    if (!bOk) {
        return kFalse;
    }
    for (const QString& sFolder : folders) {
        removeTemporaries(sFolder);
    }
    return kTrue;
}

// What a copy of this installer left behind when it was killed or lost its link: no module
// carries such a name, and none of them is ever needed again. A module set aside for its
// replacement goes back under its name when that is free, else it is the old one and goes.
void Engine::removeTemporaries(const QString& sFolder) {
    const auto filesIn = [&](const QString& sPattern, auto&& keep) {
        QStringList found;
        search(sFolder + QLatin1Char('\\') + sPattern,
               [&](RAPI_DWORD nAttributes, const QString& sName) {
                   if ((nAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && keep(sName)) {
                       found << sFolder + QLatin1Char('\\') + sName;
                   }
               });
        return found;
    };
    const QStringList temporaries =
        filesIn(kTemporaryPrefix + QLatin1Char('*'),
                [](const QString& s) { return s.startsWith(kTemporaryPrefix); });
    for (const QString& sPath : temporaries) {
        removeFromDevice(sPath);
    }
    const QStringList setAside = filesIn(QLatin1Char('*') + kSetAsideSuffix, [](const QString& s) {
        return s.endsWith(kSetAsideSuffix) && s.size() > kSetAsideSuffix.size();
    });
    for (const QString& sAside : setAside) {
        const QString sModule = sAside.chopped(kSetAsideSuffix.size());
        if (moveDeviceFile(sAside, sModule) != Fault::None && lastError() == ERROR_ALREADY_EXISTS) {
            removeFromDevice(sAside);
        }
    }
}

std::optional<uint64_t> Engine::FreeSpace(const QString& sFolder) {
    // A module folder that doesn't exist yet has the free space of the folder it will be made in.
    QString sAsked = sFolder;
    while (sAsked.endsWith(QLatin1Char('\\'))) {
        sAsked.chop(1);
    }
    for (;;) {
        uint64_t nFree = 0;
        uint64_t nTotal = 0;
        uint64_t nTotalFree = 0;
        RAPI_BOOL bOk = 0;
        // Any other failure (ERROR_CALL_NOT_IMPLEMENTED, a library without the call) leaves it
        // unknown.
        const bool bCalled = attempt([&] {
            bOk = device().CeGetDiskFreeSpaceEx(utf16(sAsked), &nFree, &nTotal, &nTotalFree);
        });
        if (bOk != 0) {
            return nFree;
        }
        const qsizetype nSlash = sAsked.lastIndexOf(QLatin1Char('\\'));
        if (!bCalled || nSlash < 0 ||
            (lastError() != ERROR_PATH_NOT_FOUND && lastError() != ERROR_FILE_NOT_FOUND)) {
            return std::nullopt;
        }
        sAsked.truncate(nSlash);
    }
}

int32_t Engine::CreateDeviceFolder(const QString& sPath) {
    int32_t nResult = 0;
    attempt([&] { nResult = device().CeCreateDirectory(utf16(sPath), nullptr); });
    return nResult;
}

RAPI_HANDLE Engine::openDeviceFile(const QString& sPath, RAPI_DWORD nAccess,
                                   RAPI_DWORD nDisposition, RAPI_DWORD nAttributes) {
    RAPI_HANDLE hFile = INVALID_HANDLE_VALUE;
    attempt([&] {
        hFile =
            device().CeCreateFile(utf16(sPath), nAccess, 0, nullptr, nDisposition, nAttributes, 0);
    });
    return hFile;
}

int32_t Engine::CreateDeviceFile(const QString& sPath, int16_t bOverwrite, uint32_t nAttributes) {
    return openDeviceFile(sPath, GENERIC_WRITE, bOverwrite != 0 ? CREATE_ALWAYS : CREATE_NEW,
                          nAttributes);
}

int32_t Engine::DeleteDeviceFile(const QString& sPath) {
    int32_t nResult = 0;
    attempt([&] { nResult = device().CeDeleteFile(utf16(sPath)); });
    return nResult;
}

Engine::Fault Engine::moveDeviceFile(const QString& sFrom, const QString& sTo) {
    RAPI_BOOL bMoved = 0;
    if (!attempt([&] { bMoved = device().CeMoveFile(utf16(sFrom), utf16(sTo)); })) {
        return Fault::Link;
    }
    return bMoved != 0 ? Fault::None : faultOf(false);
}

void Engine::CopyFileToDevice(const QString& sSource, const QString& sTarget) {
    bCopying = kTrue;
    bStopRequested_ = false;
    bLastCompleted_ = false;
    Copy copy;
    copy.sSource = sSource;
    copy.sTarget = sTarget;
    copy.sFolder = DesktopPath::GetFolderPath(sTarget);
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

    CreateDeviceFolder(copy.sFolder);
    report([&](Reporter& r) { r.FloodInit(static_cast<int16_t>(nLength / copy.nUnit)); });

    // A module that can't fit fails before anything is written; where the handheld can't tell,
    // the copy goes ahead.
    if (const auto nFree = FreeSpace(copy.sFolder); nFree && *nFree < uint64_t(nLength)) {
        const QString sText = InstallTexts::CreateFailed(ERROR_DISK_FULL);
        report([&](Reporter& r) { r.ShowMessage(sText, MessageIcon::Error); });
        return false;
    }

    copy.sTemporary = copy.sFolder + temporaryName();
    const RAPI_HANDLE hFile = CreateDeviceFile(copy.sTemporary, kTrue, FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE) {
        const RAPI_DWORD nCode = lastError();
        const QString sText = nCode == ERROR_DEVICE_NOT_CONNECTED
                                  ? InstallTexts::LinkLost(copy.sName)
                                  : InstallTexts::CreateFailed(nCode);
        report([&](Reporter& r) { r.ShowMessage(sText, MessageIcon::Error); });
        return false;
    }
    Fault fault = writeAll(copy, hFile);
    // A handle that can't be closed leaves the file incomplete on the handheld: that is a failed
    // installation, not a completed one.
    const Fault closed = closeDeviceFile(hFile);
    if (fault == Fault::None) {
        fault = closed;
    }
    if (fault == Fault::None) {
        fault = readBack(copy);
    }
    if (fault == Fault::None) {
        fault = moveIntoPlace(copy);
    }
    return finish(copy, fault);
}

// Each write starts at the first byte the handheld hasn't taken yet, so a write that takes less
// than it was given leaves neither a hole nor repeated bytes. A write that fails, throws, takes
// nothing or claims more than it was given ends the copy as failed. One progress update follows
// each write.
Engine::Fault Engine::writeAll(Copy& copy, RAPI_HANDLE hFile) {
    const int32_t nLength = copy.image.nLength;
    const InstallTexts::Progress text(nLength, InstallTexts::Pass::Copy);
    const auto update = [&] {
        report([&](Reporter& r) {
            r.FloodUpdate(static_cast<int16_t>(copy.nWritten / copy.nUnit), text(copy.nWritten));
        });
    };
    if (nLength == 0) {
        update();
    }
    while (copy.nWritten < nLength) {
        const auto nChunk = static_cast<RAPI_DWORD>(std::min(kChunk, nLength - copy.nWritten));
        RAPI_DWORD nCount = 0;
        RAPI_BOOL nReturned = 0;
        const bool bCalled = attempt([&] {
            nReturned = device().CeWriteFile(hFile, copy.image.bytes.get() + copy.nWritten, nChunk,
                                             &nCount, nullptr);
        });
        // Only the low 16 bits of the result count.
        const bool bTaken = bCalled && (static_cast<uint32_t>(nReturned) & 0xFFFFu) != 0;
        if (bCalled && nCount <= nChunk) {
            copy.nWritten += static_cast<int32_t>(nCount);
        }
        update();
        if (!bTaken || nCount == 0 || nCount > nChunk) {
            return bTaken ? Fault::Device : faultOf(!bCalled);
        }
        if (bStopRequested_) {
            return Fault::Stopped;
        }
    }
    return Fault::None;
}

// The second pass: the file as the handheld holds it, in blocks of 4096 bytes, against the image,
// and nothing after its end.
Engine::Fault Engine::readBack(Copy& copy) {
    const int32_t nLength = copy.image.nLength;
    const InstallTexts::Progress text(nLength, InstallTexts::Pass::Check);
    report([&](Reporter& r) { r.FloodInit(static_cast<int16_t>(nLength / copy.nUnit)); });
    const RAPI_HANDLE hFile =
        openDeviceFile(copy.sTemporary, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE) {
        return faultOf(false);
    }
    char block[kChunk];
    int32_t nChecked = 0;
    const auto update = [&] {
        report([&](Reporter& r) {
            r.FloodUpdate(static_cast<int16_t>(nChecked / copy.nUnit), text(nChecked));
        });
    };
    if (nLength == 0) {
        update();
    }
    Fault fault = Fault::None;
    // The last round asks for more after the end and must get nothing.
    while (fault == Fault::None) {
        const int32_t nWanted = std::min(kChunk, std::max(nLength - nChecked, 1));
        RAPI_DWORD nCount = 0;
        RAPI_BOOL bRead = 0;
        const bool bCalled = attempt([&] {
            bRead = device().CeReadFile(hFile, block, RAPI_DWORD(nWanted), &nCount, nullptr);
        });
        if (!bCalled || bRead == 0) {
            fault = faultOf(!bCalled);
        } else if (nChecked == nLength) {
            fault = nCount == 0 ? Fault::None : Fault::Device;
            break;
        } else if (nCount == 0 || nCount > RAPI_DWORD(nWanted) ||
                   std::memcmp(block, copy.image.bytes.get() + nChecked, nCount) != 0) {
            fault = Fault::Device;
        } else {
            nChecked += static_cast<int32_t>(nCount);
            update();
            if (bStopRequested_) {
                fault = Fault::Stopped;
            }
        }
    }
    const Fault closed = closeDeviceFile(hFile);
    return fault != Fault::None ? fault : closed;
}

// The checked file takes the module's name. A module of that name is set aside first and removed
// only once the new one is in place; if the new one can't be put there, the old one goes back.
Engine::Fault Engine::moveIntoPlace(Copy& copy) {
    const Fault first = moveDeviceFile(copy.sTemporary, copy.sTarget);
    if (first == Fault::None) {
        return first;
    }
    // One left by an earlier install that was killed is older than the module now there.
    const QString sAside = copy.sTarget + kSetAsideSuffix;
    removeFromDevice(sAside);
    if (moveDeviceFile(copy.sTarget, sAside) != Fault::None) {
        return first;
    }
    const Fault second = moveDeviceFile(copy.sTemporary, copy.sTarget);
    if (second != Fault::None) {
        moveDeviceFile(sAside, copy.sTarget);
        return second;
    }
    removeFromDevice(sAside);
    return Fault::None;
}

Engine::Fault Engine::closeDeviceFile(RAPI_HANDLE hFile) {
    RAPI_BOOL nClosed = 0;
    const bool bCalled = attempt([&] { nClosed = device().CeCloseHandle(hFile); });
    return bCalled && nClosed != 0 ? Fault::None : faultOf(!bCalled);
}

// The temporary file goes before the message is shown, so that a kill while the message is up
// leaves nothing behind; what can't be removed now is removed at the next connect.
bool Engine::finish(Copy& copy, Fault fault) {
    if (fault != Fault::None) {
        removeFromDevice(copy.sTemporary);
    }
    QString sText;
    switch (fault) {
        case Fault::None:
            leftOnDevice_.removeAll(copy.sTarget);
            sText = InstallTexts::Completed(copy.sName);
            report([&](Reporter& r) { r.ShowMessage(sText, MessageIcon::Information); });
            return true;
        case Fault::Device:
            sText = InstallTexts::WriteFailed(copy.sName, copy.image.nLength);
            break;
        case Fault::Link:
            sText = InstallTexts::LinkLost(copy.sName);
            break;
        case Fault::Stopped:
            return false;
    }
    report([&](Reporter& r) { r.ShowMessage(sText, MessageIcon::Error); });
    return false;
}

}  // namespace modRapi

// The installer's device module: the link to the handheld, the storage-card search, the path
// helpers and the transfer of one module file with its progress and result messages.
//
// Every device and window call goes through a small guard that absorbs what it throws: a step
// that fails is skipped and the procedure goes on, and nothing is ever raised to the window.

#include "modRapi.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocale>
#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <optional>

#include "LargeBuffer.h"
#include "LocalPath.h"
#include "Posix.h"
#include "Text.h"

namespace modRapi {

int16_t bCopying = kFalse;

namespace {

InstallerWindow* g_window = nullptr;
DeviceApi* g_device = nullptr;
Waiter* g_waiter = nullptr;
uint32_t g_connectWaitMs = kConnectWaitMs;
// Partial modules whose delete after the failed copy couldn't reach the handheld.
QStringList g_leftOnDevice;

constexpr int32_t kChunk = 4096;
const QString kStorageFolder = QStringLiteral("\\Pocket Lorvex");

DeviceApi& device() {
    return g_device != nullptr ? *g_device : realDeviceApi();
}
Waiter& waiter() {
    return g_waiter != nullptr ? *g_waiter : realWaiter();
}

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

// Runs fn on the bound window, if any; a window call that fails is skipped.
template <typename Fn>
void onWindow(Fn&& fn) {
    if (g_window != nullptr) {
        attempt([&] { fn(*g_window); });
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

// Digits in groups of three with the locale's thousands separator ("###,###,##0").
QString grouped(int64_t n, const QLocale& locale) {
    const QString sDigits = QString::number(n < 0 ? -n : n);
    QString sOut;
    sOut.reserve(sDigits.size() + sDigits.size() / 3 + 1);
    if (n < 0) {
        sOut += QLatin1Char('-');
    }
    const QString sSeparator = locale.groupSeparator();
    for (qsizetype i = 0; i < sDigits.size(); ++i) {
        if (i > 0 && (sDigits.size() - i) % 3 == 0) {
            sOut += sSeparator;
        }
        sOut += sDigits[i];
    }
    return sOut;
}

void showMessage(const QString& sText, MessageIcon icon) {
    onWindow([&](InstallerWindow& w) { w.ShowMessage(sText, icon); });
}

QString createErrorMessage(RAPI_DWORD nCode) {
    switch (nCode) {
        case ERROR_PATH_NOT_FOUND:
            return QStringLiteral("The system cannot find the path specified.");
        case ERROR_WRITE_PROTECT:
            return QStringLiteral("The media is write protected.");
        case ERROR_DISK_FULL:
            return QStringLiteral("There is not enough space on the disk.");
        default:
            return QStringLiteral("An unknown error occurred.");
    }
}

// A regular file once links are followed (hidden names are turned away by the caller).
bool isPlainFile(int dirFd, const QByteArray& path) {
    struct stat st {};
    return fstatat(dirFd, path.constData(), &st, 0) == 0 && S_ISREG(st.st_mode);
}

// The desktop file read whole, or the reason why it couldn't be.
enum class SourceFault { None, Unreadable, TooLarge };

struct SourceImage {
    SourceFault fault = SourceFault::None;
    int32_t nLength = 0;
    int64_t nActualLength = 0;
    posix::LargeBuffer bytes;
};

SourceImage readSource(const QString& sSource) {
    SourceImage image;
    image.fault = SourceFault::Unreadable;
    if (sSource.isEmpty()) {
        return image;
    }
    // Non-blocking so that a FIFO given by mistake can't hang the window; only regular files
    // are read.
    struct stat st {};
    const posix::UniqueFd fd =
        posix::openRegularFile(AT_FDCWD, LocalPath::encode(sSource).constData(), 0, &st);
    if (!fd.valid()) {
        return image;
    }
    image.nActualLength = st.st_size;
    if (st.st_size > std::numeric_limits<int32_t>::max()) {
        image.fault = SourceFault::TooLarge;
        return image;
    }
    const auto nLength = static_cast<int32_t>(st.st_size);
    if (!image.bytes.allocate(static_cast<size_t>(nLength))) {
        return image;
    }
    // Fewer bytes than the size said: an error, or the file shrank while it was read.
    if (posix::readFull(fd.get(), image.bytes.get(), static_cast<size_t>(nLength)) != nLength) {
        image.bytes.reset();
        return image;
    }
    image.nLength = nLength;
    image.fault = SourceFault::None;
    return image;
}

RAPI_DWORD lastError() {
    RAPI_DWORD nCode = ERROR_DEVICE_NOT_CONNECTED;
    attempt([&] { nCode = device().CeGetLastError(); });
    return nCode;
}

// Deletes a device file; true when it is gone, also when it was not there.
bool removeFromDevice(const QString& sPath) {
    if (DeleteDeviceFile(sPath) != 0) {
        return true;
    }
    const RAPI_DWORD nCode = lastError();
    return nCode == ERROR_FILE_NOT_FOUND || nCode == ERROR_PATH_NOT_FOUND;
}

// Ends every way through CopyFileToDevice: the progress box hidden, the busy flag cleared.
struct CopyingScope {
    CopyingScope() { bCopying = kTrue; }
    ~CopyingScope() {
        onWindow([](InstallerWindow& w) { w.HideProgress(); });
        bCopying = kFalse;
    }
    CopyingScope(const CopyingScope&) = delete;
    CopyingScope& operator=(const CopyingScope&) = delete;
};

}  // namespace

void Bind(InstallerWindow* window, DeviceApi* device, Waiter* waiter, uint32_t connectWaitMs) {
    g_window = window;
    g_device = device;
    g_waiter = waiter;
    g_connectWaitMs = connectWaitMs;
    g_leftOnDevice.clear();
}

void Unbind(const InstallerWindow* window) {
    if (g_window == window) {
        Bind(nullptr);
    }
}

int16_t RapiConnect() {
    onWindow([](InstallerWindow& w) { w.SetHourglass(true); });
    int16_t bResult = kFalse;
    bool bStarted = false;
    try {
        RAPIINIT init{};
        init.cbSize = sizeof(RAPIINIT);
        init.heRapiInit = 0;
        init.hrRapiInit = 0;
        const RAPI_HRESULT hr = device().CeRapiInitEx(&init);
        if (hr >= 0) {
            bStarted = true;
            const RAPI_DWORD nWait = waiter().WaitForSingleObject(init.heRapiInit, g_connectWaitMs);
            if (nWait == WAIT_OBJECT_0 && init.hrRapiInit >= 0) {
                bResult = kTrue;
            } else {
                bStarted = false;
                attempt([] { device().CeRapiUninit(); });
            }
        }
    } catch (...) {
        // A started attempt is ended too, so that no half-open link is left behind.
        if (bStarted) {
            attempt([] { device().CeRapiUninit(); });
        }
        bResult = kFalse;
    }
    if (bResult != kFalse) {
        g_leftOnDevice.removeIf([](const QString& sPath) { return removeFromDevice(sPath); });
    }
    onWindow([](InstallerWindow& w) { w.SetHourglass(false); });
    return bResult;
}

QStringList LeftOnDevice() {
    return g_leftOnDevice;
}

void RapiDisconnect() {
    attempt([] { device().CeRapiUninit(); });
}

int16_t FindModuleFolders() {
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
            onWindow([&](InstallerWindow& w) { w.AppendFolder(sEntry); });
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

int16_t FileExists(QString sPath) {
    try {
        if (sPath.isEmpty() || sPath.contains(QChar(u'\0'))) {
            return kFalse;
        }
        const qsizetype nSlash = sPath.lastIndexOf(QLatin1Char('/'));
        const QString sName = sPath.mid(nSlash + 1);
        if (sName.isEmpty() || sName.startsWith(QLatin1Char('.'))) {
            return kFalse;
        }
        if (!sName.contains(QLatin1Char('*')) && !sName.contains(QLatin1Char('?'))) {
            // No search needed: the folder need only be passable, not readable.
            return isPlainFile(AT_FDCWD, LocalPath::encode(sPath)) ? kTrue : kFalse;
        }
        const QString sFolder = nSlash < 0    ? QStringLiteral(".")
                                : nSlash == 0 ? QStringLiteral("/")
                                              : sPath.left(nSlash);
        DIR* dir = opendir(LocalPath::encode(sFolder).constData());
        if (dir == nullptr) {
            return kFalse;
        }
        const std::u32string pattern = sName.toStdU32String();
        bool bFound = false;
        while (!bFound) {
            const dirent* entry = readdir(dir);
            if (entry == nullptr) {
                break;
            }
            const QByteArray name(entry->d_name);
            bFound = !name.startsWith('.') &&
                     text::wildcardMatch(pattern, LocalPath::decode(name).toStdU32String(),
                                         text::Case::Sensitive) &&
                     isPlainFile(dirfd(dir), name);
        }
        closedir(dir);
        return bFound ? kTrue : kFalse;
    } catch (...) {
        return kFalse;
    }
}

QString GetFileName(QString sPath) {
    qsizetype i = sPath.size();
    while (i > 0) {
        const QChar c = sPath[i - 1];
        if (c == u':' || c == u'\\' || c == u'/') {
            break;
        }
        --i;
    }
    return sPath.mid(i);
}

QString GetFolderPath(QString sPath) {
    qsizetype i = sPath.size();
    while (i > 0 && sPath[i - 1] != u'\\') {
        --i;
    }
    return sPath.left(i);
}

int32_t CreateDeviceFolder(const QString& sPath) {
    int32_t nResult = 0;
    attempt([&] { nResult = device().CeCreateDirectory(utf16(sPath), nullptr); });
    return nResult;
}

int32_t CreateDeviceFile(const QString& sPath, int16_t bOverwrite, uint32_t nAttributes) {
    int32_t hFile = INVALID_HANDLE_VALUE;
    attempt([&] {
        hFile = device().CeCreateFile(utf16(sPath), GENERIC_WRITE, 0, nullptr,
                                      bOverwrite != 0 ? CREATE_ALWAYS : CREATE_NEW, nAttributes, 0);
    });
    return hFile;
}

int32_t DeleteDeviceFile(const QString& sPath) {
    int32_t nResult = 0;
    attempt([&] { nResult = device().CeDeleteFile(utf16(sPath)); });
    return nResult;
}

void CopyFileToDevice(const QString& sSource, const QString& sTarget) {
    CopyingScope scope;
    try {
        // Byte counts are always grouped by threes, also where the locale would leave them bare
        // or group them otherwise.
        const QLocale locale;
        const auto formatted = [&](int64_t n) { return grouped(n, locale); };
        const QString sName = GetFileName(sSource);

        // The desktop file is read whole and closed before the handheld is touched, so that a
        // file that can't be read leaves the handheld as it was.
        SourceImage image = readSource(sSource);
        if (image.fault == SourceFault::TooLarge) {
            showMessage(QStringLiteral("Installation of ") + sName +
                            QStringLiteral(" has failed!  The file ") + sSource +
                            QStringLiteral(" is ") + formatted(image.nActualLength) +
                            QStringLiteral(" bytes long; files of ") +
                            formatted(int64_t(std::numeric_limits<int32_t>::max()) + 1) +
                            QStringLiteral(" bytes or more cannot be installed."),
                        MessageIcon::Error);
            return;
        }
        if (image.fault != SourceFault::None) {
            showMessage(QStringLiteral("Installation of ") + sName +
                            QStringLiteral(" has failed!  The file ") + sSource +
                            QStringLiteral(" cannot be opened or read."),
                        MessageIcon::Error);
            return;
        }
        const int32_t nLength = image.nLength;

        CreateDeviceFolder(GetFolderPath(sTarget));
        const int64_t nUnit = progressUnit(nLength);
        onWindow([&](InstallerWindow& w) { w.FloodInit(static_cast<int16_t>(nLength / nUnit)); });

        const RAPI_HANDLE hFile = CreateDeviceFile(sTarget, kTrue, FILE_ATTRIBUTE_NORMAL);
        if (hFile == INVALID_HANDLE_VALUE) {
            RAPI_DWORD nCode = 0;
            attempt([&] { nCode = device().CeGetLastError(); });
            showMessage(createErrorMessage(nCode), MessageIcon::Error);
            return;
        }

        const QString sOf =
            QStringLiteral(" of ") + formatted(nLength) + QStringLiteral(" bytes copied");
        int32_t nWritten = 0;
        const auto update = [&] {
            onWindow([&](InstallerWindow& w) {
                w.FloodUpdate(static_cast<int16_t>(nWritten / nUnit), formatted(nWritten) + sOf);
            });
        };

        // Each write starts at the first byte the handheld hasn't taken yet, so a write that
        // takes less than it was given leaves neither a hole nor repeated bytes. A write that
        // fails, throws, takes nothing or claims more than it was given ends the copy as failed.
        bool bOk = true;
        if (nLength == 0) {
            update();
        }
        while (bOk && nWritten < nLength) {
            const int32_t nChunk = std::min(kChunk, nLength - nWritten);
            RAPI_DWORD nCount = 0;
            RAPI_BOOL nReturned = 0;
            const bool bCalled = attempt([&] {
                nReturned = device().CeWriteFile(hFile, image.bytes.get() + nWritten,
                                                 static_cast<RAPI_DWORD>(nChunk), &nCount, nullptr);
            });
            const auto nResult = static_cast<int16_t>(static_cast<uint32_t>(nReturned) & 0xFFFFu);
            if (!bCalled || nResult == 0 || nCount == 0 ||
                nCount > static_cast<RAPI_DWORD>(nChunk)) {
                bOk = false;
                if (bCalled && nCount <= static_cast<RAPI_DWORD>(nChunk)) {
                    nWritten += static_cast<int32_t>(nCount);
                }
            } else {
                nWritten += static_cast<int32_t>(nCount);
            }
            update();
        }

        // A handle that can't be closed leaves the file incomplete on the handheld: that is a
        // failed installation, not a completed one.
        RAPI_BOOL nClosed = 0;
        if (!attempt([&] { nClosed = device().CeCloseHandle(hFile); }) || nClosed == 0) {
            bOk = false;
        }

        if (bOk) {
            g_leftOnDevice.removeAll(sTarget);
            showMessage(
                QStringLiteral("Installation of ") + sName + QStringLiteral(" is completed."),
                MessageIcon::Information);
        } else {
            showMessage(QStringLiteral("Installation of ") + sName +
                            QStringLiteral(" has failed!  An error occurred during installation.  "
                                           "Make sure there is enough memory to accommodate a "
                                           "file that is ") +
                            formatted(nLength) + QStringLiteral(" bytes."),
                        MessageIcon::Error);
            // No partial module stays behind: when the handheld can't be reached now, the file
            // is deleted at the next connect.
            if (!removeFromDevice(sTarget) && !g_leftOnDevice.contains(sTarget)) {
                g_leftOnDevice.append(sTarget);
            }
        }
    } catch (...) {
        // Nothing is raised to the window; the scope still hides the progress and clears the flag.
    }
}

}  // namespace modRapi

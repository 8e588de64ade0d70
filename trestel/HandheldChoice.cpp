#include "HandheldChoice.h"

#include <QtGlobal>
#include <string>
#include <utility>

#include "Text.h"

namespace HandheldChoice {

namespace {

// More than any desktop has attached: a longer list is taken for a fault of the device library.
constexpr RAPI_DWORD kMaxListUnits = 1U << 16;
// A list that grows between asking its size and reading it is asked for again this often.
constexpr int kListReads = 3;

const char16_t* utf16(const QString& s) {
    return reinterpret_cast<const char16_t*>(s.utf16());
}

// The names of a list of NUL-terminated names ended by an empty one; a last name without its
// NUL is cut off and left out.
QStringList parseList(const std::u16string& list) {
    QStringList names;
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nEnd = list.find(u'\0', nStart);
        if (nEnd == std::u16string::npos || nEnd == nStart) {
            break;
        }
        names << QString::fromUtf16(list.data() + nStart, static_cast<qsizetype>(nEnd - nStart));
        nStart = nEnd + 1;
    }
    names.removeDuplicates();
    return names;
}

QString quoted(const QString& sName) {
    return QLatin1Char('"') + Shown(sName) + QLatin1Char('"');
}

QString notAttached(const QString& sWanted, const QStringList& attached) {
    QString sText = QStringLiteral("The handheld %1 named by %2 is not connected.")
                        .arg(quoted(sWanted), QLatin1String(kVariable));
    if (!attached.isEmpty()) {
        QStringList shown;
        for (const QString& sName : attached) {
            shown << quoted(sName);
        }
        sText += QStringLiteral(" Connected: %1.").arg(shown.join(QStringLiteral(", ")));
    }
    return sText;
}

// Selects sName for the next connect; false when the device refused or the call threw.
bool select(DeviceApi& device, const QString& sName) {
    RAPI_BOOL bDone = 0;
    return attempt([&] { bDone = device.RapiSelectDevice(utf16(sName)); }) && bDone != 0;
}

QString notChosen(const QString& sName) {
    return QStringLiteral(
               "The handheld %1 could not be chosen. Make sure it is still connected, "
               "then press Connect again.")
        .arg(quoted(sName));
}

Choice failed(Choice choice, QString sMessage) {
    choice.outcome = Choice::Outcome::Failed;
    choice.message = std::move(sMessage);
    return choice;
}

}  // namespace

QString WantedFromEnvironment() {
    return qEnvironmentVariable(kVariable);
}

QString Shown(const QString& sName) {
    return QString::fromStdString(text::oneLine(sName.toStdString()));
}

QStringList Attached(DeviceApi& device) {
    QStringList names;
    attempt([&] {
        RAPI_DWORD nNeeded = device.RapiEnumDevices(nullptr, 0);
        for (int nRead = 0; nRead < kListReads && nNeeded > 0 && nNeeded <= kMaxListUnits;
             ++nRead) {
            std::u16string list(nNeeded, u'\0');
            const RAPI_DWORD nGot = device.RapiEnumDevices(list.data(), nNeeded);
            if (nGot <= nNeeded) {
                // Fewer units than asked for: the list shrank in between; only they were written.
                list.resize(nGot);
                names = parseList(list);
                return;
            }
            nNeeded = nGot;
        }
    });
    return names;
}

Choice ChooseBeforeConnect(DeviceApi& device, HandheldPrompts& prompts, QWidget* owner,
                           const QString& sWanted) {
    Choice choice;
    choice.attached = Attached(device);

    if (!sWanted.isEmpty()) {
        choice.handheld = sWanted;
        if (!choice.attached.isEmpty() && !choice.attached.contains(sWanted)) {
            return failed(choice, notAttached(sWanted, choice.attached));
        }
        // Also tried when the device can't list its handhelds: it may still choose one.
        if (!select(device, sWanted)) {
            return failed(
                choice, choice.attached.isEmpty() ? notAttached(sWanted, {}) : notChosen(sWanted));
        }
        choice.outcome = Choice::Outcome::Selected;
        return choice;
    }

    if (choice.attached.size() > 1) {
        const std::optional<QString> chosen = prompts.ChooseHandheld(owner, choice.attached);
        if (!chosen) {
            choice.outcome = Choice::Outcome::Cancelled;
            return choice;
        }
        choice.handheld = *chosen;
        if (!choice.attached.contains(*chosen) || !select(device, *chosen)) {
            return failed(choice, notChosen(*chosen));
        }
        choice.outcome = Choice::Outcome::Selected;
        return choice;
    }

    // One handheld or none: the default, also after an earlier connect chose another one.
    if (choice.attached.size() == 1) {
        choice.handheld = choice.attached.front();
    }
    attempt([&] { device.RapiSelectDevice(nullptr); });
    return choice;
}

Unlock UnlockAfterFailedConnect(DeviceApi& device, HandheldPrompts& prompts, QWidget* owner,
                                const QString& sHandheld) {
    RAPI_BOOL bLocked = 0;
    if (!attempt([&] { bLocked = device.RapiDeviceLocked(); }) || bLocked == 0) {
        return Unlock::NotLocked;
    }
    bool bWrong = false;
    for (;;) {
        std::optional<QString> password = prompts.AskPassword(owner, sHandheld, bWrong);
        if (!password) {
            return Unlock::Cancelled;
        }
        RAPI_BOOL bDone = 0;
        RAPI_DWORD nCode = 0;
        const bool bCalled = attempt([&] {
            bDone = device.RapiUnlockDevice(utf16(*password));
            if (bDone == 0) {
                nCode = device.CeGetLastError();
            }
        });
        // The password is not kept in memory longer than needed.
        password->fill(QChar(u'\0'));
        if (!bCalled) {
            return Unlock::Failed;
        }
        if (bDone != 0) {
            return Unlock::Unlocked;
        }
        if (nCode != ERROR_INVALID_PASSWORD) {
            return Unlock::Failed;
        }
        bWrong = true;
    }
}

}  // namespace HandheldChoice

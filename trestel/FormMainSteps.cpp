// The installer window's steps: Connect and Disconnect, the folder and its free space, the copy,
// the file picker and closing; and what the install engine reports to the window. Every device
// step runs on a thread of its own while the window goes on answering.

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSessionManager>
#include <QSignalBlocker>
#include <QThread>
#include <optional>
#include <thread>
#include <utility>

#include "FloodBar.h"
#include "FormMain.h"
#include "HandheldChoice.h"
#include "InstallTexts.h"
#include "LocalPath.h"
#include "MessageBoxes.h"
#include "OffThreadDevice.h"
#include "StatusLine.h"
#include "WindowLook.h"

namespace {

const QString kNoHandheld = QStringLiteral(
    "No handheld: attach one through SynCE, or make the emulated one: handheld-sim create");

}  // namespace

// --- What the install engine reports ----------------------------------------------------------

void FormMain::AppendFolder(const QString& sEntry) {
    OnWindowThread([this, sEntry] {
        const QSignalBlocker blocker(ListBoxFolders);
        ListBoxFolders->addItem(sEntry);
    });
}

void FormMain::FloodInit(int16_t nMax) {
    {
        // An update of the pass before that is not drawn yet is not drawn on the new scale.
        const std::lock_guard lock(progressMutex_);
        bProgressPending_ = false;
    }
    OnWindowThread([this, nMax] {
        LabelNote->hide();
        PictureProgress->FloodInit(nMax);
        // The copy writes next and may take seconds for its first block: the bar and the
        // disabled controls are painted now, not when the first progress update comes.
        repaint();
    });
}

void FormMain::FloodUpdate(int16_t nValue, const QString& sMessage) {
    if (QThread::currentThread() == thread()) {
        PictureProgress->FloodUpdate(nValue, sMessage);
        return;
    }
    // From the copy's thread: the bar shows the latest update when the window gets to it; a
    // copy faster than the window's drawing never waits for it, nor piles up stale updates.
    {
        const std::lock_guard lock(progressMutex_);
        progressLatest_ = {nValue, sMessage};
        if (std::exchange(bProgressPending_, true)) {
            return;
        }
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            std::pair<int16_t, QString> latest;
            {
                const std::lock_guard lock(progressMutex_);
                if (!std::exchange(bProgressPending_, false)) {
                    return;
                }
                latest = progressLatest_;
            }
            PictureProgress->FloodUpdate(latest.first, latest.second);
        },
        Qt::QueuedConnection);
}

void FormMain::HideProgress() {
    OnWindowThread([this] { PictureProgress->hide(); });
}

void FormMain::ShowMessage(const QString& sText, MessageIcon icon) {
    // A module name in the text shows as in the title: U+FFFD for each byte that isn't UTF-8.
    OnWindowThread(
        [this, sText, icon] {
            bMessageUp_ = true;
            messages_->Show(this, LocalPath::forDisplay(sText), icon);
            bMessageUp_ = false;
        },
        true);
}

void FormMain::SetHourglass(bool bBusy) {
    if (QThread::currentThread() != thread()) {
        OnWindowThread([this, bBusy] { SetHourglass(bBusy); });
        return;
    }
    // One pointer state, not a stack: the override is set once and restored once.
    if (bBusy && !bHourglass_) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        bHourglass_ = true;
    } else if (!bBusy && bHourglass_) {
        QApplication::restoreOverrideCursor();
        bHourglass_ = false;
    }
}

// --- Connect and disconnect ---------------------------------------------------------------------

void FormMain::ButtonConnectClick() {
    if (bBusy_) {
        return;
    }
    if (ButtonConnect->text() == kConnect) {
        const std::optional<int16_t> connected = ConnectToHandheld();
        if (!connected) {
            return;
        }
        const int16_t bConnected = *connected;
        if (CloseIfRequested()) {
            return;
        }
        if (bConnected != modRapi::kFalse) {
            ButtonConnect->setText(kDisconnect);
            FitTexts();
            {
                const QSignalBlocker blocker(ListBoxFolders);
                ListBoxFolders->clear();
            }
            AppendFolder(modRapi::kMainMemoryFolder);
            int16_t bFound = modRapi::kFalse;
            OffThread([&] { bFound = engine_.FindModuleFolders(); });
            if (bFound == modRapi::kFalse) {
                // The link failed during the search: nothing listed can be trusted.
                OffThread([&] { engine_.RapiDisconnect(); });
                DisconnectedSteps();
                return;
            }
            ListBoxFolders->setEnabled(true);
            LabelStatus->SetStatus(QStringLiteral("ActiveSync Status: Connected"));
            FitTexts();
            SetTextColor(LabelStatus, WindowLook::kGreen);
            return;
        }
        DisconnectedSteps();
        if (engine_.LastConnectFault() == modRapi::ConnectFault::NoHandheld) {
            LabelNote->setText(kNoHandheld);
            LabelNote->show();
            LabelNote->SetStatus(kNoHandheld);
        }
        return;
    }
    OffThread([&] { engine_.RapiDisconnect(); });
    DisconnectedSteps();
}

std::optional<int16_t> FormMain::ConnectToHandheld() {
    using HandheldChoice::Choice;
    // The questions are the window's; the device calls between them run off its thread.
    OffThreadDevice device(*device_,
                           [this](const std::function<void()>& work) { OffThread(work); });
    const Choice choice = HandheldChoice::ChooseBeforeConnect(
        device, *prompts_, this, HandheldChoice::WantedFromEnvironment());
    if (choice.outcome == Choice::Outcome::Cancelled) {
        return std::nullopt;
    }
    if (choice.outcome == Choice::Outcome::Failed) {
        messages_->Show(this, choice.message, MessageIcon::Error);
        return modRapi::kFalse;
    }
    // The window answers during the wait; a second Connect can't start meanwhile (bBusy_).
    // The button stays enabled so that it keeps the keyboard focus.
    int16_t bConnected = modRapi::kFalse;
    for (int nTry = 0; nTry < 2 && bConnected == modRapi::kFalse && !bCloseRequested_; ++nTry) {
        bConnecting_ = true;
        OffThread([&] { bConnected = engine_.RapiConnect(); });
        bConnecting_ = false;
        // A locked handheld: its password, then one more connect.
        if (bConnected == modRapi::kFalse && !bCloseRequested_ && nTry == 0 &&
            HandheldChoice::UnlockAfterFailedConnect(device, *prompts_, this, choice.handheld) !=
                HandheldChoice::Unlock::Unlocked) {
            break;
        }
    }
    return bConnected;
}

void FormMain::DisconnectedSteps() {
    ButtonConnect->setText(kConnect);
    LabelNote->hide();
    {
        const QSignalBlocker blocker(ListBoxFolders);
        ListBoxFolders->clear();
    }
    ListBoxFolders->setEnabled(false);
    ButtonCopy->setEnabled(false);
    LabelStatus->SetStatus(QStringLiteral("ActiveSync Status: Disconnected"));
    FitTexts();
    SetTextColor(LabelStatus, WindowLook::kDarkRed);
}

int FormMain::SelectedIndex() const {
    const QList<QListWidgetItem*> selected = ListBoxFolders->selectedItems();
    return selected.isEmpty() ? -1 : ListBoxFolders->row(selected.first());
}

void FormMain::ListBoxFoldersClick() {
    const int nIndex = SelectedIndex();
    if (nIndex < 0) {
        ButtonCopy->setEnabled(false);
        return;
    }
    if (sModulePath_.isEmpty()) {
        return;
    }
    sTargetPath_ = TargetFor(nIndex);
    ButtonCopy->setEnabled(true);
    // Asked once the selection's own handling (and what it tells a screen reader) is done.
    QMetaObject::invokeMethod(this, &FormMain::ShowFreeSpace, Qt::QueuedConnection);
}

void FormMain::ShowFreeSpace() {
    const int nIndex = SelectedIndex();
    if (nIndex < 0 || bBusy_) {
        return;
    }
    const QString sFolder = ListBoxFolders->item(nIndex)->text();
    std::optional<uint64_t> nFree;
    OffThread([&] { nFree = engine_.FreeSpace(sFolder); });
    // The choice may have changed while the handheld answered.
    if (SelectedIndex() != nIndex || !ListBoxFolders->isEnabled()) {
        return;
    }
    const QString sText =
        nFree ? QStringLiteral("Free space there: %1 bytes")
                    .arg(InstallTexts::Grouped(static_cast<int64_t>(*nFree)))
              : QStringLiteral("Free space there: unknown (the handheld can't tell)");
    LabelNote->show();
    LabelNote->SetStatus(sText);
}

QString FormMain::DisplayName(const QString& sPath) {
    // Bytes of a local name that are not UTF-8 can't be shown or stored on the handheld as they
    // are: the title and the target name carry U+FFFD in their place.
    return LocalPath::forDisplay(DesktopPath::GetFileName(sPath));
}

QString FormMain::TargetFor(int nIndex) const {
    return ListBoxFolders->item(nIndex)->text() + QLatin1Char('\\') + DisplayName(sModulePath_);
}

// --- The install command ------------------------------------------------------------------------

void FormMain::ButtonCopyClick() {
    // One device step at a time: a click while the free space is asked waits for nothing.
    if (bBusy_) {
        return;
    }
    // Disabling the controls takes the focus away; it comes back when the copy is over.
    const QPointer<QWidget> hadFocus = focusWidget();
    MenuFile->menuAction()->setEnabled(false);
    MenuFile->setEnabled(false);
    ButtonConnect->setEnabled(false);
    ListBoxFolders->setEnabled(false);
    ButtonCopy->setEnabled(false);
    SetHourglass(true);

    // Copies of the paths: handlers that run during the copy must not change what is copied.
    const QString sSource = sModulePath_;
    const QString sTarget = sTargetPath_;
    LabelNote->hide();
    OffThread([&] { engine_.CopyFileToDevice(sSource, sTarget); });
    bLastInstallFailed_ = !engine_.LastCopyCompleted();

    SetHourglass(false);
    MenuFile->menuAction()->setEnabled(true);
    MenuFile->setEnabled(true);
    if (CloseIfRequested()) {
        return;
    }

    // The link check.
    int16_t bLinked = modRapi::kFalse;
    OffThread([&] { bLinked = engine_.RapiConnect(); });
    if (CloseIfRequested()) {
        return;
    }
    if (bLinked != modRapi::kFalse) {
        ButtonConnect->setEnabled(true);
        ListBoxFolders->setEnabled(true);
        ButtonCopy->setEnabled(true);
        ShowFreeSpace();
    } else {
        ButtonConnect->setEnabled(true);
        DisconnectedSteps();
    }
    FocusAfterCopy(hadFocus);
}

void FormMain::FocusAfterCopy(QWidget* hadFocus) {
    // Copy again when it can be; else the control that had the focus. Never Disconnect: the next
    // Space would close the link.
    QWidget* next = ButtonCopy->isEnabled() ? ButtonCopy : hadFocus;
    const auto usable = [&](QWidget* w) {
        return w != nullptr && w->isEnabled() &&
               !(w == ButtonConnect && ButtonConnect->text() != kConnect);
    };
    if (!usable(next)) {
        next = usable(ButtonConnect) ? ButtonConnect : nullptr;
    }
    if (next != nullptr) {
        next->setFocus(Qt::OtherFocusReason);
    }
}

// --- The file picker ----------------------------------------------------------------------------

void FormMain::MenuFileOpenClick() {
    const QString sChosen = modFileOpen::ShowOpen(*fileDialog_, this);
    if (sChosen.isEmpty()) {
        return;
    }
    sModulePath_ = sChosen;
    SetTitleFor(sModulePath_);
    const int nIndex = SelectedIndex();
    if (nIndex > -1) {
        sTargetPath_ = TargetFor(nIndex);
        ButtonCopy->setEnabled(true);
    } else {
        ButtonCopy->setEnabled(false);
    }
}

// --- Closing
// --------------------------------------------------------------------------------------

void FormMain::MenuFileExitClick() {
    close();
}

bool FormMain::QueryUnload() const {
    return engine_.bCopying == modRapi::kFalse;
}

void FormMain::closeEvent(QCloseEvent* event) {
    if (bConnecting_) {
        // The wait ends at once; the window closes when the connect has returned.
        bCloseRequested_ = true;
        engine_.CancelConnect();
        event->ignore();
        return;
    }
    if (!QueryUnload()) {
        // While the outcome's message is up the copy is over: nothing to stop.
        if (!bMessageUp_) {
            AskStop();
        }
        event->ignore();
        return;
    }
    if (bBusy_) {
        bCloseRequested_ = true;
        event->ignore();
        return;
    }
    event->accept();
    Unload();
}

void FormMain::keyPressEvent(QKeyEvent* event) {
    // Escape during a copy asks whether to stop it (the controls are disabled meanwhile, so the
    // key comes to the window).
    if (event->key() == Qt::Key_Escape && engine_.bCopying != modRapi::kFalse) {
        AskStop();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void FormMain::AskStop() {
    if (bCloseRequested_ || bMessageUp_) {
        return;
    }
    const QString sName = DisplayName(sModulePath_);
    bMessageUp_ = true;
    const bool bStop =
        messages_->Ask(this, QStringLiteral("Stop installing ") + sName + QLatin1Char('?'));
    bMessageUp_ = false;
    if (bStop && engine_.bCopying != modRapi::kFalse) {
        bCloseRequested_ = true;
        engine_.RequestStop();
    }
}

bool FormMain::CloseIfRequested() {
    if (!bCloseRequested_) {
        return false;
    }
    // Once the handler that ran the device step has returned.
    QMetaObject::invokeMethod(
        this,
        [this] {
            bCloseRequested_ = false;
            close();
        },
        Qt::QueuedConnection);
    return true;
}

void FormMain::OffThread(const std::function<void()>& work) {
    const bool bWasBusy = bBusy_;
    bBusy_ = true;
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    bBusy_ = bWasBusy;
}

void FormMain::OnWindowThread(std::function<void()> fn, bool bWait) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(this, std::move(fn),
                              bWait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void FormMain::CommitDataRequest(QSessionManager& manager) {
    if (QueryUnload()) {
        return;
    }
    // A logout while a copy runs is refused like any other close request.
    if (manager.allowsInteraction()) {
        manager.cancel();
        manager.release();
    } else {
        manager.cancel();
    }
}

void FormMain::Unload() {
    if (bUnloaded_) {
        return;
    }
    bUnloaded_ = true;
    engine_.RapiDisconnect();
}

#include "FormMain.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QSignalBlocker>
#include <QThread>
#include <thread>
#include <utility>

#include "FloodBar.h"
#include "InstallTexts.h"
#include "LocalPath.h"
#include "MessageBoxes.h"
#include "StatusLine.h"
#include "WindowLook.h"

namespace {

constexpr int kClientWidth = 360;
constexpr int kClientHeight = 228;

const QString kConnect = QStringLiteral("Connect");
const QString kDisconnect = QStringLiteral("Disconnect");
const QString kNoHandheld = QStringLiteral(
    "No handheld: attach one through SynCE, or make the emulated one: handheld-sim create");

// The properties a control keeps its designed look in, so that it can be fitted and recoloured.
const char* const kDesignedPixels = "designedPixels";
const char* const kDesignedColor = "designedColor";

template <typename W>
W* Place(W* widget, const char* name, int nLeft, int nTop, int nWidth, int nHeight) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(nLeft, nTop, nWidth, nHeight);
    return widget;
}

// The text is set once the label is complete, so that assistive technology meets it as what it is.
template <typename L = QLabel>
L* MakeLabel(QWidget* parent, const char* name, const QString& sText, int nLeft, int nTop,
             int nWidth, int nHeight) {
    auto* label = Place(new L(parent), name, nLeft, nTop, nWidth, nHeight);
    label->setText(sText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    return label;
}

}  // namespace

FormMain::FormMain(const Platform& platform, QWidget* parent)
    : QMainWindow(parent),
      messages_(platform.messages != nullptr ? platform.messages : &realMessageBoxes()),
      engine_(this, platform.device, platform.waiter, platform.connectWaitMs),
      fileDialog_(platform.fileDialog != nullptr ? platform.fileDialog
                                                 : &modFileOpen::realFileDialog()) {
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(QString::fromUtf8(kMessageTitle));
    QIcon icon;
    for (int nSize : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/trestel/trestel-%1.png").arg(nSize), QSize(nSize, nSize));
    }
    setWindowIcon(icon);

    WindowLook::LoadTahoma();
    BuildControls(platform.fontFamily);

    // The menu bar lies outside the fixed client area.
    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());

    connect(qApp, &QGuiApplication::commitDataRequest, this, &FormMain::CommitDataRequest);
    // Which handheld Connect opens when more than one is attached.
    engine_.SelectHandheld(LocalPath::decode(qgetenv("TRESTEL_HANDHELD")));
}

FormMain::~FormMain() {
    // A program that ends in its load step never unloads the window.
    if (!bLoadFailed_) {
        Unload();
    }
    if (bHourglass_) {
        QApplication::restoreOverrideCursor();
    }
}

void FormMain::BuildControls(const QString& sFontFamily) {
    menuBar()->setNativeMenuBar(false);
    MenuFile = menuBar()->addMenu(QStringLiteral("&File"));
    MenuFile->setObjectName(QStringLiteral("MenuFile"));
    MenuFileOpen = MenuFile->addAction(QStringLiteral("&Open"));
    MenuFileOpen->setObjectName(QStringLiteral("MenuFileOpen"));
    MenuFileSep = MenuFile->addSeparator();
    MenuFileSep->setObjectName(QStringLiteral("MenuFileSep"));
    MenuFileExit = MenuFile->addAction(QStringLiteral("E&xit"));
    MenuFileExit->setObjectName(QStringLiteral("MenuFileExit"));
    connect(MenuFileOpen, &QAction::triggered, this, &FormMain::MenuFileOpenClick);
    connect(MenuFileExit, &QAction::triggered, this, &FormMain::MenuFileExitClick);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(kClientWidth, kClientHeight);
    client->setFont(WindowLook::Font(sFontFamily, 11, false));
    setCentralWidget(client);

    // Created in tab order.
    ButtonConnect = Place(new QPushButton(kConnect, client), "ButtonConnect", 256, 32, 97, 33);
    ListBoxFolders = Place(new QListWidget(client), "ListBoxFolders", 184, 72, 169, 56);
    ButtonCopy =
        Place(new QPushButton(QStringLiteral("Copy"), client), "ButtonCopy", 256, 136, 97, 33);
    PictureProgress = Place(new FloodBar(client), "PictureProgress", 8, 176, 345, 25);
    LabelTitle =
        MakeLabel(client, "LabelTitle", QStringLiteral("Install ... to PDA"), 8, 0, 345, 25);
    Label1 = MakeLabel(client, "Label1", QStringLiteral("1."), 8, 32, 33, 33);
    Label2 = MakeLabel(client, "Label2", QStringLiteral("2."), 8, 72, 33, 33);
    Label3 = MakeLabel(client, "Label3", QStringLiteral("3."), 8, 136, 33, 33);
    LabelConnect = MakeLabel(
        client, "LabelConnect",
        QStringLiteral("Make sure ActiveSync is connected then press the Connect button."), 48, 32,
        201, 33);
    LabelFolder = MakeLabel(client, "LabelFolder",
                            QStringLiteral("Select the folder to install the module into on the "
                                           "PDA.  All modules should be in the same folder."),
                            48, 72, 129, 57);
    LabelCopy = MakeLabel(
        client, "LabelCopy",
        QStringLiteral("Press the Copy button to transfer the Pocket Lorvex module to the PDA."),
        48, 136, 201, 33);
    LabelStatus = MakeLabel<StatusLine>(
        client, "LabelStatus", QStringLiteral("ActiveSync Status: Unknown"), 8, 208, 345, 21);
    LabelNote = MakeLabel<StatusLine>(client, "LabelNote", QString(), 8, 176, 345, 25);
    LabelNote->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    LabelNote->hide();

    const auto design = [&](QWidget* widget, int nPixels, bool bBold) {
        widget->setFont(WindowLook::Font(sFontFamily, nPixels, bBold));
        widget->setProperty(kDesignedPixels, nPixels);
    };
    for (QPushButton* button : {ButtonConnect, ButtonCopy}) {
        design(button, 13, true);
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    design(LabelTitle, 18, true);
    for (QLabel* label : {Label1, Label2, Label3}) {
        design(label, 24, true);
    }
    for (QLabel* label : {LabelConnect, LabelFolder, LabelCopy}) {
        design(label, 11, false);
    }
    design(LabelStatus, 11, true);
    design(LabelNote, 11, false);
    FitTexts();
    WindowLook::FitText(LabelTitle, LabelTitle->property(kDesignedPixels).toInt());
    for (QLabel* label : {LabelTitle, Label1, Label2, Label3}) {
        SetTextColor(label, WindowLook::kNavy);
    }
    SetTextColor(LabelConnect, WindowLook::kDarkRed);

    // For assistive technology: each step text labels its control, each number names its step.
    LabelConnect->setBuddy(ButtonConnect);
    LabelFolder->setBuddy(ListBoxFolders);
    LabelCopy->setBuddy(ButtonCopy);
    ListBoxFolders->setAccessibleName(QStringLiteral("Folder on the handheld"));
    for (auto [label, control] : {std::pair<QLabel*, QWidget*>{LabelConnect, ButtonConnect},
                                  {LabelFolder, ListBoxFolders},
                                  {LabelCopy, ButtonCopy}}) {
        control->setAccessibleDescription(label->text());
    }
    int nStep = 0;
    for (QLabel* label : {Label1, Label2, Label3}) {
        label->setAccessibleName(QStringLiteral("Step %1").arg(++nStep));
    }
    PictureProgress->setAccessibleName(QStringLiteral("Copy progress"));
    // Qt makes the first entry current without selecting it; a Down key would then select the
    // second. The list box answers the first arrow key with the first entry instead.
    ListBoxFolders->installEventFilter(this);
    // Enter presses the focused push button, as Space does; neither is a default button.
    ButtonConnect->installEventFilter(this);
    ButtonCopy->installEventFilter(this);

    ListBoxFolders->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBoxFolders->setSortingEnabled(false);
    ListBoxFolders->setEnabled(false);
    ButtonCopy->setEnabled(false);

    setTabOrder(ButtonConnect, ListBoxFolders);
    setTabOrder(ListBoxFolders, ButtonCopy);
    ButtonConnect->setFocus();

    connect(ButtonConnect, &QPushButton::clicked, this, &FormMain::ButtonConnectClick);
    connect(ButtonCopy, &QPushButton::clicked, this, &FormMain::ButtonCopyClick);
    connect(ListBoxFolders, &QListWidget::itemSelectionChanged, this,
            &FormMain::ListBoxFoldersClick);
}

QString FormMain::ArgumentText(const QStringList& arguments) {
    return arguments.mid(1).join(QLatin1Char(' '));
}

QPoint FormMain::CentredTopLeft(const QRect& screen, const QSize& outer) {
    // Each difference is taken in twips, halved with truncation toward zero and brought back to
    // pixels; for whole pixels that is the pixel difference halved toward zero.
    auto half = [](int nDifferencePixels) {
        const int nTwips = nDifferencePixels * WindowLook::kTwipsPerPixel / 2;
        return static_cast<int>(
            std::lround(static_cast<double>(nTwips) / WindowLook::kTwipsPerPixel));
    };
    return screen.topLeft() +
           QPoint(half(screen.width() - outer.width()), half(screen.height() - outer.height()));
}

bool FormMain::Load(const QString& sArgumentText) {
    if (sArgumentText.size() > 1) {
        sModulePath_ = sArgumentText;
        sModulePath_.remove(QLatin1Char('"'));
        if (DesktopPath::FileExists(sModulePath_) == DesktopPath::kFalse) {
            messages_->Show(nullptr, QStringLiteral("File does not exist!"), MessageIcon::Error);
            bLoadFailed_ = true;
            return false;
        }
        SetTitleFor(sModulePath_);
    }
    Centre();
    // A window manager frames the window only once it is shown; moveEvent centres it again on
    // the real frame then.
    bCentreOnFrame_ = true;
    return true;
}

void FormMain::FitTexts() {
    for (QLabel* label : centralWidget()->findChildren<QLabel*>()) {
        if (label == LabelTitle) {
            continue;  // fitted with its module name, see SetTitleFor
        }
        if (const QVariant nPixels = label->property(kDesignedPixels); nPixels.isValid()) {
            WindowLook::FitText(label, nPixels.toInt());
        }
    }
    for (QPushButton* button : {ButtonConnect, ButtonCopy}) {
        WindowLook::FitText(button, button->property(kDesignedPixels).toInt());
    }
}

void FormMain::SetTextColor(QWidget* widget, const QColor& designed) {
    widget->setProperty(kDesignedColor, designed);
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText,
               WindowLook::ReadableTone(designed, palette().color(QPalette::Window)));
    widget->setPalette(p);
}

void FormMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // A new palette (a dark theme, say): the fixed colours take the tones readable on it.
    if (event->type() == QEvent::PaletteChange && LabelStatus != nullptr) {
        for (QLabel* label : centralWidget()->findChildren<QLabel*>()) {
            const QVariant designed = label->property(kDesignedColor);
            if (designed.isValid()) {
                SetTextColor(label, designed.value<QColor>());
            }
        }
    }
}

bool FormMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListBoxFolders && event->type() == QEvent::KeyPress) {
        const int nKey = static_cast<QKeyEvent*>(event)->key();
        if ((nKey == Qt::Key_Down || nKey == Qt::Key_Up) && SelectedIndex() < 0 &&
            ListBoxFolders->count() > 0) {
            // When the entry is current already, Qt reports only the selection, which a screen
            // reader doesn't speak: the entry's focus is reported here.
            const bool bWasCurrent = ListBoxFolders->currentRow() == 0;
            ListBoxFolders->setCurrentRow(0);
            if (bWasCurrent) {
                ReportFocusedEntry();
            }
            return true;
        }
    } else if (watched == ListBoxFolders && event->type() == QEvent::FocusIn) {
        // Qt reports the list's focus after its own handling, without the entry: the selected
        // entry is reported once that is done.
        QMetaObject::invokeMethod(this, &FormMain::ReportFocusedEntry, Qt::QueuedConnection);
    } else if ((watched == ButtonConnect || watched == ButtonCopy) &&
               event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && !key->isAutoRepeat()) {
            static_cast<QPushButton*>(watched)->click();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void FormMain::ReportFocusedEntry() {
    const int nIndex = SelectedIndex();
    if (!QAccessible::isActive() || !ListBoxFolders->hasFocus() || nIndex < 0 ||
        ListBoxFolders->currentRow() != nIndex) {
        return;
    }
    QAccessibleEvent focus(ListBoxFolders, QAccessible::Focus);
    focus.setChild(nIndex);
    QAccessible::updateAccessibility(&focus);
}

void FormMain::Centre() {
    const QScreen* shown =
        this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    if (shown != nullptr) {
        centredOuter_ = frameGeometry().size();
        move(CentredTopLeft(shown->geometry(), centredOuter_));
    }
}

void FormMain::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (bCentreOnFrame_ && isVisible() && frameGeometry().size() != centredOuter_) {
        bCentreOnFrame_ = false;
        Centre();
    }
}

void FormMain::SetTitleFor(const QString& sPath) {
    WindowLook::FitTitle(LabelTitle, LabelTitle->property(kDesignedPixels).toInt(),
                         QStringLiteral("Install '"), DisplayName(sPath),
                         QStringLiteral("' to PDA"));
}

// --- What the install engine reports ----------------------------------------------------------

void FormMain::AppendFolder(const QString& sEntry) {
    OnWindowThread([this, sEntry] {
        const QSignalBlocker blocker(ListBoxFolders);
        ListBoxFolders->addItem(sEntry);
    });
}

void FormMain::FloodInit(int16_t nMax) {
    OnWindowThread([this, nMax] {
        LabelNote->hide();
        PictureProgress->FloodInit(nMax);
        // The copy writes next and may take seconds for its first block: the bar and the
        // disabled controls are painted now, not when the first progress update comes.
        repaint();
    });
}

void FormMain::FloodUpdate(int16_t nValue, const QString& sMessage) {
    OnWindowThread([this, nValue, sMessage] { PictureProgress->FloodUpdate(nValue, sMessage); });
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
        // The window answers during the wait; a second Connect can't start meanwhile (bBusy_).
        // The button stays enabled so that it keeps the keyboard focus.
        bConnecting_ = true;
        int16_t bConnected = modRapi::kFalse;
        OffThread([&] { bConnected = engine_.RapiConnect(); });
        bConnecting_ = false;
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

#include "FormMain.h"

#include <QAccessible>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QSignalBlocker>
#include <utility>

#include "FloodBar.h"
#include "LocalPath.h"
#include "MessageBoxes.h"
#include "StatusLine.h"
#include "WindowLook.h"

namespace {

constexpr int kClientWidth = 360;
constexpr int kClientHeight = 228;

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
      device_(platform.device != nullptr ? platform.device : &realDeviceApi()),
      prompts_(platform.prompts != nullptr ? platform.prompts : &realHandheldPrompts()),
      engine_(this, device_, platform.waiter, platform.connectWaitMs),
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

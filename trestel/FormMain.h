#pragma once

// The installer's one window: three numbered steps (connect, choose the folder, copy), the
// module and target paths, the flood bar, and the close check that keeps a running copy safe.

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "DeviceApi.h"
#include "HandheldPrompts.h"
#include "Reporter.h"
#include "modFileOpen.h"
#include "modRapi.h"

class FloodBar;
class MessageBoxes;
class QAction;
class QLabel;
class QListWidget;
class QMenu;
class QPushButton;
class QSessionManager;
class StatusLine;

// The platform behind the window. A null member means the real one.
struct FormMainPlatform {
    DeviceApi* device = nullptr;
    Waiter* waiter = nullptr;
    MessageBoxes* messages = nullptr;
    modFileOpen::FileDialog* fileDialog = nullptr;
    uint32_t connectWaitMs = modRapi::kConnectWaitMs;
    // The font family of every text; empty means Tahoma (or its stand-in).
    QString fontFamily;
    HandheldPrompts* prompts = nullptr;
};

class FormMain : public QMainWindow, public Reporter {
    Q_OBJECT
public:
    using Platform = FormMainPlatform;

    explicit FormMain(const Platform& platform = Platform{}, QWidget* parent = nullptr);
    ~FormMain() override;

    // The load step, run before the window is shown: takes the module from the argument text,
    // checks it and centres the window. Returns false when the program must end without showing
    // the window (the module named does not exist; the user has been told).
    bool Load(const QString& sArgumentText);

    // The program's arguments (without its own name) joined with one blank each.
    static QString ArgumentText(const QStringList& arguments);
    // The top-left corner that centres a window of the given outer size on the screen.
    static QPoint CentredTopLeft(const QRect& screen, const QSize& outer);

    // Reporter: what the install engine tells the window.
    void AppendFolder(const QString& sEntry) override;
    void FloodInit(int16_t nMax) override;
    void FloodUpdate(int16_t nValue, const QString& sMessage) override;
    void HideProgress() override;
    void ShowMessage(const QString& sText, MessageIcon icon) override;
    void SetHourglass(bool bBusy) override;

    modRapi::Engine& InstallEngine() { return engine_; }
    const QString& ModulePath() const { return sModulePath_; }
    const QString& TargetPath() const { return sTargetPath_; }
    // True when a request to close may go ahead: never while a copy runs.
    bool QueryUnload() const;
    // The program's exit status: 1 when the last install of the run failed, else 0.
    int ExitStatus() const { return bLastInstallFailed_ ? 1 : 0; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void ButtonConnectClick();
    void ListBoxFoldersClick();
    void ButtonCopyClick();
    void MenuFileOpenClick();
    void MenuFileExitClick();
    void CommitDataRequest(QSessionManager& manager);

private:
    void BuildControls(const QString& sFontFamily);
    // Each label and button at the largest size up to its designed one that fits its text.
    void FitTexts();
    // A fixed text colour, or the tone of its hue that is readable on the window's background.
    void SetTextColor(QWidget* widget, const QColor& designed);
    void DisconnectedSteps();
    // Connect: the handheld chosen (asked for when several are attached), the connect, and a
    // locked handheld's password. The connect's outcome; empty when the user cancelled.
    std::optional<int16_t> ConnectToHandheld();
    // Tells assistive technology that the selected entry of the focused folder list has the focus.
    void ReportFocusedEntry();
    // After a copy: the focus to Copy when enabled, else back where it was, never to Disconnect.
    void FocusAfterCopy(QWidget* hadFocus);
    void Unload();
    // Runs work (device calls) on a thread of its own while the window goes on repainting and
    // answering; returns when work is done.
    void OffThread(const std::function<void()>& work);
    // Runs fn on the window's thread: at once when called there, else queued (or, blocking,
    // waiting until it has run).
    void OnWindowThread(std::function<void()> fn, bool bWait = false);
    // During a copy: asks whether to stop it; Yes stops it and closes the window afterwards.
    void AskStop();
    // After a device step: a close requested meanwhile goes ahead now.
    bool CloseIfRequested();
    // The free space of the selected folder, or what is known of it, in LabelNote.
    void ShowFreeSpace();
    int SelectedIndex() const;
    void SetTitleFor(const QString& sPath);
    // Centres the window's outer frame, as far as it is known, on its screen.
    void Centre();
    // The module's file name as shown and as named on the handheld.
    static QString DisplayName(const QString& sPath);
    // The target path for the module in the folder of list entry nIndex.
    QString TargetFor(int nIndex) const;

    static inline const QString kConnect = QStringLiteral("Connect");
    static inline const QString kDisconnect = QStringLiteral("Disconnect");

    MessageBoxes* messages_;
    DeviceApi* device_;
    HandheldPrompts* prompts_;
    modRapi::Engine engine_;
    modFileOpen::FileDialog* fileDialog_;

    QString sModulePath_;
    QString sTargetPath_;
    bool bLoadFailed_ = false;
    bool bUnloaded_ = false;
    bool bHourglass_ = false;
    // A device step runs on its thread (connect, the copy, the free space).
    bool bBusy_ = false;
    bool bConnecting_ = false;
    bool bMessageUp_ = false;
    bool bCloseRequested_ = false;
    bool bLastInstallFailed_ = false;
    // The latest progress update from the copy's thread that the window has yet to draw.
    std::mutex progressMutex_;
    std::pair<int16_t, QString> progressLatest_;
    bool bProgressPending_ = false;
    // Centred before the window manager added its frame: centre once more when it has.
    bool bCentreOnFrame_ = false;
    QSize centredOuter_;

    QMenu* MenuFile = nullptr;
    QAction* MenuFileOpen = nullptr;
    QAction* MenuFileSep = nullptr;
    QAction* MenuFileExit = nullptr;
    QPushButton* ButtonConnect = nullptr;
    QListWidget* ListBoxFolders = nullptr;
    QPushButton* ButtonCopy = nullptr;
    FloodBar* PictureProgress = nullptr;
    QLabel* LabelTitle = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* LabelConnect = nullptr;
    QLabel* LabelFolder = nullptr;
    QLabel* LabelCopy = nullptr;
    StatusLine* LabelStatus = nullptr;
    // Where the bar shows during a copy: the chosen folder's free space, or how to get a handheld.
    StatusLine* LabelNote = nullptr;
};

// The installer window driven through its controls, with a fake handheld behind the device table
// and fake message boxes and file dialog.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>
#include <tuple>

#include "AccessListener.h"
#include "CommandLine.h"
#include "DialogFakes.h"
#include "FakeDevice.h"
#include "FakeHandheldPrompts.h"
#include "FakeWaiter.h"
#include "FloodBar.h"
#include "FormMain.h"
#include "LocalPath.h"
#include "MessageBoxes.h"
#include "TestSupport.h"
#include "modFileOpen.h"
#include "modRapi.h"

namespace {

const QColor kNavy(0, 0, 128);
const QColor kDarkRed(192, 0, 0);
const QColor kGreen(0, 128, 0);
const QString kMainMemory = QStringLiteral("Program Files\\Pocket Lorvex");

QColor TextColor(const QWidget* w) {
    return w->palette().color(QPalette::WindowText);
}

// WCAG 2 contrast ratio.
double Contrast(const QColor& a, const QColor& b) {
    const auto lum = [](const QColor& c) {
        const auto lin = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF()) + 0.05;
    };
    return std::max(lum(a), lum(b)) / std::min(lum(a), lum(b));
}

// A fixed text colour as shown: readable on the window's background, of the designed hue, and the
// designed colour itself wherever that is readable already.
void ExpectTone(const QWidget* w, const QColor& designed) {
    const QColor shown = TextColor(w);
    const QColor back = w->window()->palette().color(QPalette::Window);
    EXPECT_GE(Contrast(shown, back), 4.5) << shown.name().toStdString();
    EXPECT_NEAR(shown.hslHue(), designed.hslHue(), 3) << shown.name().toStdString();
    EXPECT_TRUE(Contrast(designed, back) < 4.5 || shown == designed);
}

// The ink of a sample text in a font: the sum of its pixels' darkness.
double Ink(const QFont& font) {
    QImage image(300, 60, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.drawText(2, 40, QStringLiteral("Connect 1."));
    painter.end();
    const uchar* bits = image.constBits();
    return std::accumulate(bits, bits + image.sizeInBytes(), 0.0,
                           [](double n, uchar v) { return n + 255 - v; });
}

// Whether the text of a label or button fits inside it, with the button's frame and margins.
bool TextFits(const QWidget* w) {
    const QFontMetrics metrics(w->font());
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        const QRect box = label->contentsRect();
        return box.contains(metrics.boundingRect(
            box, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, label->text()));
    }
    const auto* button = static_cast<const QPushButton*>(w);
    return metrics.horizontalAdvance(button->text()) + 8 <= button->width() &&
           metrics.height() <= button->height();
}

QStringList Entries(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) {
        out << list->item(i)->text();
    }
    return out;
}

class FormMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        modulePath = dir.filePath(QStringLiteral("sample.bbl"));
        content = QByteArray::fromStdString(test::pattern(10000));
        WriteFile(modulePath, content);
    }

    void TearDown() override {
        form.reset();
        EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "hourglass left behind";
        while (QApplication::overrideCursor() != nullptr) {
            QApplication::restoreOverrideCursor();
        }
    }

    static void WriteFile(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    FormMain& Make(const QString& fontFamily = QString()) {
        FormMain::Platform platform{&device, &waiter, &boxes, &dialog, modRapi::kConnectWaitMs,
                                    {},      &prompts};
        platform.fontFamily = fontFamily;
        form = std::make_unique<FormMain>(platform);
        return *form;
    }

    FormMain& MakeLoaded(const QString& arguments) {
        Make();
        EXPECT_TRUE(form->Load(arguments));
        return *form;
    }

    template <typename W>
    W* Get(const char* name) {
        W* w = form->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QPushButton* Connect() { return Get<QPushButton>("ButtonConnect"); }
    QPushButton* Copy() { return Get<QPushButton>("ButtonCopy"); }
    QListWidget* List() { return Get<QListWidget>("ListBoxFolders"); }
    QLabel* Status() { return Get<QLabel>("LabelStatus"); }
    QLabel* Title() { return Get<QLabel>("LabelTitle"); }
    FloodBar* Progress() { return Get<FloodBar>("PictureProgress"); }
    QMenu* Menu() { return Get<QMenu>("MenuFile"); }
    QAction* Action(const char* name) { return Get<QAction>(name); }

    void TwoCards() {
        device.rootEntries = {{0x10, u"Windows"},
                              {0x110, u"Storage Card"},
                              {0x100, u"NotAFolder"},
                              {0x20, u"readme.txt"},
                              {0x110, u"SD Card"}};
    }

    void SelectRow(int row) { List()->setCurrentRow(row); }
    // Runs fn on the window's thread and waits for it (device calls come from another thread).
    static void OnWindowThread(const std::function<void()>& fn) {
        if (QThread::currentThread() == qApp->thread()) {
            fn();
        } else {
            QMetaObject::invokeMethod(qApp, fn, Qt::BlockingQueuedConnection);
        }
    }
    std::function<void(int)> CheckDuringCopy;
    // The files created for writing (each copy also opens its file again to read it back).
    std::size_t WriteCreates() const {
        const auto creates = device.Calls("CeCreateFile");
        return std::count_if(creates.begin(), creates.end(), [](const std::string& call) {
            return call.find(", 0x40000000, ") != std::string::npos;
        });
    }

    static void Press(QWidget* w, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(w, &event);
    }

    // The window shown and active, so that its controls take the focus.
    void ShowActive() {
        form->show();
        form->activateWindow();
        for (int i = 0; i < 200 && !form->isActiveWindow(); ++i) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        ASSERT_TRUE(form->isActiveWindow());
    }

    void ExpectDisconnected() {
        EXPECT_EQ(Connect()->text(), "Connect");
        EXPECT_TRUE(Connect()->isEnabled());
        EXPECT_EQ(List()->count(), 0);
        EXPECT_FALSE(List()->isEnabled());
        EXPECT_FALSE(Copy()->isEnabled());
        EXPECT_TRUE(Menu()->menuAction()->isEnabled());
        EXPECT_FALSE(Progress()->isVisibleTo(form.get()));
        EXPECT_EQ(Status()->text(), "ActiveSync Status: Disconnected");
        ExpectTone(Status(), kDarkRed);
    }

    void ExpectConnected(bool bCopyEnabled) {
        EXPECT_EQ(Connect()->text(), "Disconnect");
        EXPECT_TRUE(Connect()->isEnabled());
        EXPECT_TRUE(List()->isEnabled());
        EXPECT_EQ(Copy()->isEnabled(), bCopyEnabled);
        EXPECT_TRUE(Menu()->menuAction()->isEnabled());
        EXPECT_FALSE(Progress()->isVisibleTo(form.get()));
        EXPECT_EQ(Status()->text(), "ActiveSync Status: Connected");
        ExpectTone(Status(), kGreen);
    }

    QTemporaryDir dir;
    QString modulePath;
    QByteArray content;
    FakeDevice device;
    FakeHandheldPrompts prompts;
    FakeWaiter waiter;
    FakeMessageBoxes boxes;
    FakeFileDialog dialog;
    std::unique_ptr<FormMain> form;
};

// --- The window as it opens ---------------------------------------------------------------------

TEST_F(FormMainTest, OpensWithTheDesignedControlsTextsFontsAndColours) {
    Make();
    EXPECT_EQ(form->objectName(), "FormMain");
    EXPECT_EQ(form->windowTitle(), "Pocket Lorvex Module Installer");
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_FALSE(form->windowIcon().pixmap(16, 16).isNull());

    QWidget* client = form->centralWidget();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->size(), QSize(360, 228));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "the window is fixed size";
    EXPECT_EQ(form->size().width(), 360);
    EXPECT_EQ(form->size().height(), 228 + form->menuBar()->sizeHint().height());

    struct Expected {
        const char* name;
        QRect geometry;
        QString text;
        int pixels;
        bool bold;
        QColor color;  // invalid: the default
    };
    const QColor def;
    const std::vector<Expected> table = {
        {"ButtonConnect", {256, 32, 97, 33}, "Connect", 13, true, def},
        {"ListBoxFolders", {184, 72, 169, 56}, "", 11, false, def},
        {"ButtonCopy", {256, 136, 97, 33}, "Copy", 13, true, def},
        {"PictureProgress", {8, 176, 345, 25}, "", 11, false, def},
        {"LabelTitle", {8, 0, 345, 25}, "Install ... to PDA", 18, true, kNavy},
        {"Label1", {8, 32, 33, 33}, "1.", 24, true, kNavy},
        {"Label2", {8, 72, 33, 33}, "2.", 24, true, kNavy},
        {"Label3", {8, 136, 33, 33}, "3.", 24, true, kNavy},
        {"LabelConnect",
         {48, 32, 201, 33},
         "Make sure ActiveSync is connected then press the Connect button.",
         11,
         false,
         kDarkRed},
        {"LabelFolder",
         {48, 72, 129, 57},
         "Select the folder to install the module into on the PDA.  All modules should be in the "
         "same folder.",
         11,
         false,
         def},
        {"LabelCopy",
         {48, 136, 201, 33},
         "Press the Copy button to transfer the Pocket Lorvex module to the PDA.",
         11,
         false,
         def},
        {"LabelStatus", {8, 208, 345, 21}, "ActiveSync Status: Unknown", 11, true, def},
    };
    const QColor defaultText = QLabel().palette().color(QPalette::WindowText);
    for (const Expected& e : table) {
        SCOPED_TRACE(e.name);
        QWidget* w = form->findChild<QWidget*>(QString::fromLatin1(e.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget(), client);
        EXPECT_EQ(w->geometry(), e.geometry);
        EXPECT_EQ(w->font().pixelSize(), e.pixels);
        EXPECT_EQ(w->font().bold(), e.bold);
        if (!e.bold && QFile::exists("/usr/share/wine/fonts/tahoma.ttf")) {
            EXPECT_EQ(QFontInfo(w->font()).family(), "Tahoma") << "Wine's Tahoma is drawn";
        }
        if (e.bold) {
            // Bold comes out bold: clearly more ink than the same text in the regular weight.
            QFont regular = w->font();
            regular.setBold(false);
            EXPECT_GT(Ink(w->font()), 1.3 * Ink(regular));
        }
        if (auto* label = qobject_cast<QLabel*>(w)) {
            EXPECT_EQ(label->text(), e.text);
            EXPECT_TRUE(label->wordWrap());
            if (e.color.isValid()) {
                ExpectTone(label, e.color);
            } else {
                EXPECT_EQ(TextColor(label), defaultText);
            }
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            EXPECT_EQ(button->text(), e.text);
            EXPECT_FALSE(button->isDefault());
            EXPECT_FALSE(button->autoDefault());
        }
    }

    // Start state.
    EXPECT_TRUE(Connect()->isEnabled());
    EXPECT_FALSE(List()->isEnabled());
    EXPECT_EQ(List()->count(), 0);
    EXPECT_EQ(List()->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(List()->isSortingEnabled());
    EXPECT_FALSE(Copy()->isEnabled());
    EXPECT_FALSE(Progress()->isVisibleTo(form.get()));
    EXPECT_TRUE(Menu()->menuAction()->isEnabled());
    EXPECT_TRUE(form->ModulePath().isEmpty());
    EXPECT_TRUE(form->TargetPath().isEmpty());

    // Focus and tab order.
    EXPECT_EQ(form->focusWidget(), Connect());
    QStringList tabOrder;
    QWidget* w = Connect();
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && w->parentWidget() == client) {
            tabOrder << w->objectName();
        }
        w = w->nextInFocusChain();
    } while (w != Connect());
    EXPECT_EQ(tabOrder, (QStringList{"ButtonConnect", "ListBoxFolders", "ButtonCopy"}));

    // The File menu: Open, a separator, Exit; no shortcut keys.
    EXPECT_EQ(Menu()->title(), "&File");
    const QList<QAction*> items = Menu()->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0], Action("MenuFileOpen"));
    EXPECT_EQ(items[0]->text(), "&Open");
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[1]->objectName(), "MenuFileSep");
    EXPECT_EQ(items[2], Action("MenuFileExit"));
    EXPECT_EQ(items[2]->text(), "E&xit");
    for (QAction* a : items) {
        EXPECT_TRUE(a->shortcut().isEmpty());
    }
    EXPECT_EQ(device.log.size(), 0u) << "no device call before Connect";
}

TEST_F(FormMainTest, EveryTextFitsItsBoxInTheFontsUsed) {
    // Tahoma as installed (Wine's when fontconfig has none), and wider stand-ins that must shrink.
    for (const QString& family :
         {QString(), QStringLiteral("DejaVu Sans"), QStringLiteral("DejaVu Serif")}) {
        SCOPED_TRACE(family.toStdString());
        const QString longName = dir.filePath(QStringLiteral("Wörterbuch Deutsch-Englisch.dct"));
        WriteFile(longName, "x");
        Make(family);
        for (int step = 0; step < 4; ++step) {  // start, with a module, connected, disconnected
            if (step == 1) {
                ASSERT_TRUE(form->Load(longName));
            } else if (step > 1) {
                Connect()->click();
            }
            for (QWidget* w : form->centralWidget()->findChildren<QWidget*>()) {
                if (qobject_cast<QLabel*>(w) != nullptr ||
                    qobject_cast<QPushButton*>(w) != nullptr) {
                    EXPECT_TRUE(TextFits(w)) << step << " " << w->objectName().toStdString();
                }
            }
        }
    }
}

TEST_F(FormMainTest, ATitleTooLongForTheSmallestSizeIsElidedInItsMiddle) {
    // 115 characters without a blank, too wide for one line even at the smallest size.
    const QString name = QString(106, QLatin1Char('W')) + QStringLiteral("_2024.bbl");
    const QString path = dir.filePath(name);
    WriteFile(path, "x");
    const QString whole = "Install '" + name + "' to PDA";
    for (const QString& family : {QString(), QStringLiteral("DejaVu Serif")}) {
        SCOPED_TRACE(family.toStdString());
        Make(family);
        ASSERT_TRUE(form->Load(path));
        EXPECT_TRUE(TextFits(Title()));
        EXPECT_TRUE(Title()->text().startsWith("Install 'WWW"));
        EXPECT_TRUE(Title()->text().contains(QChar(0x2026)));
        EXPECT_TRUE(Title()->text().endsWith("W_2024.bbl' to PDA"))
            << Title()->text().toStdString();
        EXPECT_EQ(Title()->toolTip(), whole);
        EXPECT_EQ(QAccessible::queryAccessibleInterface(Title())->text(QAccessible::Name), whole);
        EXPECT_GT(Title()->text().size(), 40) << "as much of the name as fits";

        // A name that fits again: no elision, tooltip or name of its own.
        dialog.calls.clear();
        dialog.answers = {modulePath};
        Action("MenuFileOpen")->trigger();
        EXPECT_EQ(Title()->text(), "Install 'sample.bbl' to PDA");
        EXPECT_TRUE(Title()->toolTip().isEmpty());
        EXPECT_EQ(QAccessible::queryAccessibleInterface(Title())->text(QAccessible::Name),
                  Title()->text());
    }
}

TEST_F(FormMainTest, TheElidedTitlesTooltipShowsANameLikeMarkupAsItIs) {
    const QString name = "<font color=red size=7>" + QString(100, QLatin1Char('W')) + ".bbl";
    WriteFile(dir.filePath(name), "x");
    Make(QString());
    ASSERT_TRUE(form->Load(dir.filePath(name)));
    ASSERT_EQ(Title()->toolTip(), "Install '" + name + "' to PDA");
    QHelpEvent help(QEvent::ToolTip, QPoint(1, 1), Title()->mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(Title(), &help);
    QLabel* tip = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == "qtooltip_label" && w->isVisible()) {
            tip = qobject_cast<QLabel*>(w);
        }
    }
    ASSERT_NE(tip, nullptr);
    QTextDocument shown;
    shown.setHtml(tip->text());
    EXPECT_EQ(shown.toPlainText(), Title()->toolTip());
    QToolTip::hideText();
}

TEST_F(FormMainTest, FixedColoursTakeReadableTonesOnADarkPalette) {
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x2d));
    QApplication::setPalette(dark);
    MakeLoaded(modulePath);
    Connect()->click();
    const std::pair<QWidget*, QColor> coloured[] = {{Title(), kNavy},
                                                    {Get<QLabel>("Label2"), kNavy},
                                                    {Get<QLabel>("LabelConnect"), kDarkRed},
                                                    {Status(), kGreen}};
    for (const auto& [w, designed] : coloured) {
        SCOPED_TRACE(w->objectName().toStdString());
        ExpectTone(w, designed);
        EXPECT_GT(TextColor(w).lightness(), designed.lightness());
    }
    // Back to the light palette while the window is open: the tones follow.
    QApplication::setPalette(light);
    for (const auto& [w, designed] : coloured) {
        ExpectTone(w, designed);
    }
}

TEST_F(FormMainTest, AssistiveTechnologyReadsNamesStepsAndProgress) {
    MakeLoaded(modulePath);
    const auto iface = [](QObject* o) { return QAccessible::queryAccessibleInterface(o); };
    // Each control named, described and labelled by its step text.
    const std::tuple<QWidget*, const char*, const char*> controls[] = {
        {Connect(), "LabelConnect", "Connect"},
        {List(), "LabelFolder", "Folder on the handheld"},
        {Copy(), "LabelCopy", "Copy"}};
    for (const auto& [control, labelName, name] : controls) {
        SCOPED_TRACE(name);
        QLabel* label = Get<QLabel>(labelName);
        EXPECT_EQ(iface(control)->text(QAccessible::Name), name);
        EXPECT_EQ(iface(control)->text(QAccessible::Description), label->text());
        const auto labelled = iface(label)->relations(QAccessible::Labelled);
        EXPECT_TRUE(std::any_of(labelled.begin(), labelled.end(),
                                [&](const auto& r) { return r.first->object() == control; }));
    }
    EXPECT_EQ(iface(Get<QLabel>("Label3"))->text(QAccessible::Name), "Step 3");

    // The progress bar: its value, range and message.
    QAccessibleInterface* bar = iface(Progress());
    EXPECT_EQ(bar->role(), QAccessible::ProgressBar);
    EXPECT_EQ(bar->text(QAccessible::Name), "Copy progress");
    ASSERT_NE(bar->valueInterface(), nullptr);
    form->FloodInit(200);
    form->FloodUpdate(50, "2,500 of 10,000 bytes copied");
    EXPECT_EQ(bar->valueInterface()->currentValue().toInt(), 50);
    EXPECT_EQ(bar->valueInterface()->maximumValue().toInt(), 200);
    EXPECT_EQ(bar->text(QAccessible::Value), "2,500 of 10,000 bytes copied");
    form->FloodInit(200);
    EXPECT_EQ(bar->valueInterface()->currentValue().toInt(), 0);
    EXPECT_EQ(bar->text(QAccessible::Value), "");
}

TEST_F(FormMainTest, ScreenReaderHearsTheStatusTheFocusedFolderAndTheProgress) {
    TwoCards();
    const QString big = dir.filePath(QStringLiteral("big.bbl"));
    WriteFile(big, QByteArray(4 << 20, 'b'));
    MakeLoaded(big);
    ShowActive();
    AccessListener listener;

    // The status line: a notification named by its text that shows itself anew on each change.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(Status())->role(), QAccessible::Notification);
    Connect()->click();
    auto shown = listener.Of(Status(), QAccessible::ObjectShow);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].name, "ActiveSync Status: Connected");

    // Tabbing into the list without a selection: Qt makes the first entry current only. The first
    // Down selects it and reports its focus.
    List()->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(List()->currentRow(), 0);
    listener.events.clear();
    Press(List(), Qt::Key_Down);
    EXPECT_EQ(List()->currentRow(), 0);
    EXPECT_TRUE(List()->item(0)->isSelected());
    auto focus = listener.Of(List(), QAccessible::Focus);
    ASSERT_EQ(focus.size(), 1u);
    EXPECT_EQ(focus[0].child, 0);
    EXPECT_EQ(focus[0].name, kMainMemory);
    Press(List(), Qt::Key_Down);
    EXPECT_EQ(List()->currentRow(), 1);

    // Back into the list from Copy: the selected entry is the last focus reported.
    Copy()->setFocus(Qt::TabFocusReason);
    listener.events.clear();
    List()->setFocus(Qt::BacktabFocusReason);
    QApplication::processEvents();
    focus = listener.Of(List(), QAccessible::Focus);
    ASSERT_FALSE(focus.empty());
    EXPECT_EQ(focus.back().child, 1);
    EXPECT_EQ(focus.back().name, "Storage Card\\Pocket Lorvex");

    // A copy of 1,024 blocks: at most one value event per percent, the last one for the full bar.
    listener.events.clear();
    Copy()->click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    const auto values = listener.Of(Progress(), QAccessible::ValueChanged);
    EXPECT_GE(values.size(), 2u);
    EXPECT_LE(values.size(), 101u);
    EXPECT_EQ(values.back().value.toInt(), 1024);

    // Disconnected is announced too.
    Connect()->click();
    shown = listener.Of(Status(), QAccessible::ObjectShow);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().name, "ActiveSync Status: Disconnected");
}

TEST_F(FormMainTest, MessageBoxesTellTheirKindInWords) {
    for (const auto& [icon, kind] : {std::pair{MessageIcon::Error, "Error"},
                                     std::pair{MessageIcon::Information, "Information"}}) {
        SCOPED_TRACE(kind);
        QString description;
        QString iconName;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            description =
                QAccessible::queryAccessibleInterface(box)->text(QAccessible::Description);
            if (auto* picture = box->findChild<QLabel*>("qt_msgboxex_icon_label")) {
                iconName = QAccessible::queryAccessibleInterface(picture)->text(QAccessible::Name);
            }
            box->accept();
        });
        realMessageBoxes().Show(nullptr, QStringLiteral("The media is write protected."), icon);
        EXPECT_EQ(description, kind);
        EXPECT_EQ(iconName, kind);
    }
}

// --- Load and the command line ------------------------------------------------------------------

TEST_F(FormMainTest, LoadTakesTheWholeArgumentTextWithoutItsQuotes) {
    // The launcher's form: the path in quotes; blanks belong to the path.
    const QString spaced = dir.filePath(QStringLiteral("my module.dct"));
    WriteFile(spaced, "x");
    const QString text = FormMain::ArgumentText(
        {"trestel", "\"" + spaced.section(' ', 0, 0), spaced.section(' ', 1) + "\""});
    EXPECT_EQ(text, "\"" + spaced + "\"");
    MakeLoaded(text);
    EXPECT_EQ(form->ModulePath(), spaced);
    EXPECT_EQ(Title()->text(), "Install 'my module.dct' to PDA");
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(Status()->text(), "ActiveSync Status: Unknown");
    EXPECT_EQ(device.Count("CeRapiInitEx"), 0) << "load attempts no connection";

    // Quotes inside the path are removed too, joining what surrounds them.
    const QString quoted = dir.filePath(QStringLiteral("sam\"ple.bbl"));
    MakeLoaded(quoted);
    EXPECT_EQ(form->ModulePath(), modulePath);
}

TEST_F(FormMainTest, LoadWithNoOrOneCharacterOpensWithoutModule) {
    for (const QString& text : {QString(), QStringLiteral("x"), QStringLiteral("\"")}) {
        SCOPED_TRACE(text.toStdString());
        MakeLoaded(text);
        EXPECT_TRUE(form->ModulePath().isEmpty());
        EXPECT_EQ(Title()->text(), "Install ... to PDA");
        EXPECT_TRUE(boxes.shown.empty());
    }
    EXPECT_EQ(FormMain::ArgumentText({"trestel"}), "");
}

TEST_F(FormMainTest, MissingFileEndsTheProgramAfterItsMessage) {
    for (const QString& text :
         {QStringLiteral("\"\""), dir.filePath("missing.bbl"), "\"" + dir.path() + "\""}) {
        SCOPED_TRACE(text.toStdString());
        boxes.shown.clear();
        device.log.clear();
        Make();
        EXPECT_FALSE(form->Load(text));
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, "File does not exist!");
        EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Error);
        EXPECT_FALSE(form->isVisible());
        form.reset();
        // The program ends at once: no unload, so no disconnect either.
        EXPECT_EQ(device.Count("CeRapiUninit"), 0);
    }
}

TEST_F(FormMainTest, CentresOnTheScreenHalvingTowardZero) {
    EXPECT_EQ(FormMain::CentredTopLeft({0, 0, 1024, 768}, {360, 247}), QPoint(332, 260));
    EXPECT_EQ(FormMain::CentredTopLeft({0, 0, 1024, 768}, {361, 248}), QPoint(331, 260));
    EXPECT_EQ(FormMain::CentredTopLeft({1024, 100, 800, 600}, {360, 247}), QPoint(1244, 276));
    // A window larger than the screen: the halving truncates toward zero.
    EXPECT_EQ(FormMain::CentredTopLeft({0, 0, 300, 200}, {361, 247}), QPoint(-30, -23));

    MakeLoaded(modulePath);
    const QRect screen = form->screen()->geometry();
    EXPECT_EQ(form->pos(), FormMain::CentredTopLeft(screen, form->frameGeometry().size()));
}

// --- Connect, disconnect and the folder list ----------------------------------------------------

TEST_F(FormMainTest, ConnectListsMainMemoryThenEachCardAndReconnectRebuildsTheList) {
    MakeLoaded(modulePath);
    Connect()->click();
    ExpectConnected(false);
    EXPECT_EQ(Entries(List()), QStringList{kMainMemory});
    EXPECT_EQ(List()->currentRow(), -1);
    EXPECT_EQ(device.Count("CeRapiInitEx"), 1);
    EXPECT_TRUE(boxes.shown.empty());

    // Disconnect closes the link; a reconnect lists the cards in the device's order.
    SelectRow(0);
    Connect()->click();
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);
    ExpectDisconnected();
    TwoCards();
    Connect()->click();
    ExpectConnected(false);
    EXPECT_EQ(Entries(List()),
              (QStringList{kMainMemory, "Storage Card\\Pocket Lorvex", "SD Card\\Pocket Lorvex"}));
    EXPECT_EQ(List()->currentRow(), -1);
    EXPECT_TRUE(List()->selectedItems().isEmpty());
}

TEST_F(FormMainTest, FailedConnectShowsDisconnectedWithoutMessage) {
    waiter.result = WAIT_TIMEOUT;
    MakeLoaded(modulePath);
    Connect()->click();
    ExpectDisconnected();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // A device table that can't be reached at all ends the same way.
    device.failures.ThrowOn("CeRapiInitEx");
    Connect()->click();
    ExpectDisconnected();

    // So does a link that connects but fails while the cards are listed.
    device.failures.Clear();
    waiter.result = WAIT_OBJECT_0;
    device.searchEndError = ERROR_DEVICE_NOT_CONNECTED;
    const int nUninits = device.Count("CeRapiUninit");
    Connect()->click();
    ExpectDisconnected();
    EXPECT_EQ(device.Count("CeRapiUninit"), nUninits + 1);
}

TEST_F(FormMainTest, FirstArrowKeyInTheFolderListSelectsTheFirstEntry) {
    TwoCards();
    MakeLoaded(modulePath);
    const auto press = [&](Qt::Key key) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(List(), &event);
    };
    for (Qt::Key first : {Qt::Key_Down, Qt::Key_Up}) {
        SCOPED_TRACE(first);
        if (Connect()->text() == "Disconnect") {
            Connect()->click();
        }
        Connect()->click();  // a new list, no selection
        // Current but not selected, as Qt leaves it when the list takes the focus.
        List()->setCurrentRow(0, QItemSelectionModel::NoUpdate);
        press(first);
        EXPECT_EQ(form->TargetPath(), kMainMemory + "\\sample.bbl");
        press(Qt::Key_Down);
        EXPECT_EQ(form->TargetPath(), "Storage Card\\Pocket Lorvex\\sample.bbl") << "then as usual";
    }
}

// --- The Copy button's rules --------------------------------------------------------------------

TEST_F(FormMainTest, ChoosingAFolderWithAModuleMakesReady) {
    TwoCards();
    MakeLoaded(modulePath);
    Connect()->click();
    SelectRow(0);
    ExpectConnected(true);
    EXPECT_EQ(form->TargetPath(), "Program Files\\Pocket Lorvex\\sample.bbl");
    SelectRow(1);
    EXPECT_EQ(form->TargetPath(), "Storage Card\\Pocket Lorvex\\sample.bbl");

    // Clearing the selection disables Copy again; picking a module then keeps the target.
    List()->clearSelection();
    EXPECT_FALSE(Copy()->isEnabled());
    const QString other = dir.filePath(QStringLiteral("other.map"));
    WriteFile(other, "y");
    dialog.answers = {other};
    Action("MenuFileOpen")->trigger();
    EXPECT_EQ(form->ModulePath(), other);
    EXPECT_EQ(Title()->text(), "Install 'other.map' to PDA");
    EXPECT_EQ(form->TargetPath(), "Storage Card\\Pocket Lorvex\\sample.bbl");
    EXPECT_FALSE(Copy()->isEnabled());
}

TEST_F(FormMainTest, FolderFirstThenModuleEnablesCopy) {
    MakeLoaded(QString());
    Connect()->click();
    SelectRow(0);
    EXPECT_FALSE(Copy()->isEnabled()) << "no module known yet";
    EXPECT_TRUE(form->TargetPath().isEmpty());

    dialog.answers = {modulePath};
    Action("MenuFileOpen")->trigger();
    EXPECT_EQ(form->ModulePath(), modulePath);
    EXPECT_EQ(Title()->text(), "Install 'sample.bbl' to PDA");
    EXPECT_EQ(form->TargetPath(), "Program Files\\Pocket Lorvex\\sample.bbl");
    ExpectConnected(true);
}

TEST_F(FormMainTest, ModuleFirstThenFolderEnablesCopy) {
    TwoCards();
    MakeLoaded(QString());
    dialog.answers = {modulePath};
    Action("MenuFileOpen")->trigger();
    EXPECT_EQ(form->ModulePath(), modulePath);
    EXPECT_EQ(Title()->text(), "Install 'sample.bbl' to PDA");
    EXPECT_TRUE(form->TargetPath().isEmpty());
    EXPECT_FALSE(Copy()->isEnabled());

    Connect()->click();
    EXPECT_FALSE(Copy()->isEnabled());
    SelectRow(2);
    EXPECT_EQ(form->TargetPath(), "SD Card\\Pocket Lorvex\\sample.bbl");
    ExpectConnected(true);
}

TEST_F(FormMainTest, CancelledPickerChangesNothing) {
    TwoCards();
    MakeLoaded(modulePath);
    Connect()->click();
    SelectRow(1);
    const QString target = form->TargetPath();

    dialog.answers = {QString()};
    Action("MenuFileOpen")->trigger();
    EXPECT_EQ(form->ModulePath(), modulePath);
    EXPECT_EQ(form->TargetPath(), target);
    EXPECT_EQ(Title()->text(), "Install 'sample.bbl' to PDA");
    EXPECT_TRUE(Copy()->isEnabled());

    // Each run asks afresh, modal to the window, with the one module filter.
    Action("MenuFileOpen")->trigger();
    ASSERT_EQ(dialog.calls.size(), 2u);
    for (const auto& call : dialog.calls) {
        EXPECT_EQ(call.owner, form.get());
        EXPECT_EQ(call.filter, "Pocket Lorvex Modules (*.bbl *.cmt *.dct *.dev *.map)");
    }
    EXPECT_TRUE(boxes.shown.empty());
}

// --- The install command ------------------------------------------------------------------------

TEST_F(FormMainTest, EnterPressesTheFocusedButtonAndTheFocusReturnsToCopy) {
    TwoCards();
    MakeLoaded(modulePath);
    ShowActive();
    // Return and keypad Enter press the focused button, as Space does.
    Connect()->setFocus();
    Press(Connect(), Qt::Key_Return);
    ExpectConnected(false);
    SelectRow(1);
    Copy()->setFocus();
    Press(Copy(), Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(device.File(u"Storage Card\\Pocket Lorvex\\sample.bbl"), content.toStdString());
    // After the copy the focus is on Copy again, not on Disconnect.
    ExpectConnected(true);
    EXPECT_EQ(form->focusWidget(), Copy());
    // Enter with another modifier, or on the list, presses nothing; no button became the default.
    Press(Copy(), Qt::Key_Return, Qt::ControlModifier);
    Press(List(), Qt::Key_Return);
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(Copy()->isDefault() || Copy()->autoDefault() || Connect()->isDefault());

    // The link is gone after the next copy: Copy is disabled, the focus goes to Connect, which
    // reads Connect again.
    waiter.result = WAIT_TIMEOUT;
    Press(Copy(), Qt::Key_Return);
    ASSERT_EQ(boxes.shown.size(), 2u);
    ExpectDisconnected();
    EXPECT_EQ(form->focusWidget(), Connect());
}

TEST_F(FormMainTest, CopyInstallsTheModuleAndReturnsToReady) {
    TwoCards();
    MakeLoaded(modulePath);
    Connect()->click();
    SelectRow(1);
    device.log.clear();

    Copy()->click();

    EXPECT_EQ(device.File(u"Storage Card\\Pocket Lorvex\\sample.bbl"), content.toStdString());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Installation of sample.bbl is completed.");
    EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Information);
    EXPECT_EQ(boxes.shown[0].owner, form.get());
    // The link check after the copy.
    EXPECT_EQ(device.Count("CeRapiInitEx"), 2);
    ExpectConnected(true);
    EXPECT_EQ(List()->currentRow(), 1);
    EXPECT_EQ(form->TargetPath(), "Storage Card\\Pocket Lorvex\\sample.bbl");
    EXPECT_EQ(form->InstallEngine().bCopying, modRapi::kFalse);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Copy again: the same module to the same path.
    Copy()->click();
    EXPECT_EQ(WriteCreates(), 2u);
    EXPECT_EQ(boxes.shown.size(), 2u);
    ExpectConnected(true);

    // A Latin-1 file name from the command line: read by its own bytes, named on the handheld
    // with U+FFFD for the byte that is not UTF-8.
    const QByteArray latin1 = QFile::encodeName(dir.path()) + "/caf\xe9.dct";
    WriteFile(dir.filePath("latin"), "latin");
    ASSERT_EQ(std::rename(QFile::encodeName(dir.filePath("latin")), latin1), 0);
    const char* argv[] = {"trestel", latin1.constData()};
    MakeLoaded(CommandLine::Arguments(2, argv)[1]);
    EXPECT_EQ(Title()->text(), QString::fromUtf16(u"Install 'caf\ufffd.dct' to PDA"));
    Connect()->click();
    SelectRow(0);
    Copy()->click();
    EXPECT_EQ(device.File(u"Program Files\\Pocket Lorvex\\caf\ufffd.dct"), "latin");
    // The message names it as the title does.
    EXPECT_EQ(boxes.shown.back().text,
              QString::fromUtf16(u"Installation of caf\ufffd.dct is completed."));
}

TEST_F(FormMainTest, DuringCopyTheWindowIsLockedAndRefusesToClose) {
    MakeLoaded(modulePath);
    form->show();
    while (!form->windowHandle()->isExposed()) {
        QApplication::processEvents();
    }
    Connect()->click();
    SelectRow(0);

    int nChecks = 0;
    device.onCall = [&](const std::string& name) {
        if (name != "CeWriteFile") {
            return;
        }
        // The copy runs off the window's thread: the window is looked at on its own.
        OnWindowThread([&] { CheckDuringCopy(++nChecks); });
    };
    CheckDuringCopy = [&](int nCheck) {
        if (nCheck == 1) {
            // What the screen shows before the first block goes out: the bar and the locked
            // controls, as they render now.
            const QImage screen = form->screen()
                                      ->grabWindow(form->winId())
                                      .toImage()
                                      .convertToFormat(QImage::Format_RGB32);
            for (QWidget* w : std::initializer_list<QWidget*>{Progress(), Connect(), Copy()}) {
                SCOPED_TRACE(w->objectName().toStdString());
                const QRect area(w->mapTo(form.get(), QPoint()), w->size());
                EXPECT_EQ(screen.copy(area),
                          w->grab().toImage().convertToFormat(QImage::Format_RGB32));
            }
        }
        EXPECT_EQ(form->InstallEngine().bCopying, modRapi::kTrue);
        EXPECT_FALSE(Menu()->menuAction()->isEnabled());
        EXPECT_FALSE(Connect()->isEnabled());
        EXPECT_FALSE(List()->isEnabled());
        EXPECT_FALSE(Copy()->isEnabled());
        EXPECT_TRUE(Progress()->isVisible());
        ASSERT_NE(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);

        EXPECT_FALSE(form->QueryUnload());
        EXPECT_FALSE(form->close()) << "close refused while copying";
        Action("MenuFileExit")->trigger();  // disabled with its menu
        EXPECT_TRUE(form->isVisible());
        Copy()->click();  // disabled: no second copy
        Connect()->click();
    };
    // The completion box is up while the copy still holds the flag.
    boxes.whileShown = [&] { EXPECT_FALSE(form->close()); };

    Copy()->click();

    EXPECT_EQ(nChecks, 3);
    EXPECT_EQ(WriteCreates(), 1u);
    EXPECT_EQ(device.Count("CeRapiUninit"), 0) << "no disconnect happened during the copy";
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(device.File(u"Program Files\\Pocket Lorvex\\sample.bbl"), content.toStdString());
    ExpectConnected(true);

    // Afterwards a close goes through and disconnects once.
    device.onCall = nullptr;
    EXPECT_TRUE(form->close());
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);
}

TEST_F(FormMainTest, FailedLinkCheckAfterACopyEndsDisconnected) {
    MakeLoaded(modulePath);
    Connect()->click();
    SelectRow(0);

    // The second write fails; the link check then times out.
    device.writeScript = [](int nth, RAPI_DWORD count) {
        return nth == 2 ? FakeDevice::WriteReply{0, 0} : FakeDevice::WriteReply{1, count};
    };
    waiter.script = [&](RAPI_HANDLE, RAPI_DWORD) {
        return waiter.calls.size() >= 2 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    };
    Copy()->click();

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Error);
    EXPECT_TRUE(boxes.shown[0].text.startsWith("Installation of sample.bbl has failed!"));
    EXPECT_FALSE(device.HasFile(u"Program Files\\Pocket Lorvex\\sample.bbl"));
    ExpectDisconnected();
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // The window works on: connecting again gives a fresh list.
    waiter.script = nullptr;
    Connect()->click();
    ExpectConnected(false);

    // A partial file that the handheld, gone after the failed write, kept never carries the
    // module's name and is deleted by the next connect that reaches it.
    SelectRow(0);
    device.writeScript = [](int, RAPI_DWORD) { return FakeDevice::WriteReply{0, 0}; };
    device.deleteError = ERROR_DEVICE_NOT_CONNECTED;
    waiter.script = [&](RAPI_HANDLE, RAPI_DWORD) {
        return waiter.calls.size() == 4 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    };
    Copy()->click();
    EXPECT_FALSE(device.HasFile(u"Program Files\\Pocket Lorvex\\sample.bbl"));
    EXPECT_EQ(device.files.size(), 1u) << "the temporary file";
    ExpectDisconnected();
    device.deleteError = 0;
    Connect()->click();
    EXPECT_TRUE(device.files.empty());
    ExpectConnected(false);

    // A link check that fails after a successful copy disconnects too.
    SelectRow(0);
    device.writeScript = nullptr;
    waiter.result = WAIT_TIMEOUT;
    waiter.script = nullptr;
    Copy()->click();
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_EQ(boxes.shown[2].text, "Installation of sample.bbl is completed.");
    EXPECT_EQ(device.File(u"Program Files\\Pocket Lorvex\\sample.bbl"), content.toStdString());
    ExpectDisconnected();
}

TEST_F(FormMainTest, CopyOfAVanishedModuleLeavesTheWindowUsable) {
    MakeLoaded(modulePath);
    Connect()->click();
    SelectRow(0);
    ASSERT_TRUE(QFile::remove(modulePath));
    Copy()->click();
    EXPECT_EQ(form->InstallEngine().bCopying, modRapi::kFalse);
    EXPECT_FALSE(Progress()->isVisibleTo(form.get()));
    ExpectConnected(true);
}

// --- Closing ------------------------------------------------------------------------------------

TEST_F(FormMainTest, CloseIsRefusedWhileCopyingAndOtherwiseDisconnectsOnce) {
    MakeLoaded(modulePath);
    form->show();
    // Whatever its source: a desktop session's logout arrives as a plain close event.
    form->InstallEngine().bCopying = modRapi::kTrue;
    EXPECT_FALSE(form->QueryUnload());
    EXPECT_FALSE(form->close());
    QCloseEvent event;
    QApplication::sendEvent(form.get(), &event);
    EXPECT_FALSE(event.isAccepted());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(device.Count("CeRapiUninit"), 0);
    form->InstallEngine().bCopying = modRapi::kFalse;

    EXPECT_TRUE(form->QueryUnload());
    Action("MenuFileExit")->trigger();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(device.Count("CeRapiUninit"), 1) << "also without any connect";
    form.reset();
    EXPECT_EQ(device.Count("CeRapiUninit"), 1) << "unloaded once";

    // A window that is destroyed without a close request unloads too.
    device.failures.ThrowOn("CeRapiUninit");
    MakeLoaded(modulePath);
    form.reset();
    EXPECT_EQ(device.Count("CeRapiUninit"), 2);

    // Each window's engine reports to that window.
    const QString missing = dir.filePath("missing.bbl");
    Make();
    Make();
    form->InstallEngine().CopyFileToDevice(missing, "x");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].owner, form.get());
}

}  // namespace

namespace {

// The real message box: a module name is text, never markup.
TEST(RealMessageBoxes, ShowTheirTextAsPlainText) {
    const QString text = "<font size=7 color=red>Device infected.bbl cannot be installed.";
    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        shown = box->text();
        format = box->textFormat();
        box->accept();
    });
    realMessageBoxes().Show(nullptr, text, MessageIcon::Error);
    EXPECT_EQ(shown, text);
    EXPECT_EQ(format, Qt::PlainText);
}

// The real picker, by keyboard: it lists folders and module files whose names are not UTF-8
// (shown with U+FFFD), refuses a missing name, walks into a folder and back, and returns the
// chosen file's path so that it encodes back to the very bytes of its name.
TEST(RealFilePicker, ListsAndReturnsANameThatIsNotUtf8) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray folder = QFile::encodeName(dir.path());
    const QByteArray module = folder + "/caf\xe9.dct";
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
    for (const QByteArray& path : {module, folder + "/notes.txt", folder + "/sub/inner.BBL"}) {
        FILE* file = std::fopen(path.constData(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));

    const auto rows = [](QListWidget* list) {
        QStringList texts;
        for (int i = 0; i < list->count(); ++i) {
            texts << list->item(i)->text();
        }
        return texts;
    };
    const auto pressEnter = [](QWidget* widget) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(widget, &press);
    };
    const QString shown = QString::fromUtf8("caf\xef\xbf\xbd.dct");
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->objectName(), "OpenDialog");
        auto* list = dialog->findChild<QListWidget*>("PickerList");
        auto* name = dialog->findChild<QLineEdit*>("PickerName");
        auto* type = dialog->findChild<QComboBox*>("PickerType");
        ASSERT_TRUE(list && name && type);
        EXPECT_EQ(type->currentText(), "Pocket Lorvex Modules");
        EXPECT_EQ(rows(list), QStringList({"..", "sub", shown}));
        EXPECT_EQ(list->accessibleName(), "Folders and files");

        name->setFocus();
        name->setText("missing.dct");
        pressEnter(name);
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_TRUE(dialog->findChild<QLabel*>("PickerMessage")->text().contains("missing.dct"));

        auto* folderField = dialog->findChild<QLineEdit*>("PickerFolder");
        folderField->setFocus();
        folderField->setText("sub");
        pressEnter(folderField);
        EXPECT_EQ(folderField->text(), dir.path() + "/sub");
        folderField->setText("..");
        pressEnter(folderField);
        EXPECT_EQ(folderField->text(), dir.path());

        name->clear();
        list->setFocus();
        list->setCurrentRow(1);
        pressEnter(list);
        EXPECT_EQ(rows(list), QStringList({"..", "inner.BBL"}));
        EXPECT_EQ(list->currentRow(), 0);
        pressEnter(list);
        ASSERT_EQ(rows(list), QStringList({"..", "sub", shown}));
        list->setCurrentRow(2);
        EXPECT_EQ(name->text(), shown);
        pressEnter(name);
    });
    // A failed step leaves the dialog open: close it rather than hang. The timer ends with the
    // test, so it can't reach another test's dialog.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            dialog->close();
        }
    });
    guard.start(2000);
    const QString chosen = modFileOpen::realFileDialog().GetOpenFileName(
        nullptr, QString::fromUtf8(modFileOpen::kFilter));
    QDir::setCurrent(saved);
    EXPECT_EQ(LocalPath::encode(chosen), module);
}

// --- Stopping, closing during Connect, free space -------------------------------------------

TEST_F(FormMainTest, CloseOrEscapeDuringACopyAsksAndYesStopsRemovesAndCloses) {
    MakeLoaded(modulePath);
    form->show();
    Connect()->click();
    SelectRow(0);
    const std::u16string target = u"Program Files\\Pocket Lorvex\\sample.bbl";
    device.files[target] = "old module";
    int nWrites = 0;
    device.onCall = [&](const std::string& name) {
        if (name != "CeWriteFile") {
            return;
        }
        OnWindowThread([&] {
            ++nWrites;
            if (nWrites == 1) {
                // No, the default: the copy goes on.
                Press(form.get(), Qt::Key_Escape);
            } else if (nWrites == 2) {
                boxes.answer = true;
                EXPECT_FALSE(form->close()) << "the window waits for the copy to stop";
            }
        });
    };

    Copy()->click();
    QApplication::processEvents();

    EXPECT_EQ(boxes.asked, std::vector<QString>(2, "Stop installing sample.bbl?"));
    // Stopped after the block that was under way: no third write, no message, nothing left.
    EXPECT_EQ(nWrites, 2);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(device.File(target), "old module");
    EXPECT_EQ(device.files.size(), 1u);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);
    EXPECT_EQ(form->ExitStatus(), 1);
}

TEST_F(FormMainTest, ACloseDuringConnectEndsTheWaitAndCloses) {
    MakeLoaded(modulePath);
    form->show();
    // The window answers while the handheld is waited for: the close comes in then.
    waiter.script = [&](RAPI_HANDLE, RAPI_DWORD) {
        OnWindowThread([&] { EXPECT_FALSE(form->close()); });
        return WAIT_OBJECT_0;
    };

    Connect()->click();
    QApplication::processEvents();

    EXPECT_EQ(waiter.cancels, 1);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Connect()->text(), "Connect");
    EXPECT_EQ(device.Count("CeRapiUninit"), 2) << "the attempt ended, then the unload";
}

TEST_F(FormMainTest, TheChosenFoldersFreeSpaceShowsWhereTheBarGoesAndIsAnnounced) {
    TwoCards();
    MakeLoaded(modulePath);
    ShowActive();
    AccessListener listener;
    QLabel* note = Get<QLabel>("LabelNote");
    EXPECT_EQ(note->geometry(), QRect(8, 176, 345, 25));
    Connect()->click();
    EXPECT_FALSE(note->isVisible());

    device.diskFree = 3000000;
    SelectRow(1);
    QApplication::processEvents();
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text(), "Free space there: 3,000,000 bytes");
    EXPECT_EQ(device.Calls("CeGetDiskFreeSpaceEx").back(),
              "CeGetDiskFreeSpaceEx(Storage Card\\Pocket Lorvex)");
    // The entries keep their text: the target path is built from it.
    EXPECT_EQ(List()->item(1)->text(), "Storage Card\\Pocket Lorvex");
    auto shown = listener.Of(note, QAccessible::ObjectShow);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().name, "Free space there: 3,000,000 bytes");

    device.diskFreeError = ERROR_CALL_NOT_IMPLEMENTED;
    SelectRow(0);
    QApplication::processEvents();
    EXPECT_EQ(note->text(), "Free space there: unknown (the handheld can't tell)");

    // The bar takes its place during a copy; afterwards it shows again.
    Copy()->click();
    EXPECT_TRUE(note->isVisible());
    EXPECT_FALSE(Progress()->isVisible());
    EXPECT_EQ(form->ExitStatus(), 0);
}

TEST_F(FormMainTest, WithNoHandheldAtAllConnectSaysHowToGetOne) {
    MakeLoaded(modulePath);
    ShowActive();
    AccessListener listener;
    device.devices.clear();
    waiter.result = WAIT_TIMEOUT;

    Connect()->click();

    ExpectDisconnected();
    QLabel* note = Get<QLabel>("LabelNote");
    EXPECT_TRUE(note->isVisible());
    EXPECT_TRUE(note->text().contains("SynCE"));
    EXPECT_TRUE(note->text().contains("handheld-sim create"));
    ASSERT_FALSE(listener.Of(note, QAccessible::ObjectShow).empty());

    // A handheld that is there but doesn't answer says nothing more than Disconnected.
    device.devices = {u"Fake handheld"};
    Connect()->click();
    EXPECT_FALSE(note->isVisible());
}

TEST_F(FormMainTest, WithTwoHandheldsConnectAsksWhichAndALockedOneForItsPassword) {
    MakeLoaded(modulePath);
    device.devices = {u"Pocket One", u"Pocket Two"};
    prompts.choices = {QString("Pocket Two")};
    device.locked = true;
    device.password = u"secret";
    prompts.passwords = {QString("wrong"), QString("secret")};

    Connect()->click();

    ASSERT_EQ(prompts.asked.size(), 3u);
    EXPECT_EQ(prompts.asked[0].names, QStringList({"Pocket One", "Pocket Two"}));
    EXPECT_EQ(device.selected, u"Pocket Two");
    // The wrong password is said when it is asked again; the right one connects.
    EXPECT_FALSE(prompts.asked[1].afterWrongOne);
    EXPECT_TRUE(prompts.asked[2].afterWrongOne);
    ExpectConnected(false);

    // Cancelling the choice connects to nothing.
    Connect()->click();  // disconnect
    Connect()->click();
    EXPECT_EQ(prompts.asked.size(), 4u);
    EXPECT_EQ(Connect()->text(), "Connect");
}

}  // namespace

// The installer window driven through its controls, with a fake handheld behind the device table
// and fake message boxes and file dialog.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <tuple>

#include "CommandLine.h"
#include "DialogFakes.h"
#include "FakeDevice.h"
#include "FakeWaiter.h"
#include "FloodBar.h"
#include "FormMain.h"
#include "TestSupport.h"
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
        modRapi::bCopying = modRapi::kFalse;
    }

    void TearDown() override {
        form.reset();
        modRapi::bCopying = modRapi::kFalse;
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
        FormMain::Platform platform{&device, &waiter, &boxes, &dialog, modRapi::kConnectWaitMs, {}};
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
    EXPECT_EQ(modRapi::bCopying, modRapi::kFalse);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Copy again: the same module to the same path.
    Copy()->click();
    EXPECT_EQ(device.Calls("CeCreateFile").size(), 2u);
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
        if (++nChecks == 1) {
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
        EXPECT_EQ(modRapi::bCopying, modRapi::kTrue);
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
    EXPECT_EQ(device.Calls("CeCreateFile").size(), 1u);
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

    // A link check that fails after a successful copy disconnects too.
    SelectRow(0);
    device.writeScript = nullptr;
    waiter.result = WAIT_TIMEOUT;
    Copy()->click();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "Installation of sample.bbl is completed.");
    EXPECT_EQ(device.File(u"Program Files\\Pocket Lorvex\\sample.bbl"), content.toStdString());
    ExpectDisconnected();
}

TEST_F(FormMainTest, CopyOfAVanishedModuleLeavesTheWindowUsable) {
    MakeLoaded(modulePath);
    Connect()->click();
    SelectRow(0);
    ASSERT_TRUE(QFile::remove(modulePath));
    Copy()->click();
    EXPECT_EQ(modRapi::bCopying, modRapi::kFalse);
    EXPECT_FALSE(Progress()->isVisibleTo(form.get()));
    ExpectConnected(true);
}

// --- Closing ------------------------------------------------------------------------------------

TEST_F(FormMainTest, CloseIsRefusedWhileCopyingAndOtherwiseDisconnectsOnce) {
    MakeLoaded(modulePath);
    form->show();
    // Whatever its source: a desktop session's logout arrives as a plain close event.
    modRapi::bCopying = modRapi::kTrue;
    EXPECT_FALSE(form->QueryUnload());
    EXPECT_FALSE(form->close());
    QCloseEvent event;
    QApplication::sendEvent(form.get(), &event);
    EXPECT_FALSE(event.isAccepted());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(device.Count("CeRapiUninit"), 0);
    modRapi::bCopying = modRapi::kFalse;

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

    // A destroyed window is no longer reached by the device module; a newer one still is.
    const QString missing = dir.filePath("missing.bbl");
    modRapi::CopyFileToDevice(missing, "x");
    EXPECT_TRUE(boxes.shown.empty());
    Make();
    Make();
    modRapi::CopyFileToDevice(missing, "x");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].owner, form.get());
}

}  // namespace

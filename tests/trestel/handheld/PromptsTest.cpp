// The two handheld questions as the user meets them: the real dialogs driven by keyboard under
// the offscreen platform, their controls found by object name.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <optional>

#include "AccessListener.h"
#include "HandheldPrompts.h"
#include "WindowLook.h"

namespace {

// A key as typed: to the control that has the focus in the dialog.
void Type(QDialog* dialog, int key, const QString& text = QString()) {
    QWidget* target = dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog;
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &release);
}

void Keys(QDialog* dialog, const std::vector<int>& keys) {
    for (int key : keys) {
        if (!dialog->isVisible()) {
            ADD_FAILURE() << "the dialog closed before key " << key;
            return;
        }
        Type(dialog, key);
    }
}

// Runs ask, which shows a modal dialog, with drive working on the dialog once it is up and
// active. A dialog that drive leaves open is a failure and is cancelled.
template <typename Result>
Result WhileUp(const std::function<Result()>& ask, const std::function<void(QDialog*)>& drive) {
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            ADD_FAILURE() << "no modal dialog";
            return;
        }
        dialog->activateWindow();
        for (int i = 0; i < 200 && !dialog->isActiveWindow(); ++i) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        drive(dialog);
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the dialog is still open";
            dialog->reject();
        }
    });
    return ask();
}

std::optional<QString> Choose(const QStringList& names,
                              const std::function<void(QDialog*)>& drive) {
    return WhileUp<std::optional<QString>>(
        [&] { return realHandheldPrompts().ChooseHandheld(nullptr, names); }, drive);
}

std::optional<QString> Password(const QString& handheld, bool afterWrong,
                                const std::function<void(QDialog*)>& drive) {
    return WhileUp<std::optional<QString>>(
        [&] { return realHandheldPrompts().AskPassword(nullptr, handheld, afterWrong); }, drive);
}

QPushButton* Button(QDialog* dialog, const char* name) {
    return dialog->findChild<QPushButton*>(QString::fromLatin1(name));
}

TEST(HandheldPromptsTest, ChooserAnswersTheKeyboard) {
    const QStringList names = {"Alpha", "Beta", "Gamma"};
    struct Case {
        const char* name;
        std::vector<int> keys;
        std::optional<QString> answer;
    };
    const Case cases[] = {
        {"Enter takes the first, chosen at the start", {Qt::Key_Return}, "Alpha"},
        {"Down, Enter", {Qt::Key_Down, Qt::Key_Return}, "Beta"},
        {"Down, Down, Up, keypad Enter",
         {Qt::Key_Down, Qt::Key_Down, Qt::Key_Up, Qt::Key_Enter},
         "Beta"},
        {"End, Enter", {Qt::Key_End, Qt::Key_Return}, "Gamma"},
        {"Escape cancels", {Qt::Key_Down, Qt::Key_Escape}, std::nullopt},
        {"Enter on OK", {Qt::Key_Down, Qt::Key_Tab, Qt::Key_Return}, "Beta"},
        {"Enter on Cancel", {Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Return}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<QString> answer = Choose(names, [&](QDialog* dialog) {
            EXPECT_EQ(dialog->objectName(), "DialogChooseHandheld");
            auto* list = dialog->findChild<QListWidget*>("ListHandhelds");
            ASSERT_NE(list, nullptr);
            EXPECT_EQ(dialog->focusWidget(), list);
            EXPECT_EQ(list->currentRow(), 0);
            EXPECT_TRUE(list->item(0)->isSelected());
            Keys(dialog, c.keys);
        });
        EXPECT_EQ(answer, c.answer);
    }
}

TEST(HandheldPromptsTest, ChooserShowsNamesPlainAndAnswersThemUnchanged) {
    const QStringList names = {"Line\nbreak", "<b>Bold</b>", QString(200, 'y')};
    const std::optional<QString> answer = Choose(names, [&](QDialog* dialog) {
        auto* list = dialog->findChild<QListWidget*>("ListHandhelds");
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->count(), 3);
        EXPECT_EQ(list->item(0)->text(), "Line\\x0abreak");
        EXPECT_EQ(list->item(1)->text(), "<b>Bold</b>");
        // A long name is kept whole in the list (elided only when drawn): the dialog stays narrow.
        EXPECT_EQ(list->item(2)->text(), names[2]);
        EXPECT_LT(dialog->width(), 640);
        auto* label = dialog->findChild<QLabel*>("LabelChoose");
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), "Which handheld do you want to connect to?");
        EXPECT_EQ(label->buddy(), list);
        EXPECT_EQ(list->accessibleName(), "Handheld");
        EXPECT_EQ(list->accessibleDescription(), label->text());
        // No button answers Enter in place of the control that has the focus.
        for (const char* name : {"ButtonOK", "ButtonCancel"}) {
            QPushButton* button = Button(dialog, name);
            ASSERT_NE(button, nullptr);
            EXPECT_FALSE(button->isDefault() || button->autoDefault()) << name;
        }
        Keys(dialog, {Qt::Key_Return});
    });
    EXPECT_EQ(answer, names[0]);
}

TEST(HandheldPromptsTest, ChooserReportsTheChosenEntryWhenItTakesTheFocus) {
    AccessListener listener;
    QListWidget* shown = nullptr;
    Choose({"Alpha", "Beta"}, [&](QDialog* dialog) {
        shown = dialog->findChild<QListWidget*>("ListHandhelds");
        QApplication::processEvents();
        const auto focus = listener.Of(shown, QAccessible::Focus);
        ASSERT_FALSE(focus.empty());
        EXPECT_EQ(focus.back().child, 0);
        // Each arrow key moves the focus to the next entry, which Qt reports itself.
        Keys(dialog, {Qt::Key_Down});
        QApplication::processEvents();
        EXPECT_EQ(listener.Of(shown, QAccessible::Focus).back().child, 1);
        Keys(dialog, {Qt::Key_Escape});
    });
    EXPECT_NE(shown, nullptr);
}

TEST(HandheldPromptsTest, PasswordAnswersTheKeyboard) {
    struct Case {
        const char* name;
        std::vector<int> keys;  // after the typed 1, 2, 3, 4
        std::optional<QString> answer;
    };
    const Case cases[] = {
        {"Enter in the field", {Qt::Key_Return}, "1234"},
        {"Backspace, then Enter", {Qt::Key_Backspace, Qt::Key_Enter}, "123"},
        {"Enter on OK", {Qt::Key_Tab, Qt::Key_Return}, "1234"},
        {"Enter on Cancel", {Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Return}, std::nullopt},
        {"Escape cancels", {Qt::Key_Escape}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<QString> answer =
            Password(QStringLiteral("Alpha"), false, [&](QDialog* dialog) {
                EXPECT_EQ(dialog->objectName(), "DialogPassword");
                auto* edit = dialog->findChild<QLineEdit*>("EditPassword");
                ASSERT_NE(edit, nullptr);
                EXPECT_EQ(dialog->focusWidget(), edit);
                for (const char* digit : {"1", "2", "3", "4"}) {
                    Type(dialog, Qt::Key_0 + (digit[0] - '0'), QString::fromLatin1(digit));
                }
                EXPECT_EQ(edit->text(), "1234");
                Keys(dialog, c.keys);
            });
        EXPECT_EQ(answer, c.answer);
    }
}

TEST(HandheldPromptsTest, PasswordIsMaskedAndNamesTheHandheldAndAWrongOne) {
    struct Case {
        QString handheld;
        bool afterWrong;
        QString text;
    };
    const Case cases[] = {
        {"Alpha", false, "The handheld \"Alpha\" is locked. Type its password:"},
        {"Al\tpha", true, "The handheld \"Al\\x09pha\" is locked. Type its password:"},
        {QString(), false, "The handheld is locked. Type its password:"},
        {QString(100, 'x'), false,
         "The handheld \"" + QString(23, 'x') + QChar(0x2026) + QString(24, 'x') +
             "\" is locked. Type its password:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        Password(c.handheld, c.afterWrong, [&](QDialog* dialog) {
            auto* edit = dialog->findChild<QLineEdit*>("EditPassword");
            auto* label = dialog->findChild<QLabel*>("LabelPassword");
            ASSERT_TRUE(edit != nullptr && label != nullptr);
            EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
            EXPECT_EQ(label->text(), c.text);
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
            EXPECT_EQ(label->buddy(), edit);
            EXPECT_EQ(edit->accessibleName(), "Password");
            auto* wrong = dialog->findChild<QLabel*>("LabelWrong");
            EXPECT_EQ(wrong != nullptr && wrong->isVisible(), c.afterWrong);
            // A screen reader gets the handheld's whole name.
            const QString whole =
                QString(c.text).replace(QString(23, 'x') + QChar(0x2026), QString(76, 'x'));
            const QString said = c.afterWrong ? "The password was wrong. " + whole : whole;
            // However long the name, the dialog stays narrower than a small screen.
            EXPECT_LT(dialog->width(), 640);
            EXPECT_EQ(edit->accessibleDescription(), said);
            if (wrong != nullptr) {
                EXPECT_EQ(wrong->text(), "The password was wrong.");
                const QColor back = dialog->palette().color(QPalette::Window);
                EXPECT_GE(WindowLook::Contrast(wrong->palette().color(QPalette::WindowText), back),
                          WindowLook::kMinContrast);
            }
            Keys(dialog, {Qt::Key_Escape});
        });
    }
}

TEST(HandheldPromptsTest, FixedColoursStayReadableOnADarkPalette) {
    const QPalette saved = QApplication::palette();
    QPalette dark = saved;
    dark.setColor(QPalette::Window, QColor(0x2a, 0x2a, 0x2a));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    QApplication::setPalette(dark);
    Choose({"Alpha", "Beta"}, [](QDialog* dialog) {
        auto* label = dialog->findChild<QLabel*>("LabelChoose");
        ASSERT_NE(label, nullptr);
        const QColor shown = label->palette().color(QPalette::WindowText);
        EXPECT_GE(WindowLook::Contrast(shown, QColor(0x2a, 0x2a, 0x2a)), WindowLook::kMinContrast);
        EXPECT_NEAR(shown.hslHue(), WindowLook::kNavy.hslHue(), 3);
        Keys(dialog, {Qt::Key_Escape});
    });
    QApplication::setPalette(saved);
}

}  // namespace

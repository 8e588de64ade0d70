// The two questions about the handheld as small modal dialogs in the look of the installer's
// window: its fonts, its fixed colours at a tone readable on the palette, its buttons that are
// never default (Enter presses the focused one, as Space does) and, for assistive technology,
// names and descriptions on every control.

#include "HandheldPrompts.h"

#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "HandheldChoice.h"
#include "MessageBoxes.h"
#include "WindowLook.h"

namespace {

// The designed sizes of the window's texts (96 dpi pixels): its plain labels, and its buttons.
constexpr int kTextPixels = 11;
constexpr int kButtonPixels = 13;
// The dialogs' least width; a list shows this many names before it scrolls.
constexpr int kMinWidth = 300;
constexpr int kVisibleNames = 6;
// A longer name is shown in a sentence with its middle left out, so that the dialog stays narrow
// (screen readers get it whole).
constexpr int kLongestName = 48;

const char* const kDesignedColor = "designedColor";

bool isEnter(const QKeyEvent* key) {
    return (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
           (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && !key->isAutoRepeat();
}

// A name cut in its middle to kLongestName characters, when longer.
QString Shortened(const QString& sName) {
    if (sName.size() <= kLongestName) {
        return sName;
    }
    const qsizetype nHead = (kLongestName - 1) / 2;
    return sName.left(nHead) + QChar(0x2026) + sName.right(kLongestName - 1 - nHead);
}

// What both questions share: the window's title and fonts, OK and Cancel, the keys, the colours.
class PromptDialog : public QDialog {
public:
    PromptDialog(QWidget* owner, const char* name)
        : QDialog(owner != nullptr && owner->isVisible() ? owner : nullptr) {
        setObjectName(QString::fromLatin1(name));
        setWindowTitle(QString::fromUtf8(kMessageTitle));
        setWindowModality(Qt::ApplicationModal);
        WindowLook::LoadTahoma();
        setFont(WindowLook::Font(QString(), kTextPixels, false));
        layout_ = new QVBoxLayout(this);
        layout_->setSizeConstraint(QLayout::SetFixedSize);
    }

    // Runs the dialog with the normal pointer (it may come while the hourglass is up); true when
    // the user answered with OK.
    bool Ask() {
        AddButtons();
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        const int nResult = exec();
        QApplication::restoreOverrideCursor();
        return nResult == QDialog::Accepted;
    }

protected:
    QLabel* AddLabel(const char* name, const QString& sText, int nPixels, bool bBold,
                     const QColor& designed) {
        auto* label = new QLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setText(sText);
        label->setFont(WindowLook::Font(QString(), nPixels, bBold));
        label->setMinimumWidth(kMinWidth);
        if (designed.isValid()) {
            label->setProperty(kDesignedColor, designed);
            SetTone(label);
        }
        layout_->addWidget(label);
        return label;
    }

    void AddControl(QWidget* control) { layout_->addWidget(control); }

    // Enter in the watched control answers OK.
    void EnterAccepts(QWidget* control) {
        control->installEventFilter(this);
        enterAccepts_ = control;
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress && isEnter(static_cast<QKeyEvent*>(event))) {
            if (watched == ButtonOK || watched == ButtonCancel) {
                static_cast<QPushButton*>(watched)->click();
                return true;
            }
            if (watched == enterAccepts_) {
                accept();
                return true;
            }
        }
        return QDialog::eventFilter(watched, event);
    }

    void changeEvent(QEvent* event) override {
        QDialog::changeEvent(event);
        // A new palette (a dark theme, say): the fixed colours take the tones readable on it.
        if (event->type() == QEvent::PaletteChange) {
            for (QLabel* label : findChildren<QLabel*>()) {
                SetTone(label);
            }
        }
    }

private:
    void SetTone(QLabel* label) {
        const QVariant designed = label->property(kDesignedColor);
        if (!designed.isValid()) {
            return;
        }
        QPalette p = label->palette();
        p.setColor(
            QPalette::WindowText,
            WindowLook::ReadableTone(designed.value<QColor>(), palette().color(QPalette::Window)));
        label->setPalette(p);
    }

    void AddButtons() {
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        ButtonOK = new QPushButton(QStringLiteral("OK"), this);
        ButtonOK->setObjectName(QStringLiteral("ButtonOK"));
        ButtonCancel = new QPushButton(QStringLiteral("Cancel"), this);
        ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
        for (QPushButton* button : {ButtonOK, ButtonCancel}) {
            button->setFont(WindowLook::Font(QString(), kButtonPixels, true));
            // No default button: Enter does what the focused control says, never something else.
            button->setAutoDefault(false);
            button->setDefault(false);
            button->installEventFilter(this);
            row->addWidget(button);
        }
        layout_->addLayout(row);
        connect(ButtonOK, &QPushButton::clicked, this, &QDialog::accept);
        connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
    }

    QVBoxLayout* layout_;
    QWidget* enterAccepts_ = nullptr;
    QPushButton* ButtonOK = nullptr;
    QPushButton* ButtonCancel = nullptr;
};

// The list of attached handhelds, the first one chosen. Enter or a double click takes the
// chosen one, Escape cancels.
class ChooserDialog final : public PromptDialog {
public:
    ChooserDialog(QWidget* owner, const QStringList& names)
        : PromptDialog(owner, "DialogChooseHandheld") {
        const QString sQuestion = QStringLiteral("Which handheld do you want to connect to?");
        QLabel* label = AddLabel("LabelChoose", sQuestion, kButtonPixels, true, WindowLook::kNavy);
        ListHandhelds = new QListWidget(this);
        ListHandhelds->setObjectName(QStringLiteral("ListHandhelds"));
        ListHandhelds->setSelectionMode(QAbstractItemView::SingleSelection);
        ListHandhelds->setSortingEnabled(false);
        // A name too long for the list is shown with its middle left out, its whole as tooltip.
        ListHandhelds->setTextElideMode(Qt::ElideMiddle);
        ListHandhelds->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        for (const QString& sName : names) {
            auto* item = new QListWidgetItem(HandheldChoice::Shown(sName), ListHandhelds);
            item->setToolTip(item->text());
        }
        ListHandhelds->setCurrentRow(0);
        const int nRows = std::clamp(static_cast<int>(names.size()), 1, kVisibleNames);
        ListHandhelds->setFixedHeight(ListHandhelds->sizeHintForRow(0) * nRows +
                                      2 * ListHandhelds->frameWidth());
        ListHandhelds->setAccessibleName(QStringLiteral("Handheld"));
        ListHandhelds->setAccessibleDescription(sQuestion);
        label->setBuddy(ListHandhelds);
        AddControl(ListHandhelds);
        // Also watched for its focus, see eventFilter.
        EnterAccepts(ListHandhelds);
        connect(ListHandhelds, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
        setAccessibleDescription(sQuestion);
        ListHandhelds->setFocus();
    }

    // The row chosen: the selected one, else (a Ctrl+Space took the selection away) the one
    // with the focus.
    int Chosen() const {
        const QList<QListWidgetItem*> selected = ListHandhelds->selectedItems();
        return selected.isEmpty() ? ListHandhelds->currentRow()
                                  : ListHandhelds->row(selected.first());
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == ListHandhelds && event->type() == QEvent::FocusIn) {
            // Qt reports the list's focus after its own handling, without the entry: the chosen
            // entry is reported once that is done.
            QMetaObject::invokeMethod(
                this, [this] { ReportFocusedEntry(); }, Qt::QueuedConnection);
        }
        return PromptDialog::eventFilter(watched, event);
    }

private:
    void ReportFocusedEntry() {
        const int nRow = ListHandhelds->currentRow();
        if (!QAccessible::isActive() || !ListHandhelds->hasFocus() || nRow < 0) {
            return;
        }
        QAccessibleEvent focus(ListHandhelds, QAccessible::Focus);
        focus.setChild(nRow);
        QAccessible::updateAccessibility(&focus);
    }

    QListWidget* ListHandhelds = nullptr;
};

// The masked password of a locked handheld; after a wrong one, the sentence saying so first.
class PasswordDialog final : public PromptDialog {
public:
    PasswordDialog(QWidget* owner, const QString& sHandheld, bool bAfterWrongOne)
        : PromptDialog(owner, "DialogPassword") {
        QString sDescription;
        if (bAfterWrongOne) {
            const QString sWrong = QStringLiteral("The password was wrong.");
            AddLabel("LabelWrong", sWrong, kTextPixels, true, WindowLook::kDarkRed);
            sDescription = sWrong + QLatin1Char(' ');
        }
        const auto locked = [&](const QString& sName) {
            return sHandheld.isEmpty()
                       ? QStringLiteral("The handheld is locked. Type its password:")
                       : QStringLiteral("The handheld \"%1\" is locked. Type its password:")
                             .arg(sName);
        };
        const QString sShown = HandheldChoice::Shown(sHandheld);
        QLabel* label =
            AddLabel("LabelPassword", locked(Shortened(sShown)), kTextPixels, false, QColor());
        if (sShown.size() > kLongestName) {
            label->setToolTip(locked(sShown));
        }
        sDescription += locked(sShown);
        EditPassword = new QLineEdit(this);
        EditPassword->setObjectName(QStringLiteral("EditPassword"));
        EditPassword->setEchoMode(QLineEdit::Password);
        EditPassword->setAccessibleName(QStringLiteral("Password"));
        EditPassword->setAccessibleDescription(sDescription);
        label->setBuddy(EditPassword);
        AddControl(EditPassword);
        EnterAccepts(EditPassword);
        setAccessibleDescription(sDescription);
        EditPassword->setFocus();
    }

    QString Password() const { return EditPassword->text(); }

private:
    QLineEdit* EditPassword = nullptr;
};

class QtHandheldPrompts final : public HandheldPrompts {
public:
    std::optional<QString> ChooseHandheld(QWidget* owner, const QStringList& names) override {
        if (names.isEmpty()) {
            return std::nullopt;
        }
        ChooserDialog dialog(owner, names);
        if (!dialog.Ask() || dialog.Chosen() < 0) {
            return std::nullopt;
        }
        return names.at(dialog.Chosen());
    }

    std::optional<QString> AskPassword(QWidget* owner, const QString& sHandheld,
                                       bool bAfterWrongOne) override {
        PasswordDialog dialog(owner, sHandheld, bAfterWrongOne);
        if (!dialog.Ask()) {
            return std::nullopt;
        }
        return dialog.Password();
    }
};

}  // namespace

HandheldPrompts& realHandheldPrompts() {
    static QtHandheldPrompts prompts;
    return prompts;
}

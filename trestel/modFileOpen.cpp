#include "modFileOpen.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "LocalPath.h"
#include "StatusLine.h"
#include "Text.h"

namespace modFileOpen {

namespace {

// A filter "Description (*.a *.b)" taken apart.
struct Filter {
    QString sDescription;
    QString sPatterns;
    std::vector<std::u32string> patterns;
};

Filter ParseFilter(const QString& sFilter) {
    Filter filter;
    const qsizetype nOpen = sFilter.lastIndexOf(QLatin1Char('('));
    const qsizetype nClose = sFilter.lastIndexOf(QLatin1Char(')'));
    if (nOpen >= 0 && nClose > nOpen) {
        filter.sDescription = sFilter.left(nOpen).trimmed();
        const QStringList patterns =
            sFilter.mid(nOpen + 1, nClose - nOpen - 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        filter.sPatterns = patterns.join(QStringLiteral("; "));
        for (const QString& sPattern : patterns) {
            filter.patterns.push_back(sPattern.toStdU32String());
        }
    } else {
        filter.sDescription = sFilter.trimmed();
    }
    if (filter.patterns.empty()) {
        filter.patterns.push_back(U"*");
    }
    return filter;
}

enum class Kind { None, Folder, File, Other };

// What the name in dirFd is, links followed: a folder, a regular file, nothing (missing or
// unreachable), or something else (a device or a pipe, which the installer can't read as a
// module).
Kind KindOf(int dirFd, const QByteArray& name) {
    struct stat st {};
    if (fstatat(dirFd, name.constData(), &st, 0) != 0) {
        return Kind::None;
    }
    return S_ISDIR(st.st_mode) ? Kind::Folder : S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
}

// The absolute form of sPath (relative to sBase), with ".", ".." and doubled slashes taken out
// by the text alone, as a shell's cd does.
QString CleanPath(const QString& sBase, const QString& sPath) {
    const QString sWhole = sPath.startsWith(QLatin1Char('/')) ? sPath : sBase + u'/' + sPath;
    QStringList parts;
    for (const QString& sPart : sWhole.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (sPart == QLatin1String("..")) {
            if (!parts.isEmpty()) {
                parts.removeLast();
            }
        } else if (sPart != QLatin1String(".")) {
            parts << sPart;
        }
    }
    return u'/' + parts.join(QLatin1Char('/'));
}

QString CurrentFolder() {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        return QStringLiteral("/");
    }
    const QString sFolder = LocalPath::decode(QByteArray(cwd));
    free(cwd);
    return sFolder;
}

// The Open dialog. Linux names are bytes, and not every name is UTF-8; the folders are read as
// bytes and every name kept in its lossless decoding (LocalPath), shown with its undecodable bytes
// as U+FFFD, so that any file can be listed and chosen and its path reaches the file open intact.
class OpenDialog final : public QDialog {
public:
    OpenDialog(QWidget* owner, const QString& sFilter)
        : QDialog(owner), filter_(ParseFilter(sFilter)) {
        setObjectName(QStringLiteral("OpenDialog"));
        setWindowTitle(QStringLiteral("Open"));

        folderEdit_ = Named(new QLineEdit(this), "PickerFolder", "Look in");
        list_ = Named(new QListWidget(this), "PickerList", "Folders and files");
        nameEdit_ = Named(new QLineEdit(this), "PickerName", "File name");
        typeCombo_ = Named(new QComboBox(this), "PickerType", "Files of type");
        typeCombo_->addItem(filter_.sDescription);
        typeCombo_->setToolTip(filter_.sPatterns);
        typeCombo_->setAccessibleDescription(filter_.sPatterns);
        message_ = new StatusLine(this);
        message_->setObjectName(QStringLiteral("PickerMessage"));
        message_->setWordWrap(true);
        message_->setTextFormat(Qt::PlainText);
        message_->hide();

        auto* buttons = new QDialogButtonBox(this);
        openButton_ = buttons->addButton(QStringLiteral("&Open"), QDialogButtonBox::AcceptRole);
        openButton_->setObjectName(QStringLiteral("PickerOpen"));
        openButton_->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
        openButton_->setDefault(true);
        QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
        cancel->setObjectName(QStringLiteral("PickerCancel"));

        auto* grid = new QGridLayout(this);
        grid->addWidget(Buddy("Look &in:", folderEdit_), 0, 0);
        grid->addWidget(folderEdit_, 0, 1);
        grid->addWidget(list_, 1, 0, 1, 2);
        grid->addWidget(Buddy("File &name:", nameEdit_), 2, 0);
        grid->addWidget(nameEdit_, 2, 1);
        grid->addWidget(Buddy("Files of &type:", typeCombo_), 3, 0);
        grid->addWidget(typeCombo_, 3, 1);
        grid->addWidget(message_, 4, 0, 1, 2);
        grid->addWidget(buttons, 5, 0, 1, 2);
        QWidget* const order[] = {folderEdit_, list_, nameEdit_, typeCombo_, openButton_, cancel};
        for (size_t i = 1; i < std::size(order); ++i) {
            setTabOrder(order[i - 1], order[i]);
        }

        // Enter anywhere presses Open, which acts on what has the focus (see OpenClicked).
        connect(openButton_, &QPushButton::clicked, this, [this] { OpenClicked(); });
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
        connect(list_, &QListWidget::itemDoubleClicked, this,
                [this](QListWidgetItem* item) { ActOn(item); });
        connect(list_, &QListWidget::currentItemChanged, this,
                [this](QListWidgetItem* item) { Mirror(item); });

        resize(560, 380);
        if (!Enter(CurrentFolder())) {
            Enter(QStringLiteral("/"));
        }
        nameEdit_->setFocus(Qt::OtherFocusReason);
    }

    // The full path chosen, in the lossless decoding.
    QString Chosen() const { return sChosen_; }

private:
    enum Role { kNameRole = Qt::UserRole, kKindRole };

    template <typename W>
    W* Named(W* widget, const char* objectName, const char* accessibleName) {
        widget->setObjectName(QString::fromLatin1(objectName));
        widget->setAccessibleName(QString::fromLatin1(accessibleName));
        return widget;
    }

    QLabel* Buddy(const char* text, QWidget* widget) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        label->setBuddy(widget);
        return label;
    }

    QString PathOf(const QString& sName) const {
        return sFolder_ == QLatin1String("/") ? u'/' + sName : sFolder_ + u'/' + sName;
    }

    static Kind KindOfPath(const QString& sPath) {
        return KindOf(AT_FDCWD, LocalPath::encode(sPath));
    }

    // Lists sFolder: "..", its folders, then its files that match the filter, each group by name,
    // hidden entries left out. False, with nothing changed, when it can't be read.
    bool Enter(const QString& sFolder) {
        DIR* dir = opendir(LocalPath::encode(sFolder).constData());
        if (dir == nullptr) {
            return false;
        }
        QStringList folders;
        QStringList files;
        while (const dirent* entry = readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name.startsWith('.')) {
                continue;
            }
            const QString sName = LocalPath::decode(name);
            const Kind kind = KindOf(dirfd(dir), name);
            if (kind == Kind::Folder) {
                folders << sName;
            } else if (kind == Kind::File && Matches(sName)) {
                files << sName;
            }
        }
        closedir(dir);
        const auto byShownName = [](const QString& a, const QString& b) {
            return QString::compare(LocalPath::forDisplay(a), LocalPath::forDisplay(b),
                                    Qt::CaseInsensitive) < 0;
        };
        std::sort(folders.begin(), folders.end(), byShownName);
        std::sort(files.begin(), files.end(), byShownName);

        sFolder_ = sFolder;
        sMirrored_.clear();
        folderEdit_->setText(LocalPath::forDisplay(sFolder_));
        const QSignalBlocker blocker(list_);
        list_->clear();
        if (sFolder_ != QLatin1String("/")) {
            AddItem(QStringLiteral(".."), Kind::Folder, QStringLiteral("Parent folder"));
        }
        for (const QString& sName : folders) {
            AddItem(sName, Kind::Folder, QStringLiteral("Folder"));
        }
        for (const QString& sName : files) {
            AddItem(sName, Kind::File, QStringLiteral("File"));
        }
        return true;
    }

    bool Matches(const QString& sName) const {
        const std::u32string name = sName.toStdU32String();
        for (const std::u32string& pattern : filter_.patterns) {
            if (text::wildcardMatch(pattern, name, text::Case::IgnoreAscii)) {
                return true;
            }
        }
        return false;
    }

    void AddItem(const QString& sName, Kind kind, const QString& sKind) {
        auto* item = new QListWidgetItem(
            style()->standardIcon(kind == Kind::Folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon),
            LocalPath::forDisplay(sName), list_);
        item->setData(kNameRole, sName);
        item->setData(kKindRole, static_cast<int>(kind));
        item->setData(Qt::AccessibleDescriptionRole, sKind);
        if (sName == QLatin1String("..")) {
            item->setData(Qt::AccessibleTextRole, sKind);
        }
    }

    // A file that becomes current shows its name in the name field; moving on to a folder takes
    // that name out again, but never what the user typed.
    void Mirror(QListWidgetItem* item) {
        const bool bFile = item != nullptr && item->data(kKindRole).toInt() == int(Kind::File);
        if (bFile) {
            sMirrored_ = item->data(kNameRole).toString();
            nameEdit_->setText(item->text());
        } else if (!sMirrored_.isEmpty() &&
                   nameEdit_->text() == LocalPath::forDisplay(sMirrored_)) {
            sMirrored_.clear();
            nameEdit_->clear();
        }
    }

    // Open, by the Open button or Enter: the folder field opens its path (a folder, or a file);
    // the list opens its current entry; otherwise the name field's name (or path) is opened, and
    // with no name the list's current entry.
    void OpenClicked() {
        ShowMessage(QString());
        if (focusWidget() == folderEdit_) {
            const QString sTyped = folderEdit_->text();
            OpenPath(
                sTyped == LocalPath::forDisplay(sFolder_) ? sFolder_ : CleanPath(sFolder_, sTyped),
                sTyped);
            return;
        }
        QListWidgetItem* current = list_->currentItem();
        if (current != nullptr && (focusWidget() == list_ || nameEdit_->text().isEmpty())) {
            ActOn(current);
            return;
        }
        const QString sTyped = nameEdit_->text();
        if (sTyped.isEmpty()) {
            return;
        }
        // A name taken from the list keeps its exact bytes, which its shown form may have lost.
        const QString sName = !sMirrored_.isEmpty() && sTyped == LocalPath::forDisplay(sMirrored_)
                                  ? sMirrored_
                                  : sTyped;
        OpenPath(CleanPath(sFolder_, sName), sTyped);
    }

    void ActOn(QListWidgetItem* item) {
        ShowMessage(QString());
        const QString sName = item->data(kNameRole).toString();
        OpenPath(CleanPath(sFolder_, sName), item->text());
    }

    // A folder is entered, an existing file chosen; anything else is refused with a message and
    // the dialog stays.
    void OpenPath(const QString& sPath, const QString& sShown) {
        const Kind kind = KindOfPath(sPath);
        switch (kind) {
            case Kind::Folder:
                if (Enter(sPath)) {
                    nameEdit_->clear();
                    if (focusWidget() == list_ && list_->count() > 0) {
                        list_->setCurrentRow(0);
                    }
                } else {
                    ShowMessage(QStringLiteral("The folder '%1' can't be opened.")
                                    .arg(LocalPath::forDisplay(sShown)));
                }
                break;
            case Kind::File:
                sChosen_ = sPath;
                accept();
                break;
            case Kind::None:
            case Kind::Other:
                ShowMessage(
                    (kind == Kind::Other
                         ? QStringLiteral("'%1' is not a regular file and can't be opened.")
                         : QStringLiteral("'%1' was not found. Check the file name and try again."))
                        .arg(LocalPath::forDisplay(sShown)));
                if (focusWidget() != folderEdit_) {
                    nameEdit_->setFocus(Qt::OtherFocusReason);
                    nameEdit_->selectAll();
                }
                break;
        }
    }

    void ShowMessage(const QString& sText) {
        message_->setVisible(!sText.isEmpty());
        if (!sText.isEmpty()) {
            message_->SetStatus(sText);
        }
    }

    const Filter filter_;
    QLineEdit* folderEdit_;
    QListWidget* list_;
    QLineEdit* nameEdit_;
    QComboBox* typeCombo_;
    StatusLine* message_;
    QPushButton* openButton_;
    QString sFolder_;
    QString sMirrored_;
    QString sChosen_;
};

class PickerFileDialog final : public FileDialog {
public:
    QString GetOpenFileName(QWidget* owner, const QString& sFilter) override {
        // A fresh dialog each time: an empty file name, starting in the current folder.
        OpenDialog dialog(owner, sFilter);
        return dialog.exec() == QDialog::Accepted ? dialog.Chosen() : QString();
    }
};

}  // namespace

FileDialog& realFileDialog() {
    static PickerFileDialog dialog;
    return dialog;
}

QString ShowOpen(FileDialog& dialog, QWidget* owner) {
    try {
        return dialog.GetOpenFileName(owner, QString::fromUtf8(kFilter));
    } catch (...) {
        // A dialog that fails counts as cancelled.
        return QString();
    }
}

}  // namespace modFileOpen

// The installer's Open dialog as a user meets it: the real dialog on a folder tree of every kind
// of entry, driven by keys typed into its fields and by clicks on its list, each case a script.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "LocalPath.h"
#include "TestSupport.h"
#include "modFileOpen.h"

namespace {

// Names that are not UTF-8: a module file and a folder holding one.
const std::string kCafe = "caf\xe9.dct";
const std::string kDeja = "d\xe9j\xe0";
// A module whose path is longer than 260 characters.
const std::string kLong =
    "sub/deeper/" + std::string(120, 'a') + "/" + std::string(150, 'b') + ".bbl";
// The listing of the tree's top folder: "..", folders, then module files, by shown name.
const char* const kTopRows =
    "..|d\uFFFDj\uFFFD|linkdir|locked|sub|Zeta|"
    "alpha.bbl|Beta.DCT|c.Cmt|caf\uFFFD.dct|d.dev|e.map|link.bbl";

// Builds, in root: module files of every ending in mixed case, files the filter leaves out,
// hidden entries, a FIFO, links (to a file, to a folder, dangling), a folder nobody may read and
// names that are not UTF-8.
void MakeTree(const std::string& root) {
    using Names = std::vector<std::string>;
    for (const std::string& folder :
         Names{"sub/deeper/" + std::string(120, 'a'), "Zeta", ".git", "locked", kDeja}) {
        test::makeDir(root + "/" + folder);
    }
    for (const std::string& file :
         Names{"alpha.bbl", "Beta.DCT", "c.Cmt", "d.dev", "e.map", "f.brp", "notes.txt",
               ".hidden.bbl", "sub/inner.BBL", kCafe, kDeja + "/x.bbl", kLong}) {
        test::writeFile(root + "/" + file, "module");
    }
    ASSERT_EQ(mkfifo((root + "/pipe.bbl").c_str(), 0600), 0);
    ASSERT_EQ(symlink("alpha.bbl", (root + "/link.bbl").c_str()), 0);
    ASSERT_EQ(symlink("sub", (root + "/linkdir").c_str()), 0);
    ASSERT_EQ(symlink("missing.bbl", (root + "/dangling.bbl").c_str()), 0);
    ASSERT_EQ(chmod((root + "/locked").c_str(), 0), 0);
}

// The dialog's parts, found by object name.
struct Picker {
    QWidget* dialog;
    QLineEdit* folder;
    QListWidget* list;
    QLineEdit* name;
    QLabel* message;
    QPushButton* cancel;

    explicit Picker(QWidget* d)
        : dialog(d),
          folder(d->findChild<QLineEdit*>("PickerFolder")),
          list(d->findChild<QListWidget*>("PickerList")),
          name(d->findChild<QLineEdit*>("PickerName")),
          message(d->findChild<QLabel*>("PickerMessage")),
          cancel(d->findChild<QPushButton*>("PickerCancel")) {}

    static void Key(QWidget* widget, int key, Qt::KeyboardModifiers mods = Qt::NoModifier,
                    const QString& text = QString()) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, key, mods, text);
        QApplication::sendEvent(widget, &release);
    }

    // Clicks into the field, selects what it holds and types text over it.
    static void Type(QLineEdit* field, const QString& text) {
        field->setFocus(Qt::MouseFocusReason);
        Key(field, Qt::Key_A, Qt::ControlModifier);
        for (const QChar c : text) {
            Key(field, Qt::Key_unknown, Qt::NoModifier, QString(c));
        }
    }

    // Moves the list's current entry to row by arrow keys.
    void Select(int row) {
        list->setFocus(Qt::TabFocusReason);
        Key(list, Qt::Key_Home);
        for (int i = 0; i < row; ++i) {
            Key(list, Qt::Key_Down);
        }
    }

    void DoubleClick(int row) {
        QListWidgetItem* item = list->item(row);
        ASSERT_NE(item, nullptr);
        list->scrollToItem(item);
        const QPointF at = list->visualItemRect(item).center();
        const QPointF global = list->viewport()->mapToGlobal(at);
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                        QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
            const Qt::MouseButtons held =
                type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
            QMouseEvent event(type, at, global, Qt::LeftButton, held, Qt::NoModifier);
            QApplication::sendEvent(list->viewport(), &event);
        }
    }

    QString Rows() const {
        QStringList rows;
        for (int i = 0; i < list->count(); ++i) {
            rows << list->item(i)->text();
        }
        return rows.join(u'|');
    }
};

// One case: the steps a user takes and the bytes of the path the dialog returns ("" when
// cancelled). In steps and results "$" stands for the tree's root. Steps:
//   folder=TEXT  types TEXT into "Look in" and presses Enter    name=TEXT  the same in "File name"
//   type=TEXT    types TEXT into "File name" without Enter      select=N   arrows to row N
//   row=N        arrows to row N and presses Enter              dbl=N      double-clicks row N
//   enter        presses Enter in "File name"                   esc, cancel
//   ?rows=A|B    the list shows these rows                      ?folder=, ?name=  a field's text
//   ?current=N   the list's current row                         ?message=TEXT, ?nomessage
struct Case {
    const char* what;
    std::vector<std::string> steps;
    std::string chosen;
    const char* start = "";  // the current folder at the start, below the root ("gone": removed)
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.what;
}

const std::vector<Case> kCases = {
    {"lists folders then module files, starts in the current folder, Escape cancels",
     {std::string("?rows=") + kTopRows, "?folder=$", "?name=", "?nomessage", "esc"},
     ""},
    {"a typed name", {"name=alpha.bbl"}, "$/alpha.bbl"},
    {"a typed absolute path", {"name=$/sub/inner.BBL"}, "$/sub/inner.BBL"},
    {"a typed relative path with . and ..", {"name=sub/./deeper/..//inner.BBL"}, "$/sub/inner.BBL"},
    {"any existing regular file, listed or not", {"name=notes.txt"}, "$/notes.txt"},
    {"a hidden file by its name", {"name=.hidden.bbl"}, "$/.hidden.bbl"},
    {"a link to a file, by the link's path", {"name=link.bbl"}, "$/link.bbl"},
    {"a missing name: a message, the dialog stays, the next try counts",
     {"name=missing.dct", "?message='missing.dct' was not found.", "?name=missing.dct",
      "name=d.dev"},
     "$/d.dev"},
    {"a FIFO, a device and a dangling link are refused, each with its reason",
     {"name=pipe.bbl", "?message='pipe.bbl' is not a regular file", "name=/dev/null",
      "?message='/dev/null' is not a regular file", "name=dangling.bbl",
      "?message='dangling.bbl' was not found.", "cancel"},
     ""},
    {"a folder typed as the name is entered, Enter on a file row picks it",
     {"name=sub", "?folder=$/sub", "?rows=..|deeper|inner.BBL", "?name=", "?nomessage", "row=2"},
     "$/sub/inner.BBL"},
    {"Look in takes folders (relative, .., absolute, /) and a file",
     {"folder=sub", "?folder=$/sub", "folder=..", "?folder=$", "folder=/", "?folder=/",
      "folder=$/sub/inner.BBL"},
     "$/sub/inner.BBL"},
    {"Look in with a missing folder: a message, the dialog stays",
     {"folder=nowhere", "?message='nowhere' was not found.", "folder=$", "?nomessage",
      std::string("?rows=") + kTopRows, "esc"},
     ""},
    {"Enter on a folder row enters it and keeps the exact bytes of its name",
     {"row=1", "?folder=$/d\uFFFDj\uFFFD", "?rows=..|x.bbl", "?current=0", "row=1"},
     "$/" + kDeja + "/x.bbl"},
    {"double-clicks enter folders, go up and pick a file by its exact bytes",
     {"dbl=4", "?folder=$/sub", "dbl=0", "?folder=$", "dbl=9"},
     "$/" + kCafe},
    {"a file row selected by arrows fills the name, Enter there picks its exact bytes",
     {"select=9", "?name=caf\uFFFD.dct", "enter"},
     "$/" + kCafe},
    {"moving on to a folder takes a selected file's name out, never a typed one",
     {"select=7", "?name=Beta.DCT", "select=4", "?name=", "type=zzz", "select=3", "?name=zzz",
      "cancel"},
     ""},
    {"a link to a folder is entered under its own path",
     {"dbl=2", "?folder=$/linkdir", "?rows=..|deeper|inner.BBL", "esc"},
     ""},
    {"a path longer than 260 characters", {"name=$/" + kLong}, "$/" + kLong},
    {"starts in a folder below the root when that is the current one",
     {"?folder=$/sub", "enter", "?folder=$/sub", "row=2"},
     "$/sub/inner.BBL",
     "sub"},
    {"starts in / when the current folder is gone", {"?folder=/", "esc"}, "", "gone"},
};

// A folder nobody may read gives its own message (root may read anything).
const Case kLockedCase = {
    "a folder that can't be read: a message, the dialog stays",
    {"name=locked", "?message=The folder 'locked' can't be opened.", "?folder=$", "esc"},
    ""};

class FilePickerTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        char* real = realpath(dir_.str().c_str(), nullptr);
        ASSERT_NE(real, nullptr);
        root_ = real;
        free(real);
        MakeTree(root_);
        char* cwd = getcwd(nullptr, 0);
        ASSERT_NE(cwd, nullptr);
        saved_ = cwd;
        free(cwd);
    }
    void TearDown() override {
        chmod((root_ + "/locked").c_str(), 0700);
        EXPECT_EQ(chdir(saved_.c_str()), 0);
    }

    std::string Expand(const std::string& text) const {
        std::string out;
        for (const char c : text) {
            out += c == '$' ? root_ : std::string(1, c);
        }
        return out;
    }

    // Runs the case's steps in the real dialog; the bytes of the path it returned.
    std::string Run(const Case& c) {
        const std::string start = c.start;
        if (start == "gone") {
            test::makeDir(root_ + "/gone");
            EXPECT_EQ(chdir((root_ + "/gone").c_str()), 0);
            EXPECT_EQ(rmdir((root_ + "/gone").c_str()), 0);
        } else {
            EXPECT_EQ(chdir((root_ + "/" + start).c_str()), 0);
        }
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            ASSERT_NE(dialog, nullptr);
            Picker picker(dialog);
            ASSERT_TRUE(picker.folder && picker.list && picker.name && picker.message &&
                        picker.cancel);
            for (const std::string& step : c.steps) {
                SCOPED_TRACE(step);
                Do(picker, step);
                if (::testing::Test::HasFatalFailure()) {
                    return;
                }
            }
        });
        // A failed step leaves the dialog open: close it rather than hang. The timer ends with
        // the run, so it can't reach another case's dialog.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                dialog->close();
            }
        });
        guard.start(5000);
        const QString chosen = modFileOpen::ShowOpen(modFileOpen::realFileDialog(), nullptr);
        return LocalPath::encode(chosen).toStdString();
    }

    void Do(Picker& p, const std::string& step) {
        const size_t eq = step.find('=');
        const std::string op = step.substr(0, eq);
        const std::string arg = eq == std::string::npos ? "" : Expand(step.substr(eq + 1));
        const QString text = QString::fromStdString(arg);
        if (op == "folder" || op == "name" || op == "type") {
            Picker::Type(op == "folder" ? p.folder : p.name, text);
            if (op != "type") {
                Picker::Key(op == "folder" ? p.folder : p.name, Qt::Key_Return);
            }
        } else if (op == "select" || op == "row") {
            p.Select(std::stoi(arg));
            if (op == "row") {
                Picker::Key(p.list, Qt::Key_Return);
            }
        } else if (op == "dbl") {
            p.DoubleClick(std::stoi(arg));
        } else if (op == "enter") {
            p.name->setFocus(Qt::MouseFocusReason);
            Picker::Key(p.name, Qt::Key_Return);
        } else if (op == "esc") {
            QWidget* focus = p.dialog->focusWidget();
            Picker::Key(focus != nullptr ? focus : p.dialog, Qt::Key_Escape);
        } else if (op == "cancel") {
            p.cancel->click();
        } else if (op == "?rows") {
            EXPECT_EQ(p.Rows(), text);
        } else if (op == "?folder") {
            EXPECT_EQ(p.folder->text(), text);
        } else if (op == "?name") {
            EXPECT_EQ(p.name->text(), text);
        } else if (op == "?current") {
            EXPECT_EQ(p.list->currentRow(), std::stoi(arg));
        } else if (op == "?message") {
            EXPECT_TRUE(p.message->isVisible());
            EXPECT_TRUE(p.message->text().startsWith(text)) << p.message->text().toStdString();
        } else if (op == "?nomessage") {
            EXPECT_FALSE(p.message->isVisible()) << p.message->text().toStdString();
        } else {
            FAIL() << "unknown step " << step;
        }
    }

    test::TempDir dir_;
    std::string root_;
    std::string saved_;
};

TEST_P(FilePickerTest, AsAUserMeetsIt) {
    const Case& c = GetParam();
    EXPECT_EQ(Run(c), Expand(c.chosen));
}

INSTANTIATE_TEST_SUITE_P(Cases, FilePickerTest, ::testing::ValuesIn(kCases));

TEST_F(FilePickerTest, AFolderThatCannotBeRead) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every folder";
    }
    EXPECT_EQ(Run(kLockedCase), Expand(kLockedCase.chosen));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

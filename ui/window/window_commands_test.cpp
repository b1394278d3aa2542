// The window's five commands, driven through the real widgets, with the list
// and settings files in a temporary program folder.
#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/fixtures/program_copy.h"
#include "ui/frmMain.h"
#include "ui/window/application.h"
#include "ui/window/main_window.h"
#include "ui/window/test_support.h"
#include "ui/window/widget_controls.h"

using Strings = std::vector<std::string>;

class WindowCommandsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ProgramFolderForTest> folder_;
  std::unique_ptr<MainWindow> window_;

  // Loads the data files as a start would and shows a new window over them.
  void Open() {
    window_.reset();
    frmMain::Unload();
    frmMain::Instance().LoadData();
    window_ = std::make_unique<MainWindow>(frmMain::Instance());
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  template <typename T = QWidget>
  T* Control(const char* name) {
    T* control = window_->findChild<T*>(QString::fromUtf8(name));
    if (control == nullptr) qFatal("no control named %s", name);
    return control;
  }

  void Click(const char* button) { QTest::mouseClick(Control(button), Qt::LeftButton); }

  Strings ShownRows() { return Rows(Control("lstFiles")); }

  // The entries Files holds, read through the window object.
  Strings Entries() {
    Strings entries;
    clsFiles& files = frmMain::Instance().Files();
    const int upper = std::stoi(files.Count());
    for (int i = 0; i <= upper; ++i) entries.push_back(files.File(i));
    return entries;
  }

  // Answers the Add file dialog: with `text`, or Cancel when `text` is null.
  // Returns the dialog's title and prompt.
  QString AddFileAnswering(const char* text) {
    QString seen;
    AnswerNextModal([&](QWidget* modal) {
      auto* dialog = qobject_cast<QInputDialog*>(modal);
      if (dialog == nullptr) return;
      seen = dialog->windowTitle() + "|" + dialog->labelText() + "|" + dialog->textValue();
      if (text != nullptr) {
        dialog->setTextValue(QString::fromUtf8(text));
        dialog->accept();
      } else {
        dialog->reject();
      }
    });
    Click("cmdAddFile");
    return seen;
  }

  // Starts over with `rows` in the list file.
  void OpenWith(const Strings& rows) {
    fwtest::WriteFile(folder_->Path("Files.dat"), fwtest::ListFileBytes(rows));
    Open();
  }

  // Clicks row `row` of the list as the user would, with `modifiers` held
  // (Ctrl adds or takes away one row). The click also gives the list the focus.
  void ClickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    auto* list = Control<QListWidget>("lstFiles");
    QWidget* viewport = list->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, modifiers,
                      list->visualItemRect(list->item(row)).center());
  }

  // Presses Delete in the list, which has the keyboard focus in an active
  // window, as after a click on one of its rows.
  void PressDelete() {
    auto* list = Control<QListWidget>("lstFiles");
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    list->setFocus();
    QTRY_VERIFY(list->hasFocus());
    QTest::keyClick(list, Qt::Key_Delete);
  }

  std::vector<int> SelectedRows() {
    auto* list = Control<QListWidget>("lstFiles");
    std::vector<int> rows;
    for (int row = 0; row < list->count(); ++row) {
      if (list->item(row)->isSelected()) rows.push_back(row);
    }
    return rows;
  }

  int CurrentRow() { return Control<QListWidget>("lstFiles")->currentRow(); }

  // The title and text of the message box `command` shows, answered by
  // `answer` (closed when there is none).
  std::pair<QString, QString> BoxShownBy(const std::function<void()>& command,
                                         const std::function<void(QMessageBox*)>& answer = {}) {
    std::pair<QString, QString> shown;
    AnswerNextModal([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (box == nullptr) return;
      shown = {box->windowTitle(), box->text()};
      if (answer) {
        answer(box);
      } else {
        box->close();
      }
    });
    command();
    return shown;
  }

  // The text of the error box `command` shows; it must show one.
  QString ErrorBoxOf(const std::function<void()>& command) { return BoxShownBy(command).second; }

 private slots:
  void init() {
    folder_ = std::make_unique<ProgramFolderForTest>();
    fwtest::WriteFile(folder_->Path("Files.dat"), fwtest::ListFileBytes({"a", "b", "c", "d"}));
    Open();
  }

  void cleanup() {
    window_.reset();
    folder_.reset();
  }

  void addFileAppendsTheAnswer() {
    const QString seen = AddFileAnswering("http://h/a.txt");
    QCOMPARE(seen, QStringLiteral("Fetchwell|Write the URL to the file to be downloaded|"));
    const Strings expected = {"a", "b", "c", "d", "http://h/a.txt"};
    QCOMPARE(ShownRows(), expected);
    QCOMPARE(Entries(), expected);

    // An answer of spaces is an entry like any other.
    AddFileAnswering("   ");
    QCOMPARE(ShownRows().back(), std::string("   "));
  }

  void addFileCancelledOrEmptyAddsNothingButRedraws() {
    // A row the list box shows but Files lacks is gone after the redraw.
    Control<QListWidget>("lstFiles")->addItem(QStringLiteral("stray"));
    QVERIFY(AddFileAnswering(nullptr).startsWith(QStringLiteral("Fetchwell|")));
    QCOMPARE(ShownRows(), (Strings{"a", "b", "c", "d"}));

    AddFileAnswering("");
    QCOMPARE(ShownRows(), (Strings{"a", "b", "c", "d"}));
    QCOMPARE(Entries(), (Strings{"a", "b", "c", "d"}));
  }

  void removeFileRemovesTheSelectedRows() {
    auto* list = Control<QListWidget>("lstFiles");
    list->item(1)->setSelected(true);
    list->item(2)->setSelected(true);
    Click("cmdRemoveFile");
    QCOMPARE(ShownRows(), (Strings{"a", "d"}));
    QCOMPARE(Entries(), (Strings{"a", "d"}));

    // Nothing selected: nothing changes.
    list->clearSelection();
    Click("cmdRemoveFile");
    QCOMPARE(ShownRows(), (Strings{"a", "d"}));
    QCOMPARE(Entries(), (Strings{"a", "d"}));
  }

  void everyRowShowsItsFullUrlAsItsTooltip() {
    const std::string long_url = "https://downloads.example.org/" + std::string(600, 'x') +
                                 "/archive-2024.tar.gz?token=" + std::string(300, '7');
    OpenWith({"http://h/a.txt", long_url, "ftp://h/caf\xC3\xA9.iso"});
    AddFileAnswering("https://example.org/added.pdf");
    const Strings expected = {"http://h/a.txt", long_url, "ftp://h/caf\xC3\xA9.iso",
                              "https://example.org/added.pdf"};
    QCOMPARE(ShownRows(), expected);

    auto* list = Control<QListWidget>("lstFiles");
    for (int row = 0; row < list->count(); ++row) {
      const QString url = QString::fromStdString(expected[static_cast<std::size_t>(row)]);
      QCOMPARE(list->item(row)->data(Qt::ToolTipRole).toString(), url);
    }

    // Hovering the long row shows its whole URL, though the row cuts it short.
    const QRect rect = list->visualItemRect(list->item(1));
    QVERIFY(rect.width() < list->fontMetrics().horizontalAdvance(list->item(1)->text()));
    QHelpEvent hover(QEvent::ToolTip, rect.center(), list->viewport()->mapToGlobal(rect.center()));
    QApplication::sendEvent(list->viewport(), &hover);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QString::fromStdString(long_url));
    QToolTip::hideText();

    // A URL that looks like markup shows as its own text.
    const std::string markup = "http://h/<b>bold</b><img src=x>.html";
    AddFileAnswering(markup.c_str());
    QTextDocument shown;
    shown.setHtml(list->item(list->count() - 1)->data(Qt::ToolTipRole).toString());
    QCOMPARE(shown.toPlainText(), QString::fromStdString(markup));

    // Rows drawn again after a removal carry their own URLs, not the old rows'.
    ClickRow(0);
    Click("cmdRemoveFile");
    for (int row = 0; row < list->count() - 1; ++row) {
      QCOMPARE(list->item(row)->data(Qt::ToolTipRole).toString(), list->item(row)->text());
    }
  }

  void deleteKeyWalksDownTheList() {
    OpenWith({"u0", "u1", "u2", "u3", "u4"});
    ClickRow(1);
    PressDelete();
    QCOMPARE(ShownRows(), (Strings{"u0", "u2", "u3", "u4"}));
    QCOMPARE(SelectedRows(), std::vector<int>{1});
    QCOMPARE(CurrentRow(), 1);
    PressDelete();
    QCOMPARE(ShownRows(), (Strings{"u0", "u3", "u4"}));
    QCOMPARE(SelectedRows(), std::vector<int>{1});
    PressDelete();
    QCOMPARE(ShownRows(), (Strings{"u0", "u4"}));
    QCOMPARE(Entries(), (Strings{"u0", "u4"}));
    QCOMPARE(SelectedRows(), std::vector<int>{1});
    QCOMPARE(CurrentRow(), 1);
  }

  void deletingTheLastRowSelectsTheNewLastUntilTheListIsEmpty() {
    ClickRow(3);
    PressDelete();
    QCOMPARE(ShownRows(), (Strings{"a", "b", "c"}));
    QCOMPARE(SelectedRows(), std::vector<int>{2});
    QCOMPARE(CurrentRow(), 2);
    PressDelete();
    PressDelete();
    QCOMPARE(ShownRows(), Strings{"a"});
    QCOMPARE(SelectedRows(), std::vector<int>{0});
    PressDelete();
    QCOMPARE(ShownRows(), Strings{});
    QCOMPARE(Entries(), Strings{});
    QCOMPARE(CurrentRow(), -1);
  }

  void deleteThatSelectsNothingOrIsElsewhereChangesNothing() {
    // A click and a Ctrl+click on the same row: it is the current row, unselected.
    ClickRow(2);
    ClickRow(2, Qt::ControlModifier);
    QCOMPARE(CurrentRow(), 2);
    PressDelete();
    QCOMPARE(ShownRows(), (Strings{"a", "b", "c", "d"}));
    QCOMPARE(Entries(), (Strings{"a", "b", "c", "d"}));
    QCOMPARE(SelectedRows(), std::vector<int>{});
    QCOMPARE(CurrentRow(), 2);

    // In the folder box, Delete deletes a character and leaves the selected row.
    ClickRow(1);
    auto* path = Control<QLineEdit>("txtPath");
    path->setText(QStringLiteral("/srv"));
    path->setFocus();
    path->setCursorPosition(0);
    QTest::keyClick(path, Qt::Key_Delete);
    QCOMPARE(path->text(), QStringLiteral("srv"));
    QCOMPARE(ShownRows(), (Strings{"a", "b", "c", "d"}));
    QCOMPARE(SelectedRows(), std::vector<int>{1});
  }

  void deleteReportsErrorsAsRemoveFileDoes() {
    // A row the list box shows but Files lacks cannot be removed: error 9, and
    // nothing is removed, by the key as by the button.
    auto* list = Control<QListWidget>("lstFiles");
    list->addItem(QStringLiteral("stray"));
    ClickRow(1);
    ClickRow(4, Qt::ControlModifier);
    const QString by_key = ErrorBoxOf([this] { PressDelete(); });
    QVERIFY2(by_key.startsWith(QStringLiteral("Error 9: ")), qPrintable(by_key));
    QCOMPARE(ErrorBoxOf([this] { Click("cmdRemoveFile"); }), by_key);
    QCOMPARE(ShownRows(), (Strings{"a", "b", "c", "d", "stray"}));
    QCOMPARE(Entries(), (Strings{"a", "b", "c", "d"}));
    QCOMPARE(SelectedRows(), (std::vector<int>{1, 4}));
  }

  void removingSeveralRowsSelectsTheRowAfterTheLastRemoved() {
    OpenWith({"r0", "r1", "r2", "r3", "r4", "r5"});
    // Rows apart: the follower of r3 is r4, now at 2.
    ClickRow(1);
    ClickRow(3, Qt::ControlModifier);
    Click("cmdRemoveFile");
    QCOMPARE(ShownRows(), (Strings{"r0", "r2", "r4", "r5"}));
    QCOMPARE(SelectedRows(), std::vector<int>{2});
    QCOMPARE(CurrentRow(), 2);

    // A run chosen with Shift, by the key: r0 to r2 go, r4 follows at 0.
    ClickRow(0);
    ClickRow(1, Qt::ShiftModifier);
    PressDelete();
    QCOMPARE(ShownRows(), (Strings{"r4", "r5"}));
    QCOMPARE(SelectedRows(), std::vector<int>{0});
    QCOMPARE(CurrentRow(), 0);

    // The last row among those removed: no row follows, the new last is chosen.
    OpenWith({"r0", "r1", "r2", "r3", "r4", "r5"});
    ClickRow(0);
    ClickRow(2, Qt::ControlModifier);
    ClickRow(5, Qt::ControlModifier);
    PressDelete();
    QCOMPARE(ShownRows(), (Strings{"r1", "r3", "r4"}));
    QCOMPARE(SelectedRows(), std::vector<int>{2});
    QCOMPARE(CurrentRow(), 2);
  }

  void clearAllThenSaveWritesAnEmptyList() {
    Click("cmdClearAll");
    QCOMPARE(ShownRows(), Strings{});
    Click("cmdSave");
    QCOMPARE(fwtest::ReadFile(folder_->Path("Files.dat")), std::string(4, '\xFF'));
  }

  void savedRowsAndFolderComeBackOnTheNextStart() {
    AddFileAnswering("https://example.org/r.pdf");
    Control<QListWidget>("lstFiles")->item(0)->setSelected(true);
    Click("cmdRemoveFile");
    auto* path = Control<QLineEdit>("txtPath");
    path->clear();
    QTest::keyClicks(path, QStringLiteral("/srv/snapshots "));
    path->insert(QStringLiteral("é"));
    Click("cmdSave");

    Open();
    QCOMPARE(ShownRows(), (Strings{"b", "c", "d", "https://example.org/r.pdf"}));
    QCOMPARE(Control<QLineEdit>("txtPath")->text(), QStringLiteral("/srv/snapshots é"));
    QVERIFY(fwtest::ReadFile(folder_->Path("Settings.inf")).find("FolderPath=/srv/snapshots é") !=
            std::string::npos);
  }

  void exitAndCloseSaveNothing() {
    const std::string settings = "[General]\nFolderPath=/old\n";
    fwtest::WriteFile(folder_->Path("Settings.inf"), settings);
    const std::string list = fwtest::ReadFile(folder_->Path("Files.dat"));

    for (const bool by_exit : {true, false}) {
      window_.reset();
      frmMain::Unload();
      frmMain::Instance().LoadData();
      // The window's own run: shown until Exit or the close control ends it,
      // then the window object is unloaded. Meanwhile, edit and leave.
      bool edited = false;
      QTimer::singleShot(0, qApp, [&] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
          auto* shown = dynamic_cast<MainWindow*>(top);
          if (shown == nullptr || !shown->isVisible()) continue;
          shown->findChild<QLineEdit*>(QStringLiteral("txtPath"))->setText(QStringLiteral("/new"));
          QTest::mouseClick(shown->findChild<QPushButton*>(QStringLiteral("cmdClearAll")),
                            Qt::LeftButton);
          edited = true;
          if (by_exit) {
            QTest::mouseClick(shown->findChild<QPushButton*>(QStringLiteral("cmdExit")),
                              Qt::LeftButton);
          } else {
            shown->close();
          }
        }
      });
      RunMainWindow(frmMain::Instance());
      QVERIFY(edited);
      QVERIFY(!frmMain::Loaded());
      QCOMPARE(fwtest::ReadFile(folder_->Path("Settings.inf")), settings);
      QCOMPARE(fwtest::ReadFile(folder_->Path("Files.dat")), list);
    }
  }

  void failedSaveShowsTheErrorAndKeepsTheEdits() {
    AddFileAnswering("http://h/kept.zip");
    Control<QLineEdit>("txtPath")->setText(QStringLiteral("/typed"));
    // A folder where the list file should be: it cannot be replaced, even by root.
    std::filesystem::remove(folder_->Path("Files.dat"));
    std::filesystem::create_directory(folder_->Path("Files.dat"));

    const auto [title, text] = BoxShownBy([&] { Click("cmdSave"); });
    QCOMPARE(title, QStringLiteral("Fetchwell"));
    QVERIFY2(text.startsWith(QStringLiteral("Error 75: ")) && text.contains("Files.dat"),
             qPrintable(text));

    QVERIFY(window_->isVisible());
    QCOMPARE(ShownRows(), (Strings{"a", "b", "c", "d", "http://h/kept.zip"}));
    QCOMPARE(Control<QLineEdit>("txtPath")->text(), QStringLiteral("/typed"));
    QCOMPARE(fwtest::ReadFile(folder_->Path("Settings.inf")), std::string("<missing>"));

    // Once the obstacle is gone, the same edits save.
    std::filesystem::remove(folder_->Path("Files.dat"));
    Click("cmdSave");
    QCOMPARE(fwtest::ReadFile(folder_->Path("Files.dat")),
             fwtest::ListFileBytes({"a", "b", "c", "d", "http://h/kept.zip"}));
  }

  // Another program adds to the list while the window has it: Save asks
  // first. No keeps the window, its edits and the other program's list; Yes
  // replaces that list. The lock makes no file of its own.
  void saveAsksBeforeReplacingAListChangedElsewhere() {
    const fwtest::ProgramCopy program(false);
    frmMain::UseProgramFolder(program.Folder().Path());
    fwtest::WriteFile(program / "Files.dat", fwtest::ListFileBytes({"a", "b"}));
    Open();
    AddFileAnswering("http://h/mine");
    QCOMPARE(program.Run({"--add", "http://h/theirs"}).status, 0);

    const Strings mine = {"a", "b", "http://h/mine"};
    for (const bool replace : {false, true}) {
      const auto [title, text] =
          BoxShownBy([&] { Click("cmdSave"); },
                     [&](QMessageBox* box) {
                       box->button(replace ? QMessageBox::Yes : QMessageBox::No)->click();
                     });
      QCOMPARE(title, QStringLiteral("Fetchwell"));
      QVERIFY2(text.contains(QStringLiteral("changed by another program")), qPrintable(text));
      QVERIFY(window_->isVisible());
      QCOMPARE(ShownRows(), mine);
      QCOMPARE(fwtest::ReadFile(program / "Files.dat"),
               fwtest::ListFileBytes(replace ? mine : Strings{"a", "b", "http://h/theirs"}));
      QCOMPARE(fwtest::ReadFile(program / "Settings.inf") != "<missing>", replace);
    }
    QCOMPARE(program.Folder().Entries(), (Strings{"Files.dat", "Settings.inf", "fetchwell"}));
  }

  void aCommandThatRaisesAnyExceptionShowsTheBoxAndKeepsTheWindow() {
    // The window's list box, seen through a display that raises, once, what it
    // is armed with when it is next cleared, before clearing anything.
    class RaisingList : public ListDisplay {
     public:
      explicit RaisingList(QListWidget* list) : shown_(list) {}
      std::function<void()> armed;
      void Clear() override {
        if (armed) std::exchange(armed, nullptr)();
        shown_.Clear();
      }
      void AddItem(const std::string& item) override { shown_.AddItem(item); }

     private:
      ListWidgetDisplay shown_;
    };
    RaisingList list(Control<QListWidget>("lstFiles"));
    LineEditTextBox text(Control<QLineEdit>("txtPath"));
    frmMain::Instance().AttachControls(&list, &text);
    Control<QLineEdit>("txtPath")->setText(QStringLiteral("/typed"));

    const std::vector<std::pair<std::function<void()>, QString>> cases = {
        {[] { throw std::bad_alloc(); }, QStringLiteral("Error 7: Out of memory")},
        {[] { throw std::runtime_error("no room left"); },
         QStringLiteral("Error 51: Internal error: no room left")},
        {[] { throw 3; }, QStringLiteral("Error 51: Internal error: an exception of unknown type")},
    };
    for (const auto& [raise, expected] : cases) {
      list.armed = raise;
      QString shown;
      AnswerNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr) return;
        shown = box->text();
        box->close();
      });
      Click("cmdClearAll");
      QCOMPARE(shown, expected);
      QVERIFY(window_->isVisible());
      QCOMPARE(ShownRows(), (Strings{"a", "b", "c", "d"}));
      QCOMPARE(Control<QLineEdit>("txtPath")->text(), QStringLiteral("/typed"));
    }

    // The window goes on working: the next commands run and save the edits.
    Click("cmdClearAll");
    QCOMPARE(ShownRows(), Strings{});
    Click("cmdSave");
    QCOMPARE(fwtest::ReadFile(folder_->Path("Files.dat")), std::string(4, '\xFF'));
    QVERIFY(fwtest::ReadFile(folder_->Path("Settings.inf")).find("FolderPath=/typed") !=
            std::string::npos);
    // The window hands its controls back to these when it closes.
    window_.reset();
  }

  void folderBytesThatAreNotUtf8SurviveUntilEdited() {
    QLineEdit edit;
    LineEditTextBox box(&edit);
    const std::string latin1 = "/data/caf\xE9";
    box.SetText(latin1);
    QCOMPARE(box.Text(), latin1);
    edit.setText(edit.text() + "/x");
    QCOMPARE(box.Text(), edit.text().toStdString());
  }
};

QTEST_MAIN(WindowCommandsTest)
#include "window_commands_test.moc"

// The window's commands at scale, driven as a user drives them: the real
// main window on the display the environment names (bench/window.sh runs it
// under Xvfb with a window manager), controls set with QTest key and mouse
// events, the command button clicked, every message box and the Save As
// dialog answered by pressing their buttons as they show. Prints the wall
// seconds from the click until the window is idle and painted again (the
// best of --repeat runs), one line per command:
//
//   window <command> <seconds> <rows>
//
//   ambrelic_window_bench COMMAND [--name TEXT] [--drive N] [--to PATH]
//                         [--repeat N] [--rows FILE] SOURCE...
//   COMMAND: search | search-vacant | scan-all | restore | wipe
//     search         the search, the vacant-cluster question answered No
//     search-vacant  the search, the question answered Yes
//     scan-all       "Scan de tous les groupes", the question answered Yes
//     restore        the search (No), every row selected, "Restauration"
//                    into the new folder PATH (removed first); the time is
//                    the search's and the restore's together
//     wipe           "Supprimer Complètement", both confirmations and the
//                    question about deleted entries answered Yes
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/text.h"
#include "ui/qt/main_window.h"

namespace {

using ambrelic::ui::qt::MainWindow;

// Answers the boxes and the Save As dialog when they show: the answer is
// a click on the button (or a file name typed and accepted), queued so that
// the dialog's own event loop runs it.
class Answerer : public QObject {
 public:
  bool yes = true;          // the answer to every question
  QString saveAsPath;       // typed into the Save As dialog
  int boxes = 0;

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    if (auto* box = qobject_cast<QMessageBox*>(watched)) {
      ++boxes;
      QPointer<QMessageBox> b(box);
      QTimer::singleShot(0, box, [this, b] {
        if (!b) return;
        QAbstractButton* button = b->button(yes ? QMessageBox::Yes : QMessageBox::No);
        if (!button) button = b->button(QMessageBox::Ok);
        if (!button) button = b->defaultButton();
        if (button) QTest::mouseClick(button, Qt::LeftButton);
      });
    } else if (auto* dialog = qobject_cast<QFileDialog*>(watched)) {
      QPointer<QFileDialog> d(dialog);
      QTimer::singleShot(0, dialog, [this, d] {
        if (!d) return;
        auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        auto* buttons = d->findChild<QDialogButtonBox*>();
        if (edit && buttons && !buttons->buttons().isEmpty()) {
          // As a user does: the folder chosen first, then the name typed.
          const QFileInfo target(saveAsPath);
          d->setDirectory(target.absolutePath());
          (void)QTest::qWaitForWindowActive(d, 2000);
          edit->setFocus();
          edit->selectAll();
          QTest::keyClicks(edit, target.fileName());
          // Save is enabled once the dialog's own thread has looked at the
          // folder typed; Enter does nothing before.
          QAbstractButton* save = buttons->buttons().front();
          for (QAbstractButton* b : buttons->buttons()) {
            if (buttons->buttonRole(b) == QDialogButtonBox::AcceptRole) save = b;
          }
          if (QTest::qWaitFor([&] { return !d || save->isEnabled(); }, 5000) && d) {
            QTest::keyClick(edit, Qt::Key_Return);
          } else if (d) {
            d->reject();
          }
        } else {
          d->selectFile(saveAsPath);
          QMetaObject::invokeMethod(d, "accept");
        }
      });
    }
    return false;
  }
};

struct Arguments {
  std::string command;
  std::string name;
  std::string to;
  std::string rowsFile;  // --rows: the rows the window lists, one per line
  int drive = -1;
  int repeat = 1;
  std::vector<ambrelic::platform::DriveSource> sources;
};

bool Parse(int argc, char** argv, Arguments& a) {
  if (argc < 2) return false;
  a.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--name") {
      if (!value(a.name)) return false;
    } else if (arg == "--to") {
      if (!value(a.to)) return false;
    } else if (arg == "--rows") {
      if (!value(a.rowsFile)) return false;
    } else if (arg == "--drive") {
      if (!value(v)) return false;
      a.drive = std::atoi(v.c_str());
    } else if (arg == "--repeat") {
      if (!value(v)) return false;
      a.repeat = std::max(1, std::atoi(v.c_str()));
    } else {
      a.sources.push_back({arg, false, false});
    }
  }
  return !a.sources.empty();
}

// Waits until the window has handled what the command left queued (the
// last rows, the repaint).
void Settle() {
  for (int i = 0; i < 3; ++i) QApplication::processEvents(QEventLoop::AllEvents, 50);
}

void SetControls(MainWindow& w, const Arguments& a) {
  if (a.drive >= 0) w.DriveCombo()->setCurrentIndex(a.drive);
  QLineEdit* edit = w.NameEdit();
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  if (!a.name.empty()) QTest::keyClicks(edit, QString::fromStdString(a.name));
  Settle();
}

double RunOnce(MainWindow& w, Answerer& answers, const Arguments& a) {
  SetControls(w, a);
  QElapsedTimer t;
  if (a.command == "search" || a.command == "search-vacant" || a.command == "restore") {
    answers.yes = a.command == "search-vacant";
    t.start();
    QTest::mouseClick(w.SearchButton(), Qt::LeftButton);
    Settle();
    if (a.command == "restore") {
      std::filesystem::remove_all(a.to);
      answers.yes = true;
      answers.saveAsPath = QString::fromStdString(a.to);
      w.ResultsView()->setFocus();
      QTest::keyClick(w.ResultsView(), Qt::Key_A, Qt::ControlModifier);
      QTest::mouseClick(w.RestoreButton(), Qt::LeftButton);
      Settle();
    }
  } else if (a.command == "scan-all") {
    answers.yes = true;
    t.start();
    w.ScanAllAction()->trigger();
    Settle();
  } else if (a.command == "wipe") {
    answers.yes = true;
    t.start();
    w.DeleteCompletelyAction()->trigger();
    Settle();
  } else {
    return -1;
  }
  return static_cast<double>(t.nsecsElapsed()) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments a;
  if (!Parse(argc, argv, a)) {
    std::fprintf(stderr,
                 "usage: ambrelic_window_bench search|search-vacant|scan-all|restore|wipe [--name TEXT] "
                 "[--drive N] [--to PATH] [--repeat N] [--rows FILE] SOURCE...\n");
    return 2;
  }
  QApplication app(argc, argv);
  ambrelic::platform::InitLocale();
  Answerer answers;
  app.installEventFilter(&answers);

  ambrelic::platform::DriveTable table = ambrelic::platform::BuildDriveTable(a.sources);
  MainWindow window(std::move(table.drives));
  window.show();
  if (!QTest::qWaitForWindowExposed(&window, 5000)) {
    std::fprintf(stderr, "the window was not shown\n");
    return 1;
  }
  Settle();

  double best = -1;
  for (int r = 0; r < a.repeat; ++r) {
    const double s = RunOnce(window, answers, a);
    if (s < 0) {
      std::fprintf(stderr, "unknown command %s\n", a.command.c_str());
      return 2;
    }
    if (best < 0 || s < best) best = s;
  }
  if (!a.rowsFile.empty()) {
    // The five texts of every row, tab-separated, in the order listed.
    FILE* f = std::fopen(a.rowsFile.c_str(), "w");
    if (!f) return 1;
    const ambrelic::ui::ResultsList& list = window.Dialog().List();
    for (int r = 0; r < list.RowCount(); ++r) {
      for (int c = 0; c < 5; ++c) std::fprintf(f, c ? "\t%s" : "%s", list.CellText(r, c).c_str());
      std::fputc('\n', f);
    }
    std::fclose(f);
  }
  std::printf("window %s %.3f %d\n", a.command.c_str(), best, window.Dialog().List().RowCount());
  return 0;
}

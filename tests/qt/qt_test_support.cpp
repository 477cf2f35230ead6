#include "qt_test_support.h"

#include <QApplication>
#include <QHeaderView>
#include <QTableView>
#include <QTest>

#include "support/test_support.h"

namespace ambrelic::test {

void EnsureApplication() {
  if (QApplication::instance()) return;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "qt_window_tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);
  UseUtf8Locale();
}

ScriptedWindow::ScriptedWindow(const std::vector<platform::DriveSource>& sources) {
  EnsureApplication();
  platform::DriveTable table = platform::BuildDriveTable(sources);
  window = std::make_unique<ui::qt::MainWindow>(std::move(table.drives));
  window->Host().SetMessageAnswerer([this](const ui::MessageRequest& m) {
    boxes.push_back(m);
    if (answers.empty()) return ui::DefaultAnswer(m);
    const ui::Answer a = answers.front();
    answers.pop_front();
    return a;
  });
  window->show();
  QApplication::processEvents();
}

ScriptedWindow::~ScriptedWindow() {
  window.reset();
  QApplication::processEvents();
}

std::vector<std::string> ColumnTexts(ui::qt::MainWindow& window, int column) {
  std::vector<std::string> out;
  QAbstractItemModel* m = window.ResultsView()->model();
  for (int r = 0; r < m->rowCount(); ++r) out.push_back(m->index(r, column).data().toString().toStdString());
  return out;
}

void ClickHeader(ui::qt::MainWindow& window, int column) {
  QHeaderView* header = window.ResultsView()->horizontalHeader();
  const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x, header->height() / 2));
}

}  // namespace ambrelic::test

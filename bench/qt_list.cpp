// The results list in the window at scale: fill, sort and clear a list of
// 1,000,000 rows shown in the real view (offscreen), as the engines and the
// user would drive it, then close the window with them all listed. Prints
// the seconds each step took.
//
//   build/ambrelic_qt_list_bench [ROWS]      (QT_QPA_PLATFORM=offscreen by default)
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "disk/sinks.h"
#include "platform/text.h"
#include "ui/qt/main_window.h"

namespace {

using ambrelic::disk::FoundRow;

// Rows that look like a search's: varied names and extensions, folders,
// sizes, dates and cluster numbers in no order.
FoundRow MakeRow(std::uint32_t i) {
  static const char* const ext[] = {".txt", ".jpg", ".doc", ".pdf", ".mp3", ".xlsx", ".png", ".zip"};
  const std::uint32_t h = i * 2654435761u;
  FoundRow r;
  r.isFolder = (h % 50) == 0;
  r.name = "file " + std::to_string(h % 1000003) + (r.isFolder ? "" : ext[h % 8]);
  r.folder = "C:\\Documents\\Folder " + std::to_string(h % 997);
  r.size = r.isFolder ? "" : std::to_string(h % 5000000);
  char date[32];
  std::snprintf(date, sizeof date, "%02u/%02u/%04u %02u:%02u", 1 + h % 12, 1 + (h >> 4) % 28, 1990 + (h >> 8) % 36,
                (h >> 12) % 24, (h >> 16) % 60);
  r.modified = date;
  r.number = std::to_string(2 + (h >> 3) % 4000000);
  return r;
}

double Seconds(const QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e9; }

// Processor time of this process: on a shared machine the wall clock also
// counts the time other processes had the cores.
double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ambrelic::platform::InitLocale();
  const long rows = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;

  auto owned = std::make_unique<ambrelic::ui::qt::MainWindow>(std::vector<ambrelic::platform::Drive>{});
  ambrelic::ui::qt::MainWindow& window = *owned;
  window.show();
  QApplication::processEvents();
  ambrelic::ui::MainDialog& dialog = window.Dialog();
  ambrelic::disk::EngineHost& engine = dialog;
  dialog.List().Clear(dialog.Operation());
  dialog.List().AddFifthColumn(ambrelic::disk::FsKind::Fat32);

  // Fill: rows arrive one by one, the event pump runs every 256 rows as an
  // engine's progress checks would, and the view is painted as it goes.
  // The rows are made beforehand and handed over as the engines hand theirs
  // (moved): the engines' own work is not measured.
  std::vector<FoundRow> made;
  auto make = [&] {
    made.clear();
    made.reserve(static_cast<std::size_t>(rows));
    for (long i = 0; i < rows; ++i) made.push_back(MakeRow(static_cast<std::uint32_t>(i)));
  };
  make();

  QElapsedTimer t;
  t.start();
  double cpu = CpuSeconds();
  QElapsedTimer pumping;
  qint64 pumpNs = 0;
  for (long i = 0; i < rows; ++i) {
    engine.AddRow(std::move(made[static_cast<std::size_t>(i)]));
    if ((i & 255) == 255) {
      pumping.start();
      window.Host().PumpMessages();
      pumpNs += pumping.nsecsElapsed();
    }
  }
  window.SyncView();
  QApplication::processEvents();
  const double fill = Seconds(t);
  const double fillCpu = CpuSeconds() - cpu;
  if (window.ResultsView()->model()->rowCount() != rows) {
    std::fprintf(stderr, "the view shows %d rows, not %ld\n", window.ResultsView()->model()->rowCount(), rows);
    return 1;
  }

  // Sort: a header click on each column, then the last one again
  // (descending).
  constexpr int kSorts = 6;
  double sorts[kSorts];
  double sortsCpu[kSorts];
  const int columns[kSorts] = {0, 1, 2, 3, 4, 4};
  for (int k = 0; k < kSorts; ++k) {
    t.restart();
    cpu = CpuSeconds();
    window.OnColumnClick(columns[k]);
    QApplication::processEvents();
    sorts[k] = Seconds(t);
    sortsCpu[k] = CpuSeconds() - cpu;
  }

  // Clear, as the next search's preparation does it.
  t.restart();
  cpu = CpuSeconds();
  dialog.List().Clear(dialog.Operation());
  window.SyncView();
  QApplication::processEvents();
  const double clear = Seconds(t);
  const double clearCpu = CpuSeconds() - cpu;

  // Close with every row listed (filled again, untimed): the window goes
  // and everything it holds is freed.
  make();
  for (long i = 0; i < rows; ++i) engine.AddRow(std::move(made[static_cast<std::size_t>(i)]));
  window.SyncView();
  QApplication::processEvents();
  made.clear();
  t.restart();
  cpu = CpuSeconds();
  window.close();
  owned.reset();
  QApplication::processEvents();
  const double close = Seconds(t);
  const double closeCpu = CpuSeconds() - cpu;

  std::printf("rows %ld                 wall      cpu\n", rows);
  std::printf("fill             %8.3f s %8.3f s  (event pumps %.3f s wall)\n", fill, fillCpu,
              static_cast<double>(pumpNs) / 1e9);
  const char* names[kSorts] = {"sort Name      ", "sort In Folder ", "sort Size      ",
                               "sort Modified  ", "sort Cluster   ", "sort Cluster v "};
  for (int k = 0; k < kSorts; ++k) std::printf("%s  %8.3f s %8.3f s\n", names[k], sorts[k], sortsCpu[k]);
  std::printf("clear            %8.3f s %8.3f s\n", clear, clearCpu);
  std::printf("close            %8.3f s %8.3f s\n", close, closeCpu);
  return 0;
}

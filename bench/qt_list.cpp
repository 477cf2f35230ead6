// The results list in the window at scale: fill, sort and clear a list of
// 1,000,000 rows shown in the real view (offscreen), as the engines and the
// user would drive it, then close the window with them all listed. Prints
// the seconds each step took (and what a restore of them all works out
// before it writes: which rows lie inside a selected folder), the bytes the list keeps its rows in and the
// process's peak resident memory (the rows are made a batch at a time, as
// an engine hands them over, so that the peak is the list's).
//
//   build/ambrelic_qt_list_bench [ROWS]      (QT_QPA_PLATFORM=offscreen by default)
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <sys/resource.h>
#include <cstdio>
#include <algorithm>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "disk/sinks.h"
#include "platform/text.h"
#include "ui/qt/main_window.h"
#include "ui/restore_plan.h"

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
  r.facts.number = 2 + (h >> 3) % 4000000;
  // The folder that listed it, by its first cluster, as a walk gives it:
  // one of 997 folders, each named by about 20 folder rows that lie in
  // those folders too (a web of loops, the hardest case for a restore's
  // plan).
  if (r.isFolder) r.facts.number = 2 + (h >> 7) % 997;
  r.facts.parent = 2 + h % 997;
  return r;
}

double Seconds(const QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e9; }

// Processor time of this process: on a shared machine the wall clock also
// counts the time other processes had the cores.
double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Peak resident memory of the process so far, in MB.
double PeakMegabytes() {
  rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The current resident memory, in MB.
double ResidentMegabytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * 4096.0 / 1e6 * (1e6 / 1048576.0);
}

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
  // The rows are made a batch at a time beforehand and handed over as the
  // engines hand theirs (moved): the engines' own work is not measured.
  constexpr long kBatch = 65536;
  std::vector<FoundRow> made;
  const double residentBefore = ResidentMegabytes();
  QElapsedTimer t;
  QElapsedTimer pumping;
  qint64 pumpNs = 0;
  qint64 fillNs = 0;
  double fillCpu = 0;
  for (long from = 0; from < rows; from += kBatch) {
    const long to = std::min(rows, from + kBatch);
    made.clear();
    for (long i = from; i < to; ++i) made.push_back(MakeRow(static_cast<std::uint32_t>(i)));
    t.start();
    const double cpu = CpuSeconds();
    for (long i = from; i < to; ++i) {
      engine.AddRow(std::move(made[static_cast<std::size_t>(i - from)]));
      if ((i & 255) == 255) {
        pumping.start();
        window.Host().PumpMessages();
        pumpNs += pumping.nsecsElapsed();
      }
    }
    fillNs += t.nsecsElapsed();
    fillCpu += CpuSeconds() - cpu;
  }
  std::vector<FoundRow>().swap(made);
  t.start();
  double cpu = CpuSeconds();
  window.SyncView();
  QApplication::processEvents();
  const double fill = static_cast<double>(fillNs) / 1e9 + Seconds(t);
  fillCpu += CpuSeconds() - cpu;
  const double residentFilled = ResidentMegabytes();
  const double listMegabytes = static_cast<double>(dialog.List().StorageBytes()) / 1048576.0;
  if (window.ResultsView()->model()->rowCount() != rows) {
    std::fprintf(stderr, "the view shows %d rows, not %ld\n", window.ResultsView()->model()->rowCount(), rows);
    return 1;
  }

  // A restore of every row (--all): which rows its folder rows' restores
  // take with them.
  dialog.List().SelectAll(true);
  t.restart();
  cpu = CpuSeconds();
  const std::size_t alone = ambrelic::ui::PlanRestore(dialog.List()).rows.size();
  const double plan = Seconds(t);
  const double planCpu = CpuSeconds() - cpu;
  dialog.List().SelectAll(false);

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
  for (long from = 0; from < rows; from += kBatch) {
    const long to = std::min(rows, from + kBatch);
    made.clear();
    for (long i = from; i < to; ++i) made.push_back(MakeRow(static_cast<std::uint32_t>(i)));
    for (auto& r : made) engine.AddRow(std::move(r));
  }
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
  std::printf("restore plan     %8.3f s %8.3f s  (%zu rows restored on their own)\n", plan, planCpu, alone);
  for (int k = 0; k < kSorts; ++k) std::printf("%s  %8.3f s %8.3f s\n", names[k], sorts[k], sortsCpu[k]);
  std::printf("clear            %8.3f s %8.3f s\n", clear, clearCpu);
  std::printf("close            %8.3f s %8.3f s\n", close, closeCpu);
  std::printf("memory: rows kept in %.0f MB; resident %.0f MB before the fill, %.0f MB filled; peak %.0f MB\n",
              listMegabytes, residentBefore, residentFilled, PeakMegabytes());
  return 0;
}

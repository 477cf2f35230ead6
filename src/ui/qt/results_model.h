// The results list as a Qt table model. ResultsList owns the rows and the
// columns; this model shows what it has been told of, so that the view never
// reads a row it has not been announced: rows the engines add are announced
// in batches (at every event pump and when a command ends), a clear and a
// sort are model resets, and column changes are inserts, removals or header
// changes.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "ui/qt/file_icons.h"
#include "ui/results_list.h"

namespace ambrelic::ui::qt {

class ResultsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  ResultsModel(const ResultsList& list, FileIcons& icons, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Announces the columns and rows the list gained since the last call.
  void Sync();
  // The Condition column after the list's own (off by default): each row's
  // condition as the command line's --condition gives it, with a coloured
  // mark. It is the window's, not the list's.
  void SetConditionColumn(bool shown);
  bool ConditionColumnShown() const { return condition_; }
  // Its index, when shown.
  int ConditionColumn() const { return static_cast<int>(shownColumns_.size()); }
  // Around the deletion of all rows (the list's clearing notice).
  void BeginClear();
  void EndClear();
  // Around a reordering of the rows (a column sort).
  void BeginReorder();
  void EndReorder();

 signals:
  // Columns first..last were added or got another header: their designed
  // widths apply again.
  void ColumnsShaped(int first, int last);
  // The rows are no longer in the order of the last sort: the list was
  // cleared or rows were added.
  void OrderLost();

 private:
  void SyncColumns();

  const ResultsList& list_;
  FileIcons& icons_;
  std::vector<Column> shownColumns_;
  int shownRows_ = 0;
  bool resetting_ = false;
  bool reordering_ = false;
  bool condition_ = false;
};

}  // namespace ambrelic::ui::qt

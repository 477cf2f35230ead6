#include "ui/qt/results_model.h"

#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

#include "ui/list_writers.h"

namespace ambrelic::ui::qt {

ResultsModel::ResultsModel(const ResultsList& list, FileIcons& icons, QObject* parent)
    : QAbstractTableModel(parent), list_(list), icons_(icons) {}

int ResultsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shownRows_; }

int ResultsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(shownColumns_.size()) + (condition_ ? 1 : 0);
}

namespace {

// The mark of a condition: green intact, orange partial, red overwritten,
// grey unknown.
QIcon ConditionMark(const disk::RowCondition& condition) {
  static const auto mark = [](QColor colour) {
    QPixmap p(12, 12);
    p.fill(Qt::transparent);
    QPainter painter(&p);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(140));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(1.5, 1.5, 9, 9));
    return QIcon(p);
  };
  static const QIcon intact = mark(QColor(0x2e, 0xa0, 0x43));
  static const QIcon partial = mark(QColor(0xe8, 0x9a, 0x17));
  static const QIcon overwritten = mark(QColor(0xc8, 0x2d, 0x2d));
  static const QIcon unknown = mark(QColor(0x9a, 0x9a, 0x9a));
  if (!condition.known) return unknown;
  switch (disk::Classify(condition)) {
    case disk::Condition::Intact: return intact;
    case disk::Condition::Partial: return partial;
    case disk::Condition::Overwritten: return overwritten;
    // Bytes that do not parse as their format restore wrong, whatever the
    // clusters say.
    case disk::Condition::Damaged: return overwritten;
  }
  return unknown;
}

}  // namespace

void ResultsModel::SetConditionColumn(bool shown) {
  if (shown == condition_) return;
  const int at = ConditionColumn();
  if (shown) {
    beginInsertColumns(QModelIndex(), at, at);
    condition_ = true;
    endInsertColumns();
    emit ColumnsShaped(at, at);
  } else {
    beginRemoveColumns(QModelIndex(), at, at);
    condition_ = false;
    endRemoveColumns();
  }
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  const int row = index.row();
  const int column = index.column();
  // The list may have dropped rows that a reset has not yet announced.
  if (!index.isValid() || row < 0 || row >= list_.RowCount() || column < 0 || column >= columnCount()) {
    return QVariant();
  }
  if (condition_ && column == ConditionColumn()) {
    const disk::RowCondition condition = list_.Facts(row).condition;
    switch (role) {
      case Qt::DisplayRole: return QString::fromStdString(ConditionCell(condition));
      case Qt::DecorationRole: return ConditionMark(condition);
      case Qt::ToolTipRole: return QString::fromStdString(disk::ConditionText(condition));
      case Qt::TextAlignmentRole: return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
      default: return QVariant();
    }
  }
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(list_.CellText(row, column));
    case Qt::TextAlignmentRole: {
      const Qt::Alignment h = shownColumns_[static_cast<std::size_t>(column)].align == Align::Right
                                  ? Qt::AlignRight
                                  : Qt::AlignLeft;
      return QVariant::fromValue(h | Qt::AlignVCenter);
    }
    case Qt::DecorationRole:
      if (column == 0) return icons_.ForKey(list_.IconKey(row));
      return QVariant();
    case Qt::ToolTipRole: {
      // Every cell tells how much of the row's data is still free; names
      // and paths longer than their column can also be read whole.
      const QString condition = QString::fromStdString(disk::ConditionText(list_.Facts(row).condition));
      if (column <= 1) return QString::fromStdString(list_.CellText(row, column)) + QLatin1Char('\n') + condition;
      return condition;
    }
    default:
      return QVariant();
  }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && condition_ && section == ConditionColumn()) {
    if (role == Qt::DisplayRole) return QStringLiteral("Condition");
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return QVariant();
  }
  if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(shownColumns_.size())) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  const Column& c = shownColumns_[static_cast<std::size_t>(section)];
  if (role == Qt::DisplayRole) return QString::fromStdString(c.header);
  if (role == Qt::TextAlignmentRole) {
    const Qt::Alignment h = c.align == Align::Right ? Qt::AlignRight : Qt::AlignLeft;
    return QVariant::fromValue(h | Qt::AlignVCenter);
  }
  return QVariant();
}

void ResultsModel::SyncColumns() {
  const std::vector<Column>& now = list_.Columns();
  const int before = static_cast<int>(shownColumns_.size());
  const int after = static_cast<int>(now.size());
  // Headers of the columns both have in common that changed.
  int firstChanged = -1;
  int lastChanged = -1;
  for (int i = 0; i < std::min(before, after); ++i) {
    const Column& a = shownColumns_[static_cast<std::size_t>(i)];
    const Column& b = now[static_cast<std::size_t>(i)];
    if (a.header != b.header || a.align != b.align || a.width != b.width) {
      if (firstChanged < 0) firstChanged = i;
      lastChanged = i;
    }
  }
  if (after < before) {
    beginRemoveColumns(QModelIndex(), after, before - 1);
    shownColumns_.resize(static_cast<std::size_t>(after));
    endRemoveColumns();
  }
  if (firstChanged >= 0) {
    for (int i = firstChanged; i <= lastChanged; ++i) {
      shownColumns_[static_cast<std::size_t>(i)] = now[static_cast<std::size_t>(i)];
    }
    emit headerDataChanged(Qt::Horizontal, firstChanged, lastChanged);
    emit ColumnsShaped(firstChanged, lastChanged);
  }
  if (after > before) {
    beginInsertColumns(QModelIndex(), before, after - 1);
    shownColumns_ = now;
    endInsertColumns();
    emit ColumnsShaped(before, after - 1);
  }
}

void ResultsModel::Sync() {
  if (resetting_) return;
  SyncColumns();
  const int rows = list_.RowCount();
  if (rows > shownRows_) {
    beginInsertRows(QModelIndex(), shownRows_, rows - 1);
    shownRows_ = rows;
    endInsertRows();
    emit OrderLost();
  } else if (rows < shownRows_) {
    // Rows went away without the clearing notice: start over.
    beginResetModel();
    shownRows_ = rows;
    endResetModel();
    emit OrderLost();
  }
}

void ResultsModel::BeginClear() {
  if (resetting_) return;
  resetting_ = true;
  beginResetModel();
}

void ResultsModel::EndClear() {
  if (!resetting_) return;
  shownRows_ = list_.RowCount();
  shownColumns_ = list_.Columns();
  resetting_ = false;
  endResetModel();
  if (!reordering_) emit OrderLost();
}

void ResultsModel::BeginReorder() {
  reordering_ = true;
  BeginClear();
}

void ResultsModel::EndReorder() {
  EndClear();
  reordering_ = false;
}

}  // namespace ambrelic::ui::qt

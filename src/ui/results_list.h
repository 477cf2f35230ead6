// The results list: one row per deleted file or folder found, held as the
// five texts the engines produced (the restore reads them back, so their
// formats are an interface), a folder flag and an icon key. The counter
// beside the buttons and the column sort live here too. Rows are kept in a
// plain vector (in memory mapped for large blocks) in the order they were
// found, and the list's order is a vector of indices into it: a sort
// rearranges four bytes per row, never the rows, so that a million of them
// fill, sort and clear quickly. The Qt view is a model over this.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "platform/large_memory.h"
#include "ui/host.h"

namespace ambrelic::ui {

enum class Align : std::uint8_t { Left, Right };

struct Column {
  std::string header;
  Align align = Align::Left;
  int width = 0;  // pixels
};

struct ResultRow {
  std::array<std::string, 5> texts;  // Name, In Folder, Size, Modified, Cluster / File No
  bool isFolder = false;
  std::string iconKey;               // "folder", or the name from its last '.', lower-cased
  bool selected = false;
  disk::RowFacts facts;              // the engine's typed values and condition
};

// A million rows are hundreds of megabytes: they live in memory mapped for
// large blocks.
using ResultRows = std::vector<ResultRow, platform::LargeAllocator<ResultRow>>;
using RowOrder = std::vector<std::uint32_t, platform::LargeAllocator<std::uint32_t>>;

// The rows in the list's order, for reading them all (range-for, size).
class OrderedRows {
 public:
  class Iterator {
   public:
    Iterator(const ResultRows& rows, const std::uint32_t* at) : rows_(&rows), at_(at) {}
    const ResultRow& operator*() const { return (*rows_)[*at_]; }
    const ResultRow* operator->() const { return &(*rows_)[*at_]; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }
    bool operator!=(const Iterator& other) const { return at_ != other.at_; }

   private:
    const ResultRows* rows_;
    const std::uint32_t* at_;
  };

  OrderedRows(const ResultRows& rows, const RowOrder& order) : rows_(rows), order_(order) {}
  Iterator begin() const { return Iterator(rows_, order_.data()); }
  Iterator end() const { return Iterator(rows_, order_.data() + order_.size()); }
  std::size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  const ResultRow& operator[](std::size_t i) const { return rows_[order_[i]]; }

 private:
  const ResultRows& rows_;
  const RowOrder& order_;
};

// Notice shown while a list with rows is cleared (static 1011).
extern const char* const kClearingNotice;

// "folder" for a folder; otherwise the name from its last '.' on, in lower
// case (".txt"), or empty for a name without one.
std::string IconKeyFor(std::string_view name, bool isFolder);

// The number parse of the numeric columns: leading spaces skipped, digits
// up to the first non-digit, a value beyond 32 bits counts as 4294967295.
std::uint32_t ParseUInt32Text(std::string_view text);

// The Modified text MM/DD/YYYY HH:MM rearranged to YYYY/MM/DD HH:MM, so that
// a plain byte comparison orders by date.
std::string SortableModified(std::string_view text);

class ResultsList {
 public:
  explicit ResultsList(Host& host);

  // Columns 0 to 3 (done once by the dialog's initialisation).
  void CreateColumns();
  // Counter "0", column 4 removed, rows deleted (notice shown only when
  // there are rows), NextRow and FoundCount 0.
  void Clear(disk::OperationState& op);
  // Column 4: "Cluster" (right, 70) for FAT, "File No" (right, 90) for NTFS.
  void AddFifthColumn(disk::FsKind kind);
  // Column 4 with another header (the deep scan's "Cluster" on any volume,
  // "Sector" where it reads a device without a file system).
  void AddNumberColumn(const std::string& header);
  // Counts the row, shows the counter and the name in the open progress
  // dialog, and inserts the row at NextRow.
  void AddRow(disk::OperationState& op, disk::FoundRow row);

  // Sorts by a column: ascending at the first click, descending at the next
  // click on the same column, ascending again on another column. Stable.
  void OnColumnClick(int column);

  // Called with each row as it is added (front ends that write rows out
  // while the search runs); none by default.
  void SetRowObserver(std::function<void(const ResultRow&)> observer) { rowObserver_ = std::move(observer); }

  // Selection, for the restore.
  void SetSelected(int row, bool selected);
  void SelectAll(bool selected);
  int FirstSelected() const;               // -1 when none
  int NextSelected(int after) const;       // -1 at the end
  int SelectedCount() const;
  const std::string& CellText(int row, int column) const;

  int RowCount() const { return static_cast<int>(order_.size()); }
  const ResultRow& Row(int row) const { return rows_[order_[static_cast<std::size_t>(row)]]; }
  // For the checks that mend a row's condition after it was listed.
  ResultRow& MutableRow(int row) { return rows_[order_[static_cast<std::size_t>(row)]]; }
  OrderedRows Rows() const { return OrderedRows(rows_, order_); }
  const std::vector<Column>& Columns() const { return columns_; }
  const std::string& CounterText() const { return counterText_; }
  int LastSortedColumn() const { return lastSortedColumn_; }
  int SortDescendingNext() const { return directionFlag_; }

 private:
  void SetCounter(std::string text);
  // The rows' new order for a sort (row i of the sorted list is row
  // order[i] of the list as it stands), and taking it on.
  // position[s]: where the row stored at s stands in the list.
  std::vector<std::uint32_t> PositionsOfStoredRows() const;
  std::vector<std::uint32_t> SortedOrderByNumber(int column, bool descending) const;
  std::vector<std::uint32_t> SortedOrderByDate(bool descending) const;
  std::vector<std::uint32_t> SortedOrderByText(int column, bool descending) const;
  void Reorder(const std::vector<std::uint32_t>& order);
  // Row i of the list as it stands.
  ResultRow& At(std::size_t i) { return rows_[order_[i]]; }
  const ResultRow& At(std::size_t i) const { return rows_[order_[i]]; }

  Host& host_;
  std::vector<Column> columns_;
  ResultRows rows_;  // in the order they were added
  RowOrder order_;   // row i of the list is rows_[order_[i]]
  int selectedCount_ = 0;
  std::string counterText_;
  int lastSortedColumn_ = 0;
  int directionFlag_ = 0;  // 0 ascending, 1 descending, for the next sort
  std::function<void(const ResultRow&)> rowObserver_;
};

}  // namespace ambrelic::ui

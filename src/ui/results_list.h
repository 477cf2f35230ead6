// The results list: one row per deleted file or folder found, held as the
// five texts the engines produced (the restore reads them back, so their
// formats are an interface), a folder flag and the engine's typed facts.
// The counter beside the buttons and the column sort live here too. Rows
// are kept compactly (see the private part) in the order they were found,
// and the list's order is a vector of indices into them: a sort rearranges
// four bytes per row, never the rows, so that a million of them fill, sort
// and clear quickly in a few hundred megabytes. The Qt view is a model
// over this.
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

// One row as the list gives it out: its five texts, the folder flag, the
// icon key, the selection and the engine's facts. The list does not keep
// rows in this shape (see ResultsList): it makes one when asked.
struct ResultRow {
  std::array<std::string, 5> texts;  // Name, In Folder, Size, Modified, Cluster / File No
  bool isFolder = false;
  std::string iconKey;               // "folder", or the name from its last '.', lower-cased
  bool selected = false;
  disk::RowFacts facts;              // the engine's typed values and condition
};

using RowOrder = std::vector<std::uint32_t, platform::LargeAllocator<std::uint32_t>>;

class ResultsList;

// The rows in the list's order, for reading them all (range-for, size).
// Each row is made as it is reached.
class OrderedRows {
 public:
  class Iterator {
   public:
    Iterator(const ResultsList& list, int at) : list_(&list), at_(at) {}
    ResultRow operator*() const;
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }
    bool operator!=(const Iterator& other) const { return at_ != other.at_; }

   private:
    const ResultsList* list_;
    int at_;
  };

  explicit OrderedRows(const ResultsList& list) : list_(list) {}
  Iterator begin() const { return Iterator(list_, 0); }
  Iterator end() const;
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  ResultRow operator[](std::size_t i) const;

 private:
  const ResultsList& list_;
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
  ~ResultsList();
  ResultsList(const ResultsList&) = delete;
  ResultsList& operator=(const ResultsList&) = delete;

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
  // A cell's text (empty for a row or column that is not there).
  std::string CellText(int row, int column) const;
  // The same without a copy; valid until the list next changes.
  std::string_view CellView(int row, int column) const;

  int RowCount() const { return static_cast<int>(order_.size()); }
  // Row `row` of the list as it stands, made whole.
  ResultRow Row(int row) const;
  // Parts of a row, without making it whole.
  bool IsFolder(int row) const;
  bool IsSelected(int row) const;
  std::string IconKey(int row) const;
  // A copy: the list keeps facts packed (see the private part).
  disk::RowFacts Facts(int row) const;
  // Facts(row).parent without unpacking the rest (kNoFolder past the end).
  std::uint64_t Parent(int row) const;
  // The steps of the search's walks from a folder into one it holds
  // (EngineHost::FolderEntered): with the folder rows, they tell what a
  // folder row's restore walks. Kept until the list is cleared.
  struct FolderStep {
    std::uint64_t parent, folder;
  };
  void AddFolderStep(std::uint64_t folder, std::uint64_t parent) { folderSteps_.push_back({parent, folder}); }
  const std::vector<FolderStep>& FolderSteps() const { return folderSteps_; }
  // For the checks that mend a row's facts (its condition) after it was
  // listed.
  void SetFacts(int row, const disk::RowFacts& facts);
  OrderedRows Rows() const { return OrderedRows(*this); }
  const std::vector<Column>& Columns() const { return columns_; }
  const std::string& CounterText() const { return counterText_; }
  int LastSortedColumn() const { return lastSortedColumn_; }
  int SortDescendingNext() const { return directionFlag_; }
  // Bytes the rows take (texts, facts, records and order).
  std::size_t StorageBytes() const;

 private:
  void SetCounter(std::string text);
  // The rows' new order for a sort (row i of the sorted list is row
  // order[i] of the list as it stands), and taking it on.
  // position[s]: where the row stored at s stands in the list.
  std::vector<std::uint32_t> PositionsOfStoredRows() const;
  std::vector<std::uint32_t> SortedOrderByNumber(int column, bool descending) const;
  std::vector<std::uint32_t> SortedOrderByDate(bool descending) const;
  std::vector<std::uint32_t> SortedOrderByText(int column, bool descending) const;
  bool AllCanonicalDates() const;
  void Reorder(const std::vector<std::uint32_t>& order);

  // How rows are kept. A million rows as five std::strings, an icon key and
  // their facts took about 600 bytes each and a heap block per long text;
  // here a row is one 8-byte record (where its texts lie, its folder and
  // selected flags), its five texts end to end in large text blocks (each
  // after its length), and its facts packed in a table of large blocks:
  // RowFacts takes 208 bytes (nine 16-byte times), a PackedFacts 128 (each
  // time in 8), and filling a list is mostly the first touch of the memory
  // it writes. Facts whose times (or parent) do not pack back exactly are
  // kept whole beside the table (unpackedFacts_), so that packing never
  // changes one.
  // Stored row s is the s-th row added.
  std::size_t StoredCount() const { return records_.size(); }
  std::string_view StoredText(std::size_t s, int column) const;
  disk::RowFacts StoredFacts(std::size_t s) const;
  void PutFacts(std::size_t s, const disk::RowFacts& facts);
  bool StoredFlag(std::size_t s, std::uint64_t flag) const { return (records_[s] & flag) != 0; }
  void SetStoredFlag(std::size_t s, std::uint64_t flag, bool on);
  ResultRow StoredRow(std::size_t s) const;
  void Store(const disk::FoundRow& row);
  void ReleaseRows();
  std::size_t Stored(int row) const { return order_[static_cast<std::size_t>(row)]; }

  static constexpr std::uint64_t kFolderFlag = 1ull << 63;
  static constexpr std::uint64_t kSelectedFlag = 1ull << 62;
  static constexpr std::uint64_t kPlaceMask = kSelectedFlag - 1;
  static constexpr int kOffsetBits = 24;                // a place is block << 24 | offset
  static constexpr std::size_t kTextBlock = 4u << 20;  // bytes, below 1 << kOffsetBits
  static constexpr std::size_t kFirstTextBlock = 64u << 10;
  static constexpr std::size_t kFactsBlock = 16384;    // rows

  struct PackedFacts {
    std::uint64_t size, number, total, free, dataLength, validLength;
    std::uint64_t times[9];
    std::uint8_t flags, unit, content, contentPercent;
    // The parent fact in the four bytes the record had spare: every
    // engine's folder identity fits in 32 bits; kNoParent stands for
    // disk::kNoFolder, and a wider value is kept beside the table.
    std::uint32_t parent;
  };
  static constexpr std::uint32_t kNoParent = 0xFFFFFFFFu;
  static PackedFacts Pack(const disk::RowFacts& facts, bool* exact);
  static disk::RowFacts Unpack(const PackedFacts& packed);

  struct TextBlock {
    char* bytes = nullptr;
    std::size_t size = 0;
  };

  Host& host_;
  std::vector<Column> columns_;
  std::vector<std::uint64_t, platform::LargeAllocator<std::uint64_t>> records_;
  std::vector<TextBlock> textBlocks_;
  std::size_t textUsed_ = 0;  // bytes used of the last text block
  std::vector<PackedFacts*> factBlocks_;
  std::vector<disk::RowFacts> unpackedFacts_;  // rows whose facts do not pack
  std::vector<FolderStep> folderSteps_;
  RowOrder order_;            // row i of the list is stored row order_[i]
  int selectedCount_ = 0;
  std::string counterText_;
  int lastSortedColumn_ = 0;
  int directionFlag_ = 0;  // 0 ascending, 1 descending, for the next sort
  std::function<void(const ResultRow&)> rowObserver_;
};

}  // namespace ambrelic::ui

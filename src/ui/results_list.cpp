#include "ui/results_list.h"

#include <algorithm>
#include <cctype>
#include <numeric>
#include <string_view>

#include "platform/text.h"

namespace ambrelic::ui {

const char* const kClearingNotice =
    "Deleting listed items. It may take a long time if there are many items. Please wait.";

namespace {
const std::string kEmpty;
}

std::string IconKeyFor(std::string_view name, bool isFolder) {
  if (isFolder) return "folder";
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::string();
  std::string key(name.substr(dot));
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

std::uint32_t ParseUInt32Text(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  }
  return static_cast<std::uint32_t>(value);
}

std::string SortableModified(std::string_view t) {
  // Characters 6-9, "/", characters 0-4, then the rest from character 10.
  // Texts shorter than that keep what they have of each piece.
  auto piece = [&](std::size_t from, std::size_t count) {
    return from < t.size() ? t.substr(from, count) : std::string_view();
  };
  std::string out;
  out.reserve(t.size() + 1);
  out += piece(6, 4);
  out += '/';
  out += piece(0, 5);
  out += piece(10, std::string_view::npos);
  return out;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "MM/DD/YYYY HH:MM" with every digit in place.
bool IsCanonicalDate(std::string_view t) {
  if (t.size() != 16 || t[2] != '/' || t[5] != '/' || t[10] != ' ' || t[13] != ':') return false;
  for (std::size_t i : {0, 1, 3, 4, 6, 7, 8, 9, 11, 12, 14, 15}) {
    if (!IsDigit(t[i])) return false;
  }
  return true;
}

bool AllCanonicalDates(const ResultRows& rows) {
  return std::all_of(rows.begin(), rows.end(), [](const ResultRow& r) { return IsCanonicalDate(r.texts[3]); });
}

// The digits of the rearranged text YYYY/MM/DD HH:MM as one number.
std::uint64_t DateKey(std::string_view t) {
  std::uint64_t key = 0;
  for (std::size_t i : {6, 7, 8, 9, 0, 1, 3, 4, 11, 12, 14, 15}) key = key * 10 + static_cast<std::uint64_t>(t[i] - '0');
  return key;
}

}  // namespace

ResultsList::ResultsList(Host& host) : host_(host) {}

void ResultsList::CreateColumns() {
  columns_ = {{"Name", Align::Left, 110},
              {"In Folder", Align::Left, 210},
              {"Size", Align::Right, 70},
              {"Modified", Align::Left, 110}};
}

void ResultsList::SetCounter(std::string text) {
  counterText_ = std::move(text);
  host_.CounterChanged(counterText_);
}

void ResultsList::Clear(disk::OperationState& op) {
  SetCounter("0");
  if (columns_.size() > 4) columns_.resize(4);
  if (!order_.empty()) {
    host_.ShowNotice(true, kClearingNotice);
    // Frees the strings as well; a million rows go in one pass.
    ResultRows().swap(rows_);
    RowOrder().swap(order_);
    selectedCount_ = 0;
    host_.ShowNotice(false, kClearingNotice);
  }
  op.NextRow = 0;
  op.FoundCount = 0;
}

void ResultsList::AddFifthColumn(disk::FsKind kind) {
  if (columns_.size() > 4) columns_.resize(4);
  if (kind == disk::FsKind::Ntfs) {
    columns_.push_back({"File No", Align::Right, 90});
  } else {
    columns_.push_back({"Cluster", Align::Right, 70});
  }
}

void ResultsList::AddNumberColumn(const std::string& header) {
  if (columns_.size() > 4) columns_.resize(4);
  columns_.push_back({header, Align::Right, 70});
}

void ResultsList::AddRow(disk::OperationState& op, disk::FoundRow row) {
  op.FoundCount += 1;
  SetCounter(std::to_string(static_cast<unsigned>(op.FoundCount)));
  if (op.ActiveProgress) op.ActiveProgress->SetFileName(row.name);
  ResultRow r;
  r.iconKey = IconKeyFor(row.name, row.isFolder);
  r.isFolder = row.isFolder;
  r.facts = row.facts;
  r.texts = {std::move(row.name), std::move(row.folder), std::move(row.size), std::move(row.modified),
             std::move(row.number)};
  const std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(std::max(op.NextRow, 0)), order_.size());
  const auto stored = static_cast<std::uint32_t>(rows_.size());
  rows_.push_back(std::move(r));
  if (at == order_.size()) {
    order_.push_back(stored);
  } else {
    order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(at), stored);
  }
  op.NextRow += 1;
  if (rowObserver_) rowObserver_(rows_.back());
}

void ResultsList::OnColumnClick(int column) {
  if (column < 0 || column > 4) return;
  host_.SetWaitCursor(true);
  if (column != lastSortedColumn_) directionFlag_ = 0;
  lastSortedColumn_ = column;
  const bool descending = directionFlag_ != 0;

  std::vector<std::uint32_t> order;
  if (column == 2 || column == 4) {
    order = SortedOrderByNumber(column, descending);
  } else if (column == 3 && AllCanonicalDates(rows_)) {
    order = SortedOrderByDate(descending);
  } else {
    order = SortedOrderByText(column, descending);
  }
  Reorder(order);

  directionFlag_ = directionFlag_ ? 0 : 1;
  host_.SetWaitCursor(false);
}

// Every order below is stable: rows that compare equal keep the order they
// had, because ties fall back to the row's index in the list. Keys are
// computed once per row, and sorted packed with that index, so that no
// comparison reaches into a row. They are computed walking the rows as
// stored, which after an earlier sort is not the list's order: reading
// the rows in memory order is what keeps a million of them quick.
std::vector<std::uint32_t> ResultsList::PositionsOfStoredRows() const {
  std::vector<std::uint32_t> position(order_.size());
  for (std::size_t i = 0; i < order_.size(); ++i) position[order_[i]] = static_cast<std::uint32_t>(i);
  return position;
}

std::vector<std::uint32_t> ResultsList::SortedOrderByNumber(int column, bool descending) const {
  const std::size_t c = static_cast<std::size_t>(column);
  const std::vector<std::uint32_t> position = PositionsOfStoredRows();
  std::vector<std::uint64_t> packed(rows_.size());
  for (std::size_t s = 0; s < rows_.size(); ++s) {
    std::uint32_t key = ParseUInt32Text(rows_[s].texts[c]);
    if (descending) key = ~key;
    packed[s] = (static_cast<std::uint64_t>(key) << 32) | position[s];
  }
  std::sort(packed.begin(), packed.end());
  std::vector<std::uint32_t> order(order_.size());
  for (std::size_t i = 0; i < packed.size(); ++i) order[i] = static_cast<std::uint32_t>(packed[i]);
  return order;
}

std::vector<std::uint32_t> ResultsList::SortedOrderByDate(bool descending) const {
  // Every text is MM/DD/YYYY HH:MM: the rearranged texts compare like the
  // numbers YYYYMMDDHHMM, without a string per row.
  struct Key {
    std::uint64_t date;
    std::uint32_t index;
  };
  const std::vector<std::uint32_t> position = PositionsOfStoredRows();
  std::vector<Key> keys(rows_.size());
  for (std::size_t s = 0; s < rows_.size(); ++s) {
    const std::uint64_t date = DateKey(rows_[s].texts[3]);
    keys[s] = {descending ? ~date : date, position[s]};
  }
  std::sort(keys.begin(), keys.end(),
            [](const Key& a, const Key& b) { return a.date != b.date ? a.date < b.date : a.index < b.index; });
  std::vector<std::uint32_t> order(order_.size());
  for (std::size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].index;
  return order;
}

std::vector<std::uint32_t> ResultsList::SortedOrderByText(int column, bool descending) const {
  // The sort texts (upper-cased, or dates rearranged) laid end to end in one
  // buffer; each key holds its first 16 bytes as two big-endian numbers, so
  // that most comparisons are two integer compares and only keys that share
  // 16 bytes compare the rest.
  const std::size_t c = static_cast<std::size_t>(column);
  // Texts are laid out in the order the rows are stored.
  std::string arena;
  std::vector<std::uint32_t> start(rows_.size() + 1);
  for (std::size_t s = 0; s < rows_.size(); ++s) {
    start[s] = static_cast<std::uint32_t>(arena.size());
    const std::string& text = rows_[s].texts[c];
    if (column == 3) {
      arena += SortableModified(text);
    } else if (std::all_of(text.begin(), text.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; })) {
      // ASCII: the locale's upper case of these bytes is A to Z.
      for (char ch : text) arena += (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 32) : ch;
    } else {
      arena += platform::UpperCase(text);
    }
  }
  start[rows_.size()] = static_cast<std::uint32_t>(arena.size());
  struct Key {
    std::uint64_t high;
    std::uint64_t low;
    std::uint32_t index;  // in the list
    std::uint32_t rest;   // bytes after the common beginning
  };
  auto text = [&](std::uint32_t stored) {
    return std::string_view(arena.data() + start[stored], start[stored + 1] - start[stored]);
  };
  // Bytes every text begins with tell no row from another (a folder column
  // often starts "C:\Documents\" throughout): the keys hold the 16 bytes
  // after them.
  std::size_t common = rows_.empty() ? 0 : text(0).size();
  for (std::size_t s = 1; s < rows_.size() && common != 0; ++s) {
    const std::string_view first = text(0);
    const std::string_view t = text(static_cast<std::uint32_t>(s));
    std::size_t same = 0;
    const std::size_t limit = std::min(common, t.size());
    while (same < limit && first[same] == t[same]) ++same;
    common = same;
  }
  const std::vector<std::uint32_t> position = PositionsOfStoredRows();
  std::vector<Key> keys(rows_.size());
  for (std::size_t s = 0; s < rows_.size(); ++s) {
    const std::string_view t = text(static_cast<std::uint32_t>(s)).substr(common);
    std::uint64_t part[2] = {0, 0};
    for (std::size_t b = 0; b < 16 && b < t.size(); ++b) {
      part[b / 8] |= static_cast<std::uint64_t>(static_cast<unsigned char>(t[b])) << (8 * (7 - b % 8));
    }
    keys[s] = {part[0], part[1], position[s], static_cast<std::uint32_t>(t.size())};
  }
  // Byte order of the texts (std::string_view compares as unsigned bytes);
  // descending swaps the texts, never the tie on the index.
  auto less = [&](const Key& a, const Key& b) {
    if (a.high != b.high) return descending ? b.high < a.high : a.high < b.high;
    if (a.low != b.low) return descending ? b.low < a.low : a.low < b.low;
    // Both texts whole in their keys: the shorter is the other's beginning
    // (or they are equal).
    if (a.rest <= 16 && b.rest <= 16) {
      if (a.rest != b.rest) return descending ? b.rest < a.rest : a.rest < b.rest;
      return a.index < b.index;
    }
    const int cmp = text(order_[a.index]).compare(text(order_[b.index]));
    if (cmp != 0) return descending ? cmp > 0 : cmp < 0;
    return a.index < b.index;
  };
  std::sort(keys.begin(), keys.end(), less);
  std::vector<std::uint32_t> order(order_.size());
  for (std::size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].index;
  return order;
}

void ResultsList::Reorder(const std::vector<std::uint32_t>& order) {
  RowOrder next(order_.size());
  for (std::size_t i = 0; i < order.size(); ++i) next[i] = order_[order[i]];
  order_.swap(next);
}

void ResultsList::SetSelected(int row, bool selected) {
  if (row < 0 || row >= RowCount()) return;
  bool& flag = At(static_cast<std::size_t>(row)).selected;
  if (flag != selected) selectedCount_ += selected ? 1 : -1;
  flag = selected;
}

void ResultsList::SelectAll(bool selected) {
  for (auto& r : rows_) r.selected = selected;
  selectedCount_ = selected ? RowCount() : 0;
}

int ResultsList::FirstSelected() const { return NextSelected(-1); }

int ResultsList::NextSelected(int after) const {
  // After a sort the rows lie in memory in another order than the list's:
  // with nothing selected there is no need to visit them.
  if (selectedCount_ == 0) return -1;
  for (int i = std::max(after + 1, 0); i < RowCount(); ++i) {
    if (At(static_cast<std::size_t>(i)).selected) return i;
  }
  return -1;
}

int ResultsList::SelectedCount() const {
  return selectedCount_;
}

const std::string& ResultsList::CellText(int row, int column) const {
  if (row < 0 || row >= RowCount() || column < 0 || column > 4) return kEmpty;
  return At(static_cast<std::size_t>(row)).texts[static_cast<std::size_t>(column)];
}

}  // namespace ambrelic::ui

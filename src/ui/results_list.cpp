#include "ui/results_list.h"

#include <algorithm>
#include <cctype>
#include <numeric>

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

bool AllCanonicalDates(const std::vector<ResultRow>& rows) {
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
  if (!rows_.empty()) {
    host_.ShowNotice(true, kClearingNotice);
    // Frees the strings as well; a million rows go in one pass.
    std::vector<ResultRow>().swap(rows_);
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
  const std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(std::max(op.NextRow, 0)), rows_.size());
  if (at == rows_.size()) {
    rows_.push_back(std::move(r));
  } else {
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), std::move(r));
  }
  op.NextRow += 1;
  if (rowObserver_) rowObserver_(rows_[at]);
}

void ResultsList::OnColumnClick(int column) {
  if (column < 0 || column > 4) return;
  host_.SetWaitCursor(true);
  if (column != lastSortedColumn_) directionFlag_ = 0;
  lastSortedColumn_ = column;
  const bool descending = directionFlag_ != 0;

  // Keys are computed once per row: upper-casing or rearranging inside the
  // comparison would redo it n log n times.
  std::vector<std::size_t> order(rows_.size());
  std::iota(order.begin(), order.end(), 0);
  const std::size_t c = static_cast<std::size_t>(column);
  if (column == 2 || column == 4) {
    std::vector<std::uint32_t> keys(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) keys[i] = ParseUInt32Text(rows_[i].texts[c]);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return descending ? keys[b] < keys[a] : keys[a] < keys[b];
    });
  } else if (column == 3 && AllCanonicalDates(rows_)) {
    // Every text is MM/DD/YYYY HH:MM: the rearranged texts compare like
    // the numbers YYYYMMDDHHMM, without a string per row.
    std::vector<std::uint64_t> keys(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) keys[i] = DateKey(rows_[i].texts[c]);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return descending ? keys[b] < keys[a] : keys[a] < keys[b];
    });
  } else {
    std::vector<std::string> keys(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      keys[i] = column == 3 ? SortableModified(rows_[i].texts[c]) : platform::UpperCase(rows_[i].texts[c]);
    }
    // std::string compares as unsigned bytes (char_traits<char>::lt does).
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return descending ? keys[b] < keys[a] : keys[a] < keys[b];
    });
  }
  std::vector<ResultRow> sorted;
  sorted.reserve(rows_.size());
  for (std::size_t i : order) sorted.push_back(std::move(rows_[i]));
  rows_.swap(sorted);

  directionFlag_ = directionFlag_ ? 0 : 1;
  host_.SetWaitCursor(false);
}

void ResultsList::SetSelected(int row, bool selected) {
  if (row >= 0 && row < RowCount()) rows_[static_cast<std::size_t>(row)].selected = selected;
}

void ResultsList::SelectAll(bool selected) {
  for (auto& r : rows_) r.selected = selected;
}

int ResultsList::FirstSelected() const { return NextSelected(-1); }

int ResultsList::NextSelected(int after) const {
  for (int i = std::max(after + 1, 0); i < RowCount(); ++i) {
    if (rows_[static_cast<std::size_t>(i)].selected) return i;
  }
  return -1;
}

int ResultsList::SelectedCount() const {
  return static_cast<int>(std::count_if(rows_.begin(), rows_.end(), [](const ResultRow& r) { return r.selected; }));
}

const std::string& ResultsList::CellText(int row, int column) const {
  if (row < 0 || row >= RowCount() || column < 0 || column > 4) return kEmpty;
  return rows_[static_cast<std::size_t>(row)].texts[static_cast<std::size_t>(column)];
}

}  // namespace ambrelic::ui

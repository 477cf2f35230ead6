#include "ui/results_list.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <type_traits>
#include <numeric>
#include <string_view>

#include "platform/text.h"

namespace ambrelic::ui {

const char* const kClearingNotice =
    "Deleting listed items. It may take a long time if there are many items. Please wait.";

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

// A text's length before it, seven bits a byte, the high bit set on every
// byte but the last.
void PutLength(char*& at, std::size_t length) {
  while (length >= 0x80) {
    *at++ = static_cast<char>(0x80 | (length & 0x7F));
    length >>= 7;
  }
  *at++ = static_cast<char>(length);
}

std::size_t TakeLength(const char*& at) {
  std::size_t length = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    length |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return length;
  }
}

constexpr std::size_t kLengthBytes = 10;  // the most PutLength writes

// The digits of the rearranged text YYYY/MM/DD HH:MM as one number.
std::uint64_t DateKey(std::string_view t) {
  std::uint64_t key = 0;
  for (std::size_t i : {6, 7, 8, 9, 0, 1, 3, 4, 11, 12, 14, 15}) key = key * 10 + static_cast<std::uint64_t>(t[i] - '0');
  return key;
}

}  // namespace

ResultsList::ResultsList(Host& host) : host_(host) {}

ResultsList::~ResultsList() { ReleaseRows(); }

ResultRow OrderedRows::Iterator::operator*() const { return list_->Row(at_); }
OrderedRows::Iterator OrderedRows::end() const { return Iterator(list_, list_.RowCount()); }
std::size_t OrderedRows::size() const { return static_cast<std::size_t>(list_.RowCount()); }
ResultRow OrderedRows::operator[](std::size_t i) const { return list_.Row(static_cast<int>(i)); }

void ResultsList::ReleaseRows() {
  for (const TextBlock& b : textBlocks_) platform::ReleaseLarge(b.bytes, b.size);
  std::vector<TextBlock>().swap(textBlocks_);
  textUsed_ = 0;
  // Facts are made one row at a time and need no destruction.
  static_assert(std::is_trivially_destructible_v<PackedFacts>);
  for (PackedFacts* block : factBlocks_) platform::ReleaseLarge(block, kFactsBlock * sizeof(PackedFacts));
  std::vector<PackedFacts*>().swap(factBlocks_);
  std::vector<disk::RowFacts>().swap(unpackedFacts_);
  std::vector<FolderStep>().swap(folderSteps_);
  decltype(records_)().swap(records_);
  RowOrder().swap(order_);
  selectedCount_ = 0;
}

void ResultsList::Store(const disk::FoundRow& row) {
  const std::string* texts[5] = {&row.name, &row.folder, &row.size, &row.modified, &row.number};
  std::size_t bytes = 0;
  for (const std::string* t : texts) bytes += kLengthBytes + t->size();
  if (textBlocks_.empty() || textBlocks_.back().size - textUsed_ < bytes) {
    // A new block, each twice the last up to kTextBlock: a short list takes
    // a few pages, a long one few blocks. A row longer than a block gets
    // one of its own (which it fills).
    const std::size_t next =
        textBlocks_.empty() ? kFirstTextBlock : std::min(kTextBlock, textBlocks_.back().size * 2);
    const std::size_t size = std::max(next, bytes);
    textBlocks_.push_back({static_cast<char*>(platform::AllocateLarge(size)), size});
    textUsed_ = 0;
  }
  const std::size_t block = textBlocks_.size() - 1;
  const std::uint64_t place = (static_cast<std::uint64_t>(block) << kOffsetBits) | textUsed_;
  char* at = textBlocks_[block].bytes + textUsed_;
  for (const std::string* t : texts) {
    PutLength(at, t->size());
    std::memcpy(at, t->data(), t->size());
    at += t->size();
  }
  textUsed_ = static_cast<std::size_t>(at - textBlocks_[block].bytes);
  const std::size_t s = records_.size();
  if (s % kFactsBlock == 0) {
    factBlocks_.push_back(static_cast<PackedFacts*>(platform::AllocateLarge(kFactsBlock * sizeof(PackedFacts))));
  }
  // Made in place as the row comes: a list of a few rows touches a few
  // pages of its block, not the whole block.
  PutFacts(s, row.facts);
  records_.push_back(place | (row.isFolder ? kFolderFlag : 0));
}

namespace {

// A time in 8 bytes: the kind in the low 2 bits, above them either the UTC
// seconds (62 bits, signed) or the local fields as stored.
constexpr std::uint64_t kKindBits = 2;

std::uint64_t PackTime(const disk::VolumeTime& t) {
  const auto kind = static_cast<std::uint64_t>(t.kind);
  if (t.kind == disk::VolumeTime::Kind::Utc) return (static_cast<std::uint64_t>(t.utcSeconds) << kKindBits) | kind;
  if (t.kind == disk::VolumeTime::Kind::Local) {
    const std::uint64_t fields = static_cast<std::uint64_t>(t.year) | static_cast<std::uint64_t>(t.month) << 16 |
                                 static_cast<std::uint64_t>(t.day) << 24 | static_cast<std::uint64_t>(t.hour) << 32 |
                                 static_cast<std::uint64_t>(t.minute) << 40 | static_cast<std::uint64_t>(t.second) << 48;
    return (fields << kKindBits) | kind;
  }
  return kind;
}

disk::VolumeTime UnpackTime(std::uint64_t word) {
  disk::VolumeTime t;
  t.kind = static_cast<disk::VolumeTime::Kind>(word & ((1u << kKindBits) - 1));
  if (t.kind == disk::VolumeTime::Kind::Utc) {
    t.utcSeconds = static_cast<std::int64_t>(word) >> kKindBits;
  } else if (t.kind == disk::VolumeTime::Kind::Local) {
    const std::uint64_t fields = word >> kKindBits;
    t.year = static_cast<std::uint16_t>(fields);
    t.month = static_cast<std::uint8_t>(fields >> 16);
    t.day = static_cast<std::uint8_t>(fields >> 24);
    t.hour = static_cast<std::uint8_t>(fields >> 32);
    t.minute = static_cast<std::uint8_t>(fields >> 40);
    t.second = static_cast<std::uint8_t>(fields >> 48);
  }
  return t;
}

bool SameTime(const disk::VolumeTime& a, const disk::VolumeTime& b) {
  return a.kind == b.kind && a.utcSeconds == b.utcSeconds && a.year == b.year && a.month == b.month &&
         a.day == b.day && a.hour == b.hour && a.minute == b.minute && a.second == b.second;
}

enum : std::uint8_t {
  kFirstInUse = 1,
  kResident = 2,
  kKnown = 4,
  kSharedWithNewer = 8,
  kHasNameTimes = 16,
  kNoFatChain = 32,
  kUnpacked = 128,  // the facts lie whole in unpackedFacts_[number]
};

}  // namespace

ResultsList::PackedFacts ResultsList::Pack(const disk::RowFacts& f, bool* exact) {
  const disk::VolumeTime* const times[9] = {&f.modified,     &f.written,     &f.accessed,
                                            &f.changed,      &f.created,     &f.nameWritten,
                                            &f.nameAccessed, &f.nameChanged, &f.nameCreated};
  static_assert(sizeof(PackedFacts) == 128);
  PackedFacts p;
  p.size = f.size;
  p.number = f.number;
  p.total = f.condition.total;
  p.free = f.condition.free;
  p.dataLength = f.dataLength;
  p.validLength = f.validLength;
  *exact = true;
  for (int i = 0; i < 9; ++i) {
    p.times[i] = PackTime(*times[i]);
    // UTC seconds beyond 62 bits, or fields left beside a time of another
    // kind, would not come back.
    if (!SameTime(UnpackTime(p.times[i]), *times[i])) *exact = false;
  }
  p.flags = static_cast<std::uint8_t>((f.condition.firstInUse ? kFirstInUse : 0) | (f.condition.resident ? kResident : 0) |
                                      (f.condition.known ? kKnown : 0) |
                                      (f.condition.sharedWithNewer ? kSharedWithNewer : 0) |
                                      (f.hasNameTimes ? kHasNameTimes : 0) | (f.noFatChain ? kNoFatChain : 0));
  p.unit = static_cast<std::uint8_t>(f.condition.unit);
  p.content = static_cast<std::uint8_t>(f.condition.content);
  p.contentPercent = f.condition.contentPercent;
  p.parent = f.parent == disk::kNoFolder ? kNoParent : static_cast<std::uint32_t>(f.parent);
  if (f.parent != disk::kNoFolder && f.parent >= kNoParent) *exact = false;
  return p;
}

disk::RowFacts ResultsList::Unpack(const PackedFacts& p) {
  disk::RowFacts f;
  f.size = p.size;
  f.number = p.number;
  f.condition.total = p.total;
  f.condition.free = p.free;
  f.dataLength = p.dataLength;
  f.validLength = p.validLength;
  disk::VolumeTime* const times[9] = {&f.modified,     &f.written,     &f.accessed,    &f.changed,    &f.created,
                                      &f.nameWritten,  &f.nameAccessed, &f.nameChanged, &f.nameCreated};
  for (int i = 0; i < 9; ++i) *times[i] = UnpackTime(p.times[i]);
  f.condition.firstInUse = (p.flags & kFirstInUse) != 0;
  f.condition.resident = (p.flags & kResident) != 0;
  f.condition.known = (p.flags & kKnown) != 0;
  f.condition.sharedWithNewer = (p.flags & kSharedWithNewer) != 0;
  f.hasNameTimes = (p.flags & kHasNameTimes) != 0;
  f.noFatChain = (p.flags & kNoFatChain) != 0;
  f.condition.unit = static_cast<disk::ConditionUnit>(p.unit);
  f.condition.content = static_cast<disk::ContentCheck>(p.content);
  f.condition.contentPercent = p.contentPercent;
  f.parent = p.parent == kNoParent ? disk::kNoFolder : p.parent;
  return f;
}

void ResultsList::PutFacts(std::size_t s, const disk::RowFacts& facts) {
  PackedFacts* at = &factBlocks_[s / kFactsBlock][s % kFactsBlock];
  bool exact = false;
  const PackedFacts packed = Pack(facts, &exact);
  if (exact) {
    std::construct_at(at, packed);
    return;
  }
  PackedFacts whole{};
  whole.flags = kUnpacked;
  whole.number = unpackedFacts_.size();
  unpackedFacts_.push_back(facts);
  std::construct_at(at, whole);
}

std::string_view ResultsList::StoredText(std::size_t s, int column) const {
  const std::uint64_t place = records_[s] & kPlaceMask;
  const char* at = textBlocks_[place >> kOffsetBits].bytes + (place & ((1ull << kOffsetBits) - 1));
  for (int c = 0;; ++c) {
    const std::size_t length = TakeLength(at);
    if (c == column) return std::string_view(at, length);
    at += length;
  }
}

disk::RowFacts ResultsList::StoredFacts(std::size_t s) const {
  const PackedFacts& packed = factBlocks_[s / kFactsBlock][s % kFactsBlock];
  if (packed.flags & kUnpacked) return unpackedFacts_[packed.number];
  return Unpack(packed);
}

void ResultsList::SetStoredFlag(std::size_t s, std::uint64_t flag, bool on) {
  if (on) {
    records_[s] |= flag;
  } else {
    records_[s] &= ~flag;
  }
}

ResultRow ResultsList::StoredRow(std::size_t s) const {
  ResultRow r;
  for (int c = 0; c < 5; ++c) r.texts[static_cast<std::size_t>(c)] = std::string(StoredText(s, c));
  r.isFolder = StoredFlag(s, kFolderFlag);
  r.selected = StoredFlag(s, kSelectedFlag);
  r.iconKey = IconKeyFor(r.texts[0], r.isFolder);
  r.facts = StoredFacts(s);
  return r;
}

ResultRow ResultsList::Row(int row) const {
  if (row < 0 || row >= RowCount()) return ResultRow();
  return StoredRow(Stored(row));
}

bool ResultsList::IsFolder(int row) const {
  return row >= 0 && row < RowCount() && StoredFlag(Stored(row), kFolderFlag);
}

bool ResultsList::IsSelected(int row) const {
  return row >= 0 && row < RowCount() && StoredFlag(Stored(row), kSelectedFlag);
}

std::string ResultsList::IconKey(int row) const {
  if (row < 0 || row >= RowCount()) return std::string();
  return IconKeyFor(StoredText(Stored(row), 0), StoredFlag(Stored(row), kFolderFlag));
}

disk::RowFacts ResultsList::Facts(int row) const {
  if (row < 0 || row >= RowCount()) return disk::RowFacts();
  return StoredFacts(Stored(row));
}

std::uint64_t ResultsList::Parent(int row) const {
  if (row < 0 || row >= RowCount()) return disk::kNoFolder;
  const std::size_t s = Stored(row);
  const PackedFacts& packed = factBlocks_[s / kFactsBlock][s % kFactsBlock];
  if (packed.flags & kUnpacked) return unpackedFacts_[packed.number].parent;
  return packed.parent == kNoParent ? disk::kNoFolder : packed.parent;
}

void ResultsList::SetFacts(int row, const disk::RowFacts& facts) {
  if (row < 0 || row >= RowCount()) return;
  const std::size_t s = Stored(row);
  const PackedFacts& old = factBlocks_[s / kFactsBlock][s % kFactsBlock];
  if (old.flags & kUnpacked) {
    unpackedFacts_[old.number] = facts;
    return;
  }
  PutFacts(s, facts);
}

std::size_t ResultsList::StorageBytes() const {
  std::size_t bytes = records_.capacity() * sizeof(std::uint64_t) + order_.capacity() * sizeof(std::uint32_t);
  for (const TextBlock& b : textBlocks_) bytes += b.size;
  bytes += factBlocks_.size() * kFactsBlock * sizeof(PackedFacts);
  bytes += unpackedFacts_.capacity() * sizeof(disk::RowFacts);
  bytes += folderSteps_.capacity() * sizeof(FolderStep);
  return bytes;
}

bool ResultsList::AllCanonicalDates() const {
  for (std::size_t s = 0; s < StoredCount(); ++s) {
    if (!IsCanonicalDate(StoredText(s, 3))) return false;
  }
  return true;
}

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
    // A million rows are a few hundred large blocks: they go in one pass.
    ReleaseRows();
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
  const std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(std::max(op.NextRow, 0)), order_.size());
  const auto stored = static_cast<std::uint32_t>(records_.size());
  Store(row);
  if (at == order_.size()) {
    order_.push_back(stored);
  } else {
    order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(at), stored);
  }
  op.NextRow += 1;
  if (rowObserver_) rowObserver_(StoredRow(stored));
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
  } else if (column == 3 && AllCanonicalDates()) {
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
  const std::vector<std::uint32_t> position = PositionsOfStoredRows();
  std::vector<std::uint64_t> packed(StoredCount());
  for (std::size_t s = 0; s < StoredCount(); ++s) {
    std::uint32_t key = ParseUInt32Text(StoredText(s, column));
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
  std::vector<Key> keys(StoredCount());
  for (std::size_t s = 0; s < StoredCount(); ++s) {
    const std::uint64_t date = DateKey(StoredText(s, 3));
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
  // Texts are laid out in the order the rows are stored.
  const std::size_t rows = StoredCount();
  std::string arena;
  std::vector<std::uint32_t> start(rows + 1);
  for (std::size_t s = 0; s < rows; ++s) {
    start[s] = static_cast<std::uint32_t>(arena.size());
    const std::string_view text = StoredText(s, column);
    if (column == 3) {
      arena += SortableModified(text);
    } else if (std::all_of(text.begin(), text.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; })) {
      // ASCII: the locale's upper case of these bytes is A to Z.
      for (char ch : text) arena += (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 32) : ch;
    } else {
      arena += platform::UpperCase(text);
    }
  }
  start[rows] = static_cast<std::uint32_t>(arena.size());
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
  std::size_t common = rows == 0 ? 0 : text(0).size();
  for (std::size_t s = 1; s < rows && common != 0; ++s) {
    const std::string_view first = text(0);
    const std::string_view t = text(static_cast<std::uint32_t>(s));
    std::size_t same = 0;
    const std::size_t limit = std::min(common, t.size());
    while (same < limit && first[same] == t[same]) ++same;
    common = same;
  }
  const std::vector<std::uint32_t> position = PositionsOfStoredRows();
  std::vector<Key> keys(rows);
  for (std::size_t s = 0; s < rows; ++s) {
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
  const std::size_t s = Stored(row);
  if (StoredFlag(s, kSelectedFlag) != selected) selectedCount_ += selected ? 1 : -1;
  SetStoredFlag(s, kSelectedFlag, selected);
}

void ResultsList::SelectAll(bool selected) {
  for (std::size_t s = 0; s < StoredCount(); ++s) SetStoredFlag(s, kSelectedFlag, selected);
  selectedCount_ = selected ? RowCount() : 0;
}

int ResultsList::FirstSelected() const { return NextSelected(-1); }

int ResultsList::NextSelected(int after) const {
  // After a sort the rows lie in memory in another order than the list's:
  // with nothing selected there is no need to visit them.
  if (selectedCount_ == 0) return -1;
  for (int i = std::max(after + 1, 0); i < RowCount(); ++i) {
    if (StoredFlag(Stored(i), kSelectedFlag)) return i;
  }
  return -1;
}

int ResultsList::SelectedCount() const {
  return selectedCount_;
}

std::string_view ResultsList::CellView(int row, int column) const {
  if (row < 0 || row >= RowCount() || column < 0 || column > 4) return std::string_view();
  return StoredText(Stored(row), column);
}

std::string ResultsList::CellText(int row, int column) const { return std::string(CellView(row, column)); }

}  // namespace ambrelic::ui

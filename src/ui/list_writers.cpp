#include "ui/list_writers.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/text.h"

namespace ambrelic::ui {
namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t Utf8Length(std::string_view t, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
  const unsigned char c = b(i);
  std::size_t n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
  else return 0;
  if (t.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  return n;
}

std::size_t ColumnCount(const ResultsList& list) { return std::min<std::size_t>(list.Columns().size(), 5); }

const char* const kConditionHeader = "Condition";

// Cell c of a row, the sixth being the condition.
std::string_view Cell(const ResultRow& row, std::size_t c, std::string& scratch) {
  if (c < 5) return row.texts[c];
  scratch = ConditionCell(row.facts.condition);
  return scratch;
}

std::string JsonTime(const disk::VolumeTime& t) {
  const std::string iso = disk::Iso8601Local(t);
  return iso.empty() ? std::string("null") : "\"" + iso + "\"";
}

// The row's full path as the list shows paths: In Folder, a backslash
// unless the folder already ends with one, then the name.
std::string FullPath(const ResultRow& row) {
  std::string path = row.texts[1];
  if (path.empty() || path.back() != '\\') path += '\\';
  return path + row.texts[0];
}

// A body-format field: the separator and line ends cannot appear inside.
std::string BodyField(std::string text) {
  for (char& c : text) {
    if (c == '|' || c == '\n' || c == '\r') c = '?';
  }
  return text;
}

std::string BodyTime(const disk::VolumeTime& t) {
  const std::optional<std::int64_t> seconds = disk::UnixSeconds(t);
  return std::to_string(seconds ? *seconds : 0);
}

}  // namespace

std::string ConditionCell(const disk::RowCondition& condition) {
  // What the content says comes first: bytes that parse to their end are
  // the file, bytes that do not are not, whatever the clusters say.
  if (condition.content == disk::ContentCheck::Damaged) {
    return "damaged " + std::to_string(condition.contentPercent) + "%";
  }
  if (!condition.known) return "unknown";
  if (condition.content == disk::ContentCheck::Verified && disk::Classify(condition) == disk::Condition::Intact) {
    return "intact, verified";
  }
  return std::string(disk::ConditionName(disk::Classify(condition))) + " " +
         std::to_string(disk::PercentFree(condition)) + "%";
}

std::string NumberKey(const ResultsList& list) {
  if (list.Columns().size() > 4 && list.Columns()[4].header == "Sector") return "sector";
  return list.Columns().size() > 4 && list.Columns()[4].header == "File No" ? "file_no" : "cluster";
}

std::string JsonRow(const ResultRow& row, const std::string& numberKey) {
  const disk::RowFacts& f = row.facts;
  std::string out = "{\"name\": " + JsonString(row.texts[0]) + ", \"folder\": " + JsonString(row.texts[1]);
  out += ", \"size\": " + (row.isFolder ? std::string("null") : std::to_string(f.size));
  out += ", \"modified\": " + JsonTime(f.modified);
  out += ", \"" + numberKey + "\": " + std::to_string(f.number);
  out += std::string(", \"is_folder\": ") + (row.isFolder ? "true" : "false");
  if (f.condition.known || f.condition.content == disk::ContentCheck::Damaged) {
    out += std::string(", \"condition\": \"") + disk::ConditionName(disk::Classify(f.condition)) + "\"";
    out += ", \"percent_free\": " + std::to_string(disk::PercentFree(f.condition));
  } else {
    out += ", \"condition\": null, \"percent_free\": null";
  }
  if (f.condition.content != disk::ContentCheck::None) {
    out += std::string(", \"verified\": ") + (f.condition.content == disk::ContentCheck::Verified ? "true" : "false");
    if (f.condition.content == disk::ContentCheck::Damaged) {
      out += ", \"percent_parsed\": " + std::to_string(f.condition.contentPercent);
    }
  }
  out += '}';
  return out;
}

std::string BodyLines(const ResultRow& row) {
  const disk::RowFacts& f = row.facts;
  const std::string name = BodyField(FullPath(row));
  const std::string rest = "|" + std::to_string(f.number) + "|" + (row.isFolder ? "d/drwxrwxrwx" : "r/rrwxrwxrwx") +
                           "|0|0|" + std::to_string(row.isFolder ? 0 : f.size) + "|";
  std::string out = "0|" + name + rest + BodyTime(f.accessed) + "|" + BodyTime(f.written) + "|" +
                    BodyTime(f.changed) + "|" + BodyTime(f.created) + "\n";
  if (f.hasNameTimes) {
    out += "0|" + name + " ($FILE_NAME)" + rest + BodyTime(f.nameAccessed) + "|" + BodyTime(f.nameWritten) + "|" +
           BodyTime(f.nameChanged) + "|" + BodyTime(f.nameCreated) + "\n";
  }
  return out;
}

namespace {

}  // namespace

void AppendCsvField(std::string& out, std::string_view text) {
  bool quote = false;
  for (char c : text) {
    if (c == ',' || c == '"' || c == '\r' || c == '\n') {
      quote = true;
      break;
    }
  }
  if (!quote) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string CsvField(std::string_view text) {
  std::string out;
  AppendCsvField(out, text);
  return out;
}

std::string JsonString(std::string_view t) {
  std::string out = "\"";
  for (std::size_t i = 0; i < t.size();) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    if (c >= 0x80) {
      const std::size_t n = Utf8Length(t, i);
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(t.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

void WriteCsv(const ResultsList& list, std::ostream& out, bool withCondition) {
  // The whole text is built first and written once: a stream insertion per
  // cell was most of the time a large listing took.
  const std::size_t n = ColumnCount(list);
  std::string text;
  text.reserve(64 + list.Rows().size() * 96);
  for (std::size_t c = 0; c < n; ++c) {
    if (c) text += ',';
    AppendCsvField(text, list.Columns()[c].header);
  }
  if (withCondition) text += std::string(",") + kConditionHeader;
  text += '\n';
  for (const auto& row : list.Rows()) {
    for (std::size_t c = 0; c < n; ++c) {
      if (c) text += ',';
      AppendCsvField(text, row.texts[c]);
    }
    if (withCondition) {
      text += ',';
      AppendCsvField(text, ConditionCell(row.facts.condition));
    }
    text += '\n';
  }
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void WriteJson(const ResultsList& list, std::ostream& out) {
  if (list.Rows().empty()) {
    out << "[]\n";
    return;
  }
  const std::string key = NumberKey(list);
  std::string text = "[\n";
  bool first = true;
  for (const auto& row : list.Rows()) {
    text += first ? "  " : ",\n  ";
    first = false;
    text += JsonRow(row, key);
  }
  text += "\n]\n";
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void WriteJsonLines(const ResultsList& list, std::ostream& out) {
  const std::string key = NumberKey(list);
  std::string text;
  for (const auto& row : list.Rows()) text += JsonRow(row, key) + "\n";
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void WriteBodyfile(const ResultsList& list, std::ostream& out) {
  std::string text;
  for (const auto& row : list.Rows()) text += BodyLines(row);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void WriteTable(const ResultsList& list, std::ostream& out, bool withCondition) {
  const std::size_t designed = ColumnCount(list);
  if (designed == 0) return;
  const std::size_t n = designed + (withCondition ? 1 : 0);
  auto header = [&](std::size_t c) -> std::string_view {
    return c < designed ? std::string_view(list.Columns()[c].header) : std::string_view(kConditionHeader);
  };
  std::string scratch;
  std::vector<std::size_t> width(n, 0);
  for (std::size_t c = 0; c < n; ++c) width[c] = platform::CharCount(header(c));
  for (const auto& row : list.Rows()) {
    for (std::size_t c = 0; c < n; ++c) width[c] = std::max(width[c], platform::CharCount(Cell(row, c, scratch)));
  }
  auto line = [&](auto cell) {
    std::string text;
    for (std::size_t c = 0; c < n; ++c) {
      const std::string_view s = cell(c);
      const std::size_t pad = width[c] - std::min(width[c], platform::CharCount(s));
      const bool right = c < designed && list.Columns()[c].align == Align::Right;
      if (c) text += "  ";
      if (right) text.append(pad, ' ');
      text += s;
      if (!right && c + 1 < n) text.append(pad, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << '\n';
  };
  line([&](std::size_t c) { return header(c); });
  for (const auto& row : list.Rows()) line([&](std::size_t c) { return Cell(row, c, scratch); });
}

}  // namespace ambrelic::ui

#include "cli/output.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/text.h"

namespace ambrelic::cli {
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

std::size_t ColumnCount(const ui::ResultsList& list) { return std::min<std::size_t>(list.Columns().size(), 5); }

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

void WriteCsv(const ui::ResultsList& list, std::ostream& out) {
  // The whole text is built first and written once: a stream insertion per
  // cell was most of the time a large listing took.
  const std::size_t n = ColumnCount(list);
  std::string text;
  text.reserve(64 + list.Rows().size() * 96);
  for (std::size_t c = 0; c < n; ++c) {
    if (c) text += ',';
    AppendCsvField(text, list.Columns()[c].header);
  }
  text += '\n';
  for (const auto& row : list.Rows()) {
    for (std::size_t c = 0; c < n; ++c) {
      if (c) text += ',';
      AppendCsvField(text, row.texts[c]);
    }
    text += '\n';
  }
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void WriteJson(const ui::ResultsList& list, std::ostream& out) {
  const std::size_t n = ColumnCount(list);
  if (list.Rows().empty()) {
    out << "[]\n";
    return;
  }
  out << "[\n";
  bool first = true;
  for (const auto& row : list.Rows()) {
    out << (first ? "  {" : ",\n  {");
    first = false;
    for (std::size_t c = 0; c < n; ++c) {
      out << (c ? ", " : "") << JsonString(list.Columns()[c].header) << ": " << JsonString(row.texts[c]);
    }
    out << '}';
  }
  out << "\n]\n";
}

void WriteTable(const ui::ResultsList& list, std::ostream& out) {
  const std::size_t n = ColumnCount(list);
  if (n == 0) return;
  std::vector<std::size_t> width(n, 0);
  for (std::size_t c = 0; c < n; ++c) width[c] = platform::CharCount(list.Columns()[c].header);
  for (const auto& row : list.Rows()) {
    for (std::size_t c = 0; c < n; ++c) width[c] = std::max(width[c], platform::CharCount(row.texts[c]));
  }
  auto line = [&](auto cell) {
    std::string text;
    for (std::size_t c = 0; c < n; ++c) {
      const std::string& s = cell(c);
      const std::size_t pad = width[c] - std::min(width[c], platform::CharCount(s));
      const bool right = list.Columns()[c].align == ui::Align::Right;
      if (c) text += "  ";
      if (right) text.append(pad, ' ');
      text += s;
      if (!right && c + 1 < n) text.append(pad, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << '\n';
  };
  line([&](std::size_t c) -> const std::string& { return list.Columns()[c].header; });
  for (const auto& row : list.Rows()) line([&](std::size_t c) -> const std::string& { return row.texts[c]; });
}

}  // namespace ambrelic::cli

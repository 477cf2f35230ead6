// The results list written out: CSV (RFC 4180 quoting), JSON, or an aligned
// table for people. Every cell is exactly the list's text.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "ui/results_list.h"

namespace ambrelic::cli {

void WriteCsv(const ui::ResultsList& list, std::ostream& out);
void WriteJson(const ui::ResultsList& list, std::ostream& out);
void WriteTable(const ui::ResultsList& list, std::ostream& out);

std::string CsvField(std::string_view text);
void AppendCsvField(std::string& out, std::string_view text);
// A JSON string literal with its quotes; bytes that are not UTF-8 become
// U+FFFD so that the document stays valid.
std::string JsonString(std::string_view text);

}  // namespace ambrelic::cli

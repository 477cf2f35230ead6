// The results list written out: CSV (RFC 4180 quoting), JSON, The Sleuth
// Kit's body format, or an aligned table for people. Every cell is exactly
// the list's text. The command line writes its listings with these and the
// window saves its list with them.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "ui/results_list.h"

namespace ambrelic::ui {

// withCondition adds the "Condition" column after the designed five.
void WriteCsv(const ResultsList& list, std::ostream& out, bool withCondition = false);
void WriteTable(const ResultsList& list, std::ostream& out, bool withCondition = false);
// An array of one object per row, typed: "name", "folder", "size" (null for
// a folder), "modified" (ISO 8601 local time with its offset, null when the
// entry holds no valid time), "cluster" or "file_no" (after the list's
// fifth column), "is_folder", "condition" and "percent_free" (null when
// unknown).
void WriteJson(const ResultsList& list, std::ostream& out);
// The same objects one per line.
void WriteJsonLines(const ResultsList& list, std::ostream& out);
// The Sleuth Kit's body format, for mactime -b.
void WriteBodyfile(const ResultsList& list, std::ostream& out);

// One row as a JSON object on one line (no newline); numberKey is "cluster"
// or "file_no".
std::string JsonRow(const ResultRow& row, const std::string& numberKey);
// "cluster" or "file_no", after the list's fifth column.
std::string NumberKey(const ResultsList& list);
// The body-format lines of one row (each ending in a newline):
// MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime with the full
// path as the name and the cluster or record number as the inode; an NTFS
// row adds a line for the times of its $FILE_NAME.
std::string BodyLines(const ResultRow& row);
// The Condition cell: "intact 100%", "partial 66%", "overwritten 0%", or
// "unknown".
std::string ConditionCell(const disk::RowCondition& condition);

std::string CsvField(std::string_view text);
void AppendCsvField(std::string& out, std::string_view text);
// A JSON string literal with its quotes; bytes that are not UTF-8 become
// U+FFFD so that the document stays valid.
std::string JsonString(std::string_view text);

}  // namespace ambrelic::ui

// The command line's listings are written by the list writers the window
// shares (ui/list_writers.h), under the names the command line knows them by.
#pragma once

#include "ui/list_writers.h"

namespace ambrelic::cli {

using ui::AppendCsvField;
using ui::BodyLines;
using ui::ConditionCell;
using ui::CsvField;
using ui::JsonRow;
using ui::JsonString;
using ui::NumberKey;
using ui::WriteBodyfile;
using ui::WriteCsv;
using ui::WriteJson;
using ui::WriteJsonLines;
using ui::WriteTable;

}  // namespace ambrelic::cli

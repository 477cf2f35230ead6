// Which selected rows a restore writes on their own, and which folders the
// restores of the selected folder rows walk.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "ui/results_list.h"

namespace ambrelic::ui {

// What the restore of the selected rows writes. A folder row's restore
// walks the folder its number names and every folder in it, so a row is
// written by it when the row's parent fact leads up to that number through
// the folder rows and the folders the search entered without listing them
// (a name filter leaves them out). Several folder rows may name one folder (a
// folder deleted, its cluster or record taken by another folder deleted
// since), and a hostile volume may have folders name each other in a
// loop: the folders are followed down from the selected ones, each at most
// once, which also keeps a --all of a million rows linear.
struct RestorePlan {
  std::vector<int> rows;                     // selected rows restored on their own
  std::unordered_set<std::uint64_t> walked;  // folders the selected folders' restores walk
};

RestorePlan PlanRestore(const ResultsList& list);

}  // namespace ambrelic::ui

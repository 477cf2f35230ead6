// Where the bytes a restore of a found row would write lie on the volume,
// whichever engine listed the row: the clusters in file order, as the
// engine's restore chooses them. The deep scan uses it to leave alone what
// the search already lists, and the condition to check those bytes against
// their format.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "carve/scanner.h"
#include "disk/volume_context.h"
#include "ui/results_list.h"

namespace ambrelic::ui {

// The clusters of the prepared volume as units of the deep scan (FAT,
// exFAT, NTFS); unitCount 0 for any other volume.
carve::ScanArea ClusterArea(const disk::VolumeContext& ctx);

struct RowData {
  std::vector<carve::UnitRun> runs;   // clusters of ClusterArea, in file order
  std::uint64_t length = 0;           // the bytes the restore writes
  // The data lies in the record itself (NTFS): runs are empty.
  std::vector<std::uint8_t> resident;
};

// A file row's data; empty for a folder, an empty file, data the restore
// does not read straight from clusters (compressed or sparse NTFS data), or
// a row whose record cannot be read.
std::optional<RowData> RowDataOf(const disk::VolumeContext& ctx, const ResultRow& row);

}  // namespace ambrelic::ui

namespace ambrelic::ui {

// Mends the conditions of file rows in place where the clusters alone say
// too much:
// - a row whose type the deep scan knows (by its extension, else by its
//   first bytes) has the bytes its restore would write parsed: "verified"
//   when they parse to their end at exactly its size, "damaged" (with how
//   far they parse) when they do not;
// - otherwise, a cluster that two deleted rows claim no longer counts as
//   free for the older one (by time): the newer file was written over it;
// - otherwise, a deleted exFAT file of more than one cluster whose entry
//   says its clusters were chained, and whose chain is gone, has clusters
//   the restore can only guess: its condition is unknown.
// Each check reads at most the row's own bytes. progress (may be null) is
// advanced by row; its Cancel stops the checks, the rows left keep what the
// clusters say. Returns the rows whose content was checked.
std::uint64_t CheckRowConditions(const disk::VolumeContext& ctx, const std::vector<ResultRow*>& rows,
                                 disk::ProgressSink* progress);

// The row's bytes as its restore reads them.
std::unique_ptr<carve::ByteSource> RowSource(const disk::VolumeContext& ctx, const RowData& data);

}  // namespace ambrelic::ui

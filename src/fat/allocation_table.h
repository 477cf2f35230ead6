// Cluster arithmetic and the in-memory allocation tables of a FAT volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "disk/fat_entry.h"
#include "disk/volume_context.h"

namespace ambrelic::fat {

using Cluster = std::uint32_t;
// Result of reading an allocation entry: 0 free, -1 end of chain, -9 bad
// cluster, anything else the raw value taken as the next cluster.
using FatEntry = std::int32_t;
constexpr FatEntry kFreeCluster = 0;
constexpr FatEntry kEndOfChain = -1;
constexpr FatEntry kBadCluster = -9;

std::uint32_t ClusterToSector(const disk::VolumeContext& ctx, Cluster cluster);
// Reads or writes one cluster (bytesPerCluster bytes) through the sector device.
bool ReadCluster(const disk::VolumeContext& ctx, Cluster cluster, std::uint8_t* buffer);
bool WriteCluster(const disk::VolumeContext& ctx, Cluster cluster, const std::uint8_t* buffer);

// Every reader of allocation entries goes through the one entry reader,
// so that the search, the restore, the condition and the wipe follow the
// same chains.
using disk::FatEntryValue;

// Entry `cluster` of a table (fatCopy or fatWork). An entry that lies beyond
// the loaded table reads as end of chain: its allocation is unknown, so it
// is taken as in use and never as vacant.
FatEntry FatGetEntry(const disk::VolumeContext& ctx, std::span<const std::uint8_t> table, Cluster cluster);
// Marks entry `cluster` of fatWork; entries beyond the table are left alone.
void FatSetEntry(disk::VolumeContext& ctx, Cluster cluster, FatEntry value);
bool IsValidCluster(const disk::VolumeContext& ctx, std::uint64_t cluster);
// The next cluster of a chain in fatWork, or 0 when the chain ends.
Cluster NextInChain(const disk::VolumeContext& ctx, Cluster cluster);

// Sectors at the start of the first table that hold the entries of
// clusters 0 to lastCluster: what is loaded of a table, never more than the
// table has. The entries after them describe no cluster of the volume.
std::uint32_t LoadedTableSectors(const disk::VolumeContext& ctx);

// Loads the first allocation table (its LoadedTableSectors) into fatCopy
// and fatWork; sectors of it that cannot be read are taken from the next
// table that agrees with it. False, with both absent, when the table cannot
// be held in memory; the volume cannot be searched then.
bool LoadAllocationTable(disk::VolumeContext& ctx, std::uint32_t partitionStart);

}  // namespace ambrelic::fat

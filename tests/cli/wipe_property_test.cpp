// The wipe against random histories made by the real tools (mtools,
// ntfs-3g) and against one-byte mutants of them, with The Sleuth Kit as the
// oracle:
// - on every history, after both phases, every allocated file reads back
//   byte for byte through icat, fsck.fat -n / ntfsfix -n find nothing to
//   mend, fls -rd finds no deleted name, and the exit status is 0;
// - on every mutant (one byte of the boot sector, an allocation table, a
//   directory entry, an MFT record, a run list or the bitmap), every file
//   The Sleuth Kit reads in the mutant reads the same after the wipe, or
//   the wipe refused and wrote nothing.
// By default a short run with fixed seeds; AMBRELIC_WIPE_HISTORIES (per
// kind and cluster size), AMBRELIC_WIPE_MUTANTS (per history),
// AMBRELIC_WIPE_SEED and AMBRELIC_WIPE_ALL_CLUSTERS=1 (512 B to 64 KiB;
// FAT16 to 32 KiB, FAT32 to 4 KiB) make a longer campaign, whose figures
// are printed per kind; AMBRELIC_WIPE_CLI runs another build of the program.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include "disk/byte_reader.h"
#include "fat/fat_test_image.h"
#include "ntfs/attributes.h"
#include "ntfs/clusters_in_use.h"
#include "ntfs/mft_scan.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// A history image, made once per build tree and kept.
std::string HistoryImage(const std::string& kind, std::uint32_t cluster, std::uint64_t seed) {
  const std::string dir = std::string(AMBRELIC_FIXTURE_DIR) + "/history";
  fs::create_directories(dir);
  const std::string path = dir + "/" + kind + "-" + std::to_string(cluster) + "-" + std::to_string(seed) + ".img";
  if (!fs::exists(path)) {
    int rc = -1;
    const std::string log = test::RunCommand("bash '" + std::string(AMBRELIC_FIXTURE_SCRIPTS) +
                                                 "/make_history.sh' " + kind + " " + std::to_string(cluster) + " " +
                                                 std::to_string(seed) + " '" + path + ".tmp' 2>&1",
                                             &rc);
    EXPECT_EQ(rc, 0) << log;
    if (rc != 0) return {};
    fs::rename(path + ".tmp", path);
  }
  return path;
}

// s with every ' made safe inside a single-quoted shell word.
std::string Quoted(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out;
}

// The files The Sleuth Kit calls allocated, by inode: the SHA-256 of what
// icat gives. Files it cannot read are left out. The MFT itself ($MFT,
// inode 0) is left out too: the record pass changes its deleted records.
std::map<std::string, std::string> LiveFiles(const std::string& image) {
  // One shell for the whole list: fls, then icat and sha256sum per file.
  const std::string script =
      "set -o pipefail; timeout 60 fls -r -u -F -p '" + image +
      "' 2>/dev/null | cut -f1 | awk '{print $NF}' | tr -d ':' | while read -r i; do "
      "case $i in 0-*) continue;; esac; "
      "if h=$(timeout 60 icat '" + image + "' \"$i\" 2>/dev/null | sha256sum); then echo \"$i ${h%% *}\"; fi; done";
  std::map<std::string, std::string> out;
  std::istringstream in(test::RunCommand("bash -c '" + Quoted(script) + "'"));
  for (std::string inode, hash; in >> inode >> hash;) out[inode] = hash;
  return out;
}

struct Mutation {
  std::uint64_t offset = 0;
  std::string what;
};

std::uint64_t Pick(std::mt19937_64& rng, std::uint64_t n) { return n == 0 ? 0 : rng() % n; }

// Byte ranges of a FAT volume worth changing: [offset, offset + length).
struct Range {
  std::uint64_t offset, length;
  std::string what;
};

std::vector<Range> FatTargets(const std::string& image) {
  std::vector<Range> out;
  disk::VolumeContext ctx;
  if (!fat::test::OpenFatImage(image, ctx)) return out;
  const std::uint64_t bps = ctx.bytesPerSector;
  out.push_back({0, 0x5A, "boot sector"});
  if (ctx.fsKind == disk::FsKind::Fat32) out.push_back({6 * bps, 0x5A, "backup boot sector"});
  const std::uint64_t entryBits = ctx.fsKind == disk::FsKind::Fat12 ? 12 : ctx.fsKind == disk::FsKind::Fat16 ? 16 : 32;
  const std::uint64_t tableBytes = ((ctx.lastCluster + 1) * entryBits + 7) / 8;
  for (std::uint64_t k = 0; k < ctx.numberOfFats; ++k) {
    // The entries in use, where a change matters; each of them a target.
    const std::uint64_t start = (ctx.fatStartSector + k * ctx.sectorsPerFat) * bps;
    for (fat::Cluster c = 2; c <= ctx.lastCluster; ++c) {
      if (fat::FatGetEntry(ctx, ctx.fatCopy, c) == fat::kFreeCluster) continue;
      out.push_back({start + c * entryBits / 8, entryBits == 12 ? 2 : entryBits / 8, "allocation table"});
    }
    out.push_back({start, tableBytes, "allocation table"});
  }
  // Directory entries: the root and every live folder, entry by entry.
  const auto raw = test::ReadFileBytes(image);
  auto entries = [&](std::uint64_t at, std::uint64_t bytes) {
    for (std::uint64_t e = at; e + 32 <= at + bytes && e + 32 <= raw.size(); e += 32) {
      if (raw[e] == 0) break;
      out.push_back({e, 32, "directory entry"});
    }
  };
  std::vector<fat::Cluster> folders;
  if (ctx.rootCluster == 0) {
    entries(ctx.rootDirSector * bps, static_cast<std::uint64_t>(ctx.rootEntryCount) * 32);
  } else {
    folders.push_back(ctx.rootCluster);
  }
  // Subfolders of the fixed root and of every folder found (a small walk,
  // enough to find targets).
  auto scan = [&](std::uint64_t at, std::uint64_t bytes) {
    for (std::uint64_t e = at; e + 32 <= at + bytes && e + 32 <= raw.size(); e += 32) {
      if (raw[e] == 0) break;
      if (raw[e] == 0xE5 || raw[e] == '.' || raw[e + 11] == 0x0F || !(raw[e + 11] & 0x10)) continue;
      fat::Cluster c = disk::le16(raw, e + 0x1A);
      if (ctx.fsKind == disk::FsKind::Fat32) c |= static_cast<fat::Cluster>(disk::le16(raw, e + 0x14)) << 16;
      if (fat::IsValidCluster(ctx, c) && folders.size() < 10000) folders.push_back(c);
    }
  };
  if (ctx.rootCluster == 0) scan(ctx.rootDirSector * bps, static_cast<std::uint64_t>(ctx.rootEntryCount) * 32);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    ctx.fatWork = ctx.fatCopy;
    for (fat::Cluster c = folders[i], n = 0; c != 0 && n < ctx.lastCluster; c = fat::NextInChain(ctx, c), ++n) {
      const std::uint64_t at = static_cast<std::uint64_t>(fat::ClusterToSector(ctx, c)) * bps;
      entries(at, ctx.bytesPerCluster);
      scan(at, ctx.bytesPerCluster);
    }
  }
  return out;
}

std::vector<Range> NtfsTargets(const std::string& image) {
  std::vector<Range> out;
  disk::VolumeContext ctx;
  ctx.fsKind = disk::FsKind::Ntfs;
  ctx.volumeHandle = platform::OpenFileDevice(image).device;
  if (!ctx.volumeHandle || !ntfs::PrepareNtfsVolume(ctx)) return out;
  const std::uint64_t cs = ctx.bytesPerCluster;
  const std::uint64_t rs = ctx.mftRecordSize;
  out.push_back({0, 0x54, "boot sector"});
  auto mft = ntfs::CollectRuns(ctx, ctx.mftSelfRecord, ntfs::kAttrData);
  if (!mft) return out;
  auto where = [&](const std::vector<ntfs::ClusterRun>& runs, std::uint64_t at) -> std::uint64_t {
    for (const auto& r : runs) {
      if (!r.sparse && at / cs >= r.vcn && at / cs - r.vcn < r.length) return (r.lcn + at / cs - r.vcn) * cs + at % cs;
    }
    return 0;
  };
  const auto raw = test::ReadFileBytes(image);
  for (std::uint64_t n = 0; n < ntfs::MftRecordCount(ctx); ++n) {
    const std::uint64_t at = where(mft->runs, n * rs);
    if (at == 0 || at + rs > raw.size() || disk::le32(raw, at) != ntfs::kFileSignature) continue;
    std::vector<std::uint8_t> record(rs);
    if (!ntfs::ReadMftRecord(ctx, static_cast<ntfs::RecordNumber>(n), record)) continue;
    const disk::Bytes bytes(record);
    const std::uint64_t used = std::min<std::uint64_t>(disk::le32(bytes, 0x18), rs);
    out.push_back({at, used, "MFT record"});
    std::size_t offset = disk::le16(bytes, 0x14);
    for (int steps = 0; steps < 64 && disk::Fits(offset, 4, rs) && disk::le32(bytes, offset) != ntfs::kAttrEnd; ++steps) {
      auto a = ntfs::AttributeAt(bytes, offset);
      if (!a) break;
      if (!a->resident()) {
        const std::uint64_t runs = disk::le16(a->bytes, 0x20);
        out.push_back({at + offset + runs, a->bytes.size() - runs, "run list"});
      }
      offset += a->bytes.size();
    }
  }
  std::vector<std::uint8_t> record(rs);
  if (ntfs::ReadMftRecord(ctx, 6, record)) {
    if (auto bitmap = ntfs::CollectRuns(ctx, record, ntfs::kAttrData)) {
      for (const auto& r : bitmap->runs) {
        if (!r.sparse) out.push_back({r.lcn * cs, std::min<std::uint64_t>(r.length * cs, bitmap->realSize), "$Bitmap"});
      }
    }
  }
  return out;
}

// One change: a random byte of a random target, by a single bit or a
// whole new value.
Mutation Mutate(std::vector<std::uint8_t>& bytes, const std::vector<Range>& targets, std::mt19937_64& rng) {
  // The kinds of target equally often, then a target of that kind.
  std::map<std::string, std::vector<const Range*>> byKind;
  for (const Range& r : targets) {
    if (r.length > 0) byKind[r.what].push_back(&r);
  }
  auto kind = byKind.begin();
  std::advance(kind, static_cast<std::ptrdiff_t>(Pick(rng, byKind.size())));
  const Range& r = *kind->second[Pick(rng, kind->second.size())];
  Mutation m;
  m.offset = r.offset + Pick(rng, r.length);
  m.what = r.what;
  const std::uint8_t old = bytes.at(m.offset);
  std::uint8_t v = (rng() & 1) ? static_cast<std::uint8_t>(old ^ (1u << Pick(rng, 8)))
                               : static_cast<std::uint8_t>(Pick(rng, 256));
  if (v == old) v = static_cast<std::uint8_t>(old ^ 0xFF);
  bytes[m.offset] = v;
  return m;
}

// Both phases through the built binary, as a user runs them; a wipe that
// has not ended after five minutes counts as hung.
test::ProgramRun Wipe(const std::string& image, const std::string& dir) {
  test::ProgramRun r;
  const char* cli = std::getenv("AMBRELIC_WIPE_CLI");
  test::RunCommand("timeout 300 '" + std::string(cli && *cli ? cli : AMBRELIC_CLI) +
                       "' wipe --yes --records --quiet '" + image + "' 2>'" + dir +
                       "/err' </dev/null",
                   &r.status);
  const auto err = test::ReadFileBytes(dir + "/err");
  r.err.assign(err.begin(), err.end());
  return r;
}

bool Refused(const test::ProgramRun& r) {
  return r.err.find("Nothing has been overwritten.") != std::string::npos ||
         r.err.find("You can't search this drive") != std::string::npos;
}

struct Figures {
  std::uint64_t histories = 0, mutants = 0, refused = 0, wiped = 0, damaged = 0;
  std::map<std::string, std::uint64_t> reasons;  // refusals by their message's first line
  std::map<std::string, std::uint64_t> targets;  // mutants by the structure changed
};

class WipeProperty : public ::testing::TestWithParam<std::string> {};

TEST_P(WipeProperty, LiveFilesKeepEveryByteOnHistoriesAndTheirMutants) {
  const std::string kind = GetParam();
  if (kind == "ntfs" && ::geteuid() != 0) GTEST_SKIP() << "ntfs-3g needs root to mount through FUSE";
  const bool all = EnvNumber("AMBRELIC_WIPE_ALL_CLUSTERS", 0) != 0;
  std::vector<std::uint32_t> clusters;
  if (all) {
    // FAT32 needs 65525 clusters at least: beyond 4 KiB clusters that is a
    // volume of gigabytes, too large to wipe hundreds of times.
    const std::uint32_t largest = kind == "fat32" ? 4096 : kind == "fat16" ? 32768 : 65536;
    for (std::uint32_t c = 512; c <= largest; c *= 2) clusters.push_back(c);
  } else {
    clusters = kind == "fat16" ? std::vector<std::uint32_t>{2048} : kind == "ntfs" ? std::vector<std::uint32_t>{512, 4096}
                                                                  : std::vector<std::uint32_t>{512};
  }
  const std::uint64_t histories = EnvNumber("AMBRELIC_WIPE_HISTORIES", 1);
  const std::uint64_t mutants = EnvNumber("AMBRELIC_WIPE_MUTANTS", kind == "ntfs" ? 4 : 6);
  const std::uint64_t baseSeed = EnvNumber("AMBRELIC_WIPE_SEED", 20240601);
  const std::string dir = test::MakeTempDir("wipe-property-" + kind);
  Figures fig;

  for (std::uint32_t cluster : clusters) {
    for (std::uint64_t h = 0; h < histories; ++h) {
      const std::uint64_t seed = baseSeed + h * 7919 + cluster;
      const std::string history = HistoryImage(kind, cluster, seed);
      if (history.empty()) continue;
      SCOPED_TRACE(kind + " cluster " + std::to_string(cluster) + " seed " + std::to_string(seed));
      ++fig.histories;

      // The history itself: wiped completely, live files untouched, clean.
      const std::string copy = dir + "/history.img";
      fs::copy_file(history, copy, fs::copy_options::overwrite_existing);
      const auto live = LiveFiles(copy);
      const test::ProgramRun r = Wipe(copy, dir);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(LiveFiles(copy), live);
      int rc = -1;
      const std::string fsck = test::RunCommand(
          (kind == "ntfs" ? "ntfsfix -n '" : "fsck.fat -n '") + copy + "' 2>&1", &rc);
      EXPECT_EQ(rc, 0) << fsck;
      const std::string deleted = test::RunCommand("fls -r -d -p '" + copy + "' 2>&1");
      EXPECT_EQ(deleted, "") << "deleted names left after the wipe";

      // Its mutants.
      const auto original = test::ReadFileBytes(history);
      const auto targets = kind == "ntfs" ? NtfsTargets(history) : FatTargets(history);
      ASSERT_FALSE(targets.empty());
      std::mt19937_64 rng(seed);
      for (std::uint64_t m = 0; m < mutants; ++m) {
        auto bytes = original;
        const Mutation mutation = Mutate(bytes, targets, rng);
        const std::string mutant = dir + "/mutant.img";
        test::WriteFileBytes(mutant, bytes);
        ++fig.mutants;
        const auto before = LiveFiles(mutant);
        const std::string sum = test::Sha256Of(mutant);
        const test::ProgramRun w = Wipe(mutant, dir);
        EXPECT_NE(w.status, 124) << "the wipe hung";
        const std::string where = mutation.what + " byte " + std::to_string(mutation.offset) + " " +
                                  std::to_string(original[mutation.offset]) + " -> " +
                                  std::to_string(bytes[mutation.offset]);
        ++fig.targets[mutation.what];
        if (Refused(w)) {
          ++fig.refused;
          ++fig.reasons[w.err.substr(0, w.err.find('\n'))];
          EXPECT_EQ(w.status, 1) << where;
          EXPECT_EQ(test::Sha256Of(mutant), sum) << "refused but written: " << where;
          continue;
        }
        ++fig.wiped;
        const auto after = LiveFiles(mutant);
        std::uint64_t changed = 0;
        for (const auto& [inode, hash] : before) {
          auto it = after.find(inode);
          if (it != after.end() && it->second == hash) continue;
          ++changed;
          ADD_FAILURE() << "live file " << inode << " changed by the wipe of the mutant (" << where
                        << "); kept as " << dir << "/damaged-" << fig.damaged << ".img\n" << w.err;
        }
        if (changed) {
          test::WriteFileBytes(dir + "/damaged-" + std::to_string(fig.damaged) + ".img", bytes);
          ++fig.damaged;
        }
      }
    }
  }
  std::cout << "[ figures  ] " << kind << ": histories " << fig.histories << ", mutants " << fig.mutants
            << ", refused " << fig.refused << ", wiped " << fig.wiped << ", damaged " << fig.damaged << "\n";
  for (const auto& [what, n] : fig.targets) std::cout << "[ figures  ]   mutants of the " << what << ": " << n << "\n";
  for (const auto& [why, n] : fig.reasons) std::cout << "[ figures  ]   refused " << n << "x: " << why << "\n";
}

INSTANTIATE_TEST_SUITE_P(Kinds, WipeProperty, ::testing::Values("fat12", "fat16", "fat32", "ntfs"));

}  // namespace
}  // namespace ambrelic::cli

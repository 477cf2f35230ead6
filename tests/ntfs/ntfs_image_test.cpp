// The NTFS search and reader on images made by mkntfs and ntfs-3g, against
// The Sleuth Kit on the same images: the deleted records listed (ils -r,
// istat, fls -rdp) and the bytes of every file (icat).
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_record.h"
#include "ntfs/mft_scan.h"
#include "ntfs/restore.h"
#include "platform/block_device.h"
#include "platform/text.h"
#include "support/test_support.h"
#include "tsk_oracle.h"

namespace ambrelic::ntfs {
namespace {

const char* kScript = "make_ntfs_images.sh";

// The records the fixture script wrote down, by path (the last one wins
// where a record was reused), with the SHA-256 of their contents as written.
struct ManifestEntry {
  std::uint32_t record = 0;
  std::string sha256;
};
std::map<std::string, ManifestEntry> Manifest(const std::string& image) {
  std::map<std::string, ManifestEntry> out;
  const std::string base = image.substr(image.rfind('/') + 1);
  std::ifstream in(image.substr(0, image.rfind('/')) + "/ntfs-manifest.txt");
  std::string img, number, sum, path;
  while (std::getline(in, img, '\t') && std::getline(in, number, '\t') && std::getline(in, sum, '\t') &&
         std::getline(in, path)) {
    if (img == base) out[path] = {static_cast<std::uint32_t>(std::stoul(number)), sum};
  }
  return out;
}

class NtfsImage : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    test::UseUtf8Locale();
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    image_ = test::FixtureImage(kScript, "ntfs-c" + std::to_string(GetParam()) + ".img");
    auto opened = platform::OpenFileDevice(image_);
    ASSERT_TRUE(opened.device) << image_;
    ctx_.volumeHandle = opened.device;
    ctx_.SearchedRoot = "C:\\";
    ctx_.fsKind = disk::FsKind::Ntfs;
    ASSERT_TRUE(PrepareNtfsVolume(ctx_));
    manifest_ = Manifest(image_);
    ASSERT_FALSE(manifest_.empty());
  }

  std::vector<disk::FoundRow> Search(bool zeroSize, const std::string& filter = "") {
    disk::OperationState op;
    op.includeZeroSize = zeroSize;
    op.nameFilter = filter;
    test::RecordingHost host;
    ScanMft(ctx_, op, host, 0, "");
    return host.rows;
  }

  const disk::FoundRow* Find(const std::vector<disk::FoundRow>& rows, const std::string& path) {
    auto it = manifest_.find(path);
    if (it == manifest_.end()) return nullptr;
    for (const auto& r : rows)
      if (std::stoul(r.number) == it->second.record) return &r;
    return nullptr;
  }

  std::string image_;
  disk::VolumeContext ctx_;
  std::map<std::string, ManifestEntry> manifest_;
};

TEST_P(NtfsImage, ListingMatchesTheSleuthKit) {
  EXPECT_GT(testing::ExpectRowsMatchTheSleuthKit(image_, Search(true)), 10);
}

TEST_P(NtfsImage, KnownFilesFoldersAndOptions) {
  const auto rows = Search(false);
  // The row of a file the fixture wrote down; a missing row fails the test
  // and reads as an empty one.
  auto row = [&](const std::string& path) -> const disk::FoundRow& {
    static const disk::FoundRow missing{"<missing>", "<missing>", "<missing>", "", "", false};
    const disk::FoundRow* r = Find(rows, path);
    if (!r) ADD_FAILURE() << "no row for " << path;
    return r ? *r : missing;
  };
  auto folderOf = [&](const std::string& path) { return row(path).folder; };
  EXPECT_EQ(folderOf("small.txt"), "C:\\");
  EXPECT_EQ(row("small.txt").size, "     300");
  EXPECT_EQ(folderOf("tree"), "C:\\");
  EXPECT_TRUE(row("tree").isFolder);
  EXPECT_EQ(folderOf("tree/a/b/c"), "C:\\tree\\a\\b");
  EXPECT_EQ(folderOf("tree/a/b/c/deep.txt"), "C:\\tree\\a\\b\\c");
  EXPECT_EQ(folderOf("tree/a/b/seventy.bin"), "C:\\tree\\a\\b");
  EXPECT_EQ(folderOf("tree/a/b/emptydir"), "C:\\tree\\a\\b");
  EXPECT_EQ(folderOf("tree/a/mid.txt"), "C:\\tree\\a");
  EXPECT_EQ(folderOf("lonely"), "C:\\");
  EXPECT_EQ(folderOf("sparse.bin"), "C:\\");
  EXPECT_EQ(row("sparse.bin").size, " 3145728");
  // q and g were reused by the files r1 and r2 of the second mount.
  EXPECT_EQ(folderOf("q/child2.txt"), "C:\\<unknown>");
  EXPECT_EQ(folderOf("g/p/child.txt"), "C:\\<不明>\\p");
  EXPECT_EQ(folderOf("g/p"), "C:\\<unknown>");
  EXPECT_EQ(row("Grüße – 名前.txt").name, "Grüße – 名前.txt");
  if (GetParam() <= 4096) {
    EXPECT_EQ(folderOf("comp/mixed.bin"), "C:\\comp");
  }
  for (const char* live : {"keep.txt", "frag_live.bin", "sparse_live.bin", "r1", "r2"}) EXPECT_FALSE(Find(rows, live)) << live;
  EXPECT_FALSE(Find(rows, "empty.txt"));
  EXPECT_TRUE(Find(Search(true), "empty.txt"));
  const auto filtered = Search(false, "CHILD");
  ASSERT_EQ(filtered.size(), 2u);
  for (const auto& r : filtered) EXPECT_NE(platform::UpperCase(r.name).find("CHILD"), std::string::npos);
}

TEST_P(NtfsImage, FileBytesMatchIcat) {
  std::vector<std::uint32_t> records;
  int smallOnes = 0;
  for (const auto& r : Search(true)) {
    // The many one-cluster files of C:\h are all alike: a few suffice.
    if (r.isFolder || (r.folder == "C:\\h" && ++smallOnes > 4)) continue;
    records.push_back(std::stoul(r.number));
  }
  // Live files, and deleted ones whose names went with their extension
  // records (ntfs-3g removes a $FILE_NAME that lives in an extension record
  // when it unlinks the file), so they have no row but still have data.
  for (const char* live : {"keep.txt", "frag_live.bin", "sparse_live.bin", "comp/keep.txt", "r1", "spotty.bin", "multi.bin"}) {
    auto it = manifest_.find(live);
    if (it != manifest_.end()) records.push_back(it->second.record);
  }
  ASSERT_GT(records.size(), 15u);
  int compared = 0, compressed = 0, sparse = 0, listed = 0, straddling = 0, lessThanIcat = 0;
  std::vector<std::uint8_t> record(ctx_.mftRecordSize);
  for (std::uint32_t n : records) {
    SCOPED_TRACE("record " + std::to_string(n));
    auto stream = DataStream::Open(ctx_, n);
    const std::string expected = test::RunCommand("icat '" + image_ + "' " + std::to_string(n) + " 2>/dev/null");
    if (!stream) {
      EXPECT_TRUE(expected.empty());
      continue;
    }
    std::string got;
    for (auto piece = stream->ReadNext(); !piece.empty(); piece = stream->ReadNext())
      got.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    ASSERT_EQ(got.size(), stream->size());
    ASSERT_TRUE(ReadMftRecord(ctx_, n, record));
    const bool hasList = FindAttribute(ctx_, record, kAttrAttributeList, nullptr, 0, true).has_value();
    if (got != expected) {
      // TSK stops reading a deleted file's data at the first extension
      // record whose sequence number no longer matches the list's
      // reference (freeing a record bumps it); the reader follows the list
      // as it stands. The contents as written decide then.
      EXPECT_TRUE(hasList) << "contents differ from icat: " << got.size() << " vs " << expected.size();
      std::string sum;
      for (const auto& [path, entry] : manifest_)
        if (entry.record == n) sum = entry.sha256;
      const std::string file = test::MakeTempDir("ntfs-bytes") + "/data";
      test::WriteFileBytes(file, std::vector<std::uint8_t>(got.begin(), got.end()));
      EXPECT_EQ(test::Sha256Of(file), sum) << "contents differ from what was written";
      ++lessThanIcat;
    }
    ++compared;
    if (stream->compressed()) ++compressed;
    if (stream->flags() & 0x8000) ++sparse;
    if (hasList) ++listed;
    ASSERT_TRUE(ReadMftRecord(ctx_, n, record));
    if (auto data = FindAttribute(ctx_, record, kAttrData); data && data->initializedSize() < data->realSize()) ++straddling;
  }
  EXPECT_GT(compared, 15);
  EXPECT_LE(lessThanIcat, 2);
  EXPECT_GE(sparse, 3) << "sparse.bin, sparse_live.bin, spotty.bin";
  EXPECT_GE(straddling, 1) << "sparse.bin ends past its initialized size";
  if (GetParam() <= 4096) {
    // 64 KiB clusters: ntfs-3g compresses nothing, and one record holds
    // every run.
    EXPECT_GE(compressed, 5);
    EXPECT_GE(listed, 1) << "spotty.bin's and multi.bin's attribute lists";
  }
}

TEST_P(NtfsImage, RestoredFilesHoldTheirContents) {
  const std::string dir = test::MakeTempDir("ntfs-restore");
  test::RecordingHost host;
  int restored = 0;
  for (const char* path : {"small.txt", "tree/a/b/seventy.bin", "sparse.bin", "spotty.bin", "comp/mixed.bin",
                           "comp/text.txt", "comp/zeros.bin", "Grüße – 名前.txt"}) {
    auto it = manifest_.find(path);
    if (it == manifest_.end()) continue;
    SCOPED_TRACE(path);
    const std::string target = dir + "/" + std::to_string(it->second.record);
    ASSERT_TRUE(RestoreNtfsFile(ctx_, host, it->second.record, target));
    // What was written, or what icat gives where the clusters were not
    // written since (all of these were deleted at the end).
    EXPECT_EQ(test::Sha256Of(target), it->second.sha256);
    ++restored;
  }
  EXPECT_GE(restored, 4);
  // A name already taken is never replaced.
  const auto small = manifest_.at("small.txt").record;
  ASSERT_TRUE(RestoreNtfsFile(ctx_, host, small, dir + "/twice.txt"));
  ASSERT_TRUE(RestoreNtfsFile(ctx_, host, small, dir + "/twice.txt"));
  EXPECT_EQ(test::Sha256Of(dir + "/twice (2).txt"), manifest_.at("small.txt").sha256);
  // A folder record has no data: no file.
  EXPECT_FALSE(RestoreNtfsFile(ctx_, host, manifest_.at("tree").record, dir + "/tree"));
  EXPECT_FALSE(std::ifstream(dir + "/tree").good());
  EXPECT_TRUE(host.events.empty());
}

TEST_P(NtfsImage, WindowReaderGivesTheSameRecords) {
  const std::uint64_t count = MftRecordCount(ctx_);
  ASSERT_GT(count, 64u);
  MftReader reader(ctx_, 64 * 1024);
  std::vector<std::uint8_t> a(ctx_.mftRecordSize), b(ctx_.mftRecordSize);
  for (std::uint32_t n = 0; n < count; ++n) {
    const bool x = ReadMftRecord(ctx_, n, a);
    const bool y = reader.Read(n, b);
    ASSERT_EQ(x, y) << n;
    ASSERT_EQ(a, b) << n;
  }
  // With the bitmap, windows end at the last free record: the free records
  // read the same.
  std::vector<std::uint8_t> self = ctx_.mftSelfRecord;
  auto attribute = FindAttribute(ctx_, self, kAttrBitmap);
  ASSERT_TRUE(attribute);
  const std::vector<std::uint8_t> bitmap = ReadAttributeValue(ctx_, *attribute);
  MftReader sparse(ctx_, 16 * 1024, bitmap);
  int free = 0;
  for (std::uint32_t n = 0; n < count; ++n) {
    if (IsBitSet(bitmap, n)) continue;
    ++free;
    const bool x = ReadMftRecord(ctx_, n, a);
    const bool y = sparse.Read(n, b);
    ASSERT_EQ(x, y) << n;
    ASSERT_EQ(a, b) << n;
  }
  EXPECT_GT(free, 20);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, NtfsImage, ::testing::Values(512, 1024, 4096, 65536),
                         [](const auto& info) { return "c" + std::to_string(info.param); });

}  // namespace
}  // namespace ambrelic::ntfs

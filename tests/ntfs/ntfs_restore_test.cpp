// The NTFS restore: files and folders written from hand-built volumes (the
// corner cases: hostile names, sizes past the initialized or the allocated
// size, runs outside the volume, huge sparse files, path limits) and from
// images made by mkntfs and ntfs-3g, compared with the files as written and
// with The Sleuth Kit's icat.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ntfs/mft_record.h"
#include "ntfs/mft_scan.h"
#include "ntfs/restore.h"
#include "ntfs_builder.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace ambrelic::ntfs {
namespace {

namespace fs = std::filesystem;
using testing::ByteVec;
using testing::FileNameAttr;
using testing::kDirectory;
using testing::NonResident;
using testing::NonResidentAttr;
using testing::RecordBuilder;
using testing::ResidentAttr;
using testing::StandardInfoAttr;
using testing::VolumeBuilder;

const std::string kWriteFailure = "message: File writing failure.";
const std::string kTooLong =
    "message: Restoring path length exceeded maximum path length.\n\nPlease select a folder with shorter path "
    "length.";

ByteVec Deleted(std::uint64_t parent, const std::u16string& name, const ByteVec& data, std::uint16_t flags = 0,
                std::uint8_t nameSpace = 1) {
  RecordBuilder r(flags);
  r.Add(StandardInfoAttr()).Add(FileNameAttr(parent, name, nameSpace));
  if (!data.empty()) r.Add(data);
  return r.Build();
}
ByteVec Folder(std::uint64_t parent, const std::u16string& name) { return Deleted(parent, name, {}, kDirectory); }
ByteVec Text(const std::string& s) { return ByteVec(s.begin(), s.end()); }

std::set<std::string> Listing(const std::string& root) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    out.insert(fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : ""));
  }
  return out;
}

std::vector<std::uint8_t> Bytes(const std::string& path) { return test::ReadFileBytes(path); }

class NtfsRestore : public ::testing::Test {
 protected:
  void SetUp() override { test::UseUtf8Locale(); }
  test::RecordingHost host;
  disk::OperationState op;
};

TEST_F(NtfsRestore, HostileNamesAreRestoredInsideTheTarget) {
  VolumeBuilder b;
  b.SetRecord(20, Folder(5, u"Top"));
  b.SetRecord(21, Deleted(20, u"..", ResidentAttr(0x80, Text("dotdot")), 0, 0));
  b.SetRecord(22, Deleted(20, u"a/b", ResidentAttr(0x80, Text("slash")), 0, 0));
  b.SetRecord(23, Deleted(20, std::u16string(u"x\0y", 3), ResidentAttr(0x80, Text("nul")), 0, 0));
  b.SetRecord(24, Folder(20, u"."));
  b.SetRecord(25, Deleted(24, u"inner.txt", ResidentAttr(0x80, Text("inner"))));
  b.SetRecord(26, Folder(24, u"../.."));
  b.SetRecord(27, Deleted(26, u"..", ResidentAttr(0x80, Text("deep")), 0, 0));
  disk::VolumeContext ctx = b.Build();
  const std::string dir = test::MakeTempDir("ntfsrestore");
  const std::string target = dir + "/T";
  ASSERT_TRUE(platform::MakeFolder(target));
  op.OperationMode = disk::OpRestore;
  ScanMft(ctx, op, host, 20, target);
  const std::set<std::string> inside = {"_..", "a_b", "x_y", "_./", "_./inner.txt", "_./.._../", "_./.._../_.."};
  EXPECT_EQ(Listing(target), inside);
  std::set<std::string> all = {"T/"};
  for (const auto& p : inside) all.insert("T/" + p);
  EXPECT_EQ(Listing(dir), all);
  EXPECT_EQ(Bytes(target + "/_.."), Text("dotdot"));
  EXPECT_EQ(Bytes(target + "/_./inner.txt"), Text("inner"));
  EXPECT_EQ(Bytes(target + "/_./.._../_.."), Text("deep"));
}

TEST_F(NtfsRestore, SizesPastInitializedAndAllocatedAndRunsOutsideTheVolume) {
  VolumeBuilder b;  // 4096-byte clusters, 256 of them
  const std::uint32_t cs = b.clusterSize();
  ByteVec data(3 * cs);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251 + 1);
  for (int k = 0; k < 3; ++k) b.WriteCluster(100 + k, ByteVec(data.begin() + k * cs, data.begin() + (k + 1) * cs));
  // Past the initialized size: zeros, whatever the clusters hold.
  b.SetRecord(30, Deleted(5, u"init.bin",
                          NonResidentAttr({.runs = VolumeBuilder::RunBytes(3, 100), .highestVcn = 2,
                                           .allocated = 3ull * cs, .real = 3ull * cs - 10, .initialized = cs + 100})));
  // A real size beyond the allocated size is damage: the file stops there.
  b.SetRecord(31, Deleted(5, u"claims.bin",
                          NonResidentAttr({.runs = VolumeBuilder::RunBytes(2, 100), .highestVcn = 1,
                                           .allocated = 2ull * cs, .real = 1000ull * cs, .initialized = 1000ull * cs})));
  // A run far outside the volume reads as zeros.
  b.SetRecord(32, Deleted(5, u"outside.bin",
                          NonResidentAttr({.runs = VolumeBuilder::RunBytes(2, 1000000), .highestVcn = 1,
                                           .allocated = 2ull * cs, .real = 2ull * cs, .initialized = 2ull * cs})));
  disk::VolumeContext ctx = b.Build();
  const std::string dir = test::MakeTempDir("ntfsrestore");

  EXPECT_TRUE(RestoreNtfsFile(ctx, host, 30, dir + "/init.bin"));
  ByteVec expected(data.begin(), data.begin() + cs + 100);
  expected.resize(3 * cs - 10, 0);
  EXPECT_EQ(Bytes(dir + "/init.bin"), expected);

  EXPECT_FALSE(RestoreNtfsFile(ctx, host, 31, dir + "/claims.bin"));
  EXPECT_EQ(Bytes(dir + "/claims.bin"), ByteVec(data.begin(), data.begin() + 2 * cs));

  EXPECT_TRUE(RestoreNtfsFile(ctx, host, 32, dir + "/outside.bin"));
  EXPECT_EQ(Bytes(dir + "/outside.bin"), ByteVec(2 * cs, 0));
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/outside.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_blocks, 0) << "zeros are holes";
  EXPECT_TRUE(host.events.empty());
}

TEST_F(NtfsRestore, HugeSparseFileIsHolesAndNeverAppendsOrReplaces) {
  VolumeBuilder b;
  const std::uint32_t cs = b.clusterSize();
  b.WriteCluster(120, ByteVec(cs, 0x77));
  // One cluster of data, then a sparse run of 4 GiB.
  ByteVec runs = VolumeBuilder::RunBytes(1, 120, false);
  const std::uint64_t sparseClusters = (4ull << 30) / cs;
  ByteVec sparse = {0x04};  // a length of four bytes, no offset: sparse
  for (int i = 0; i < 4; ++i) sparse.push_back(static_cast<std::uint8_t>(sparseClusters >> (8 * i)));
  runs.insert(runs.end(), sparse.begin(), sparse.end());
  runs.push_back(0);
  const std::uint64_t size = (sparseClusters + 1) * cs;
  b.SetRecord(40, Deleted(5, u"sparse.vhd",
                          NonResidentAttr({.runs = runs, .highestVcn = sparseClusters, .allocated = size, .real = size,
                                           .initialized = size, .flags = 0x8000})));
  disk::VolumeContext ctx = b.Build();
  const std::string dir = test::MakeTempDir("ntfsrestore");
  EXPECT_TRUE(RestoreNtfsFile(ctx, host, 40, dir + "/s.vhd"));
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/s.vhd").c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), size);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the sparse run must not be written as zeros";
  std::ifstream in(dir + "/s.vhd", std::ios::binary);
  ByteVec head(cs + 16);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  ByteVec expected(cs, 0x77);
  expected.resize(cs + 16, 0);
  EXPECT_EQ(head, expected);

  // Restoring again never replaces: the second copy is numbered.
  EXPECT_TRUE(RestoreNtfsFile(ctx, host, 40, dir + "/s.vhd"));
  EXPECT_TRUE(platform::PathExists(dir + "/s (2).vhd"));
  EXPECT_TRUE(host.events.empty());
}

// Counts the reads that reach the device.
class CountingDevice : public platform::BlockDevice {
 public:
  explicit CountingDevice(platform::DevicePtr inner) : inner_(std::move(inner)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    ++reads;
    return inner_->ReadAt(offset, out);
  }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override { return inner_->WriteAt(offset, in); }
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return false; }
  long reads = 0;

 private:
  platform::DevicePtr inner_;
};

TEST_F(NtfsRestore, RunOfFourBillionClustersIsReadOnlyWhereTheVolumeIs) {
  // 512-byte clusters, 400 of them; a run of 2^32 - 1 clusters from
  // cluster 200, and sizes to match (2 TiB): the 200 clusters the volume
  // holds are read, the rest is holes, without reading.
  VolumeBuilder b(512, 1, 64, 16, 400);
  for (int k = 200; k < 400; ++k) b.WriteCluster(k, ByteVec(512, static_cast<std::uint8_t>(k)));
  const std::uint64_t clusters = 0xFFFFFFFFull;
  const std::uint64_t size = clusters * 512;
  b.SetRecord(40, Deleted(5, u"huge.bin",
                          NonResidentAttr({.runs = VolumeBuilder::RunBytes(clusters, 200), .highestVcn = clusters - 1,
                                           .allocated = size, .real = size, .initialized = size})));
  disk::VolumeContext ctx = b.Build();
  auto counting = std::make_shared<CountingDevice>(ctx.volumeHandle);
  ctx.volumeHandle = counting;
  const std::string dir = test::MakeTempDir("ntfsrestore");
  RestoreNtfsFile(ctx, host, 40, dir + "/huge.bin");
  EXPECT_LT(counting->reads, 2000);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/huge.bin").c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), size);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
  std::ifstream in(dir + "/huge.bin", std::ios::binary);
  ByteVec head(201 * 512);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  for (int k = 0; k < 201; ++k) {
    ASSERT_EQ(head[k * 512], k < 200 ? static_cast<std::uint8_t>(k + 200) : 0) << k;
  }
  EXPECT_TRUE(host.events.empty());
}

TEST_F(NtfsRestore, CancelStopsAFileBetweenUnitsAndKeepsWhatWasWritten) {
  VolumeBuilder b;
  const std::uint32_t cs = b.clusterSize();
  for (int k = 0; k < 64; ++k) b.WriteCluster(100 + k, ByteVec(cs, static_cast<std::uint8_t>(k + 1)));
  b.SetRecord(30, Deleted(5, u"long.bin",
                          NonResidentAttr({.runs = VolumeBuilder::RunBytes(64, 100), .highestVcn = 63,
                                           .allocated = 64ull * cs, .real = 64ull * cs, .initialized = 64ull * cs})));
  disk::VolumeContext ctx = b.Build();
  const std::string dir = test::MakeTempDir("ntfsrestore");
  // Asked before every unit of 16 clusters: Cancel at the third question.
  host.cancelRestoreAfterChecks = 2;
  EXPECT_FALSE(RestoreNtfsFile(ctx, host, 30, dir + "/long.bin"));
  EXPECT_EQ(host.restoreCancelChecks, 3);
  EXPECT_EQ(Bytes(dir + "/long.bin").size(), 32u * cs);
  EXPECT_TRUE(host.events.empty()) << "no message of its own";

  // The folder restore stops with it: the walk goes no further.
  b.SetRecord(20, Folder(5, u"F"));
  b.SetRecord(31, Deleted(20, u"a.bin", NonResidentAttr({.runs = VolumeBuilder::RunBytes(64, 100), .highestVcn = 63,
                                                          .allocated = 64ull * cs, .real = 64ull * cs,
                                                          .initialized = 64ull * cs})));
  b.SetRecord(32, Deleted(20, u"b.txt", ResidentAttr(0x80, Text("after"))));
  disk::VolumeContext folderCtx = b.Build();
  op.OperationMode = disk::OpRestore;
  for (long cancelAfter : {-1, 1}) {
    const std::string target = test::MakeTempDir("ntfsrestore") + "/F";
    ASSERT_TRUE(platform::MakeFolder(target));
    test::RecordingHost h;
    h.cancelRestoreAfterChecks = cancelAfter;
    ScanMft(folderCtx, op, h, 20, target);
    if (cancelAfter < 0) {
      EXPECT_EQ(Listing(target), (std::set<std::string>{"a.bin", "b.txt"}));
      EXPECT_EQ(Bytes(target + "/a.bin").size(), 64u * cs);
    } else {
      EXPECT_EQ(Listing(target), (std::set<std::string>{"a.bin"}));
      EXPECT_EQ(Bytes(target + "/a.bin").size(), 16u * cs);
    }
  }
}

TEST_F(NtfsRestore, WriteFailuresAreReportedAndThePartStays) {
  VolumeBuilder b;
  const std::uint32_t cs = b.clusterSize();
  for (int k = 0; k < 20; ++k) b.WriteCluster(100 + k, ByteVec(cs, static_cast<std::uint8_t>(k + 1)));
  b.SetRecord(30, Deleted(5, u"big.bin",
                          NonResidentAttr({.runs = VolumeBuilder::RunBytes(20, 100), .highestVcn = 19,
                                           .allocated = 20ull * cs, .real = 20ull * cs, .initialized = 20ull * cs})));
  b.SetRecord(31, Deleted(5, u"no data", {}));
  disk::VolumeContext ctx = b.Build();
  EXPECT_FALSE(RestoreNtfsFile(ctx, host, 30, "/nonexistent-folder/x/big.bin"));
  EXPECT_EQ(host.events, (std::vector<std::string>{kWriteFailure}));

  // No $DATA: no file and no message.
  const std::string dir = test::MakeTempDir("ntfsrestore");
  EXPECT_FALSE(RestoreNtfsFile(ctx, host, 31, dir + "/none"));
  EXPECT_FALSE(platform::PathExists(dir + "/none"));
  EXPECT_EQ(host.events.size(), 1u);

  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit small = old;
  small.rlim_cur = 3 * cs;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  const bool ok = RestoreNtfsFile(ctx, host, 30, dir + "/big.bin");
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(ok);
  EXPECT_EQ(host.events, (std::vector<std::string>{kWriteFailure, kWriteFailure}));
  EXPECT_EQ(Bytes(dir + "/big.bin").size(), 3u * cs);
}

TEST_F(NtfsRestore, FolderRestoreGoesAsDeepAsTheTargetTakes) {
  // Top (20) holds a chain of twenty folders of 250-character names
  // (21..40), each with a file (41..60), and a folder whose name takes 270
  // bytes (61) with a file (62).
  VolumeBuilder b;
  b.SetRecord(20, Folder(5, u"Top"));
  for (std::uint32_t n = 21; n <= 40; ++n) {
    b.SetRecord(n, Folder(n == 21 ? 20 : n - 1, std::u16string(250, u'L')));
    b.SetRecord(n + 20, Deleted(n, u"f.txt", ResidentAttr(0x80, Text("level " + std::to_string(n)))));
  }
  const std::u16string wide(90, u'\u540D');  // 名
  b.SetRecord(61, Folder(20, wide));
  b.SetRecord(62, Deleted(61, u"in wide.txt", ResidentAttr(0x80, Text("wide"))));
  disk::VolumeContext ctx = b.Build();
  const std::string target = test::MakeTempDir("ntfsrestore") + "/T";
  ASSERT_TRUE(platform::MakeFolder(target));
  op.OperationMode = disk::OpRestore;
  ScanMft(ctx, op, host, 20, target);

  // Every folder and file the kernel's path limit (4095 bytes) lets in is
  // there; the first folder past it is told once and counted, with what it
  // holds; a file past it is told and counted on its own.
  std::string path = target;
  std::uint64_t told = 0;
  for (std::uint32_t n = 21; n <= 40; ++n) {
    const std::string parent = path;
    path += "/" + std::string(250, 'L');
    if (path.size() > 4095) {
      for (const auto& e : fs::directory_iterator(parent)) EXPECT_FALSE(e.is_directory()) << e.path();
      ++told;
      break;
    }
    ASSERT_TRUE(platform::IsFolder(path)) << n;
    const std::string file = path + "/f.txt";
    if (file.size() > 4095) {
      ++told;
      continue;
    }
    EXPECT_EQ(Bytes(file), Text("level " + std::to_string(n))) << n;
  }
  EXPECT_GE(told, 1u);
  EXPECT_EQ(op.IncompleteCount, told);
  std::vector<std::string> messages;
  for (const auto& e : host.events) {
    if (e.rfind("message: ", 0) == 0) messages.push_back(e);
  }
  EXPECT_EQ(messages, std::vector<std::string>(told, kTooLong));

  // The 270-byte name is shortened to fit the target, and its file follows.
  std::string wideName;
  for (int i = 0; i < 90; ++i) wideName += "\xE5\x90\x8D";
  EXPECT_EQ(Bytes(target + "/" + platform::FitName(wideName) + "/in wide.txt"), Text("wide"));
}

// ---- images made by mkntfs and ntfs-3g ------------------------------------

struct ManifestEntry {
  std::uint32_t record = 0;
  std::string sha;
};

std::map<std::string, ManifestEntry> Manifest(const std::string& image) {
  std::map<std::string, ManifestEntry> out;
  std::ifstream in(image.substr(0, image.rfind('/')) + "/ntfs-manifest.txt");
  const std::string base = image.substr(image.rfind('/') + 1);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string img, record, sha, path;
    std::getline(f, img, '\t');
    std::getline(f, record, '\t');
    std::getline(f, sha, '\t');
    std::getline(f, path);
    if (img == base) out[path] = {static_cast<std::uint32_t>(std::stoul(record)), sha};
  }
  return out;
}

class NtfsRestoreImages : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    test::UseUtf8Locale();
    image = test::FixtureImage("make_ntfs_images.sh", GetParam());
    manifest = Manifest(image);
    ASSERT_FALSE(manifest.empty());
    auto opened = platform::OpenFileDevice(image);
    ASSERT_TRUE(opened.device);
    ctx.SearchedRoot = "C:\\";
    ctx.fsKind = disk::FsKind::Ntfs;
    ctx.volumeHandle = opened.device;
    ASSERT_TRUE(PrepareNtfsVolume(ctx));
  }
  bool DeletedRecord(std::uint32_t n) {
    std::vector<std::uint8_t> r(ctx.mftRecordSize);
    return ReadMftRecord(ctx, n, r) && !RecordInUse(r);
  }
  std::string image;
  std::map<std::string, ManifestEntry> manifest;
  disk::VolumeContext ctx;
  disk::OperationState op;
  test::RecordingHost host;
};

TEST_P(NtfsRestoreImages, EveryDeletedFileMatchesTheOriginalAndIcat) {
  const std::string before = test::Sha256Of(image);
  const std::string dir = test::MakeTempDir("ntfsimg");
  int restored = 0;
  std::set<std::string> icatDiffers;
  for (const auto& [path, e] : manifest) {
    if (e.sha == "-" || !DeletedRecord(e.record)) continue;
    const std::string out = dir + "/" + std::to_string(e.record);
    RestoreNtfsFile(ctx, host, e.record, out);
    EXPECT_EQ(test::Sha256Of(out), e.sha) << path;
    const std::string icat =
        test::RunCommand("icat '" + image + "' " + std::to_string(e.record) + " | sha256sum").substr(0, 64);
    if (icat != e.sha) icatDiffers.insert(path);
    if (icat == e.sha) {
      EXPECT_EQ(test::Sha256Of(out), icat) << path;
    }
    ++restored;
  }
  EXPECT_GE(restored, 8);
  // Where icat does not give the bytes as written, the restore still does.
  std::string differs;
  for (const auto& p : icatDiffers) differs += p + " ";
  RecordProperty("icat_differs", differs);
  std::cerr << "icat differs from the original for: " << differs << "\n";
  // Holes need whole blocks of the target (4 KiB here): spotty.bin's
  // one-cluster holes are holes only with clusters that large.
  std::vector<std::string> sparseFiles = {"sparse.bin"};
  if (ctx.bytesPerCluster >= 4096) sparseFiles.push_back("spotty.bin");
  for (const auto& sparse : sparseFiles) {
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/" + std::to_string(manifest.at(sparse).record)).c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, st.st_size) << sparse << ": holes, not zeros";
  }
  EXPECT_TRUE(host.events.empty());
  EXPECT_EQ(test::Sha256Of(image), before) << "the searched image changed";
}

TEST_P(NtfsRestoreImages, FolderTreeWithEmptyDeletedSubFolders) {
  const std::string target = test::MakeTempDir("ntfsimg") + "/tree";
  ASSERT_TRUE(platform::MakeFolder(target));
  op.OperationMode = disk::OpRestore;
  ScanMft(ctx, op, host, manifest.at("tree").record, target);
  EXPECT_EQ(Listing(target), (std::set<std::string>{"a/", "a/mid.txt", "a/b/", "a/b/c/", "a/b/c/deep.txt",
                                                    "a/b/seventy.bin", "a/b/emptydir/"}));
  for (const char* f : {"a/mid.txt", "a/b/c/deep.txt", "a/b/seventy.bin"}) {
    EXPECT_EQ(test::Sha256Of(target + "/" + f), manifest.at(std::string("tree/") + f).sha) << f;
  }
  EXPECT_TRUE(host.events.empty() || host.events == std::vector<std::string>{"progress open"});
}

INSTANTIATE_TEST_SUITE_P(Clusters, NtfsRestoreImages,
                         ::testing::Values("ntfs-c512.img", "ntfs-c4096.img", "ntfs-c65536.img"));

// ---- names a restore must not lose (mkntfs and ntfs-3g) -------------------

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Every entry below root: relative path -> sha256, or "/" for a folder.
std::map<std::string, std::string> Digests(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    out[fs::relative(e.path(), root).string()] = e.is_directory() ? "/" : test::Sha256Of(e.path().string());
  }
  return out;
}

class NtfsNames : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseUtf8Locale();
    const std::string image = test::FixtureImage("make_name_images.sh", "names-ntfs.img");
    std::ifstream in(fs::path(image).parent_path().string() + "/names-manifest.txt");
    for (std::string line; std::getline(in, line);) {
      std::istringstream f(line);
      std::string img, sha, path;
      std::getline(f, img, '\t');
      std::getline(f, sha, '\t');
      std::getline(f, path);
      if (img == "names-ntfs.img") written[path] = sha;
    }
    ASSERT_FALSE(written.empty());
    auto opened = platform::OpenFileDevice(image);
    ASSERT_TRUE(opened.device);
    ctx.SearchedRoot = "C:\\";
    ctx.fsKind = disk::FsKind::Ntfs;
    ctx.volumeHandle = opened.device;
    ASSERT_TRUE(PrepareNtfsVolume(ctx));
    ScanMft(ctx, op, host, 0, std::string());
  }
  const disk::FoundRow* Row(const std::string& folder, const std::string& name) const {
    for (const auto& r : host.rows) {
      if (r.folder == folder && r.name == name) return &r;
    }
    return nullptr;
  }
  std::string RestoreFolderRow(const std::string& folder, const std::string& name) {
    const disk::FoundRow* row = Row(folder, name);
    EXPECT_TRUE(row) << folder << " " << name;
    if (!row) return std::string();
    const std::string target = test::MakeTempDir("ntfsnames") + "/out";
    EXPECT_TRUE(platform::MakeFolder(target));
    op.OperationMode = disk::OpRestore;
    ScanMft(ctx, op, host, static_cast<RecordNumber>(std::stoul(row->number)), target);
    return target;
  }
  disk::VolumeContext ctx;
  disk::OperationState op;
  test::RecordingHost host;
  std::map<std::string, std::string> written;
};

TEST_F(NtfsNames, AFolderWhoseNameAFileTookFirstIsRestoredWithItsContents) {
  // "Clash" holds a file and (renamed to its name after the file was
  // deleted) a folder "Report 2020"; the file's record comes first.
  const std::string target = RestoreFolderRow("C:\\", "Clash");
  const std::map<std::string, std::string> expected = {
      {"Report 2020", written.at("Clash/Report 2020")},
      {"Report 2020 (2)", "/"},
      {"Report 2020 (2)/inside.txt", written.at("Clash/Report 2020 (2)/inside.txt")},
      {"Report 2020 (2)/deeper", "/"},
      {"Report 2020 (2)/deeper/deep.txt", written.at("Clash/Report 2020 (2)/deeper/deep.txt")},
  };
  EXPECT_EQ(Digests(target), expected);
  EXPECT_EQ(op.IncompleteCount, 0u);
}

TEST_F(NtfsNames, ThreeFoldersOfSixtyCjkCharactersKeepTheirPath) {
  // "Deep" holds three nested folders of a digit and 60 CJK characters:
  // 193 characters with the drive, 556 bytes of UTF-8.
  const std::string d1 = "1" + Repeat("\xE5\x90\x8D", 60);
  const std::string d2 = "2" + Repeat("\xE5\x89\x8D", 60);
  const std::string d3 = "3" + Repeat("\xE6\x96\x87", 60);
  // No lost-folder mark.
  EXPECT_TRUE(Row("C:\\Deep\\" + d1 + "\\" + d2 + "\\" + d3, "deep.txt"));
  const std::string target = RestoreFolderRow("C:\\", "Deep");
  const std::string file = d1 + "/" + d2 + "/" + d3 + "/deep.txt";
  EXPECT_EQ(Digests(target), (std::map<std::string, std::string>{{d1, "/"},
                                                                 {d1 + "/" + d2, "/"},
                                                                 {d1 + "/" + d2 + "/" + d3, "/"},
                                                                 {file, written.at("Deep/" + file)}}));
  EXPECT_EQ(op.IncompleteCount, 0u);
}

}  // namespace
}  // namespace ambrelic::ntfs

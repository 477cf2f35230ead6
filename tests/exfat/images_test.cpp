// The exFAT search, scan and restore on images made by mkfs.exfat and
// written through exfat-fuse, against The Sleuth Kit on the same images:
// the deleted names (fls -rdp) and the bytes of every file (icat).
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "exfat/directory_walk.h"
#include "exfat/restore.h"
#include "exfat/volume.h"
#include "platform/block_device.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace ambrelic::exfat {
namespace {

// The fixture image of a cluster size, or (0) the one of 4 KiB sectors.
std::string ImageName(int clusterSize) {
  return clusterSize == 0 ? "exfat-s4096.img" : "exfat-c" + std::to_string(clusterSize) + ".img";
}

const char* kScript = "make_exfat_images.sh";

// One deleted name as fls reports it in its body format.
struct FlsEntry {
  std::string folder;  // C:\a\b, C:\ for the root, C:\<unknown>... for orphans
  std::string name;
  std::uint64_t inode = 0;
  bool directory = false;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
};

std::vector<FlsEntry> FlsDeleted(const std::string& image) {
  std::vector<FlsEntry> out;
  std::istringstream in(ambrelic::test::RunCommand("fls -rdp -m C: '" + image + "'"));
  std::string line;
  static const std::regex body(R"(^0\|C:/(.*) \(deleted\)\|(\d+)\|(.)/(.)[^|]*\|\d+\|\d+\|(\d+)\|\d+\|(\d+)\|\d+\|\d+$)");
  std::smatch m;
  while (std::getline(in, line)) {
    if (!std::regex_match(line, m, body)) continue;
    std::string path = m[1];
    // Sets TSK finds in free clusters with no name at all are not rows.
    if (path.rfind("$OrphanFiles/OrphanFile-", 0) == 0) continue;
    if (path.rfind("$OrphanFiles/", 0) == 0) path = "<unknown>/" + path.substr(13);
    FlsEntry e;
    const auto slash = path.rfind('/');
    e.name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    for (char& c : folder)
      if (c == '/') c = '\\';
    e.folder = "C:\\" + folder;
    e.inode = std::stoull(m[2]);
    e.directory = m[4] == "d";
    e.size = std::stoull(m[5]);
    e.modified = std::stoll(m[6]);
    out.push_back(e);
  }
  return out;
}

std::string UtcText(std::int64_t seconds) {
  const std::time_t t = seconds;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min);
  return text;
}

// The files the fixture script wrote down, by path: size and SHA-256 as
// written, before any deletion.
struct ManifestEntry {
  std::uint64_t size = 0;
  std::string sha256;
};
std::map<std::string, ManifestEntry> Manifest(const std::string& image, const std::string& file) {
  std::map<std::string, ManifestEntry> out;
  const std::string base = image.substr(image.rfind('/') + 1);
  std::ifstream in(image.substr(0, image.rfind('/')) + "/" + file);
  std::string img, path, size, sum;
  while (std::getline(in, img, '\t') && std::getline(in, path, '\t') && std::getline(in, size, '\t') &&
         std::getline(in, sum)) {
    if (img == base) out[path] = {size == "-" ? 0 : std::stoull(size), sum};
  }
  return out;
}

std::string RowKey(const std::string& folder, const std::string& name) { return folder + "|" + name; }

class ExfatImage : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ambrelic::test::UseUtf8Locale();
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    image_ = ambrelic::test::FixtureImage(kScript, ImageName(GetParam()));
    auto opened = platform::OpenFileDevice(image_);
    ASSERT_TRUE(opened.device) << image_;
    ctx_.volumeHandle = opened.device;
    ctx_.SearchedRoot = "C:\\";
    ctx_.fsKind = disk::FsKind::Exfat;
    ASSERT_TRUE(PrepareExfatVolume(ctx_));
    manifest_ = Manifest(image_, "exfat-manifest.txt");
    ASSERT_FALSE(manifest_.empty());
  }

  // The search and the vacant-cluster scan after it.
  std::vector<disk::FoundRow> Search(bool used, bool zero, const std::string& filter = "", bool scan = true) {
    disk::OperationState op;
    op.listFilesOnUsedClusters = used;
    op.includeZeroSize = zero;
    op.nameFilter = filter;
    ambrelic::test::RecordingHost host;
    SearchExfat(ctx_, op, host);
    if (scan) {
      op.ClusterScanActive = 1;
      ScanExfatClusters(ctx_, op, host);
    }
    ReleaseWalkMarks(ctx_);
    return host.rows;
  }

  std::string image_;
  disk::VolumeContext ctx_;
  std::map<std::string, ManifestEntry> manifest_;
};

TEST_P(ExfatImage, ListingMatchesTheSleuthKit) {
  const auto rows = Search(true, true);
  std::map<std::string, disk::FoundRow> ours;
  for (const auto& r : rows) EXPECT_TRUE(ours.emplace(RowKey(r.folder, r.name), r).second) << r.folder << r.name;
  const auto fls = FlsDeleted(image_);
  std::set<std::string> theirs;
  for (const FlsEntry& e : fls) {
    const std::string key = RowKey(e.folder, e.name);
    theirs.insert(key);
    auto it = ours.find(key);
    if (it == ours.end()) {
      ADD_FAILURE() << "missing " << key;
      continue;
    }
    const disk::FoundRow& r = it->second;
    EXPECT_EQ(r.isFolder, e.directory) << key;
    EXPECT_EQ(r.size, e.directory ? std::string() : std::to_string(e.size)) << key;
    EXPECT_EQ(r.modified, UtcText(e.modified)) << key;
  }
  for (const auto& [key, r] : ours) EXPECT_TRUE(theirs.count(key)) << "ours only: " << key;
  EXPECT_GT(ours.size(), 45u);
}

TEST_P(ExfatImage, KnownRowsAndTheSearchOptions) {
  auto find = [](const std::vector<disk::FoundRow>& rows, const std::string& folder, const std::string& name) {
    for (const auto& r : rows)
      if (r.folder == folder && r.name == name) return &r;
    return static_cast<const disk::FoundRow*>(nullptr);
  };
  const auto all = Search(true, true);
  // Names in several scripts and of every length, folders at every depth,
  // a folder whose own entries are gone.
  for (const char* name : {"Grüße – 名前.txt", "Ελληνικά αρχεία.txt", "Русский файл.doc", "ملف عربي.txt",
                           "emoji 😀 file.txt", "Z", "small.txt", "frag.bin", "tree", "lonely"}) {
    EXPECT_TRUE(find(all, "C:\\", name)) << name;
  }
  EXPECT_TRUE(find(all, "C:\\tree\\a\\b\\c", "deep.txt"));
  EXPECT_TRUE(find(all, "C:\\tree\\a\\b", "emptydir"));
  EXPECT_TRUE(find(all, "C:\\tree2\\x\\y", "z.txt"));
  EXPECT_TRUE(find(all, "C:\\tree3\\p\\q", "r.txt"));
  EXPECT_TRUE(find(all, "C:\\<unknown>", "orphan.txt"));
  EXPECT_FALSE(find(all, "C:\\", "gone folder name")) << "its entries were taken";
  EXPECT_TRUE(find(all, "C:\\<unknown>\\inner", "lost.bin"));
  const disk::FoundRow* seventy = find(all, "C:\\tree\\a\\b", "seventy.bin");
  ASSERT_TRUE(seventy);
  EXPECT_EQ(seventy->size, "70000");

  // Without include used: files and folders whose first cluster another
  // file took are left out (the olddir folder, every other small file of h).
  // The last of them went to frag_live.bin, which stays.
  const auto unused = Search(false, true);
  EXPECT_TRUE(find(all, "C:\\", "olddir"));
  EXPECT_FALSE(find(unused, "C:\\", "olddir"));
  int lastSmall = -1;
  for (const auto& r : all)
    if (r.folder == "C:\\h") lastSmall = std::max(lastSmall, std::stoi(r.name.substr(1)));
  ASSERT_GT(lastSmall, 0);
  const std::string last = "f" + std::to_string(lastSmall);
  EXPECT_FALSE(find(unused, "C:\\h", last));
  EXPECT_LT(unused.size(), all.size());
  // Without include zero: no empty file.
  const auto nonEmpty = Search(true, false);
  EXPECT_TRUE(find(all, "C:\\", "empty.txt"));
  EXPECT_FALSE(find(nonEmpty, "C:\\", "empty.txt"));
  // The name filter: an upper-cased substring.
  const auto greek = Search(true, true, "ΑΡΧΕΊΑ");
  ASSERT_EQ(greek.size(), 1u);
  EXPECT_EQ(greek[0].name, "Ελληνικά αρχεία.txt");
  const auto deep = Search(true, true, "DEEP.");
  ASSERT_EQ(deep.size(), 1u);
  EXPECT_EQ(deep[0].folder, "C:\\tree\\a\\b\\c");
  // Without the vacant scan, the folder whose entries are gone is not found.
  EXPECT_FALSE(find(Search(true, true, "", false), "C:\\<unknown>", "orphan.txt"));
}

TEST_P(ExfatImage, RestoresMatchIcatAndTheOriginals) {
  const auto rows = Search(true, true);
  std::map<std::string, FlsEntry> fls;
  for (const FlsEntry& e : FlsDeleted(image_)) fls[RowKey(e.folder, e.name)] = e;
  const std::string dir = ambrelic::test::MakeTempDir("exfat-restore");
  ambrelic::test::RecordingHost host;
  int compared = 0;
  int original = 0;
  for (const auto& r : rows) {
    if (r.isFolder) continue;
    auto it = fls.find(RowKey(r.folder, r.name));
    ASSERT_NE(it, fls.end()) << r.name;
    const std::string ours = dir + "/" + std::to_string(compared);
    RestoreExfatFile(ctx_, host, ours, RowStream(r.facts, false));
    const std::string icat = dir + "/icat";
    ambrelic::test::RunCommand("icat '" + image_ + "' " + std::to_string(it->second.inode) + " > '" + icat + "'");
    const std::string theirs = ambrelic::test::Sha256Of(icat);
    const std::string mine = ambrelic::test::Sha256Of(ours);
    // The path the fixture wrote the file under.
    std::string path = r.folder.substr(3) + (r.folder.size() > 3 ? "\\" : "") + r.name;
    for (char& c : path)
      if (c == '\\') c = '/';
    auto m = manifest_.find(path);
    if (m != manifest_.end() && m->second.sha256 == theirs) {
      // Wherever icat gives the file as it was written, so must we.
      EXPECT_EQ(mine, theirs) << path;
      ++original;
    } else if (path.rfind("h/f", 0) != 0) {
      // Files whose clusters were reused (h/f1, ...) differ from what was
      // written; icat and we read the same reused clusters for the others.
      EXPECT_EQ(mine, theirs) << path;
    }
    ++compared;
  }
  EXPECT_TRUE(host.events.empty());
  EXPECT_GT(compared, 40);
  EXPECT_GE(original, 20) << "fragmented, contiguous, multi-script, orphaned files";
}

TEST_P(ExfatImage, FolderRestoreRecreatesTheTree) {
  const auto rows = Search(true, true);
  const disk::FoundRow* tree = nullptr;
  for (const auto& r : rows)
    if (r.folder == "C:\\" && r.name == "tree") tree = &r;
  ASSERT_TRUE(tree);
  const std::string target = ambrelic::test::MakeTempDir("exfat-folder") + "/tree";
  ASSERT_TRUE(platform::MakeFolder(target));
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  RestoreExfatFolder(ctx_, op, host, RowStream(tree->facts, true), target);
  EXPECT_TRUE(host.events.empty());
  for (const char* path : {"tree/a/mid.txt", "tree/a/b/seventy.bin", "tree/a/b/c/deep.txt"}) {
    const std::string file = target + "/" + std::string(path).substr(5);
    ASSERT_TRUE(std::filesystem::exists(file)) << path;
    EXPECT_EQ(ambrelic::test::Sha256Of(file), manifest_.at(path).sha256) << path;
  }
  EXPECT_TRUE(std::filesystem::is_directory(target + "/a/b/emptydir"));
  EXPECT_EQ(op.IncompleteCount, 0u);
  // The name filter still applies to the files inside the folder, and every
  // subfolder is made for them, matching or not.
  const std::string filtered = ambrelic::test::MakeTempDir("exfat-folder") + "/tree";
  ASSERT_TRUE(platform::MakeFolder(filtered));
  op.nameFilter = "DEEP";
  RestoreExfatFolder(ctx_, op, host, RowStream(tree->facts, true), filtered);
  EXPECT_FALSE(std::filesystem::exists(filtered + "/a/b/seventy.bin"));
  EXPECT_FALSE(std::filesystem::exists(filtered + "/a/mid.txt"));
  ASSERT_TRUE(std::filesystem::exists(filtered + "/a/b/c/deep.txt"));
  EXPECT_EQ(ambrelic::test::Sha256Of(filtered + "/a/b/c/deep.txt"), manifest_.at("tree/a/b/c/deep.txt").sha256);
}

// Cluster sizes 512 B to 1 MiB, and (0) a volume of 4 KiB sectors.
INSTANTIATE_TEST_SUITE_P(ClusterSizes, ExfatImage, ::testing::Values(512, 4096, 32768, 1048576, 0));

}  // namespace
}  // namespace ambrelic::exfat

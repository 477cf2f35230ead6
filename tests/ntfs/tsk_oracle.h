// The Sleuth Kit as the oracle of the NTFS listings: the deleted names fls
// reports (in its body format), the unallocated records ils reports, and the
// comparison of our rows with both.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "disk/sinks.h"
#include "support/test_support.h"

namespace ambrelic::ntfs::testing {

// One deleted name as fls reports it in its body format.
struct FlsEntry {
  std::string path;     // "C:/folder/name", or under "C:/$OrphanFiles/"
  bool directory = false;
  std::uint64_t size = 0;
  std::int64_t changed = 0;  // $STANDARD_INFORMATION record-change time, Unix seconds
};

// Every deleted name fls finds, by record: names still in their folders'
// indexes and, under its virtual $OrphanFiles folder, records it reaches
// only through the MFT ("OrphanFile-N" when it finds no name).
inline std::map<std::uint32_t, std::vector<FlsEntry>> FlsDeleted(const std::string& image) {
  std::map<std::uint32_t, std::vector<FlsEntry>> out;
  std::istringstream in(test::RunCommand("fls -rdp -m C: '" + image + "'"));
  std::string line;
  static const std::regex body(R"(^0\|(.*) \(deleted\)\|(\d+)(-(\d+)-\d+)?\|(.)/(.)[^|]*\|\d+\|\d+\|(\d+)\|\d+\|\d+\|(\d+)\|\d+$)");
  std::smatch m;
  while (std::getline(in, line)) {
    if (!std::regex_match(line, m, body)) continue;
    if (m[1].str().find(" ($FILE_NAME)") != std::string::npos) continue;
    const std::string type = m[4];
    if (!type.empty() && type != "128" && type != "144") continue;
    FlsEntry e;
    e.path = m[1];
    e.directory = m[6] == "d";
    e.size = std::stoull(m[7]);
    e.changed = std::stoll(m[8]);
    out[std::stoul(m[2])].push_back(e);
  }
  return out;
}

inline std::string Basename(const std::string& path) { return path.substr(path.rfind('/') + 1); }

inline std::string UtcText(std::int64_t seconds) {
  const std::time_t t = seconds;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min);
  return text;
}

inline std::set<std::uint32_t> UnallocatedRecords(const std::string& image) {
  std::set<std::uint32_t> out;
  std::istringstream in(test::RunCommand("ils -r '" + image + "'"));
  std::string line;
  while (std::getline(in, line)) {
    const auto bar = line.find('|');
    if (bar == std::string::npos || line.compare(bar, 3, "|f|") != 0) continue;
    out.insert(static_cast<std::uint32_t>(std::stoul(line.substr(0, bar))));
  }
  return out;
}

inline std::string Windows(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// Compares rows of a search with the zero-size option on (root "C:\", times
// in UTC) with what fls and ils say of the same image: every unallocated
// record fls names is a row with that name, kind, size, time and (where fls
// knows it) folder. A row fls does not name must be a record the caller knows
// was deleted (fls misses a deleted record whose name left the index of a
// live folder), or one whose names sit in extension records, which TSK does
// not read for a deleted record. Returns the number of rows whose folder fls
// confirmed.
inline int ExpectRowsMatchTheSleuthKit(const std::string& image, const std::vector<disk::FoundRow>& rows,
                                       const std::set<std::uint32_t>& knownDeleted = {}) {
  std::map<std::uint32_t, disk::FoundRow> ours;
  for (const auto& r : rows) EXPECT_TRUE(ours.emplace(std::stoul(r.number), r).second) << r.number;
  const auto fls = FlsDeleted(image);
  std::set<std::uint32_t> expected;
  int withFolder = 0;
  for (std::uint32_t n : UnallocatedRecords(image)) {
    auto it = fls.find(n);
    // A deleted record is listed when it keeps a name (ntfs-3g writes a
    // standard-information attribute into every record and no DOS-only
    // names).
    if (it == fls.end() || Basename(it->second.front().path) == "OrphanFile-" + std::to_string(n)) continue;
    expected.insert(n);
    auto row = ours.find(n);
    if (row == ours.end()) continue;
    const disk::FoundRow& r = row->second;
    SCOPED_TRACE("record " + std::to_string(n) + " " + r.name);
    std::set<std::string> names, folders;
    for (const FlsEntry& e : it->second) {
      names.insert(Basename(e.path));
      // Names under $OrphanFiles are those whose folder fls cannot reach;
      // the lost-folder rules decide ours (checked by name).
      if (e.path.rfind("C:/$OrphanFiles/", 0) == 0) continue;
      const std::string dir = e.path.substr(0, e.path.rfind('/'));
      folders.insert(dir == "C:" ? "C:\\" : Windows(dir));
    }
    const FlsEntry& e = it->second.front();
    EXPECT_TRUE(names.count(r.name)) << *names.begin();
    EXPECT_EQ(r.isFolder, e.directory);
    char size[32];
    std::snprintf(size, sizeof size, "%8llu", static_cast<unsigned long long>(e.size));
    EXPECT_EQ(r.size, e.directory ? std::string() : std::string(size));
    EXPECT_EQ(r.modified, UtcText(e.changed));
    if (!folders.empty()) {
      ++withFolder;
      EXPECT_TRUE(folders.count(r.folder)) << r.folder << " vs " << *folders.begin();
    }
  }
  for (const auto& [n, r] : ours) {
    if (expected.count(n) || knownDeleted.count(n)) continue;
    const std::string istat = test::RunCommand("istat '" + image + "' " + std::to_string(n));
    EXPECT_NE(istat.find("$ATTRIBUTE_LIST"), std::string::npos) << n << " " << r.name;
    EXPECT_EQ(istat.find("$FILE_NAME Attribute Values"), std::string::npos) << n;
  }
  for (std::uint32_t n : expected) EXPECT_TRUE(ours.count(n)) << "missing record " << n;
  return withFolder;
}

}  // namespace ambrelic::ntfs::testing

// The messages both wipes end with when they did not do everything: writes
// that failed, clusters they left because the volume's own records disagree
// on them, and a damaged volume they refused before writing anything. What
// was not overwritten may still be restored, and the user must know it.
#pragma once

#include <cstdint>
#include <string>

namespace ambrelic::disk {

// What a wipe did, for the caller and the tests; the same for every file
// system. The second pass scrubs what deleted files left in the volume's
// own structures: directory entries (FAT), entry sets (exFAT) or file
// records (NTFS), all counted as entries here.
struct WipeResult {
  bool cancelled = false;             // Cancel during the cluster pass ended everything
  bool phase2Ran = false;             // the user agreed to the second pass
  bool phase2Cancelled = false;       // Cancel stopped the second pass before its end
  bool allocationUnreadable = false;  // the table or bitmap could not be read: nothing written
  bool refused = false;               // the volume contradicts itself: nothing written
  bool flushFailed = false;           // the writes could not be made to reach the device
  std::uint64_t clustersWiped = 0;
  std::uint64_t clustersFailed = 0;    // vacant clusters with a failed write (or flush)
  std::uint64_t clustersDisputed = 0;  // left as they are: the volume's records disagree on them
  std::uint64_t entriesWiped = 0;
  // Deleted entries in a region whose write (or flush) failed, or that a
  // guarded write left because the disk changed under it.
  std::uint64_t entriesFailed = 0;
  std::uint64_t entriesDisputed = 0;  // deleted entries the volume calls in use: left
  std::uint64_t piecesSkipped = 0;    // NTFS: MFT pieces changed on disk between read and write

  // True when everything the user agreed to was carried out in full.
  bool Complete() const {
    return !cancelled && !phase2Cancelled && !allocationUnreadable && !refused && !flushFailed &&
           clustersFailed == 0 && entriesFailed == 0 && clustersDisputed == 0 && entriesDisputed == 0;
  }
  // What could not be overwritten, for the command's count: each failed
  // cluster or entry, and one for a wipe that could not run or finish.
  std::uint64_t Failures() const {
    return clustersFailed + entriesFailed + (allocationUnreadable ? 1 : 0) + (refused ? 1 : 0) +
           (flushFailed ? 1 : 0);
  }
};

// "N vacant clusters and M <items> on C:\ drive could not be overwritten.
// \n\nWhat they hold may still be restored."; empty when nothing failed.
inline std::string WipeFailureText(const std::string& root, std::uint64_t clustersFailed,
                                   std::uint64_t itemsFailed, const char* itemSingular, const char* itemPlural) {
  if (clustersFailed == 0 && itemsFailed == 0) return {};
  std::string parts;
  if (clustersFailed != 0) {
    parts = std::to_string(clustersFailed) + (clustersFailed != 1 ? " vacant clusters" : " vacant cluster");
  }
  if (itemsFailed != 0) {
    if (!parts.empty()) parts += " and ";
    parts += std::to_string(itemsFailed) + " " + (itemsFailed != 1 ? itemPlural : itemSingular);
  }
  return parts + " on " + root + " drive could not be overwritten.\n\nWhat they hold may still be restored.";
}

// "The file system on C:\ drive is damaged: <reason>.\n\nNothing has been
// overwritten. Please repair the drive first, then try again."
inline std::string DamagedVolumeText(const std::string& root, const std::string& reason) {
  return "The file system on " + root + " drive is damaged: " + reason +
         ".\n\nNothing has been overwritten. Please repair the drive first, then try again.";
}

// "N clusters and M deleted file records on C:\ drive were not overwritten:
// the volume's own records disagree on whether they are in use.\n\nWhat they
// hold may still be restored."; empty when nothing was left.
inline std::string DisputedText(const std::string& root, std::uint64_t clusters, std::uint64_t items,
                                const char* itemSingular, const char* itemPlural) {
  if (clusters == 0 && items == 0) return {};
  std::string parts;
  if (clusters != 0) parts = std::to_string(clusters) + (clusters != 1 ? " clusters" : " cluster");
  if (items != 0) {
    if (!parts.empty()) parts += " and ";
    parts += std::to_string(items) + " " + (items != 1 ? itemPlural : itemSingular);
  }
  const bool one = clusters + items == 1;
  return parts + " on " + root + (one ? " drive was" : " drive were") +
         " not overwritten: the volume's own records disagree on whether " + (one ? "it is" : "they are") +
         " in use.\n\nWhat " + (one ? "it holds" : "they hold") + " may still be restored.";
}

// "Vacant clusters on C:\ drive have been replaced.\n\nDo you want replace
// file information, too?": the question between the phases of the FAT and
// exFAT wipes.
inline std::string ReplaceInfoQuestion(const std::string& root) {
  return "Vacant clusters on " + root + " drive have been replaced.\n\nDo you want replace file information, too?";
}

}  // namespace ambrelic::disk

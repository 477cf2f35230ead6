// Deleted folders that filled a cluster and whose next one lies past other
// folders' data are linked only once the whole tree is walked, by the FAT
// and exFAT walks alike. This is the part of that linking that knows no
// file system: which open folders go on, and where.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace ambrelic::disk {

// Takes from `open` the folders that go on, each with the cluster where it
// does. look(folder) gives that cluster (0: none); it is asked once per
// folder (folder.looked, folder.next keep the answer): a cluster linked to
// another folder lies past where this one stopped, and so do the files
// listed there, written after it. Two folders that both reach the same
// cluster both filled a cluster before it was written: nothing tells whose
// it is, and a file in the wrong folder is worse than one under <unknown>,
// so neither goes on there; both stay in `open`.
template <typename Folder, typename Look>
std::vector<std::pair<Folder, std::uint32_t>> TakeFoldersThatGoOn(std::vector<Folder>& open, Look&& look) {
  std::map<std::uint32_t, std::vector<std::size_t>> claims;
  for (std::size_t i = 0; i < open.size(); ++i) {
    Folder& folder = open[i];
    if (!folder.looked) folder.next = look(folder);
    folder.looked = true;
    if (folder.next != 0) claims[folder.next].push_back(i);
  }
  std::vector<std::pair<Folder, std::uint32_t>> goOn;
  std::vector<bool> taken(open.size(), false);
  for (const auto& [next, who] : claims) {
    if (who.size() != 1) continue;
    taken[who[0]] = true;
    goOn.emplace_back(std::move(open[who[0]]), next);
  }
  std::vector<Folder> still;
  for (std::size_t i = 0; i < open.size(); ++i) {
    if (!taken[i]) still.push_back(std::move(open[i]));
  }
  open = std::move(still);
  return goOn;
}

}  // namespace ambrelic::disk

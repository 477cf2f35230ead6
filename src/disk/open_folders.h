// Deleted folders that filled a cluster and whose next one lies past other
// folders' data are linked only once the whole tree is walked, by the FAT
// and exFAT walks alike. This is the part of that linking that knows no
// file system: which open folders go on, and where, and the silent walk of
// the whole volume a restore learns the links from.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"

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

// Lets the open folders go on until none does: each one that goes on
// (TakeFoldersThatGoOn, look as there) is handed to walkOn(folder, next),
// which walks it on from that cluster and returns true, or returns false
// when one that went on before it has taken the cluster meanwhile. A walk
// may leave folders open again, so another round follows any that went on.
// A cancelled search ends here: each folder's walk looks at the request
// already.
template <typename Folder, typename Look, typename WalkOn>
void LetFoldersGoOn(const OperationState& op, std::vector<Folder>& open, Look&& look, WalkOn&& walkOn) {
  for (bool linked = true; linked;) {
    linked = false;
    if (open.empty() || (op.OperationMode == OpSearch && op.SearchCancelled == 1)) return;
    for (auto& [folder, next] : TakeFoldersThatGoOn(open, look)) {
      if (walkOn(folder, next)) linked = true;
    }
  }
}

// The folder links a search walk of the whole volume finds, for a restore
// that must know where folders go on: a Walker(ctx, op, host) of its own
// with a search operation and a silent host, started by walkRoot(walker),
// its open folders gone on once it has walked. links is left as it is when
// the walker finds the volume unusable. What the walk marks as read, the
// caller sets apart from its own marks beforehand.
template <typename Walker, typename Links, typename WalkRoot>
void LearnFolderLinks(VolumeContext& ctx, Links& links, WalkRoot&& walkRoot) {
  OperationState search;
  search.OperationMode = OpSearch;
  SilentHost silent;
  Walker whole(ctx, search, silent);
  if (!whole.Usable()) return;
  walkRoot(whole);
  whole.GoOnPastOtherFolders();
  links = whole.FolderLinks();
}

}  // namespace ambrelic::disk

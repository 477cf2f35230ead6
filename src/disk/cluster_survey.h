// What the check before a wipe finds on a volume whose allocation the
// engine reads from the volume's own table or bitmap and holds against
// every live file (FAT, NTFS): where the wipe may write, what it must
// leave, and whether it may write at all. Each engine adds what only it
// knows: its kinds of damage, and the folders or records its second phase
// may touch.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "disk/cluster_set.h"
#include "disk/wipe_report.h"

namespace ambrelic::disk {

template <typename Damage>
struct ClusterSurvey {
  // Clusters 0 to the volume's last one: set where the wipe may overwrite.
  ClusterSet vacant;
  // Clusters a source calls free that are not vacant because the volume's
  // own records disagree on them: left as they are, and told.
  std::uint64_t disputedClusters = 0;
  // A contradiction between the volume's own structures: nothing is written.
  Damage damage = Damage::None;
  bool allocationUnreadable = false;  // the table or bitmap could not be read
};

// The check's answer: the survey when the wipe may go on with it (its
// Usable()); else nothing, once tellRefusal(survey) has told the user why,
// with `told` marked: allocationUnreadable when the table or bitmap could
// not be read, else refused.
template <typename Survey, typename TellRefusal>
std::optional<Survey> UsableOrRefused(Survey survey, WipeResult& told, TellRefusal&& tellRefusal) {
  if (survey.Usable()) return survey;
  tellRefusal(survey);
  told.allocationUnreadable = survey.allocationUnreadable;
  told.refused = !survey.allocationUnreadable;
  return std::nullopt;
}

}  // namespace ambrelic::disk

// The tests' shorthand for a lookup in one extent's run list: the LCN of
// vcn (0 for a sparse run) and the clusters left in its run from vcn on.
#pragma once

#include "ntfs/data_runs.h"

namespace ambrelic::ntfs {

inline bool MapVcn(const Attribute& extent, Vcn vcn, Lcn& lcn, std::uint64_t& clustersLeftInRun) {
  const RunList list = ReadRunList(extent);
  const ClusterRun* run = list.Find(vcn);
  if (!run) return false;
  lcn = run->sparse ? 0 : run->lcn + (vcn - run->vcn);
  clustersLeftInRun = run->length - (vcn - run->vcn);
  return true;
}

}  // namespace ambrelic::ntfs

// The message both wipes end with when some writes failed: what could not
// be overwritten may still be restored, and the user must know it.
#pragma once

#include <cstdint>
#include <string>

namespace ambrelic::disk {

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

}  // namespace ambrelic::disk

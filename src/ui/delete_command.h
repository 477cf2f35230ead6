// The texts of the delete-completely command, for the front ends that
// answer its questions ahead (the command line's --yes).
#pragma once

#include <string>

namespace ambrelic::ui {

std::string DeleteCompletelyFirstQuestion(const std::string& root);
std::string DeleteCompletelySecondQuestion(const std::string& root);
// Said when the volume is mounted: the kernel owns it, and overwriting its
// vacant clusters from outside would race the file system.
extern const char* const kDriveInUse;

}  // namespace ambrelic::ui

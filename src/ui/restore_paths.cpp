#include "ui/restore_paths.h"

#include "platform/mounts.h"
#include "ui/results_list.h"

namespace ambrelic::ui {
namespace {

constexpr std::size_t kLowDigits = 10;
constexpr std::uint64_t kLowScale = 10000000000ull;

}  // namespace

std::uint64_t ParseUInt64Text(std::string_view text) {
  std::string_view high;
  std::string_view low = text;
  if (text.size() > kLowDigits) {
    high = text.substr(0, text.size() - kLowDigits);
    low = text.substr(text.size() - kLowDigits);
  }
  // Unsigned arithmetic: a high part beyond what 64 bits hold wraps, as the
  // designed computation does.
  return static_cast<std::uint64_t>(ParseUInt32Text(high)) * kLowScale + ParseUInt32Text(low);
}

bool TargetOnSearchedVolume(const platform::Drive& drive, const std::string& target) {
  return platform::PathOnSource(target, drive.sourcePath, drive.offset, drive.length);
}

}  // namespace ambrelic::ui

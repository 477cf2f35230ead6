// What a command tells at its end when the medium could not give all it
// asked for: how many sectors of the drive could not be read and what that
// means for what the user got; and, when the device stopped answering, that
// the drive is no longer accessible.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ambrelic::ui {

// Files named in the restore's message; the others are counted.
inline constexpr std::size_t kUnreadableFilesNamed = 5;

// "N sectors of C:\ could not be read; what they held is missing from this
// list." ("1 sector" for one).
std::string UnreadableListText(const std::string& root, std::uint64_t sectors);

// "N sectors of C:\ could not be read; what they held is missing from the
// restored files." followed by the files concerned, one a line, the first
// kUnreadableFilesNamed of them and then "and N more.".
std::string UnreadableRestoreText(const std::string& root, std::uint64_t sectors,
                                  const std::vector<std::string>& files);

// The wipe's: "N sectors of C:\ could not be read; what they held has not
// been overwritten."
std::string UnreadableWipeText(const std::string& root, std::uint64_t sectors);

// "C:\ is not accessible.\n\n" and the system's text for the error, as the
// disk check words it: the device stopped answering during the command.
std::string DeviceLostText(const std::string& root, int error);

}  // namespace ambrelic::ui

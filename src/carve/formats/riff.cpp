#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool RiffMatches(std::span<const std::uint8_t>) { return false; }

Parsed RiffParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

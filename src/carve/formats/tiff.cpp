#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool TiffMatches(std::span<const std::uint8_t>) { return false; }

Parsed TiffParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

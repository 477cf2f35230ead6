#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool IsoBmffMatches(std::span<const std::uint8_t>) { return false; }

Parsed IsoBmffParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool RarMatches(std::span<const std::uint8_t>) { return false; }

Parsed RarParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

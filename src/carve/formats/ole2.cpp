#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool Ole2Matches(std::span<const std::uint8_t>) { return false; }

Parsed Ole2Parse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

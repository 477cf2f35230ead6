#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool BmpMatches(std::span<const std::uint8_t>) { return false; }

Parsed BmpParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

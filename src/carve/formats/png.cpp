#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool PngMatches(std::span<const std::uint8_t>) { return false; }

Parsed PngParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool GzipMatches(std::span<const std::uint8_t>) { return false; }

Parsed GzipParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

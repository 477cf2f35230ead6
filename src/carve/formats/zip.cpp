#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool ZipMatches(std::span<const std::uint8_t>) { return false; }

Parsed ZipParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

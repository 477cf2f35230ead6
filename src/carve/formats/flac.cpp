#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool FlacMatches(std::span<const std::uint8_t>) { return false; }

Parsed FlacParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

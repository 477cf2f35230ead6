#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool OggMatches(std::span<const std::uint8_t>) { return false; }

Parsed OggParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool Mp3Matches(std::span<const std::uint8_t>) { return false; }

Parsed Mp3Parse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

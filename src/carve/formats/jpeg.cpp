#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool JpegMatches(std::span<const std::uint8_t>) { return false; }

Parsed JpegParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

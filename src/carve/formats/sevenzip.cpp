#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool SevenZipMatches(std::span<const std::uint8_t>) { return false; }

Parsed SevenZipParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool GifMatches(std::span<const std::uint8_t>) { return false; }

Parsed GifParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

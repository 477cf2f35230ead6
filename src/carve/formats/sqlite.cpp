#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool SqliteMatches(std::span<const std::uint8_t>) { return false; }

Parsed SqliteParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

#include "carve/formats/families.h"

namespace ambrelic::carve::formats {

bool PdfMatches(std::span<const std::uint8_t>) { return false; }

Parsed PdfParse(ByteSource&, const Limits&) { return {}; }

}  // namespace ambrelic::carve::formats

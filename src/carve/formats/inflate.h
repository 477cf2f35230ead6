#pragma once

// Raw deflate data read through a Reader and checked with zlib: where the
// stream ends, its CRC-32 and size; nothing of the output is kept.

#include <cstdint>
#include <optional>

#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {

struct Inflated {
  bool ended = false;            // the deflate stream reached its last block
  std::uint64_t consumed = 0;    // compressed bytes used (to the failure when not ended)
  std::uint32_t crc = 0;
  std::uint64_t size = 0;        // uncompressed bytes
};

// Inflates from at; when compressed is given, no more than that is read.
Inflated InflateRaw(Reader& r, std::uint64_t at, std::optional<std::uint64_t> compressed);

// CRC-32 of [from, from + length) as it streams past; nothing when the bytes
// are not all there.
std::optional<std::uint32_t> Crc32Of(Reader& r, std::uint64_t from, std::uint64_t length);

}  // namespace ambrelic::carve::formats

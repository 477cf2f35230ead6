// LZNT1, the compression of NTFS compression units: a unit is a run of
// chunks, each giving 4096 bytes of output, stored raw or compressed.
#pragma once

#include <cstdint>
#include <span>

namespace ambrelic::ntfs {

inline constexpr std::size_t kChunkOutput = 4096;

// Decodes one chunk from the start of source (the rest of the unit) into
// out, which is zeroed first. Returns the chunk's stored size (header
// included). Nothing outside the chunk's stored bytes is read, and decoding
// ends at a back-reference that would reach before the chunk's output.
std::size_t DecompressChunk(std::span<const std::uint8_t> source, std::span<std::uint8_t, kChunkOutput> out);

// Decompresses the chunks at the start of buffer in place; output that no
// chunk produced is zero.
void DecompressUnit(std::span<std::uint8_t> buffer);

}  // namespace ambrelic::ntfs

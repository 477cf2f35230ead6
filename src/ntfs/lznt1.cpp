#include "ntfs/lznt1.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "disk/byte_reader.h"

namespace ambrelic::ntfs {

std::size_t DecompressChunk(std::span<const std::uint8_t> source, std::span<std::uint8_t, kChunkOutput> out) {
  std::fill(out.begin(), out.end(), 0);
  if (source.size() < 2) return source.size();
  const std::uint16_t header = disk::le16(source, 0);
  const std::size_t stored = (header & 0x0FFFu) + 3;
  if ((header >> 12) != 0xB) {
    // Raw chunk: the output itself follows the header.
    std::memcpy(out.data(), source.data() + 2, std::min(kChunkOutput, source.size() - 2));
    return stored;
  }
  // The tokens of this chunk are its stored bytes; what follows belongs to
  // the next chunk, so a chunk that gives less than 4096 bytes (the last one
  // of a file) leaves the rest of its output zero.
  const auto body = source.subspan(2, std::min(stored - 2, source.size() - 2));
  std::size_t p = 0;
  std::size_t i = 0;
  while (p < kChunkOutput && i < body.size()) {
    const std::uint8_t flags = body[i++];
    for (int bit = 0; bit < 8 && p < kChunkOutput && i < body.size(); ++bit) {
      if (((flags >> bit) & 1) == 0) {
        out[p++] = body[i++];
        continue;
      }
      if (body.size() - i < 2) return stored;
      const std::uint16_t token = disk::le16(body, i);
      i += 2;
      std::uint32_t mask = 0x0FFF;
      unsigned shift = 12;
      for (std::size_t q = p - 1; p > 0 && q > 15; q >>= 1) {
        mask >>= 1;
        --shift;
      }
      const std::size_t length = (token & mask) + 3;
      const std::size_t distance = (static_cast<std::size_t>(token) >> shift) + 1;
      if (p == 0 || distance > p) return stored;  // reaches before the chunk
      // One byte at a time: a reference may overlap its own output.
      for (std::size_t n = 0; n < length && p < kChunkOutput; ++n, ++p) out[p] = out[p - distance];
    }
  }
  return stored;
}

void DecompressUnit(std::span<std::uint8_t> buffer) {
  const std::size_t size = buffer.size();
  std::vector<std::uint8_t> output(size, 0);
  std::array<std::uint8_t, kChunkOutput> chunk;
  std::size_t in = 0;
  std::size_t out = 0;
  std::size_t left = size;
  // Every chunk whose header lies inside the unit is decoded; each gives
  // one 4096-byte slice of the output, so the loop runs at most
  // size / 4096 + 1 times.
  while (left > 0 && in < size && size - in >= 2) {
    const std::size_t consumed = DecompressChunk(buffer.subspan(in), chunk);
    in += consumed;
    const std::size_t n = std::min(left, kChunkOutput);
    std::memcpy(output.data() + out, chunk.data(), n);
    out += n;
    left -= n;
  }
  std::memcpy(buffer.data(), output.data(), size);
}

}  // namespace ambrelic::ntfs

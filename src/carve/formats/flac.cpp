// FLAC: "fLaC", metadata blocks to the one marked last, then frames. A
// frame's length is not written anywhere: it ends where its CRC-16 comes
// out right and the next frame header (with a good CRC-8) starts, or, for
// the last frame, where the samples STREAMINFO counts are all there.

#include <array>

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr std::uint64_t kMaxFrame = 16u << 20;

std::uint8_t Crc8(std::span<const std::uint8_t> b) {
  std::uint8_t crc = 0;
  for (const std::uint8_t x : b) {
    crc ^= x;
    for (int i = 0; i < 8; ++i) crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

const std::array<std::uint16_t, 256>& Crc16Table() {
  static const auto table = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
      std::uint16_t c = static_cast<std::uint16_t>(i << 8);
      for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// A frame header at the start of b: its length and block size in samples.
struct Header {
  std::size_t length = 0;
  std::uint32_t samples = 0;
};

std::optional<Header> FrameHeader(std::span<const std::uint8_t> b) {
  if (b.size() < 6 || b[0] != 0xFF || (b[1] & 0xFE) != 0xF8) return std::nullopt;
  const int blockCode = b[2] >> 4, rateCode = b[2] & 15;
  if (rateCode == 15 || (b[3] >> 4) > 10 || ((b[3] >> 1) & 7) == 3 || ((b[3] >> 1) & 7) == 7 || (b[3] & 1)) {
    return std::nullopt;
  }
  if (blockCode == 0) return std::nullopt;
  std::size_t at = 4;
  // The frame or sample number, UTF-8 coded.
  int extra = 0;
  if (b[at] < 0x80) {
    extra = 0;
  } else if ((b[at] & 0xE0) == 0xC0) {
    extra = 1;
  } else if ((b[at] & 0xF0) == 0xE0) {
    extra = 2;
  } else if ((b[at] & 0xF8) == 0xF0) {
    extra = 3;
  } else if ((b[at] & 0xFC) == 0xF8) {
    extra = 4;
  } else if ((b[at] & 0xFE) == 0xFC) {
    extra = 5;
  } else if (b[at] == 0xFE) {
    extra = 6;
  } else {
    return std::nullopt;
  }
  at += 1 + extra;
  Header h;
  if (blockCode == 1) {
    h.samples = 192;
  } else if (blockCode <= 5) {
    h.samples = 576u << (blockCode - 2);
  } else if (blockCode == 6) {
    if (b.size() < at + 1) return std::nullopt;
    h.samples = b[at] + 1u;
    at += 1;
  } else if (blockCode == 7) {
    if (b.size() < at + 2) return std::nullopt;
    h.samples = Be16At(b, at) + 1u;
    at += 2;
  } else {
    h.samples = 256u << (blockCode - 8);
  }
  if (rateCode == 12) at += 1;
  if (rateCode == 13 || rateCode == 14) at += 2;
  if (b.size() < at + 1 || Crc8(b.first(at)) != b[at]) return std::nullopt;
  h.length = at + 1;
  return h;
}

}  // namespace

bool FlacMatches(std::span<const std::uint8_t> head) {
  // STREAMINFO comes first and is 34 bytes.
  return head.size() >= 8 && StartsWith(head, "fLaC") && (head[4] & 0x7F) == 0 && head[5] == 0 && head[6] == 0 &&
         head[7] == 34;
}

Parsed FlacParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  std::uint8_t info[42];
  if (!r.Get(0, info) || !FlacMatches(info)) return {};
  const std::uint64_t total = (std::uint64_t{info[21] & 15u} << 32) | Be32At(info, 22);
  std::uint64_t pos = 4;
  for (int blocks = 0;; ++blocks) {
    const auto h = r.Be32(pos);
    if (!h || blocks > 4096) return Damaged(pos, "flac");
    const bool last = (*h >> 31) != 0;
    if (((*h >> 24) & 0x7F) == 127) return Damaged(pos, "flac");
    pos += 4 + (*h & 0xFFFFFF);
    if (last) break;
  }
  if (!r.Has(0, pos)) return Damaged(r.End(), "flac");
  const auto& table = Crc16Table();
  std::uint64_t samples = 0;
  std::uint64_t frame = pos;
  for (;;) {
    const auto header = FrameHeader(r.View(frame, 16));
    if (!header) return Damaged(frame, "flac");
    const bool lastFrame = total != 0 && samples + header->samples >= total;
    // Run the CRC-16 over the frame a byte at a time: where it comes out
    // zero (the frame's own CRC included) the frame may end.
    std::uint16_t crc = 0;
    std::uint64_t at = frame;
    std::optional<std::uint64_t> end;
    while (!end && at - frame < kMaxFrame) {
      const auto v = r.View(at, 16384);
      if (v.empty()) break;
      std::size_t used = v.size();
      for (std::size_t i = 0; i < v.size(); ++i) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ v[i]) & 0xFF]);
        const std::uint64_t next = at + i + 1;
        if (crc != 0 || next - frame < header->length + 2) continue;
        // Looking ahead reuses the reader's window, so v is done with here.
        if (lastFrame || FrameHeader(r.View(next, 16))) end = next;
        used = i + 1;
        break;
      }
      at += used;
    }
    if (!end) return Damaged(frame, "flac");
    samples += header->samples;
    frame = *end;
    if (lastFrame) return Complete(frame, "flac");
    if (total == 0 && !FrameHeader(r.View(frame, 16))) return Complete(frame, "flac");
  }
}

}  // namespace ambrelic::carve::formats

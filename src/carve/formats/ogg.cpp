// Ogg: pages ("OggS", a segment table giving the page's length, a CRC over
// the page), to the page that ends the last logical stream begun at the
// start. The first packet names the codec: Vorbis, Opus, Theora, FLAC.

#include <algorithm>
#include <array>
#include <vector>

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr std::size_t kMaxStreams = 64;

const std::array<std::uint32_t, 256>& CrcTable() {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

std::string ExtensionFor(std::span<const std::uint8_t> packet) {
  if (StartsWith(packet, "OpusHead")) return "opus";
  if (StartsWith(packet, "\x80theora")) return "ogv";
  if (StartsWith(packet, "\x7F" "FLAC")) return "oga";
  return "ogg";
}

}  // namespace

bool OggMatches(std::span<const std::uint8_t> head) {
  // The first page of a file begins a stream (flag 2) and has version 0.
  return head.size() >= 28 && StartsWith(head, "OggS") && head[4] == 0 && (head[5] & 0xF8) == 0 && (head[5] & 2);
}

Parsed OggParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  if (!OggMatches(r.View(0, 28))) return {};
  const auto& table = CrcTable();
  std::vector<std::uint32_t> open;
  std::string ext = "ogg";
  std::uint64_t pos = 0;
  for (;;) {
    std::uint8_t h[27 + 255];
    if (!r.Get(pos, std::span(h, 27)) || !StartsWith(std::span(h, 27), "OggS") || h[4] != 0) {
      return Damaged(pos, ext);
    }
    const std::uint8_t segments = h[26];
    if (!r.Get(pos + 27, std::span(h + 27, segments))) return Damaged(pos, ext);
    std::uint64_t body = 0;
    for (int i = 0; i < segments; ++i) body += h[27 + i];
    const std::uint64_t length = 27ull + segments + body;
    if (!r.Has(pos, length)) return Damaged(pos, ext);
    // CRC over the page with its CRC field read as zeros.
    const std::uint32_t stored = Le32At(h, 22);
    std::uint32_t crc = 0;
    for (std::uint64_t at = pos, left = length; left > 0;) {
      const auto v = r.View(at, static_cast<std::size_t>(std::min<std::uint64_t>(left, 16384)));
      if (v.empty()) return Damaged(pos, ext);
      for (std::size_t i = 0; i < v.size(); ++i) {
        const std::uint64_t o = at + i - pos;
        const std::uint8_t b = (o >= 22 && o < 26) ? 0 : v[i];
        crc = (crc << 8) ^ table[((crc >> 24) ^ b) & 0xFF];
      }
      at += v.size();
      left -= v.size();
    }
    if (crc != stored) return Damaged(pos, ext);
    const std::uint32_t serial = Le32At(h, 14);
    const bool begins = h[5] & 2, ends = h[5] & 4;
    if (begins) {
      if (pos == 0) ext = ExtensionFor(r.View(pos + 27 + segments, 8));
      if (open.size() >= kMaxStreams || (pos > 0 && open.empty())) return Damaged(pos, ext);
      open.push_back(serial);
    } else if (std::find(open.begin(), open.end(), serial) == open.end()) {
      return Damaged(pos, ext);  // a page of no stream this file began
    }
    pos += length;
    if (ends) {
      open.erase(std::find(open.begin(), open.end(), serial));
      if (open.empty()) return Complete(pos, ext);
    }
  }
}

}  // namespace ambrelic::carve::formats

// MP3 (MPEG audio): an optional ID3v2 tag, then frames whose headers give
// each frame's length, then optional APEv2 and ID3v1 tags. The stream has no end
// marker; when its first frame is a Xing/Info frame (LAME, ffmpeg), the byte
// count there says how long the stream is, so a cut one is seen as cut.

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

struct Frame {
  int version = 0;  // 1, 2, or 25 (MPEG 2.5)
  int layer = 0;
  int sampleRate = 0;
  int channelMode = 0;
  std::uint32_t length = 0;
};

std::optional<Frame> ParseHeader(std::span<const std::uint8_t> h) {
  if (h.size() < 4 || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
  static constexpr int kBitrates[2][3][16] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};
  static constexpr int kRates[3] = {44100, 48000, 32000};
  const int versionBits = (h[1] >> 3) & 3, layerBits = (h[1] >> 1) & 3;
  const int bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
    return std::nullopt;
  }
  if ((h[3] & 3) == 2) return std::nullopt;  // reserved emphasis
  Frame f;
  f.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
  f.layer = 4 - layerBits;
  f.sampleRate = kRates[rateIndex] / (f.version == 1 ? 1 : f.version == 2 ? 2 : 4);
  f.channelMode = h[3] >> 6;
  const int bitrate = kBitrates[f.version == 1 ? 0 : 1][f.layer - 1][bitrateIndex] * 1000;
  if (f.layer == 1) {
    f.length = static_cast<std::uint32_t>((12 * bitrate / f.sampleRate + padding) * 4);
  } else if (f.layer == 3 && f.version != 1) {
    f.length = static_cast<std::uint32_t>(72 * bitrate / f.sampleRate + padding);
  } else {
    f.length = static_cast<std::uint32_t>(144 * bitrate / f.sampleRate + padding);
  }
  return f;
}

std::optional<std::uint64_t> Id3Length(std::span<const std::uint8_t> h) {
  if (h.size() < 10 || !StartsWith(h, "ID3") || h[3] < 2 || h[3] > 4) return std::nullopt;
  for (int i = 6; i < 10; ++i) {
    if (h[i] & 0x80) return std::nullopt;
  }
  const std::uint64_t size = (std::uint64_t{h[6]} << 21) | (h[7] << 14) | (h[8] << 7) | h[9];
  return 10 + size + ((h[5] & 0x10) ? 10 : 0);
}

// The byte count of a Xing/Info frame (the whole stream, this frame
// included), when the frame carries one.
std::optional<std::uint32_t> XingBytes(Reader& r, std::uint64_t at, const Frame& f) {
  const std::uint64_t side = f.version == 1 ? (f.channelMode == 3 ? 17 : 32) : (f.channelMode == 3 ? 9 : 17);
  const std::uint64_t tag = at + 4 + side;
  if (!r.Equals(tag, "Xing") && !r.Equals(tag, "Info")) return std::nullopt;
  const auto flags = r.Be32(tag + 4);
  if (!flags || !(*flags & 2)) return std::nullopt;
  return r.Be32(tag + 8 + ((*flags & 1) ? 4 : 0));
}

}  // namespace

bool Mp3Matches(std::span<const std::uint8_t> head) {
  if (Id3Length(head)) return true;
  const auto f = ParseHeader(head);
  return f && f->layer == 3;
}

Parsed Mp3Parse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  std::uint64_t pos = 0;
  const bool tagged = Id3Length(r.View(0, 10)).has_value();
  if (tagged) {
    pos = *Id3Length(r.View(0, 10));
    // Some taggers pad with zeros past the tag's own size.
    for (int i = 0; i < 65536 && r.U8(pos) == 0; ++i) ++pos;
  }
  const std::uint64_t first = pos;
  std::optional<Frame> lead;
  std::optional<std::uint32_t> xing;
  std::uint64_t frames = 0;
  for (;;) {
    const auto f = ParseHeader(r.View(pos, 4));
    if (!f || (lead && (f->version != lead->version || f->layer != lead->layer ||
                        f->sampleRate != lead->sampleRate))) {
      break;
    }
    if (!lead) {
      lead = f;
      xing = XingBytes(r, pos, *f);
    }
    if (!r.Has(pos, f->length)) {
      return Damaged(pos, "mp3");  // the last frame is cut
    }
    pos += f->length;
    ++frames;
  }
  // A lone frame header is as likely to be chance as music.
  if (frames < 2 && !(tagged && frames == 1)) {
    return tagged ? Damaged(first, "mp3") : Parsed{};
  }
  if (xing && *xing > 0 && pos - first < *xing) return Damaged(pos, "mp3");
  // Tags after the frames: APEv2 (its header and footer), then ID3v1.
  if (r.Equals(pos, "APETAGEX")) {
    const auto size = r.Le32(pos + 12);  // items and footer
    if (size && *size < (16u << 20) && r.Has(pos, 32ull + *size)) pos += 32ull + *size;
  }
  if (r.Equals(pos, "TAG") && r.Has(pos, 128)) pos += 128;
  return Complete(pos, "mp3");
}

}  // namespace ambrelic::carve::formats

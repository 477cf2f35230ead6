// libFuzzer target: any bytes as a candidate file for the deep scan's
// parsers, through Identify (every family whose first bytes match) or
// Verify under one extension (one family's parser whatever the first bytes
// say), with a length limit that may cut the bytes short. A parser must not
// read past the limit, and what it calls complete must fit in it.
//
// Input: byte 0 picks the call (0: Identify, else Verify with one of the
// extensions below), byte 1 the limit (0: none, else that many 256ths of
// the bytes), then the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "carve/format.h"

namespace {

using namespace ambrelic::carve;

constexpr std::string_view kExtensions[] = {"jpg", "png", "gif",  "bmp", "webp", "tif", "mp4",  "mp3", "flac",
                                            "ogg", "pdf", "docx", "doc", "sqlite", "gz", "7z", "rar"};

class Watched final : public ByteSource {
 public:
  Watched(const std::uint8_t* data, std::size_t size) : inner_({data, size}) {}
  std::uint64_t Size() const override { return inner_.Size(); }
  std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    const std::size_t got = inner_.Read(offset, out);
    if (got > 0 && offset + got > furthest) furthest = offset + got;
    return got;
  }
  std::uint64_t furthest = 0;

 private:
  MemorySource inner_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t call = data[0], cut = data[1];
  Watched source(data + 2, size - 2);
  Limits limits;
  if (cut != 0) limits.maxLength = (size - 2) * cut / 256;
  const Parsed p = call == 0 ? Identify(source, limits)
                             : Verify(source, kExtensions[(call - 1) % std::size(kExtensions)], limits);
  const std::uint64_t wall = std::min<std::uint64_t>(limits.maxLength, size - 2);
  if (source.furthest > limits.maxLength) std::abort();                   // read past the limit
  if (p.verdict == Verdict::Complete && p.length > wall) std::abort();     // complete beyond the bytes
  if (p.verdict == Verdict::Complete && p.extension.empty()) std::abort();
  return 0;
}

// JPEG: markers and segments from SOI to EOI, the entropy-coded data after
// each SOS skipped up to the next marker, then a decode of the whole file by
// libjpeg-turbo to prove that the data reaches its last MCU. An embedded
// thumbnail lives inside its APP1 segment and is stepped over with it; the
// large preview some cameras append after EOI is counted through the MPF
// index that announces it, and the video a motion photo carries after its
// EOI (an ISO BMFF file from its ftyp box on) is counted whole.

#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "carve/formats/families.h"
#include "carve/formats/jpeg_scan.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr const char* kExtension = "jpg";

// The decoder's memory for a progressive file (its coefficient buffer) is
// bounded; a file that needs more is judged by its structure alone.
constexpr long kDecodeMemory = 192L << 20;

struct Structure {
  bool complete = false;   // EOI reached
  std::uint64_t end = 0;   // after EOI, or where the structure stops making sense
  std::uint64_t mpfEnd = 0;
  bool sawFrame = false;
  bool sawScan = false;
  std::optional<std::int64_t> time;
};

// The images a Multi-Picture Format index lists, as the furthest byte they
// reach; offsets count from the index's own TIFF header.
std::uint64_t MpfEnd(Reader& r, std::uint64_t base, std::uint64_t segmentEnd) {
  const auto order = r.View(base, 8);
  if (order.size() < 8) return 0;
  const bool little = StartsWith(order, "II*");
  if (!little && !StartsWith(order, std::string_view("MM\0*", 4))) return 0;
  auto u16 = [&](std::uint64_t o) { return little ? r.Le16(o) : r.Be16(o); };
  auto u32 = [&](std::uint64_t o) { return little ? r.Le32(o) : r.Be32(o); };
  const auto ifd = u32(base + 4);
  if (!ifd || base + *ifd >= segmentEnd) return 0;
  const auto count = u16(base + *ifd);
  if (!count) return 0;
  std::uint64_t furthest = 0;
  for (std::uint32_t i = 0; i < *count && i < 64; ++i) {
    const std::uint64_t entry = base + *ifd + 2 + 12 * std::uint64_t{i};
    if (entry + 12 > segmentEnd) break;
    if (u16(entry) != 0xB002) continue;
    const auto bytes = u32(entry + 4);
    const auto at = u32(entry + 8);
    if (!bytes || !at) break;
    for (std::uint32_t k = 0; k + 16 <= *bytes && k < 16 * 64; k += 16) {
      const std::uint64_t e = base + *at + k;
      const auto size = u32(e + 4);
      const auto offset = u32(e + 8);
      if (!size || !offset) continue;
      if (*offset == 0) continue;  // the first image is this file itself
      furthest = std::max(furthest, base + *offset + *size);
    }
  }
  return furthest;
}

Structure Walk(Reader& r) {
  Structure s;
  std::uint64_t pos = 2;
  for (;;) {
    const auto b = r.U8(pos);
    if (!b) {
      s.end = pos;
      return s;
    }
    if (*b != 0xFF) {
      s.end = pos;
      return s;
    }
    std::uint64_t m = pos + 1;
    std::optional<std::uint8_t> marker;
    while ((marker = r.U8(m)) && *marker == 0xFF) ++m;  // fill bytes
    if (!marker) {
      s.end = pos;
      return s;
    }
    if (*marker == 0xD9) {
      s.end = m + 1;
      s.complete = s.sawFrame && s.sawScan;
      if (!s.complete) s.end = pos;
      return s;
    }
    if (*marker < 0xC0 || (*marker >= 0xD0 && *marker <= 0xD8)) {
      s.end = pos;  // no segment starts with a byte stuffing, restart or second SOI
      return s;
    }
    const auto length = r.Be16(m + 1);
    if (!length || *length < 2 || !r.Has(m + 1, *length)) {
      s.end = pos;
      return s;
    }
    const std::uint64_t data = m + 3;
    const std::uint64_t next = m + 1 + *length;
    if ((*marker >= 0xC0 && *marker <= 0xCF) && *marker != 0xC4 && *marker != 0xC8 && *marker != 0xCC) {
      s.sawFrame = true;
    } else if (*marker == 0xE1 && !s.time && r.Equals(data, std::string_view("Exif\0\0", 6))) {
      s.time = ExifTime(r, data + 6, next);
    } else if (*marker == 0xE2 && r.Equals(data, std::string_view("MPF\0", 4))) {
      s.mpfEnd = std::max(s.mpfEnd, MpfEnd(r, data + 4, next));
    }
    pos = next;
    if (*marker != 0xDA) continue;
    if (!s.sawFrame) {
      s.end = m - 1;
      return s;
    }
    s.sawScan = true;
    // Entropy-coded data: up to the first 0xFF that is neither stuffing
    // (0xFF00) nor a restart marker.
    for (;;) {
      const auto v = r.View(pos, 16384);
      if (v.empty()) {
        s.end = pos;
        return s;
      }
      const auto* ff = static_cast<const std::uint8_t*>(std::memchr(v.data(), 0xFF, v.size()));
      if (ff == nullptr) {
        pos += v.size();
        continue;
      }
      const std::uint64_t at = pos + static_cast<std::uint64_t>(ff - v.data());
      const auto follow = r.U8(at + 1);
      if (!follow) {
        s.end = at;
        return s;
      }
      if (*follow == 0x00 || (*follow >= 0xD0 && *follow <= 0xD7)) {
        pos = at + 2;
        continue;
      }
      if (*follow == 0xFF) {  // fill before a marker
        pos = at + 1;
        continue;
      }
      pos = at;
      break;
    }
  }
}

// libjpeg-turbo fed from the reader, up to a given end; the first warning
// (corrupt data) or error stops the decode and says where it happened.
// What each output row looked like and how far the input had been read
// when it came out. Kept here, behind the pointer the library holds, so that
// it is current when a warning jumps out of the decode.
struct RowMark {
  std::uint64_t position = 0;
  std::uint32_t change = 0;  // mean difference from the row above
  bool flat = false;         // one value throughout, the same as the row above
};

struct Source {
  jpeg_source_mgr mgr{};
  std::vector<RowMark> marks;
  std::vector<JSAMPLE> row, above;  // an output row and the one before
  Reader* reader = nullptr;
  std::uint64_t next = 0;
  std::uint64_t end = 0;
  std::vector<std::uint8_t> buffer;
  std::uint8_t eoi[2] = {0xFF, 0xD9};
  bool ranOut = false;
};

struct Errors {
  jpeg_error_mgr mgr{};
  std::jmp_buf jump{};
  bool noMemory = false;  // or otherwise not the data's fault
};

void InitSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr info) {
  auto* s = reinterpret_cast<Source*>(info->src);
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(s->buffer.size(), s->end - s->next));
  if (want == 0 || !s->reader->Get(s->next, std::span(s->buffer.data(), want))) {
    s->ranOut = true;
    s->mgr.next_input_byte = s->eoi;
    s->mgr.bytes_in_buffer = 2;
    return TRUE;
  }
  s->next += want;
  s->mgr.next_input_byte = s->buffer.data();
  s->mgr.bytes_in_buffer = want;
  return TRUE;
}

void SkipInput(j_decompress_ptr info, long count) {
  auto* s = reinterpret_cast<Source*>(info->src);
  while (count > 0) {
    if (static_cast<std::size_t>(count) <= s->mgr.bytes_in_buffer) {
      s->mgr.next_input_byte += count;
      s->mgr.bytes_in_buffer -= static_cast<std::size_t>(count);
      return;
    }
    count -= static_cast<long>(s->mgr.bytes_in_buffer);
    s->mgr.bytes_in_buffer = 0;
    FillInput(info);
    if (s->ranOut) return;
  }
}

void TermSource(j_decompress_ptr) {}

void OnError(j_common_ptr info) {
  auto* e = reinterpret_cast<Errors*>(info->err);
  const int code = info->err->msg_code;
  // Out of the decoder's memory, or a process this build of the library
  // does not decode (lossless, hierarchical): the data may be sound.
  e->noMemory = code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE || code == JERR_SOF_UNSUPPORTED ||
                code == JERR_NOT_COMPILED || code == JERR_CONVERSION_NOTIMPL;
  std::longjmp(e->jump, 1);
}

void OnMessage(j_common_ptr info, int level) {
  if (level >= 0) return;  // trace messages
  // Warnings that say the entropy-coded data is corrupt stop the decode
  // where it got to; others (an unknown JFIF revision, an odd Adobe
  // transform, SOS parameters some cameras write) are harmless.
  switch (info->err->msg_code) {
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_BOGUS_PROGRESSION:
      std::longjmp(reinterpret_cast<Errors*>(info->err)->jump, 1);
    default:
      break;
  }
}

enum class Decode { Whole, Broken, Unchecked };

// Foreign bytes inside the entropy-coded data often decode without a
// single warning until the end, where the MCUs do not come out even. Where
// they began shows in the picture: the row where they start differs from
// the row above more sharply, against the rows before it, than any other
// (random values, or the rest of the picture shifted and off in tone),
// sometimes after a run of flat rows (zeros decode to one flat value).
// Returns where the input stood before that row, if one stands out.
std::optional<std::uint64_t> WhereGarbageBegins(const std::vector<RowMark>& marks) {
  std::uint64_t sum = 0;
  std::size_t worst = 0;
  double worstRatio = 2.0;  // at least twice the usual change
  for (std::size_t y = 1; y < marks.size(); ++y) {
    const double usual = static_cast<double>(sum) / static_cast<double>(y) + 4.0;
    const double ratio = marks[y].change / usual;
    if (y >= 2 && ratio > worstRatio) {
      worstRatio = ratio;
      worst = y;
    }
    sum += marks[y].change;
  }
  if (worst == 0) return std::nullopt;
  std::size_t first = worst;
  while (first > 1 && marks[first - 1].flat) --first;
  // Rows of one MCU row come out together: go back to the one before.
  for (std::size_t k = first; k-- > 0;) {
    if (marks[k].position < marks[first].position) return marks[k].position;
  }
  return 0;
}

// Decodes [0, end) at an eighth of the size (every coefficient is still read,
// so corrupt data is still seen); where it fails, *reached says how far the
// decoder had read.
Decode DecodeUpTo(Reader& r, std::uint64_t end, std::uint64_t* reached) {
  jpeg_decompress_struct info{};
  Errors errors;
  Source source;
  source.reader = &r;
  source.end = end;
  source.buffer.resize(64 * 1024);
  // Everything with a destructor lives from before the setjmp, which a
  // warning jumps back to.
  std::vector<JSAMPLE>& row = source.row;
  std::vector<JSAMPLE>& above = source.above;
  info.err = jpeg_std_error(&errors.mgr);
  errors.mgr.error_exit = OnError;
  errors.mgr.emit_message = OnMessage;
  if (setjmp(errors.jump)) {
    *reached = source.ranOut ? end : source.next - source.mgr.bytes_in_buffer;
    if (const auto garbage = WhereGarbageBegins(source.marks)) *reached = std::min(*reached, *garbage);
    const bool noMemory = errors.noMemory;
    jpeg_destroy_decompress(&info);
    return noMemory ? Decode::Unchecked : Decode::Broken;
  }
  jpeg_create_decompress(&info);
  info.mem->max_memory_to_use = kDecodeMemory;
  source.mgr.init_source = InitSource;
  source.mgr.fill_input_buffer = FillInput;
  source.mgr.skip_input_data = SkipInput;
  source.mgr.resync_to_restart = jpeg_resync_to_restart;
  source.mgr.term_source = TermSource;
  info.src = &source.mgr;
  jpeg_read_header(&info, TRUE);
  info.scale_num = 1;
  info.scale_denom = 8;
  info.dct_method = JDCT_IFAST;
  info.do_fancy_upsampling = FALSE;
  info.do_block_smoothing = FALSE;
  info.out_color_space = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK
                             ? JCS_CMYK
                             : JCS_GRAYSCALE;
  jpeg_start_decompress(&info);
  const std::size_t width = static_cast<std::size_t>(info.output_width) * static_cast<std::size_t>(info.output_components);
  row.resize(width);
  above.resize(width);
  // A progressive file is read whole before its first row: rows say nothing
  // of where its data went wrong.
  const bool sequential = !jpeg_has_multiple_scans(&info);
  if (sequential) source.marks.reserve(info.output_height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&info, rows, 1);
    if (!sequential || width == 0) continue;
    std::uint64_t change = 0;
    bool flat = true;
    for (std::size_t i = 0; i < width; ++i) {
      change += static_cast<std::uint64_t>(std::abs(int{row[i]} - int{above[i]}));
      flat &= row[i] == row[0];
    }
    RowMark mark;
    mark.position = source.next - source.mgr.bytes_in_buffer;
    mark.change = source.marks.empty() ? 0 : static_cast<std::uint32_t>(change / width);
    mark.flat = flat && change == 0;
    source.marks.push_back(mark);
    above.swap(row);
  }
  jpeg_finish_decompress(&info);
  const bool ranOut = source.ranOut;
  *reached = source.next - source.mgr.bytes_in_buffer;
  if (ranOut) {
    if (const auto garbage = WhereGarbageBegins(source.marks)) *reached = std::min(*reached, *garbage);
  }
  jpeg_destroy_decompress(&info);
  return ranOut ? Decode::Broken : Decode::Whole;
}

}  // namespace

bool JpegMatches(std::span<const std::uint8_t> head) {
  return head.size() >= 4 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF && head[3] >= 0xC0 &&
         head[3] != 0xFF && !(head[3] >= 0xD0 && head[3] <= 0xD9);
}

namespace {

enum class Mode {
  Quick,     // the quick check of the codes first, the decode where it is unsure
  // As Quick, but a photo that comes out whole if its codes check out is
  // taken as whole at once, and the check of its codes left to the caller.
  Deferred,
  Decoding,  // always the decode
  // Only a photo whose structure reaches EOI, and whose codes check out
  // or decode whole: for a guess that is mostly wrong (a fragment's
  // continuation), the quick check that says the data runs into a marker
  // spares the decode.
  WholeOnly
};

Parsed ParseJpeg(ByteSource& source, const Limits& limits, Mode mode, std::uint64_t* deferredEnd = nullptr) {
  Reader r(source, limits);
  const auto head = r.View(0, 4);
  if (!JpegMatches(head)) return {};
  const Structure s = Walk(r);
  if (!s.sawFrame) {
    // Segments that parse but stop before the frame header: the start of
    // a photo whose next cluster is gone.
    if (s.end > 2) {
      Parsed p = Damaged(s.end, kExtension);
      SetTime(p, s.time, true);
      return p;
    }
    return {};
  }
  if (!s.complete && mode == Mode::WholeOnly) return Damaged(s.end, kExtension);
  std::uint64_t reached = 0;
  // A file whose structure ends in EOI and whose codes all check out
  // decodes whole: the decode is only needed to say where the data goes
  // wrong, or for what the quick check does not know.
  bool deferred = false;
  Decode decode = Decode::Unchecked;
  if (s.complete && mode == Mode::Deferred) {
    deferred = true;
    decode = Decode::Whole;
  } else if (s.complete && mode == Mode::Quick && CheckJpegScan(r, s.end) == ScanCheck::Whole) {
    decode = Decode::Whole;
  } else if (s.complete && mode == Mode::WholeOnly) {
    // Where the data goes wrong is not wanted here, only whether it does.
    switch (CheckJpegScan(r, s.end)) {
      case ScanCheck::Whole: decode = Decode::Whole; break;
      case ScanCheck::Broken: return Damaged(s.end, kExtension);
      case ScanCheck::Unsure: decode = DecodeUpTo(r, s.end, &reached); break;
    }
  } else {
    decode = DecodeUpTo(r, s.end, &reached);
  }
  // The verdict taken on trust must be the one the check can only
  // confirm or undo: a photo that would not come out whole anyway is
  // checked here and now.
  auto deferredWhole = [&](Parsed p) {
    if (!deferred) return p;
    if (p.verdict == Verdict::Complete) {
      *deferredEnd = s.end;
      return p;
    }
    return ParseJpeg(source, limits, Mode::Quick);
  };
  Parsed p;
  if (s.complete && decode != Decode::Broken) {
    std::uint64_t length = s.end;
    if (s.mpfEnd > length) {
      // The appended images must be there and start as JPEGs.
      if (!r.Has(0, s.mpfEnd)) {
        p = Damaged(r.End(), kExtension);
        SetTime(p, s.time, true);
        return deferredWhole(p);
      }
      length = s.mpfEnd;
    }
    // A motion photo's video, right after the photo.
    if (r.Equals(length + 4, "ftyp")) {
      OffsetSource video(source, length);
      Limits rest = limits;
      rest.maxLength = limits.maxLength - length;
      const Parsed v = IsoBmffParse(video, rest);
      if (v.verdict == Verdict::Complete) {
        length += v.length;
      } else if (v.verdict == Verdict::Damaged) {
        p = Damaged(length + v.length, kExtension);
        SetTime(p, s.time, true);
        return deferredWhole(p);
      }
    }
    p = Complete(length, kExtension);
  } else {
    std::uint64_t good = s.end;
    if (decode == Decode::Broken) good = std::min(good, reached);
    p = Damaged(good, kExtension);
  }
  SetTime(p, s.time, true);
  return deferredWhole(p);
}

}  // namespace

Parsed JpegParse(ByteSource& source, const Limits& limits) { return ParseJpeg(source, limits, Mode::Quick); }

Parsed JpegParseDecoding(ByteSource& source, const Limits& limits) { return ParseJpeg(source, limits, Mode::Decoding); }

Parsed JpegParseDeferred(ByteSource& source, const Limits& limits, std::uint64_t& checkEnd) {
  checkEnd = 0;
  return ParseJpeg(source, limits, Mode::Deferred, &checkEnd);
}

Parsed JpegParseWhole(ByteSource& source, const Limits& limits) { return ParseJpeg(source, limits, Mode::WholeOnly); }

}  // namespace ambrelic::carve::formats

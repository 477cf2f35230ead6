// The quick check of a JPEG's scan. A photo's Huffman codes are most of
// what a decode spends its time on when it only proves that the data is
// whole (the picture at an eighth of its size, which is all the decode
// produces, costs little); this walks the same codes with a table lookup
// per code and no coefficient, sample or row kept. It is written to be
// stricter than libjpeg: it says Whole only where libjpeg would take the
// same bytes in the same way (the same headers accepted, the same tables,
// no marker or missing bit met inside the data, no byte left over before
// a marker), and Unsure for everything else, however harmless.

#include "carve/formats/jpeg_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace ambrelic::carve::formats {
namespace {

// Codes up to this many bits (and groups of codes as long) are found with
// one lookup.
constexpr int kLookBits = 13;
// The largest scan checked here (a 100-megapixel photo's is a fraction).
constexpr std::uint64_t kMaxScanBytes = 256u << 20;

struct HuffTable {
  bool defined = false;
  std::array<std::uint8_t, 17> bits{};
  std::array<std::uint8_t, 256> values{};
};

// A table ready for decoding, laid out as libjpeg derives its own (and
// refused where libjpeg refuses it). For each lookahead of kLookBits bits:
// - one: the first code there, as the bits it and its value bits take (0:
//   the code is longer than the lookahead, or its value is one no 8-bit
//   baseline data holds) | how far it moves the coefficient index << 5;
// - group (AC tables): as many codes as follow each other whole, value
//   bits included, inside the lookahead (an EOB only as the last), as the
//   bits they take (0 when not even the first fits) | how far all but the
//   last move the index << 4 | how far all move it << 10, both capped at
//   63 (past the block's end either way).
// A group of codes per lookup shortens the chain of dependent loads that
// bounds the walk's speed. 13 bits (16 KiB a table) walked the bench
// card's photos a little faster than 12 or 14.
struct Decoder {
  std::array<std::uint16_t, 1 << kLookBits> group{};
  std::array<std::uint16_t, 1 << kLookBits> one{};
  std::array<std::int32_t, 18> maxcode{};
  std::array<std::int32_t, 17> valoffset{};
  std::array<std::uint8_t, 256> values{};
  bool dc = false;
};

// The value bits (size) a symbol is followed by, and how far an AC symbol
// moves k: run + 1, 16 for ZRL, to the end of the block for EOB (libjpeg
// takes any other run with size 0 as EOB too). False for sizes beyond what
// 8-bit data holds.
bool Symbol(bool dc, std::uint8_t symbol, int& size, int& advance) {
  if (dc) {
    size = symbol;
    advance = 1;
    return size <= 11;
  }
  const int run = symbol >> 4;
  size = symbol & 15;
  if (size == 0) {
    advance = run == 15 ? 16 : 64;
    return true;
  }
  advance = run + 1;
  return size <= 10;
}

bool Derive(const HuffTable& t, bool dc, Decoder& d) {
  d.dc = dc;
  std::array<std::uint8_t, 257> sizes{};
  std::array<std::uint32_t, 257> codes{};
  int count = 0;
  for (int l = 1; l <= 16; ++l) {
    for (int i = 0; i < t.bits[l]; ++i) {
      if (count >= 256) return false;
      sizes[count++] = static_cast<std::uint8_t>(l);
    }
  }
  sizes[count] = 0;
  std::uint32_t code = 0;
  int si = sizes[0];
  for (int p = 0; sizes[p] != 0;) {
    while (sizes[p] == si) codes[p++] = code++;
    if (code >= (std::uint32_t{1} << si)) return false;  // libjpeg: a bad table
    code <<= 1;
    ++si;
  }
  for (int p = 0, l = 1; l <= 16; ++l) {
    if (t.bits[l] != 0) {
      d.valoffset[l] = p - static_cast<std::int32_t>(codes[p]);
      p += t.bits[l];
      d.maxcode[l] = static_cast<std::int32_t>(codes[p - 1]);
    } else {
      d.maxcode[l] = -1;
    }
  }
  d.maxcode[17] = 0xFFFFF;
  d.values = t.values;
  for (int p = 0; p < count; ++p) {
    // libjpeg refuses a DC table with a value above 15.
    if (dc && t.values[p] > 15) return false;
    const int l = sizes[p];
    if (l > kLookBits) continue;
    int size = 0, advance = 0;
    if (!Symbol(dc, t.values[p], size, advance)) continue;  // left to the slow path, which refuses it
    const std::uint32_t first = codes[p] << (kLookBits - l);
    for (std::uint32_t i = 0; i < (std::uint32_t{1} << (kLookBits - l)); ++i) {
      d.one[first + i] = static_cast<std::uint16_t>((l + size) | advance << 5);
    }
  }
  if (dc) return true;  // a DC code is followed by the AC table's codes, never its own
  constexpr std::uint32_t kMask = (1u << kLookBits) - 1;
  for (std::uint32_t i = 0; i <= kMask; ++i) {
    std::uint32_t bits = 0, before = 0, all = 0;
    for (;;) {
      // The rest of the index below the codes taken is zeros, not data:
      // only a code whose bits all lie above it counts.
      const std::uint32_t e = d.one[(i << bits) & kMask];
      const std::uint32_t n = e & 31;
      if (n == 0 || bits + n > kLookBits) break;
      before = all;
      all += e >> 5;
      bits += n;
      if ((e >> 5) >= 64) break;  // EOB
    }
    d.group[i] = static_cast<std::uint16_t>(bits | std::min<std::uint32_t>(before, 63) << 4 |
                                            std::min<std::uint32_t>(all, 63) << 10);
  }
  return true;
}

struct Component {
  int id = 0, h = 1, v = 1, quant = 0;
  int dcTable = 0, acTable = 0;
};

// Where the entropy-coded data stops: the EOI, another marker (which
// libjpeg stops at as well), a fill byte (0xFF before a marker or a
// stuffed 0xFF: libjpeg takes either, so what comes after it is not
// known here), or the end of what was given.
enum class Stop { Eoi, Marker, Fill, RanOut };

// The scan's bytes with the stuffing taken out, and where each restart
// marker stood in them.
struct ScanData {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> restarts;  // offsets into bytes
  std::vector<int> restartNumbers;
  std::uint64_t stopAt = 0;             // file offset of the marker after the data
};

// Reads [from, end) up to the first marker that is not a restart (with no
// restart interval, a restart marker is one more marker the data runs
// into).
Stop Unstuff(Reader& r, std::uint64_t from, std::uint64_t end, bool restarts, ScanData& out) {
  out.bytes.clear();
  out.restarts.clear();
  out.restartNumbers.clear();
  out.bytes.reserve(static_cast<std::size_t>(end - from) + 512);
  std::uint64_t pos = from;
  auto stop = [&](Stop why) {
    out.stopAt = pos;
    // Room for the bit reader's whole-word loads past the end.
    out.bytes.resize(out.bytes.size() + 512, 0);
    return why;
  };
  for (;;) {
    const auto v = r.View(pos, static_cast<std::size_t>(std::min<std::uint64_t>(16384, end - std::min(pos, end))));
    if (v.empty()) return stop(Stop::RanOut);
    const auto* ff = static_cast<const std::uint8_t*>(std::memchr(v.data(), 0xFF, v.size()));
    const std::size_t run = ff ? static_cast<std::size_t>(ff - v.data()) : v.size();
    out.bytes.insert(out.bytes.end(), v.data(), v.data() + run);
    pos += run;
    if (!ff) continue;
    const auto next = r.U8(pos + 1);
    if (!next) return stop(Stop::RanOut);
    if (*next == 0x00) {
      out.bytes.push_back(0xFF);
      pos += 2;
    } else if (restarts && *next >= 0xD0 && *next <= 0xD7) {
      out.restarts.push_back(out.bytes.size());
      out.restartNumbers.push_back(*next - 0xD0);
      pos += 2;
    } else {
      return stop(*next == 0xD9 ? Stop::Eoi : *next == 0xFF ? Stop::Fill : Stop::Marker);
    }
  }
}

// Eight bytes as one big-endian word.
inline std::uint64_t LoadBe64(const std::uint8_t* p) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::uint64_t w = 0;
  std::memcpy(&w, p, 8);
  return __builtin_bswap64(w);
#else
  std::uint64_t w = 0;
  for (int i = 0; i < 8; ++i) w = (w << 8) | p[i];
  return w;
#endif
}

// A code the lookup does not give (longer than it, or with a value it
// leaves out), found bit by bit as libjpeg finds it, in the bits at the
// top of word: the bits it takes with its value (0 when no code of the
// table starts here, or its value cannot be) and its advance. Rare enough
// to start from one bit: a short code with a refused value must be found
// as itself, not read as the start of a longer one.
int SlowSymbol(std::uint64_t word, const Decoder& d, int& advance) {
  int l = 1;
  std::int32_t code = static_cast<std::int32_t>(word >> (64 - l));
  while (code > d.maxcode[l]) {
    ++l;
    code = static_cast<std::int32_t>(word >> (64 - l));
  }
  if (l > 16) return 0;
  int size = 0;
  if (!Symbol(d.dc, d.values[static_cast<std::uint8_t>(code + d.valoffset[l])], size, advance)) return 0;
  return l + size;
}

// Derived tables kept for the next photos: a card's photos mostly share
// their encoder's tables, and deriving one (or clearing room for it) cost
// as much as walking a small photo. Entries used by the walks being set up
// are not given up for others.
class DecoderCache {
 public:
  const Decoder* Get(const HuffTable& t, bool dc, std::uint64_t pinnedFrom) {
    Entry* victim = nullptr;
    for (auto& e : entries_) {
      if (e && e->dc == dc && e->bits == t.bits && e->values == t.values) {
        e->used = ++clock_;
        return e->ok ? &e->decoder : nullptr;
      }
      if (!e) {
        e = std::make_unique<Entry>();
        victim = e.get();
        break;
      }
      if (e->used < pinnedFrom && (!victim || e->used < victim->used)) victim = e.get();
    }
    if (!victim) return nullptr;  // cannot happen with as many entries as two walks pin
    victim->dc = dc;
    victim->bits = t.bits;
    victim->values = t.values;
    victim->used = ++clock_;
    victim->ok = Derive(t, dc, victim->decoder);
    return victim->ok ? &victim->decoder : nullptr;
  }
  // Walks set up from now on pin what they use.
  std::uint64_t Mark() const { return clock_ + 1; }

 private:
  struct Entry {
    bool dc = false, ok = false;
    std::array<std::uint8_t, 17> bits{};
    std::array<std::uint8_t, 256> values{};
    std::uint64_t used = 0;
    Decoder decoder;
  };
  // Two walks pin at most eight tables each.
  std::array<std::unique_ptr<Entry>, 20> entries_;
  std::uint64_t clock_ = 0;
};

// One photo's scan being walked: the bit reader, where it stands in the
// MCUs, and what the MCUs and restart intervals ask for. The walk goes a
// round of AC lookups at a time, so that two photos' walks can take turns
// in one loop: each one's chain of dependent lookups then runs while the
// other's waits on memory.
struct Walk {
  const std::uint8_t* data = nullptr;  // the unstuffed bytes
  const std::uint8_t* ptr = nullptr;   // where the next byte to load stands
  std::uint64_t word = 0;
  int count = 0;                       // bits of word that are data
  unsigned k = 64;                     // the coefficient next; 64: the block is done
  const Decoder* ac = nullptr;         // the block's AC table
  int block = -1;                      // within the MCU
  int blocks = 0;
  std::uint64_t mcu = 0, mcus = 0;
  std::array<const Decoder*, 12> dcs{}, acs{};
  const ScanData* scan = nullptr;
  std::uint64_t dataBytes = 0;
  std::uint32_t restartInterval = 0, toGo = 0;
  std::size_t restart = 0;
  std::uint64_t limit = 0;
  Stop stop = Stop::RanOut;
  std::uint64_t end = 0;              // just past the EOI
  bool done = false;
  ScanCheck verdict = ScanCheck::Unsure;

  // Bits consumed from the start of the data.
  std::uint64_t Pos() const { return static_cast<std::uint64_t>(ptr - data) * 8 - static_cast<std::uint64_t>(count); }
  void Seek(std::uint64_t byte) {
    ptr = data + byte;
    word = 0;
    count = 0;
  }
  void End(ScanCheck v) {
    verdict = v;
    done = true;
  }
};

// The word topped up without a branch (whole bytes, to at least 56 bits):
// `ptr` is where the next byte to load stands, and the bits below `count`
// already match the data there, so loading the word again over them
// changes nothing.
[[gnu::always_inline]] inline void Refill(const std::uint8_t*& ptr, std::uint64_t& word, int& count) {
  word |= LoadBe64(ptr) >> count;
  ptr += (63 - count) >> 3;
  count |= 56;
}

// One lookup of a block's AC codes: its group of codes, or only its first
// when the group would run past the end of the block. A lookup takes at
// most kLookBits bits. False on a code the walk cannot follow as libjpeg
// does: it goes no further.
[[gnu::always_inline]] inline bool AcLookup(const std::uint8_t*& ptr, std::uint64_t& word, int& count, unsigned& k,
                                            const Decoder& ac) {
  auto skip = [&](unsigned n) __attribute__((always_inline)) {
    word <<= n;
    count -= static_cast<int>(n);
  };
  const auto index = static_cast<unsigned>(word >> (64 - kLookBits));
  const std::uint16_t e = ac.group[index];
  if (e != 0) [[likely]] {
    if (k + ((e >> 4) & 63) < 64) [[likely]] {
      skip(e & 15);
      k += e >> 10;
    } else {
      const std::uint16_t f = ac.one[index];
      skip(f & 31);
      k += f >> 5;
    }
    return true;
  }
  // A code whose value bits reach past the lookahead (up to 22 bits
  // with them), or a longer one (up to 27): the lookups after it in
  // the same round get a full word again.
  Refill(ptr, word, count);
  if (const std::uint16_t f = ac.one[index]; f != 0) {
    skip(f & 31);
    Refill(ptr, word, count);
    k += f >> 5;
    return true;
  }
  int advance = 0;
  const int n = SlowSymbol(word, ac, advance);
  if (n == 0) return false;
  skip(static_cast<unsigned>(n));
  Refill(ptr, word, count);
  k += static_cast<unsigned>(advance);
  return true;
}

// A round of the block's AC codes: up to four lookups (a refill, 56 bits
// at least, is good for four). The walk's state is worked on in locals,
// which stay in registers through the round.
[[gnu::always_inline]] inline void AcRound(Walk& w) {
  const std::uint8_t* ptr = w.ptr;
  std::uint64_t word = w.word;
  int count = w.count;
  unsigned k = w.k;
  static_assert(4 * kLookBits <= 56);
  Refill(ptr, word, count);
  for (int i = 0; i < 4 && k < 64; ++i) {
    if (!AcLookup(ptr, word, count, k, *w.ac)) return w.End(ScanCheck::Unsure);
  }
  w.ptr = ptr;
  w.word = word;
  w.count = count;
  w.k = k;
}

// Each interval's data must end in the byte holding its last code's last
// bit, right before the next marker.
inline bool EndsAt(std::uint64_t bit, std::uint64_t byte) { return (bit + 7) / 8 == byte; }

// The walk's end, every MCU in: the verdict from what follows the data.
void Finish(Walk& w) {
  const ScanData& scan = *w.scan;
  const bool hardStop = w.stop != Stop::Fill;
  // More bytes before the next marker than libjpeg can have read ahead
  // into its bit buffer (8) it skips with a warning.
  if ((w.restart < scan.restarts.size() || hardStop) && w.limit > (w.Pos() + 7) / 8 + 16) {
    return w.End(ScanCheck::Broken);
  }
  if (w.stop != Stop::Eoi || scan.stopAt + 2 != w.end) return w.End(ScanCheck::Unsure);
  if (w.restart != scan.restarts.size() || !EndsAt(w.Pos(), w.limit)) return w.End(ScanCheck::Unsure);
  w.End(ScanCheck::Whole);
}

// The step between blocks: the block just walked checked against the
// data's end, then the next one started with its DC code (an MCU counted
// and a restart marker passed on the way), or the verdict once the MCUs
// are all in.
void NextBlock(Walk& w) {
  const ScanData& scan = *w.scan;
  const bool hardStop = w.stop != Stop::Fill;
  if (w.block < 0) {
    w.block = 0;
  } else {
    if (w.Pos() > 8 * w.limit) {
      // Bits wanted past a marker: a restart's, or the one that stopped the data.
      return w.End(w.restart < scan.restarts.size() || hardStop ? ScanCheck::Broken : ScanCheck::Unsure);
    }
    if (++w.block == w.blocks) {
      w.block = 0;
      ++w.mcu;
      --w.toGo;
    }
  }
  if (w.block == 0) {
    if (w.mcu == w.mcus) return Finish(w);
    if (w.restartInterval != 0 && w.toGo == 0) {
      // libjpeg resyncs with a warning when the marker that follows is
      // not the restart it expects.
      if (w.restart >= scan.restarts.size()) return w.End(hardStop ? ScanCheck::Broken : ScanCheck::Unsure);
      if (scan.restartNumbers[w.restart] != static_cast<int>(w.restart % 8)) return w.End(ScanCheck::Broken);
      // Bytes left over before the marker: libjpeg may or may not say so,
      // as it had read them ahead or not.
      if (!EndsAt(w.Pos(), w.limit)) return w.End(ScanCheck::Unsure);
      w.Seek(w.limit);
      ++w.restart;
      w.limit = w.restart < scan.restarts.size() ? scan.restarts[w.restart] : w.dataBytes;
      w.toGo = w.restartInterval;
    }
  }
  const Decoder& dc = *w.dcs[static_cast<std::size_t>(w.block)];
  Refill(w.ptr, w.word, w.count);
  int n = dc.one[w.word >> (64 - kLookBits)] & 31;
  int advance = 0;
  if (n == 0) n = SlowSymbol(w.word, dc, advance);
  if (n == 0) return w.End(ScanCheck::Unsure);
  w.word <<= n;
  w.count -= n;
  w.k = 1;
  w.ac = w.acs[static_cast<std::size_t>(w.block)];
}

[[gnu::always_inline]] inline void Step(Walk& w) {
  if (w.k < 64) {
    AcRound(w);
    return;
  }
  // Most steps between blocks stay inside the MCU, with the data's end
  // far off and a short DC code: taken here, without the call.
  if (w.block >= 0 && w.block + 1 < w.blocks && w.Pos() <= 8 * w.limit) {
    const Decoder& dc = *w.dcs[static_cast<std::size_t>(w.block + 1)];
    Refill(w.ptr, w.word, w.count);
    if (const int n = dc.one[w.word >> (64 - kLookBits)] & 31; n != 0) {
      ++w.block;
      w.word <<= n;
      w.count -= n;
      w.k = 1;
      w.ac = w.acs[static_cast<std::size_t>(w.block)];
      return;
    }
  }
  NextBlock(w);
}

// Reads the segments up to the scan as libjpeg reads them, and makes the
// walk ready: the data unstuffed into `scan`, the tables derived (from
// `cache`). False when the photo is not one the walk knows (its verdict
// is Unsure then).
bool Prepare(Reader& r, std::uint64_t end, ScanData& scan, DecoderCache& cache, std::uint64_t pinnedFrom,
             Walk& w) {
  w.End(ScanCheck::Unsure);
  std::array<bool, 4> quant{};
  std::array<HuffTable, 4> dcTables, acTables;
  std::vector<Component> comps;
  int width = 0, height = 0;
  std::uint32_t restartInterval = 0;
  std::uint64_t pos = 2;
  // The segments up to the scan, as libjpeg reads them.
  for (;;) {
    if (r.U8(pos) != 0xFF) return false;
    std::uint64_t m = pos + 1;
    std::optional<std::uint8_t> marker;
    while ((marker = r.U8(m)) && *marker == 0xFF) ++m;
    if (!marker) return false;
    const auto length = r.Be16(m + 1);
    if (!length || *length < 2 || !r.Has(m + 1, *length)) return false;
    const std::uint64_t data = m + 3;
    const std::uint64_t size = *length - 2u;
    pos = data + size;
    const std::uint8_t mk = *marker;
    if ((mk >= 0xE0 && mk <= 0xEF && mk != 0xEE) || mk == 0xFE) {
      continue;  // APPn and comments, skipped (an Adobe APP14 would change the colours)
    }
    // The segments read here are small (tables, the frame, the scan).
    const auto v = r.View(data, static_cast<std::size_t>(size));
    if (v.size() != size) return false;
    if (mk == 0xC0 || mk == 0xC1) {
      if (!comps.empty() || size < 6) return false;
      const int n = v[5];
      if (v[0] != 8 || (n != 1 && n != 3) || size != 6u + 3u * static_cast<unsigned>(n)) return false;
      height = Be16At(v, 1);
      width = Be16At(v, 3);
      if (width == 0 || height == 0 || width > 65500 || height > 65500) return false;
      for (int i = 0; i < n; ++i) {
        Component c;
        c.id = v[6 + 3 * i];
        c.h = v[7 + 3 * i] >> 4;
        c.v = v[7 + 3 * i] & 15;
        c.quant = v[8 + 3 * i];
        if (c.quant > 3) return false;
        for (const Component& o : comps) {
          if (o.id == c.id) return false;
        }
        // The luma of any common sampling, chroma at the lowest rate.
        const bool ok = n == 1 ? (c.h == 1 && c.v == 1)
                               : i == 0 ? (c.h >= 1 && c.h <= 2 && c.v >= 1 && c.v <= 2) : (c.h == 1 && c.v == 1);
        if (!ok) return false;
        comps.push_back(c);
      }
      // Red, green and blue named by their letters: libjpeg converts
      // those otherwise.
      if (n == 3 && comps[0].id == 'R' && comps[1].id == 'G' && comps[2].id == 'B') return false;
    } else if (mk == 0xC4) {
      std::size_t k = 0;
      while (k < v.size()) {
        if (v.size() - k < 17) return false;
        const int index = v[k];
        if ((index & 0xEC) != 0) return false;  // class 0 or 1, table 0..3
        HuffTable t;
        t.defined = true;
        std::size_t count = 0;
        for (int l = 1; l <= 16; ++l) {
          t.bits[l] = v[k + l];
          count += v[k + l];
        }
        if (count > 256 || v.size() - k - 17 < count) return false;
        for (std::size_t i = 0; i < count; ++i) t.values[i] = v[k + 17 + i];
        (index & 0x10 ? acTables : dcTables)[index & 3] = t;
        k += 17 + count;
      }
    } else if (mk == 0xDB) {
      std::size_t k = 0;
      while (k < v.size()) {
        const int precision = v[k] >> 4, id = v[k] & 15;
        if (precision > 1 || id > 3) return false;
        const std::size_t bytes = 1 + 64 * (1 + static_cast<std::size_t>(precision));
        if (v.size() - k < bytes) return false;
        quant[static_cast<std::size_t>(id)] = true;
        k += bytes;
      }
    } else if (mk == 0xDD) {
      if (size != 2) return false;
      restartInterval = Be16At(v, 0);
    } else if (mk == 0xDA) {
      if (comps.empty() || size < 1 || v[0] != comps.size() || size != 4u + 2u * comps.size()) {
        return false;
      }
      for (std::size_t i = 0; i < comps.size(); ++i) {
        Component& c = comps[i];
        if (v[1 + 2 * i] != c.id) return false;
        c.dcTable = v[2 + 2 * i] >> 4;
        c.acTable = v[2 + 2 * i] & 15;
        if (c.dcTable > 3 || c.acTable > 3 || !dcTables[static_cast<std::size_t>(c.dcTable)].defined ||
            !acTables[static_cast<std::size_t>(c.acTable)].defined || !quant[static_cast<std::size_t>(c.quant)]) {
          return false;
        }
      }
      const std::size_t tail = 1 + 2 * comps.size();
      if (v[tail] != 0 || v[tail + 1] != 63 || v[tail + 2] != 0) return false;
      break;
    } else {
      return false;
    }
  }

  // The data is held whole while its codes are walked: a scan larger than
  // any photo's is left to the decode, which streams.
  if (pos >= end || end - pos > kMaxScanBytes) return false;
  w.stop = Unstuff(r, pos, end, restartInterval != 0, scan);
  if (w.stop == Stop::RanOut) return false;

  // The MCUs: one block each for a lone component, else every
  // component's blocks at its sampling.
  if (comps.size() == 1) {
    w.mcus = std::uint64_t((width + 7) / 8) * std::uint64_t((height + 7) / 8);
  } else {
    const int mw = 8 * comps[0].h, mh = 8 * comps[0].v;
    w.mcus = std::uint64_t((width + mw - 1) / mw) * std::uint64_t((height + mh - 1) / mh);
  }
  w.blocks = 0;
  for (const Component& c : comps) {
    const int n = comps.size() == 1 ? 1 : c.h * c.v;
    const Decoder* dc = cache.Get(dcTables[static_cast<std::size_t>(c.dcTable)], true, pinnedFrom);
    const Decoder* ac = cache.Get(acTables[static_cast<std::size_t>(c.acTable)], false, pinnedFrom);
    if (!dc || !ac) return false;
    for (int i = 0; i < n; ++i) {
      w.dcs[static_cast<std::size_t>(w.blocks)] = dc;
      w.acs[static_cast<std::size_t>(w.blocks)] = ac;
      ++w.blocks;
    }
  }
  w.scan = &scan;
  w.end = end;
  w.dataBytes = scan.bytes.size() - 512;
  w.data = scan.bytes.data();
  w.Seek(0);
  w.restartInterval = restartInterval;
  w.toGo = restartInterval;
  w.restart = 0;
  w.limit = scan.restarts.empty() ? w.dataBytes : scan.restarts[0];
  w.mcu = 0;
  w.block = -1;
  w.k = 64;
  w.done = false;
  return true;
}

struct Checker {
  DecoderCache cache;
  std::array<ScanData, 2> scans;
};

Checker& ThreadChecker() {
  thread_local Checker checker;
  return checker;
}

}  // namespace

ScanCheck CheckJpegScan(Reader& r, std::uint64_t end) {
  Checker& c = ThreadChecker();
  Walk w;
  if (Prepare(r, end, c.scans[0], c.cache, c.cache.Mark(), w)) {
    while (!w.done) Step(w);
  }
  return w.verdict;
}

void CheckJpegScans(Reader& a, std::uint64_t endA, Reader& b, std::uint64_t endB, ScanCheck& verdictA,
                    ScanCheck& verdictB) {
  Checker& c = ThreadChecker();
  Walk wa, wb;
  const std::uint64_t pin = c.cache.Mark();
  if (!Prepare(a, endA, c.scans[0], c.cache, pin, wa)) wa.End(ScanCheck::Unsure);
  if (!Prepare(b, endB, c.scans[1], c.cache, pin, wb)) wb.End(ScanCheck::Unsure);
  // Turn about while both go on, then the one left alone.
  while (!wa.done && !wb.done) {
    Step(wa);
    Step(wb);
  }
  while (!wa.done) Step(wa);
  while (!wb.done) Step(wb);
  verdictA = wa.verdict;
  verdictB = wb.verdict;
}

}  // namespace ambrelic::carve::formats

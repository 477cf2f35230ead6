// The ZIP family: local entries one after another (each entry's data
// inflated or read to check its CRC; an entry written with a data descriptor
// is inflated to find where it ends), then the central directory, the
// ZIP64 end records when present, and the end of central directory record
// with its comment, which ends the file. DOCX, XLSX, PPTX, ODT, ODS, ODP,
// EPUB, JAR and APK are told apart by their entries.

#include <string>
#include <vector>

#include "carve/formats/families.h"
#include "carve/formats/inflate.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr std::uint32_t kLocal = 0x04034b50, kCentral = 0x02014b50, kEnd = 0x06054b50, kEnd64 = 0x06064b50,
                        kLocator64 = 0x07064b50, kDescriptor = 0x08074b50, kExtraData = 0x08064b50;
constexpr std::size_t kMaxEntries = 1 << 20;
// How far a stored entry with a data descriptor is searched for its end
// (writers use descriptors with stored data only for small entries).
constexpr std::uint64_t kMaxStoredSearch = 64u << 20;

struct Data {
  std::uint64_t compressed = 0;
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
};

// Inflates (method 8) or reads (method 0) the entry's data from at; with a
// known compressed size it must use exactly that many bytes.
std::optional<Data> Decode(Reader& r, std::uint64_t at, int method, std::optional<std::uint64_t> known) {
  if (method == 0) {
    if (!known) return std::nullopt;
    const auto crc = Crc32Of(r, at, *known);
    if (!crc) return std::nullopt;
    return Data{*known, *crc, *known};
  }
  const Inflated d = InflateRaw(r, at, known);
  if (!d.ended || (known && d.consumed != *known)) return std::nullopt;
  return Data{d.consumed, d.crc, d.size};
}

std::string KindFromMimetype(const std::string& m) {
  if (m == "application/epub+zip") return "epub";
  if (m == "application/vnd.oasis.opendocument.text") return "odt";
  if (m == "application/vnd.oasis.opendocument.spreadsheet") return "ods";
  if (m == "application/vnd.oasis.opendocument.presentation") return "odp";
  return "";
}

struct Kinds {
  bool contentTypes = false, word = false, xl = false, ppt = false, manifest = false, android = false;
  std::string fromMimetype;

  void See(const std::string& name) {
    contentTypes |= name == "[Content_Types].xml";
    word |= name.rfind("word/", 0) == 0;
    xl |= name.rfind("xl/", 0) == 0;
    ppt |= name.rfind("ppt/", 0) == 0;
    manifest |= name == "META-INF/MANIFEST.MF";
    android |= name == "AndroidManifest.xml";
  }
  std::string Extension() const {
    if (!fromMimetype.empty()) return fromMimetype;
    if (contentTypes && word) return "docx";
    if (contentTypes && xl) return "xlsx";
    if (contentTypes && ppt) return "pptx";
    if (android) return "apk";
    if (manifest) return "jar";
    return "zip";
  }
};

std::optional<std::int64_t> DosTime(std::uint16_t time, std::uint16_t date) {
  return CivilSeconds(1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
                      (time & 31) * 2);
}

}  // namespace

bool ZipMatches(std::span<const std::uint8_t> head) {
  // A local header with a version a writer uses and a name of some length.
  return head.size() >= 30 && Le32At(head, 0) == kLocal && head[4] < 100 && Le16At(head, 26) > 0;
}

Parsed ZipParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  if (!ZipMatches(r.View(0, 30))) return {};
  Kinds kinds;
  std::optional<std::int64_t> latest;
  std::uint64_t pos = 0;
  std::size_t locals = 0;
  auto damaged = [&](std::uint64_t at) {
    Parsed p = Damaged(at, kinds.Extension());
    p.time = latest;
    return p;
  };

  // Local entries.
  while (locals < kMaxEntries && r.Le32(pos) == kLocal) {
    std::uint8_t h[30];
    if (!r.Get(pos, h)) return damaged(pos);
    const std::uint16_t flags = Le16At(h, 6), method = Le16At(h, 8);
    const std::uint32_t crc = Le32At(h, 14);
    std::uint64_t csize = Le32At(h, 18), usize = Le32At(h, 22);
    const std::uint16_t nameLength = Le16At(h, 26), extraLength = Le16At(h, 28);
    const auto nameBytes = r.View(pos + 30, nameLength);
    if (nameBytes.size() != nameLength) return damaged(pos);
    const std::string name(nameBytes.begin(), nameBytes.end());
    // ZIP64 sizes live in the extra field.
    bool zip64 = false;
    for (std::uint64_t e = pos + 30 + nameLength; e + 4 <= pos + 30 + nameLength + extraLength;) {
      const auto id = r.Le16(e), size = r.Le16(e + 2);
      if (!id || !size) return damaged(pos);
      if (*id == 0x0001 && *size >= 16) {
        usize = r.Le64(e + 4).value_or(0);
        csize = r.Le64(e + 12).value_or(0);
        zip64 = true;
      }
      e += 4ull + *size;
    }
    const std::uint64_t data = pos + 30 + nameLength + extraLength;
    const bool descriptor = (flags & 8) != 0;
    std::optional<Data> d;
    std::uint64_t next = 0;
    if (method == 0 || method == 8) {
      if (descriptor && method == 0) {
        // Stored with a descriptor: the descriptor's own size field must
        // match its distance from the data.
        std::uint64_t from = data;
        for (int tries = 0; tries < 64 && !d; ++tries) {
          const auto sig = r.Find(from, std::min(r.End(), data + kMaxStoredSearch), "PK\x07\x08");
          if (!sig) break;
          if (r.Le32(*sig + 8) == *sig - data) d = Decode(r, data, 0, *sig - data);
          from = *sig + 1;
        }
      } else {
        d = Decode(r, data, method, descriptor ? std::nullopt : std::optional<std::uint64_t>(csize));
      }
      if (!d) return damaged(pos);
      next = data + d->compressed;
      if (descriptor) {
        std::uint64_t at = next;
        if (r.Le32(at) == kDescriptor) at += 4;
        const auto dcrc = r.Le32(at);
        if (!dcrc || *dcrc != d->crc) return damaged(pos);
        // 32-bit sizes unless the entry is ZIP64.
        const bool wide = zip64 || d->compressed > 0xFFFFFFFFu;
        std::optional<std::uint64_t> dc = r.Le64(at + 4);
        if (!wide) dc = r.Le32(at + 4);
        if (!dc || *dc != d->compressed) return damaged(pos);
        next = at + (wide ? 20 : 12);
      } else if (d->crc != crc || d->size != usize) {
        return damaged(pos);
      }
    } else {
      // Other methods (bzip2, LZMA, encrypted...): trust the sizes.
      if (descriptor) return damaged(pos);
      next = data + csize;
      if (!r.Has(0, next)) return damaged(pos);
    }
    if (locals == 0 && name == "mimetype" && method == 0 && csize < 100) {
      const auto m = r.View(data, static_cast<std::size_t>(csize));
      kinds.fromMimetype = KindFromMimetype(std::string(m.begin(), m.end()));
    }
    kinds.See(name);
    if (const auto t = DosTime(Le16At(h, 10), Le16At(h, 12)); t && (!latest || *t > *latest)) latest = t;
    ++locals;
    pos = next;
  }
  if (locals == 0) return {};
  const std::uint64_t afterData = pos;

  // An APK's signing block, or archive extra data, between the entries and
  // the central directory.
  if (const auto size = r.Le64(pos + 0); size && *size >= 24 && *size < limits.maxLength &&
                                          r.Equals(pos + 8 + *size - 16, "APK Sig Block 42")) {
    pos += 8 + *size;
  } else if (r.Le32(pos) == kExtraData) {
    pos += 8ull + r.Le32(pos + 4).value_or(0);
  }

  // Central directory.
  std::size_t centrals = 0;
  while (centrals <= locals && r.Le32(pos) == kCentral) {
    std::uint8_t h[46];
    if (!r.Get(pos, h)) return damaged(afterData);
    pos += 46ull + Le16At(h, 28) + Le16At(h, 30) + Le16At(h, 32);
    ++centrals;
  }
  if (centrals == 0) return damaged(afterData);
  if (r.Le32(pos) == kEnd64) {
    const auto size = r.Le64(pos + 4);
    if (!size || *size > (1u << 20)) return damaged(afterData);
    pos += 12 + *size;
  }
  if (r.Le32(pos) == kLocator64) pos += 20;
  if (r.Le32(pos) != kEnd) return damaged(afterData);
  const auto entries = r.Le16(pos + 10);
  const auto comment = r.Le16(pos + 20);
  if (!entries || !comment || (*entries != 0xFFFF && *entries != (centrals & 0xFFFF))) return damaged(afterData);
  if (!r.Has(pos, 22ull + *comment)) return damaged(afterData);
  Parsed p = Complete(pos + 22 + *comment, kinds.Extension());
  p.time = latest;
  return p;
}

}  // namespace ambrelic::carve::formats

// The format parsers over real files made by real tools (make_carve_files.sh):
// each file whole, with foreign bytes after it, cut short and damaged in the
// middle, and the exact length or verdict expected of each.

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include <random>
#include <string>
#include <vector>

#include "carve/format.h"
#include "carve/formats/families.h"
#include "carve/formats/jpeg_scan.h"
#include "carve/scanner.h"
#include "disk/media_errors.h"
#include "platform/block_device.h"
#include "support/test_support.h"

namespace ambrelic::carve {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Fixture(const std::string& name) {
  return test::ReadFileBytes(test::FixtureImage("make_carve_files.sh", "carve/" + name));
}

Bytes Noise(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

// Records the furthest byte a parser asked for.
class WatchedSource final : public ByteSource {
 public:
  explicit WatchedSource(const Bytes& b) : inner_(b) {}
  std::uint64_t Size() const override { return inner_.Size(); }
  std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    const std::size_t got = inner_.Read(offset, out);
    if (got > 0) furthest = std::max(furthest, offset + got);
    return got;
  }
  std::uint64_t furthest = 0;

 private:
  MemorySource inner_;
};

Parsed IdentifyBytes(const Bytes& b) {
  MemorySource source(b);
  return Identify(source, Limits{});
}

void Put16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
std::uint32_t Crc(const Bytes& b, std::size_t from, std::size_t to) {
  return static_cast<std::uint32_t>(crc32(0, b.data() + from, static_cast<uInt>(to - from)));
}

struct Case {
  const char* file;
  const char* extension;
  // A cut leaves a verdict of Damaged (false where the format has no way to
  // tell a shorter file from a cut one).
  bool cutIsDamaged = true;
  // Foreign bytes in the middle are caught (CRCs, decoding, frame headers).
  bool middleIsDamaged = true;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.file; }

class FormatFile : public testing::TestWithParam<Case> {};

TEST_P(FormatFile, WholeFollowedByForeignBytesCutAndDamaged) {
  const Case& c = GetParam();
  const Bytes file = Fixture(c.file);
  ASSERT_GT(file.size(), 100u);

  const Parsed whole = IdentifyBytes(file);
  EXPECT_EQ(whole.verdict, Verdict::Complete);
  EXPECT_EQ(whole.length, file.size());
  EXPECT_EQ(whole.extension, c.extension);

  // What follows a file in vacant space never lengthens it: random bytes,
  // zeros, and another file of the same kind.
  for (const Bytes& tail : {Noise(40000, 1), Bytes(40000, 0), file}) {
    Bytes longer = file;
    longer.insert(longer.end(), tail.begin(), tail.end());
    const Parsed p = IdentifyBytes(longer);
    EXPECT_EQ(p.verdict, Verdict::Complete);
    EXPECT_EQ(p.length, file.size());
  }

  MemorySource exact(file);
  const Parsed verified = Verify(exact, c.extension, Limits{});
  EXPECT_EQ(verified.verdict, Verdict::Complete);
  EXPECT_EQ(verified.length, file.size());

  const std::size_t cut = file.size() * 3 / 5;
  const Parsed shorter = IdentifyBytes(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)));
  if (c.cutIsDamaged) {
    EXPECT_EQ(shorter.verdict, Verdict::Damaged);
    EXPECT_LE(shorter.length, cut);
  } else {
    EXPECT_NE(shorter.verdict, Verdict::NotThisFormat);
    EXPECT_LE(shorter.length, cut);
  }

  // A length limit is a wall: nothing past it is read, and a file that
  // needs more is not complete.
  WatchedSource watched(file);
  const Parsed limited = Identify(watched, Limits{.maxLength = cut});
  EXPECT_NE(limited.verdict, Verdict::Complete);
  EXPECT_LE(limited.length, cut);
  EXPECT_LE(watched.furthest, cut);

  if (c.middleIsDamaged) {
    // A foreign 4 KiB "cluster" where the middle of the file was.
    Bytes damaged = file;
    const std::size_t at = file.size() / 2;
    const Bytes noise = Noise(std::min<std::size_t>(4096, file.size() - at), 7);
    std::copy(noise.begin(), noise.end(), damaged.begin() + static_cast<std::ptrdiff_t>(at));
    MemorySource source(damaged);
    const Parsed p = Verify(source, c.extension, Limits{});
    EXPECT_EQ(p.verdict, Verdict::Damaged);
    EXPECT_LE(p.length, at + noise.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    RealFiles, FormatFile,
    testing::Values(Case{"photo.jpg", "jpg"}, Case{"progressive.jpg", "jpg"}, Case{"image.png", "png"},
                    Case{"image.tif", "tif", true, false}, Case{"doc.pdf", "pdf", true, false},
                    Case{"doc.docx", "docx"}, Case{"sheet.xlsx", "xlsx"}, Case{"text.odt", "odt"},
                    Case{"book.epub", "epub"}, Case{"app.jar", "jar"}, Case{"plain.zip", "zip"},
                    Case{"stream.zip", "zip"}, Case{"video.mp4", "mp4", true, false},
                    Case{"video.mov", "mov", true, false}, Case{"audio.mp3", "mp3"},
                    Case{"anim.gif", "gif", true, false}, Case{"image.bmp", "bmp", true, false},
                    Case{"image.webp", "webp", true, false}, Case{"audio.wav", "wav", true, false},
                    Case{"video.avi", "avi", true, false}, Case{"doc.ole", "doc", true, false},
                    Case{"data.sqlite", "sqlite", true, false}, Case{"text.gz", "gz"},
                    Case{"archive.7z", "7z", true, false}, Case{"audio.flac", "flac"},
                    Case{"audio.ogg", "ogg"}, Case{"zip64.zip", "zip"}, Case{"sheet.ole", "xls", true, false}),
    [](const testing::TestParamInfo<Case>& info) {
      std::string name = info.param.file;
      for (char& ch : name) {
        if (ch == '.') ch = '_';
      }
      return name;
    });

TEST(FormatFile, PhotoTimesAndThumbnail) {
  // The EXIF thumbnail carries an EOI of its own well before the photo's.
  const Bytes photo = Fixture("photo.jpg");
  const Parsed p = IdentifyBytes(photo);
  EXPECT_EQ(p.nameHint, "2019-07-04 12-30-05");
  ASSERT_TRUE(p.time.has_value());
  EXPECT_EQ(*p.time, 1562243405);
  EXPECT_EQ(IdentifyBytes(Fixture("image.tif")).nameHint, "2020-02-29 08-09-10");
  // Other content times: the latest ZIP entry, the movie header; a document
  // or a film gives no name.
  const Parsed docx = IdentifyBytes(Fixture("doc.docx"));
  EXPECT_EQ(docx.time, std::optional<std::int64_t>(1615734566));
  EXPECT_EQ(docx.nameHint, "");
  EXPECT_EQ(IdentifyBytes(Fixture("video.mp4")).time, std::optional<std::int64_t>(1651820889));
  EXPECT_TRUE(IdentifyBytes(Fixture("doc.pdf")).time.has_value());
}

TEST(FormatFile, ExtensionsLeadToTheirFamily) {
  EXPECT_EQ(FormatForExtension("JPEG")->type, "jpg");
  EXPECT_EQ(FormatForExtension(".docx")->type, "zip");
  EXPECT_EQ(FormatForExtension("txt"), nullptr);
  const Bytes png = Fixture("image.png");
  MemorySource source(png);
  // A PNG named .jpg is a whole PNG; noise named .jpg is a damaged JPEG,
  // noise named .txt is nothing the scan knows.
  const Parsed renamed = Verify(source, "jpg", Limits{});
  EXPECT_EQ(renamed.verdict, Verdict::Complete);
  EXPECT_EQ(renamed.extension, "png");
  const Bytes noise = Noise(3000, 9);
  MemorySource other(noise);
  EXPECT_EQ(Verify(other, "jpg", Limits{}).verdict, Verdict::Damaged);
  EXPECT_EQ(Verify(other, "jpg", Limits{}).length, 0u);
  EXPECT_EQ(Verify(other, "txt", Limits{}).verdict, Verdict::NotThisFormat);
  // Padding after the end belongs to a file checked whole, never to one
  // found in vacant space.
  Bytes padded = Fixture("photo.jpg");
  padded.resize(padded.size() + 1000, 0);
  MemorySource paddedSource(padded);
  EXPECT_EQ(Verify(paddedSource, "jpg", Limits{}).length, padded.size());
  EXPECT_EQ(IdentifyBytes(padded).length, padded.size() - 1000);
}

// Every test file, each starting a 4 KiB cluster and followed by slack
// from an older file, as a deep scan meets them in a run of vacant
// clusters: each is found at its cluster with its exact length.
TEST(FormatFile, RunOfVacantClusters) {
  const char* files[] = {"photo.jpg", "doc.pdf",    "doc.docx",  "video.mp4",   "audio.mp3", "image.png",
                         "anim.gif",  "image.bmp",  "image.tif", "audio.wav",   "data.sqlite", "doc.ole",
                         "text.gz",   "archive.7z", "audio.ogg", "audio.flac", "plain.zip", "progressive.jpg"};
  Bytes run;
  std::vector<std::pair<std::size_t, std::size_t>> placed;
  for (const char* name : files) {
    const Bytes f = Fixture(name);
    placed.emplace_back(run.size(), f.size());
    run.insert(run.end(), f.begin(), f.end());
    const Bytes slack = Noise((4096 - run.size() % 4096) % 4096, static_cast<unsigned>(run.size()));
    run.insert(run.end(), slack.begin(), slack.end());
  }
  std::size_t found = 0;
  for (std::size_t at = 0; at < run.size(); at += 4096) {
    const Parsed p = IdentifyBytes(Bytes(run.begin() + static_cast<std::ptrdiff_t>(at), run.end()));
    if (p.verdict == Verdict::NotThisFormat) continue;
    ASSERT_LT(found, placed.size()) << "a second find at " << at;
    EXPECT_EQ(at, placed[found].first) << files[found];
    EXPECT_EQ(p.verdict, Verdict::Complete) << files[found];
    EXPECT_EQ(p.length, placed[found].second) << files[found];
    at += (p.length + 4095) / 4096 * 4096 - 4096;  // the next file starts in the next free cluster
    ++found;
  }
  EXPECT_EQ(found, placed.size());
}

// A photo in two pieces with a foreign cluster between: the decode stops
// at the gap, and the pieces joined again decode whole, which is how a
// fragmented photo's continuation is told.
TEST(FormatFile, FragmentedPhotoStopsAtTheGap) {
  const Bytes photo = Fixture("photo.jpg");
  const std::size_t gap = 20480;
  ASSERT_GT(photo.size(), gap + 4096);
  // Another file's bytes, a cluster never written, and the photo's own
  // data from further back (as another photo's would look): the last two
  // decode without a warning and are told by the picture going wrong.
  const Bytes gz = Fixture("text.gz");
  const Bytes foreign[] = {Bytes(gz.begin(), gz.begin() + 4096), Bytes(4096, 0),
                           Bytes(photo.begin() + 8192, photo.begin() + 8192 + 4096)};
  for (const Bytes& cluster : foreign) {
    Bytes split(photo.begin(), photo.begin() + gap);
    split.insert(split.end(), cluster.begin(), cluster.end());
    split.insert(split.end(), photo.begin() + gap, photo.end());
    const Parsed p = IdentifyBytes(split);
    EXPECT_EQ(p.verdict, Verdict::Damaged);
    EXPECT_GT(p.length, gap - 4096);
    EXPECT_LE(p.length, gap + 4096);
  }
}

// The quick check of a photo's codes stands in for the decode: on whole
// photos, cut ones, and ones with a foreign cluster in their data (noise,
// zeros, a part of the photo itself, a cluster more or less), both parsers
// give the same verdict and length.
// How a photo is encoded again through libjpeg.
struct Encoding {
  int restartInterval = 3;
  bool gray = false;
  int lumaH = 2, lumaV = 2;  // sampling of the first component
  bool optimize = false;     // tables of its own, fitted to the photo
  int quality = 75;
};

// The photo again through libjpeg, by default with a restart marker every
// three MCUs (as many cameras write them).
Bytes WithRestarts(const Bytes& jpeg, const Encoding& e = Encoding{}) {
  jpeg_error_mgr errors{};
  jpeg_decompress_struct in{};
  in.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&in);
  jpeg_mem_src(&in, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&in, TRUE);
  jpeg_start_decompress(&in);
  const std::size_t stride = std::size_t{in.output_width} * static_cast<std::size_t>(in.output_components);
  Bytes pixels(stride * in.output_height);
  while (in.output_scanline < in.output_height) {
    JSAMPROW row = pixels.data() + stride * in.output_scanline;
    jpeg_read_scanlines(&in, &row, 1);
  }
  jpeg_compress_struct out{};
  out.err = jpeg_std_error(&errors);
  jpeg_create_compress(&out);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&out, &buffer, &size);
  out.image_width = in.output_width;
  out.image_height = in.output_height;
  out.input_components = in.output_components;
  out.in_color_space = in.out_color_space;
  jpeg_set_defaults(&out);
  if (e.gray) jpeg_set_colorspace(&out, JCS_GRAYSCALE);
  jpeg_set_quality(&out, e.quality, TRUE);
  out.comp_info[0].h_samp_factor = e.gray ? 1 : e.lumaH;
  out.comp_info[0].v_samp_factor = e.gray ? 1 : e.lumaV;
  out.optimize_coding = e.optimize ? TRUE : FALSE;
  out.restart_interval = static_cast<unsigned>(e.restartInterval);
  jpeg_start_compress(&out, TRUE);
  while (out.next_scanline < out.image_height) {
    JSAMPROW row = pixels.data() + stride * out.next_scanline;
    jpeg_write_scanlines(&out, &row, 1);
  }
  jpeg_finish_compress(&out);
  jpeg_finish_decompress(&in);
  jpeg_destroy_decompress(&in);
  Bytes result(buffer, buffer + size);
  jpeg_destroy_compress(&out);
  std::free(buffer);
  return result;
}

TEST(FormatFile, QuickCheckAgreesWithTheDecode) {
  const Bytes restarts = WithRestarts(Fixture("photo.jpg"));
  const std::uint8_t rst0[] = {0xFF, 0xD0};
  ASSERT_NE(std::search(restarts.begin(), restarts.end(), rst0, rst0 + 2), restarts.end());
  std::vector<Bytes> all;
  for (const std::string name : {"photo.jpg", "progressive.jpg", "restarts"}) {
    const Bytes photo = name == "restarts" ? restarts : Fixture(name);
    // The quick check itself decides the whole baseline photos.
    if (name != "progressive.jpg") {
      MemorySource source(photo);
      formats::Reader reader(source, Limits{});
      EXPECT_EQ(formats::CheckJpegScan(reader, photo.size()), formats::ScanCheck::Whole) << name;
    }
    const std::size_t at = photo.size() / 2;
    ASSERT_GT(photo.size(), 12288u);
    std::vector<Bytes> cases{photo, Bytes(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(at)),
                             Bytes(photo.begin(), photo.end() - 1)};
    const Bytes noise = Noise(2048, 3);
    for (const Bytes& cluster : {noise, Bytes(2048, 0), Bytes(photo.begin() + 2048, photo.begin() + 4096)}) {
      Bytes replaced = photo;
      std::copy(cluster.begin(), cluster.end(), replaced.begin() + static_cast<std::ptrdiff_t>(at));
      cases.push_back(replaced);
    }
    Bytes inserted(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(at));
    inserted.insert(inserted.end(), noise.begin(), noise.end());
    inserted.insert(inserted.end(), photo.begin() + static_cast<std::ptrdiff_t>(at), photo.end());
    cases.push_back(inserted);
    Bytes removed(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(at));
    removed.insert(removed.end(), photo.begin() + static_cast<std::ptrdiff_t>(at) + 2048, photo.end());
    cases.push_back(removed);
    int broken = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      MemorySource quick(cases[i]), decoded(cases[i]), whole(cases[i]), checked(cases[i]);
      const Parsed a = formats::JpegParse(quick, Limits{});
      const Parsed b = formats::JpegParseDecoding(decoded, Limits{});
      EXPECT_EQ(a.verdict, b.verdict) << name << " case " << i;
      EXPECT_EQ(a.length, b.length) << name << " case " << i;
      // The fragment search's verdict, which may stop at a quick Broken.
      EXPECT_EQ(formats::JpegParseWhole(whole, Limits{}).verdict, b.verdict == Verdict::Complete ? Verdict::Complete : Verdict::Damaged)
          << name << " case " << i;
      formats::Reader reader(checked, Limits{});
      if (formats::CheckJpegScan(reader, cases[i].size()) == formats::ScanCheck::Broken) {
        ++broken;
        EXPECT_NE(b.verdict, Verdict::Complete) << name << " case " << i;
      }
    }
    // Noise in the data runs into a marker: told without the decode.
    if (name != "progressive.jpg") {
      EXPECT_GT(broken, 0) << name;
    }
    all.insert(all.end(), cases.begin(), cases.end());
  }
  // Two photos checked side by side get each the verdict it gets alone,
  // whichever of them ends first.
  auto alone = [](const Bytes& b) {
    MemorySource source(b);
    formats::Reader reader(source, Limits{});
    return formats::CheckJpegScan(reader, b.size());
  };
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Bytes& a = all[i];
    const Bytes& b = all[(i * 5 + 1) % all.size()];
    MemorySource sa(a), sb(b);
    formats::Reader ra(sa, Limits{}), rb(sb, Limits{});
    formats::ScanCheck va{}, vb{};
    formats::CheckJpegScans(ra, a.size(), rb, b.size(), va, vb);
    EXPECT_EQ(va, alone(a)) << "case " << i;
    EXPECT_EQ(vb, alone(b)) << "case " << i;
  }
}

// Photos as libjpeg writes them in many ways (grayscale, each common
// sampling, tables of their own, restart intervals or none, low and high
// quality), whole, cut, and with a cluster of noise: the quick check
// agrees with the decode, says Whole for every whole one, and gives each
// photo the same verdict alone or beside another with other tables (more
// tables than the walk keeps derived at once).
TEST(FormatFile, EncoderVariantsCheckedAloneAndInPairsAgreeWithTheDecode) {
  const Bytes photo = Fixture("photo.jpg");
  std::vector<Bytes> cases;
  std::vector<bool> whole;
  int variant = 0;
  for (const bool gray : {false, true}) {
    for (const auto& [h, v] : {std::pair{1, 1}, std::pair{2, 1}, std::pair{2, 2}}) {
      if (gray && (h != 1 || v != 1)) continue;
      for (const bool optimize : {false, true}) {
        for (const int restarts : {0, 5}) {
          Encoding e;
          e.gray = gray;
          e.lumaH = h;
          e.lumaV = v;
          e.optimize = optimize;
          e.restartInterval = restarts;
          e.quality = 60 + 35 * (variant++ % 2);
          const Bytes b = WithRestarts(photo, e);
          const std::size_t at = b.size() / 2;
          Bytes cut(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(at));
          cut.insert(cut.end(), {0xFF, 0xD9});
          Bytes noisy = b;
          const Bytes noise = Noise(1024, static_cast<unsigned>(variant));
          std::copy(noise.begin(), noise.end(), noisy.begin() + static_cast<std::ptrdiff_t>(at));
          for (const Bytes* c : std::initializer_list<const Bytes*>{&b, &cut, &noisy}) {
            cases.push_back(*c);
            whole.push_back(c == &b);
          }
        }
      }
    }
  }
  std::vector<formats::ScanCheck> alone;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    MemorySource quick(cases[i]), decoded(cases[i]), checked(cases[i]);
    const Parsed a = formats::JpegParse(quick, Limits{});
    const Parsed b = formats::JpegParseDecoding(decoded, Limits{});
    EXPECT_EQ(a.verdict, b.verdict) << "case " << i;
    EXPECT_EQ(a.length, b.length) << "case " << i;
    formats::Reader reader(checked, Limits{});
    alone.push_back(formats::CheckJpegScan(reader, cases[i].size()));
    if (whole[i]) {
      EXPECT_EQ(alone.back(), formats::ScanCheck::Whole) << "case " << i;
    }
    if (alone.back() == formats::ScanCheck::Broken) {
      EXPECT_NE(b.verdict, Verdict::Complete) << "case " << i;
    }
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::size_t j = (i * 7 + 4) % cases.size();
    MemorySource sa(cases[i]), sb(cases[j]);
    formats::Reader ra(sa, Limits{}), rb(sb, Limits{});
    formats::ScanCheck va{}, vb{};
    formats::CheckJpegScans(ra, cases[i].size(), rb, cases[j].size(), va, vb);
    EXPECT_EQ(va, alone[i]) << "case " << i;
    EXPECT_EQ(vb, alone[j]) << "case " << j;
  }
}

// Photos taken as whole while their codes are checked aside, some of
// which the check sends the pass back to: the rows are those of a pass
// that checks each photo where it stands, whatever the timing.
namespace {

// Every row of a pass, as text: first unit, type, verdict, length, runs.
std::vector<std::string> ScanRows(const disk::VolumeContext& ctx, const ScanArea& area, const ScanOptions& options,
                                  disk::ProgressSink* progress = nullptr) {
  std::vector<std::string> out;
  ScanUnits(ctx, area, options, progress, [&](CarvedFile f) {
    std::string row = std::to_string(f.firstUnit) + " " + f.parsed.extension + " " +
                      std::to_string(static_cast<int>(f.parsed.verdict)) + " " + std::to_string(f.parsed.length);
    for (const UnitRun& r : f.runs) row += " " + std::to_string(r.first) + "+" + std::to_string(r.count);
    out.push_back(row);
  });
  return out;
}

std::string WriteImage(const std::string& name, const Bytes& image) {
  const std::string path = ambrelic::test::MakeTempDir("carve-scan") + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return {};
  const bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
  return std::fclose(f) == 0 && ok ? path : std::string();
}

}  // namespace

// A card of photos: whole ones, ones that decode to their end with the
// wrong picture (unsure, then damaged), ones cut with an EOI, progressive
// ones, and noise. Their rows are the same whether each photo's codes are
// checked where it stands or aside (two at a time) while the pass reads
// on, and whether the cached image is looked at in memory or read.
TEST(CarveScan, PhotosCheckedAsideGiveTheRowsOfAPassThatWaits) {
  constexpr std::size_t kUnit = 4096;
  const Bytes photo = Fixture("photo.jpg"), progressive = Fixture("progressive.jpg");
  Bytes image;
  auto put = [&](Bytes b) {
    image.insert(image.end(), b.begin(), b.end());
    image.resize((image.size() + kUnit - 1) / kUnit * kUnit);
  };
  const std::ptrdiff_t mid = static_cast<std::ptrdiff_t>(photo.size() / 2);
  for (unsigned i = 0; i < 24; ++i) {
    Bytes noisy = photo;
    const Bytes noise = Noise(kUnit, i);
    std::copy(noise.begin(), noise.end(), noisy.begin() + mid);
    Bytes cut(photo.begin(), photo.begin() + mid + static_cast<std::ptrdiff_t>(i * 97));
    cut.insert(cut.end(), {0xFF, 0xD9});
    put(photo);
    put(i % 3 == 0 ? noisy : i % 3 == 1 ? cut : progressive);
    put(Noise(kUnit * (1 + i % 3), 100 + i));
  }
  const std::string path = WriteImage("photos.img", image);
  auto opened = platform::OpenFileDevice(path);
  ASSERT_TRUE(opened.device);
  disk::VolumeContext ctx;
  ctx.volumeHandle = opened.device;
  ScanArea area;
  area.unitCount = image.size() / kUnit;
  area.sectorsPerUnit = kUnit / 512;
  ScanOptions waits, aside;
  waits.checkPhotosAside = false;
  const auto waited = ScanRows(ctx, area, waits);
  EXPECT_EQ(waited.size(), 32u);  // the whole and the progressive photos
  EXPECT_EQ(ScanRows(ctx, area, aside), waited);
  disk::VolumeContext read = ctx;
  read.volumeHandle = std::make_shared<platform::MemoryDevice>(image, false);
  EXPECT_EQ(ScanRows(read, area, aside), waited);
}

// An image cut short while the pass looks at it in memory (as a card
// pulled out would be): the pass does not die of the pages that are gone,
// it keeps the photos before the cut, and the lost part is on record as
// unreadable.
TEST(CarveScan, ImageCutShortDuringThePassIsReportedNotFatal) {
  // Units of three sectors: the pass's blocks then do not start where
  // progress is told, and the cut falls inside a block in use.
  constexpr std::size_t kUnit = 1536;
  const Bytes photo = Fixture("photo.jpg");
  Bytes image;
  for (unsigned i = 0; i < 8; ++i) {
    image.insert(image.end(), photo.begin(), photo.end());
    image.resize((image.size() + kUnit - 1) / kUnit * kUnit);
  }
  const std::size_t before = image.size() / kUnit;
  // Photos the pass finds before the cut, past where it cuts: whether
  // their checks are in before it or still out (and read zeros), none of
  // them kills the pass.
  std::size_t passed = 0;
  for (; image.size() / kUnit + photo.size() / kUnit + 2 < 4000; ++passed) {
    image.insert(image.end(), photo.begin(), photo.end());
    image.resize((image.size() + kUnit - 1) / kUnit * kUnit);
  }
  Bytes noise = Noise(24u << 20, 7);
  image.insert(image.end(), noise.begin(), noise.end());
  for (unsigned i = 0; i < 8; ++i) image.insert(image.end(), photo.begin(), photo.end());
  image.resize((image.size() + kUnit - 1) / kUnit * kUnit);
  const std::string path = WriteImage("cut.img", image);
  auto opened = platform::OpenFileDevice(path);
  ASSERT_TRUE(opened.device);
  disk::VolumeContext ctx;
  ctx.volumeHandle = opened.device;
  ctx.media = std::make_shared<disk::MediaErrors>();
  ScanArea area;
  area.unitCount = image.size() / kUnit;
  area.sectorsPerUnit = kUnit / 512;
  // Cut to a little past the first photos once the pass is well inside
  // the noise (the block it stands in is in use by then).
  struct Cutter : disk::ProgressSink {
    std::string path;
    std::uint64_t at = 0, to = 0;
    bool cut = false;
    void BeginCount(const std::string&, std::uint64_t) override {}
    void ShowFileLabel() override {}
    void SetFileName(const std::string&) override {}
    bool Advance(std::uint64_t position) override {
      if (!cut && position >= at) cut = ::truncate(path.c_str(), static_cast<off_t>(to)) == 0;
      return true;
    }
    bool TakeCancelRequest() override { return false; }
  } cutter;
  cutter.path = path;
  cutter.at = 4096;
  cutter.to = (before + 16) * kUnit;
  const auto rows = ScanRows(ctx, area, ScanOptions{}, &cutter);
  ASSERT_TRUE(cutter.cut);
  // The photos after the cut are gone with it.
  EXPECT_GE(rows.size(), 8u);
  EXPECT_LE(rows.size(), 8u + passed);
  for (const std::string& row : rows) {
    EXPECT_EQ(row.substr(row.find(' ') + 1, 3), "jpg") << row;
    EXPECT_LT(std::stoull(row), 4096u) << row;
  }
  EXPECT_GT(ctx.media->UnreadableBytes(), 0u);
}

// The members of a family are told apart by their content.
TEST(FormatFile, KindsByContent) {
  const std::pair<const char*, const char*> kinds[] = {
      {"slides.pptx", "pptx"}, {"table.ods", "ods"},   {"app.apk", "apk"},     {"slides.ole", "ppt"},
      {"mail.ole", "msg"},     {"audio.opus", "opus"}, {"video.3gp", "3gp"}};
  for (const auto& [file, extension] : kinds) {
    const Bytes bytes = Fixture(file);
    const Parsed p = IdentifyBytes(bytes);
    EXPECT_EQ(p.verdict, Verdict::Complete) << file;
    EXPECT_EQ(p.length, bytes.size()) << file;
    EXPECT_EQ(p.extension, extension) << file;
  }
  // gzip members: a nameless one continues the file, a named one starts
  // the next.
  const Bytes gz = Fixture("text.gz");
  const auto nameEnd = std::find(gz.begin() + 10, gz.end(), 0);  // gzip -9 wrote the file's name
  Bytes nameless(gz.begin(), gz.begin() + 10);
  nameless[3] &= static_cast<std::uint8_t>(~8);
  nameless.insert(nameless.end(), nameEnd + 1, gz.end());
  Bytes two = gz;
  two.insert(two.end(), nameless.begin(), nameless.end());
  EXPECT_EQ(IdentifyBytes(two).length, two.size());
  two.insert(two.end(), gz.begin(), gz.end());
  EXPECT_EQ(IdentifyBytes(two).length, gz.size() + nameless.size());
}

// A motion photo: the video follows the photo's EOI and is part of the file.
TEST(FormatFile, MotionPhotoCarriesItsVideo) {
  Bytes motion = Fixture("photo.jpg");
  const Bytes video = Fixture("video.mp4");
  motion.insert(motion.end(), video.begin(), video.end());
  Bytes followed = motion;
  const Bytes noise = Noise(5000, 5);
  followed.insert(followed.end(), noise.begin(), noise.end());
  const Parsed p = IdentifyBytes(followed);
  EXPECT_EQ(p.verdict, Verdict::Complete);
  EXPECT_EQ(p.length, motion.size());
  EXPECT_EQ(p.extension, "jpg");
}

// TIFF-based raw photos are told apart by their headers and tags.
TEST(FormatFile, RawPhotoKinds) {
  auto tiff = [](const std::string& make, bool dng, bool cr2) {
    Bytes t{'I', 'I', 42, 0, 16, 0, 0, 0};
    if (cr2) {
      const Bytes canon{'C', 'R', 2, 0, 0, 0, 0, 0};
      t.insert(t.end(), canon.begin(), canon.end());
    } else {
      t.resize(16, 0);
    }
    const std::uint16_t entries = dng ? 2 : 1;
    Put16(t, entries);
    const std::uint32_t makeAt = 16 + 2 + 12 * entries + 4;
    Put16(t, 271);  // Make
    Put16(t, 2);
    Put32(t, static_cast<std::uint32_t>(make.size() + 1));
    Put32(t, makeAt);
    if (dng) {
      Put16(t, 50706);  // DNGVersion
      Put16(t, 1);
      Put32(t, 4);
      Put32(t, 0x00000401);
    }
    Put32(t, 0);
    t.insert(t.end(), make.begin(), make.end());
    t.push_back(0);
    return t;
  };
  EXPECT_EQ(IdentifyBytes(tiff("NIKON CORPORATION", false, false)).extension, "nef");
  EXPECT_EQ(IdentifyBytes(tiff("SONY", false, false)).extension, "arw");
  EXPECT_EQ(IdentifyBytes(tiff("Canon", false, true)).extension, "cr2");
  EXPECT_EQ(IdentifyBytes(tiff("Canon", true, false)).extension, "dng");
  const Parsed plain = IdentifyBytes(tiff("Acme", false, false));
  EXPECT_EQ(plain.extension, "tif");
  EXPECT_EQ(plain.verdict, Verdict::Complete);
  EXPECT_EQ(plain.length, tiff("Acme", false, false).size());
}

// An incremental update appended by an editor: the file ends at its
// %%EOF, not at the first one.
TEST(FormatFile, PdfIncrementalUpdate) {
  Bytes pdf = Fixture("doc.pdf");
  const std::size_t first = pdf.size();
  const std::string object = "99 0 obj\n<< /Edited true >>\nendobj\n";
  const std::size_t xref = first + object.size();
  const std::string update = object + "xref\n99 1\n" + std::string(10 - std::to_string(first).size(), '0') +
                             std::to_string(first) + " 00000 n \ntrailer\n<< /Size 100 >>\nstartxref\n" +
                             std::to_string(xref) + "\n%%EOF\n";
  pdf.insert(pdf.end(), update.begin(), update.end());
  Bytes followed = pdf;
  const Bytes noise = Noise(3000, 4);
  followed.insert(followed.end(), noise.begin(), noise.end());
  const Parsed p = IdentifyBytes(followed);
  EXPECT_EQ(p.verdict, Verdict::Complete);
  EXPECT_EQ(p.length, pdf.size());
}

// RAR is not free software: minimal archives of both generations are built
// here, byte by byte, as the format describes them (one stored file).
Bytes Rar4(const std::string& content) {
  Bytes b{'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
  auto block = [&](std::uint8_t type, std::uint16_t flags, const Bytes& rest) {
    const std::size_t start = b.size();
    Put16(b, 0);
    b.push_back(type);
    Put16(b, flags);
    Put16(b, static_cast<std::uint32_t>(7 + rest.size()));
    b.insert(b.end(), rest.begin(), rest.end());
    const std::uint32_t crc = Crc(b, start + 2, b.size());
    b[start] = static_cast<std::uint8_t>(crc);
    b[start + 1] = static_cast<std::uint8_t>(crc >> 8);
  };
  block(0x73, 0, Bytes(6, 0));
  Bytes file;
  Put32(file, static_cast<std::uint32_t>(content.size()));  // packed
  Put32(file, static_cast<std::uint32_t>(content.size()));  // unpacked
  file.push_back(0);                                          // host OS
  Put32(file, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(content.data()),
                                               static_cast<uInt>(content.size()))));
  Put32(file, 0x4E2A6000);  // DOS time
  file.push_back(29);       // version
  file.push_back(0x30);     // stored
  Put16(file, 5);
  Put32(file, 0x20);
  for (char ch : std::string("a.txt")) file.push_back(static_cast<std::uint8_t>(ch));
  block(0x74, 0x8000, file);
  b.insert(b.end(), content.begin(), content.end());
  block(0x7B, 0x4000, {});
  return b;
}

Bytes Rar5(const std::string& content) {
  Bytes b{'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
  auto block = [&](const Bytes& header) {  // header: type, flags, ... (sizes below 128)
    const std::size_t start = b.size();
    Put32(b, 0);
    b.push_back(static_cast<std::uint8_t>(header.size()));
    b.insert(b.end(), header.begin(), header.end());
    const std::uint32_t crc = Crc(b, start + 4, b.size());
    for (int i = 0; i < 4; ++i) b[start + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  };
  block({1, 0, 0});
  const auto n = static_cast<std::uint8_t>(content.size());
  block({2, 2, n, 0, n, 0x20, 0, 0, 1, 'a'});
  b.insert(b.end(), content.begin(), content.end());
  block({5, 0, 0});
  return b;
}

TEST(FormatFile, RarBothGenerations) {
  for (const Bytes& rar : {Rar4(std::string(300, 'x')), Rar5(std::string(100, 'y'))}) {
    Bytes longer = rar;
    const Bytes noise = Noise(5000, 3);
    longer.insert(longer.end(), noise.begin(), noise.end());
    const Parsed p = IdentifyBytes(longer);
    EXPECT_EQ(p.verdict, Verdict::Complete);
    EXPECT_EQ(p.length, rar.size());
    EXPECT_EQ(p.extension, "rar");
    const Parsed cut = IdentifyBytes(Bytes(rar.begin(), rar.end() - 10));
    EXPECT_EQ(cut.verdict, Verdict::Damaged);
    Bytes bad = rar;
    bad[rar.size() - 3] ^= 1;  // the end block's header
    EXPECT_EQ(IdentifyBytes(bad).verdict, Verdict::Damaged);
  }
}

TEST(FormatFile, HostileSizesAndLoops) {
  // A TIFF whose IFD points back at itself, and strips claiming 4 GiB.
  Bytes tiff{'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0};
  for (const std::uint16_t tag : {std::uint16_t{273}, std::uint16_t{279}}) {
    Put16(tiff, tag);
    Put16(tiff, 4);
    Put32(tiff, 1);
    Put32(tiff, tag == 273 ? 0x100 : 0xFFFFFFF0u);
  }
  Put32(tiff, 8);
  EXPECT_EQ(IdentifyBytes(tiff).verdict, Verdict::Damaged);
  // A ZIP entry claiming 4 GiB of stored data, a BMP claiming 4 GiB, a JPEG
  // frame of 65535 x 65535 pixels with no data.
  Bytes zip{'P', 'K', 3, 4, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF,
            0xF0, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 'a'};
  EXPECT_EQ(IdentifyBytes(zip).verdict, Verdict::Damaged);
  Bytes bmp{'B', 'M', 0xF0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0,
            1, 0, 24, 0};
  bmp.resize(200);
  EXPECT_EQ(IdentifyBytes(bmp).verdict, Verdict::Damaged);
  Bytes jpeg{0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0xFF, 0xFF, 0xFF, 0xFF, 1, 1, 0x11, 0};
  const Bytes sos{0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 63, 0, 0xFF, 0xD9};
  jpeg.insert(jpeg.end(), sos.begin(), sos.end());
  EXPECT_NE(IdentifyBytes(jpeg).verdict, Verdict::Complete);
}

}  // namespace
}  // namespace ambrelic::carve

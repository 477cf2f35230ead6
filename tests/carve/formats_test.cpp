// The format parsers over real files made by real tools (make_carve_files.sh):
// each file whole, with foreign bytes after it, cut short and damaged in the
// middle, and the exact length or verdict expected of each.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "carve/format.h"
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

Parsed IdentifyBytes(const Bytes& b) {
  MemorySource source(b);
  return Identify(source, Limits{});
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
                    Case{"audio.ogg", "ogg"}),
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
}

TEST(FormatFile, ExtensionsLeadToTheirFamily) {
  EXPECT_EQ(FormatForExtension("JPEG")->type, "jpg");
  EXPECT_EQ(FormatForExtension(".docx")->type, "zip");
  EXPECT_EQ(FormatForExtension("txt"), nullptr);
  const Bytes png = Fixture("image.png");
  MemorySource source(png);
  // Named .jpg, the bytes are no JPEG; with an unknown name, they are found
  // by their first bytes.
  EXPECT_EQ(Verify(source, "jpg", Limits{}).verdict, Verdict::NotThisFormat);
  EXPECT_EQ(Verify(source, "bin", Limits{}).verdict, Verdict::Complete);
}

}  // namespace
}  // namespace ambrelic::carve

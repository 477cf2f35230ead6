#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "carve/byte_source.h"

namespace ambrelic::carve {

enum class Verdict { NotThisFormat, Complete, Damaged };

struct Parsed {
    Verdict verdict = Verdict::NotThisFormat;
    // Complete: the file's exact length. Damaged: how many bytes from the
    // start parse (decode) as valid: the scanner uses it to look for a
    // fragment's continuation, the condition to say how far a file is good.
    std::uint64_t length = 0;
    std::string extension;              // "jpg", "png", "docx", "cr2"... lower case, no dot
    std::optional<std::int64_t> time;   // the content's own time, seconds since 1970 as written (local)
    std::string nameHint;               // "2019-07-04 12-30-05" (photo taken), else empty
};

struct Limits {
    std::uint64_t maxLength = 4ull << 30;  // never parse past this; never allocate from a size field
};

struct Format {
    std::string_view type;                                  // family key, "jpg", "png", "zip", ...
    std::size_t headBytes;                                  // how many first bytes Matches needs (<= 64)
    bool (*Matches)(std::span<const std::uint8_t> head);    // cheap test at a cluster/sector start
    Parsed (*Parse)(ByteSource& source, const Limits& limits);
};

// Every known format, in the order Identify tries them.
std::span<const Format> Formats();
// "jpeg"/"jpg" -> the JPEG parser, "docx" -> the zip family ...; null when unknown.
const Format* FormatForExtension(std::string_view extension);
// Runs every format whose Matches() accepts the first bytes; the first Complete wins,
// else the longest Damaged, else NotThisFormat.
Parsed Identify(ByteSource& source, const Limits& limits);
// The content check behind the condition: the bytes a restore would write, parsed as
// the format named by the extension (or recognised by its first bytes when the
// extension is unknown). NotThisFormat when the type is not one the scan knows.
// Named for a known type, bytes of another known type are judged as that type, and
// bytes of none are Damaged at length 0. A Complete length covers the padding
// (zeros, 0xFF, white space) a writer may leave after the structure's end; when
// other bytes follow the structure it is shorter than the source.
Parsed Verify(ByteSource& source, std::string_view extension, const Limits& limits);

}  // namespace ambrelic::carve

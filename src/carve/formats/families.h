#pragma once

// The parsers of every file family the deep scan knows, one source each
// under formats/; format.cpp lists them.

#include <cstdint>
#include <span>

#include "carve/format.h"

namespace ambrelic::carve::formats {

#define AMBRELIC_CARVE_FAMILY(Name)                                   \
    bool Name##Matches(std::span<const std::uint8_t> head);           \
    Parsed Name##Parse(ByteSource& source, const Limits& limits);

AMBRELIC_CARVE_FAMILY(Jpeg)
AMBRELIC_CARVE_FAMILY(Png)
AMBRELIC_CARVE_FAMILY(Gif)
AMBRELIC_CARVE_FAMILY(Bmp)
AMBRELIC_CARVE_FAMILY(Riff)
AMBRELIC_CARVE_FAMILY(Tiff)
AMBRELIC_CARVE_FAMILY(IsoBmff)
AMBRELIC_CARVE_FAMILY(Mp3)
AMBRELIC_CARVE_FAMILY(Flac)
AMBRELIC_CARVE_FAMILY(Ogg)
AMBRELIC_CARVE_FAMILY(Pdf)
AMBRELIC_CARVE_FAMILY(Zip)
AMBRELIC_CARVE_FAMILY(Ole2)
AMBRELIC_CARVE_FAMILY(Sqlite)
AMBRELIC_CARVE_FAMILY(Gzip)
AMBRELIC_CARVE_FAMILY(SevenZip)
AMBRELIC_CARVE_FAMILY(Rar)

#undef AMBRELIC_CARVE_FAMILY

// The JPEG parser that always decodes the photo, never taking the quick
// check of its codes for the decode: what JpegParse must agree with.
Parsed JpegParseDecoding(ByteSource& source, const Limits& limits);
// JpegParse with the quick check of the codes left to the caller: a photo
// that comes out whole if its codes check out (and only such a photo) is
// Complete at once, with checkEnd set to the end CheckJpegScan is to be
// given (else 0, and the verdict is JpegParse's). Where the check then
// says Unsure, JpegParseDecoding gives JpegParse's verdict.
Parsed JpegParseDeferred(ByteSource& source, const Limits& limits, std::uint64_t& checkEnd);
// The JPEG parser for a guess that only counts when the photo comes out
// whole (a fragment's continuation): its Complete verdicts are JpegParse's,
// but a photo whose structure does not reach EOI is Damaged at once, at
// the length of its structure, without the decode that says how much of
// it is good.
Parsed JpegParseWhole(ByteSource& source, const Limits& limits);

}  // namespace ambrelic::carve::formats

#pragma once

// A quick check of a JPEG's entropy-coded data, without decoding pixels:
// for the common kind of photo (baseline or extended sequential Huffman,
// 8-bit, one interleaved scan, grayscale or YCbCr) it walks every Huffman
// code of every block of every MCU. Whole means the libjpeg decode would
// also read the file from SOI to EOI without a warning: every code exists
// in its table, the data holds exactly the MCUs the frame needs, each
// restart interval ends right before its marker in turn, and EOI follows
// the scan. Anything it does not know or that is not so ordinary is Unsure:
// the full decode then has the last word, and says where the data goes
// wrong. Broken means the decode would stop with a warning: with every
// code read as libjpeg reads it, the data runs into a marker while the
// frame still wants bits, or a restart marker is missing or out of turn.
// (A code no table holds is Unsure, not Broken: libjpeg-turbo's fast path
// reads it as a zero and goes on without a word.)

#include <cstdint>

#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {

enum class ScanCheck { Whole, Unsure, Broken };

// The file's bytes [0, end), where end is just past the EOI the structure
// walk found.
ScanCheck CheckJpegScan(Reader& r, std::uint64_t end);

// Two photos' checks at once, each as CheckJpegScan would make it; faster
// than one after the other where the processor can run both walks side by
// side.
void CheckJpegScans(Reader& a, std::uint64_t endA, Reader& b, std::uint64_t endB, ScanCheck& verdictA,
                    ScanCheck& verdictB);

}  // namespace ambrelic::carve::formats

// The one way to read untrusted on-disk bytes in the engines: the checked
// little-endian fields and the ByteReader of platform/bytes.h, under the
// engines' namespace. A field that would run past the end reads as 0 and
// sets the reader's sticky error.
#pragma once

#include "platform/bytes.h"

namespace ambrelic::disk {

using platform::Bytes;
using platform::ByteReader;
using platform::Fits;
using platform::le8;
using platform::le16;
using platform::le32;
using platform::le64;
using platform::put16;
using platform::put32;
using platform::put64;

}  // namespace ambrelic::disk

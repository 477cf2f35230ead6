// What a preview shows of a file's first bytes, without any toolkit: its
// kind by its signature, whether it reads as text and in which encoding
// (then the text in UTF-8), a hex dump otherwise, and the JPEG preview a
// raw photo carries inside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ambrelic::ui {

// The kind the first bytes name ("JPEG image", "PDF document", "ZIP
// archive (also DOCX, XLSX, ODT, JAR...)", "only zeros"...), or empty when
// they name none.
std::string KindFromBytes(std::string_view bytes);

enum class TextEncoding { None, Utf8, Utf16Le, Utf16Be, Windows1252 };

// Whether the bytes read as text, and how: a byte-order mark, UTF-16 by
// its zero bytes, valid UTF-8 (a character cut at the end allowed), or
// mostly printable single bytes; None for anything with NULs or many
// control bytes.
TextEncoding GuessTextEncoding(std::string_view bytes);
const char* EncodingName(TextEncoding encoding);
// The text in UTF-8 (byte-order mark dropped; bytes that do not convert
// become U+FFFD).
std::string TextAsUtf8(std::string_view bytes, TextEncoding encoding);

// Offset, sixteen bytes in hex, and the printable ASCII beside them, one
// line per sixteen bytes, of at most `limit` bytes.
std::string HexDump(std::string_view bytes, std::size_t limit);

// A raw photo (TIFF-based: CR2, NEF, ARW, DNG...) keeps a JPEG preview in
// itself: the longest run from a JPEG start to an end marker; empty when
// there is none.
std::string_view EmbeddedJpeg(std::string_view bytes);

}  // namespace ambrelic::ui

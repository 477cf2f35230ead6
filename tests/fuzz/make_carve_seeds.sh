#!/usr/bin/env bash
# Makes the seeds of carve_formats_fuzz: one tiny file of each family the
# deep scan knows, made by its real tool (RAR, which is not free, built by
# hand), stored compressed in seeds/carve_formats_fuzz/ with the target's
# two-byte header (Identify, no limit). Run by hand when the seeds should
# change; CI only reads what it stored.
#
#   tests/fuzz/make_carve_seeds.sh
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$here/seeds/carve_formats_fuzz"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TZ=UTC
mkdir -p "$out"
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }
cd "$work"

convert -size 24x16 -seed 1 plasma: -quality 60 photo.jpg
convert -size 8x6 -seed 2 plasma: thumb.jpg
exiftool -q -overwrite_original -DateTimeOriginal="2019:07:04 12:30:05" "-ThumbnailImage<=thumb.jpg" photo.jpg
convert -size 16x12 -seed 3 plasma: -interlace JPEG progressive.jpg
convert -size 12x12 -seed 4 plasma: image.png
convert -size 8x8 -seed 5 plasma: BMP3:image.bmp
convert -delay 10 -size 8x8 -seed 6 plasma: -seed 7 plasma: anim.gif
convert -size 8x8 -seed 8 plasma: -compress none -define tiff:rows-per-strip=4 image.tif
printf '%%!PS\n/Helvetica findfont 10 scalefont setfont 20 20 moveto (x) show showpage\n' > doc.ps
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=doc.pdf doc.ps
/usr/bin/python3 - <<'PY'
import zipfile
from PIL import Image
Image.new("RGB", (8, 8), (200, 10, 10)).save("image.webp", "WEBP")
with zipfile.ZipFile("doc.docx", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("[Content_Types].xml", "<Types/>")
    z.writestr("word/document.xml", "<w:document>hello hello hello</w:document>")
PY
ff -f lavfi -i testsrc=duration=0.2:size=16x16:rate=5 -c:v libx264 -preset ultrafast video.mp4
ff -f lavfi -i sine=duration=0.1:sample_rate=8000 -c:a libmp3lame -b:a 8k audio.mp3
ff -f lavfi -i sine=duration=0.05:sample_rate=8000 -c:a pcm_u8 audio.wav
ff -f lavfi -i sine=duration=0.1:sample_rate=8000 -c:a flac audio.flac
ff -f lavfi -i sine=duration=0.1:sample_rate=8000 -c:a libvorbis audio.ogg
sqlite3 data.sqlite "pragma page_size=512; create table t(a); insert into t values(1),(2);"
printf 'a line of text\n%.0s' $(seq 40) | gzip -9 > text.gz
printf 'seven zip\n' > a.txt && 7z a -bd -y archive.7z a.txt > /dev/null
mkdir ole && printf 'word\n' > ole/WordDocument && (cd ole && gsf createole ../doc.ole WordDocument > /dev/null)
/usr/bin/python3 - <<'PY'
import struct, zlib
def block(t, flags, rest):
    body = bytes([t]) + struct.pack("<HH", flags, 7 + len(rest)) + rest
    return struct.pack("<H", zlib.crc32(body) & 0xFFFF) + body
data = b"rar data\n"
fh = struct.pack("<IIBIIBBHI", len(data), len(data), 0, zlib.crc32(data), 0x4E2A6000, 29, 0x30, 5, 0x20) + b"a.txt"
rar = b"Rar!\x1a\x07\x00" + block(0x73, 0, bytes(6)) + block(0x74, 0x8000, fh) + data + block(0x7B, 0x4000, b"")
open("archive.rar", "wb").write(rar)
PY

rm -f "$out"/*.bz2
for f in photo.jpg progressive.jpg image.png image.bmp anim.gif image.tif doc.pdf image.webp doc.docx \
         video.mp4 audio.mp3 audio.wav audio.flac audio.ogg data.sqlite text.gz archive.7z doc.ole archive.rar; do
  { printf '\0\0'; cat "$f"; } | bzip2 -9 > "$out/${f%.*}-${f##*.}.bz2"
done
ls -l "$out"

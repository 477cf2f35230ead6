#!/usr/bin/env bash
# Deep scan benchmark: the deep scan against PhotoRec (Debian testdisk) on
# the same quick-formatted card, and its throughput against a sequential
# read (`dd bs=1M`).
#
# Builds (once, cached in BENCH_DIR) a 2 GiB FAT32 image (mkfs.fat, mtools)
# that held 240 photos (python3-pil JPEG with EXIF), PNGs, Ghostscript PDFs,
# python zipfile DOCX/ZIP and ffmpeg MP4/MP3 files, and random data filling
# the rest, and was then quick-formatted: nearly every cluster is vacant.
# Then:
# - `dd if=IMAGE of=/dev/null bs=1M`: the sequential read (target: the deep
#   scan at 0.7 of it or better, counting the bytes it reads), with the
#   image in the page cache (where the scan's own work shows whole) and
#   read from the disk;
# - `ambrelic-cli carve` and `photorec /d OUT /cmd IMAGE options,search`,
#   the image in the page cache for both: time (target: the deep scan in half PhotoRec's time or less) and the
#   files each brings back byte-identical (`restore --carve --all`).
#
#   bench/carve.sh [BUILD_DIR]      (default: build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/common.sh"
build="$(cd "${1:-$root/build}" && pwd)"
cli="$build/ambrelic-cli"
require photorec mkfs.fat mcopy ffmpeg gs bc dd sha256sum
[ -x "$cli" ] || { echo "build ambrelic-cli first (scripts/build)" >&2; exit 1; }
export MTOOLS_SKIP_CHECK=1 TZ=UTC LC_ALL=C.UTF-8

dir="${BENCH_DIR:-$build/bench}"
img="$dir/carve-2g.img"
hashes="$dir/carve-2g.sha256"
mkdir -p "$dir"
if [ ! -e "$img" ]; then
  echo "building $img ..." >&2
  src=$(mktemp -d "$dir/.carve-src.XXXXXX")
  trap 'rm -rf "$src"' EXIT
  /usr/bin/python3 - "$src" <<'PY'
import random, sys, zipfile
from PIL import Image, ImageDraw
root = sys.argv[1]
for i in range(240):
    r = random.Random(i)
    w, h = r.choice([(1024, 768), (1280, 960), (800, 600)])
    img = Image.new("RGB", (w, h))
    d = ImageDraw.Draw(img)
    for _ in range(300):
        x, y = r.randrange(w), r.randrange(h)
        d.ellipse([x, y, x + r.randrange(8, 160), y + r.randrange(8, 160)],
                  fill=(r.randrange(256), r.randrange(256), r.randrange(256)))
    px = img.load()
    for _ in range(w * h // 8):
        px[r.randrange(w), r.randrange(h)] = (r.randrange(256), r.randrange(256), r.randrange(256))
    exif = Image.Exif()
    exif[0x010F] = "Bench"
    ifd = exif.get_ifd(0x8769)
    ifd[0x9003] = f"2020:{1 + i // 28:02d}:{1 + i % 28:02d} 10:{i % 60:02d}:{(i * 7) % 60:02d}"
    img.save(f"{root}/IMG_{i:04d}.JPG", "JPEG", quality=90, exif=exif.tobytes())
for i in range(20):
    r = random.Random(1000 + i)
    img = Image.new("RGB", (500, 400), (255, 255, 255))
    d = ImageDraw.Draw(img)
    for _ in range(80):
        d.line([r.randrange(500), r.randrange(400), r.randrange(500), r.randrange(400)],
               fill=(r.randrange(256), r.randrange(256), r.randrange(256)), width=3)
    img.save(f"{root}/chart{i:02d}.png", "PNG")
    with zipfile.ZipFile(f"{root}/notes{i:02d}.docx", "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>')
        z.writestr("word/document.xml", "".join(f"<p>{r.random()}</p>" for _ in range(4000)))
    with zipfile.ZipFile(f"{root}/archive{i:02d}.zip", "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("data.txt", "".join(f"{r.random()}\n" for _ in range(20000)))
PY
  for i in $(seq -w 1 10); do
    gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$src/report$i.pdf" -c \
      "/Helvetica findfont 12 scalefont setfont 1 1 $((20 + 10#$i)) { 72 exch 20 mul 72 add moveto (Report $i) show } for showpage" \
      >/dev/null 2>&1
    ffmpeg -loglevel error -f lavfi -i "testsrc=duration=$((2 + 10#$i % 3)):size=320x240:rate=15" \
      -c:v libx264 -preset ultrafast -fflags +bitexact -y "$src/clip$i.mp4"
    ffmpeg -loglevel error -f lavfi -i "sine=frequency=$((300 + 10#$i * 40)):duration=5" -c:a libmp3lame \
      -fflags +bitexact -y "$src/tone$i.mp3"
  done
  (cd "$src" && sha256sum -- *) > "$hashes.tmp"
  truncate -s 2G "$img.tmp"
  mkfs.fat -F 32 -n BENCH "$img.tmp" >/dev/null
  # Random filler between the files, so that the card is mostly data.
  n=0
  for f in "$src"/*; do
    mcopy -i "$img.tmp" "$f" ::
    n=$((n + 1))
    if [ $((n % 30)) -eq 0 ]; then
      head -c 150M /dev/urandom > "$src/.fill"
      mcopy -i "$img.tmp" "$src/.fill" "::FILL$n.BIN"
    fi
  done
  mkfs.fat -F 32 -n BENCH "$img.tmp" >/dev/null
  rm -rf "$src"
  trap - EXIT
  mv "$hashes.tmp" "$hashes"
  mv "$img.tmp" "$img"
fi

# Files of a folder that match the originals byte for byte, each counted once.
identical() { (cd "$1" && find . -type f -exec sha256sum {} + | cut -d' ' -f1 | sort -u | grep -cxFf <(cut -d' ' -f1 "$hashes" | sort -u)) || true; }

size=$(stat -c %s "$img")
# Cold: the image's pages dropped from the cache before each run (dd's
# nocache flag asks the kernel to), so both read it from the disk, as a
# card or a disk is read the first time.
cold() { dd if="$img" iflag=nocache count=0 status=none; "$@"; }
c_dd=$(best_of 3 cold dd if="$img" of=/dev/null bs=1M)
c_carve=$(best_of 3 cold "$cli" carve --quiet "$img")
# Warm: the image in the page cache, where a read is a copy and the scan's
# own work shows whole.
cat "$img" > /dev/null
t_dd=$(best_of 5 dd if="$img" of=/dev/null bs=1M)
t_carve=$(best_of 5 "$cli" carve --quiet "$img")
work=$(mktemp -d "$dir/.carve-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
# PhotoRec writes nothing when the folder of its /d prefix is missing.
t_photorec=$(best_of 1 bash -c "rm -rf '$work/pr'; mkdir '$work/pr'; photorec /d '$work/pr/f' /cmd '$img' options,search")
"$cli" restore --carve --quiet --all --to "$work/ours" "$img" >/dev/null 2>&1 || true
ours=$(identical "$work/ours")
theirs=$(identical "$work/pr")
total=$(cut -d' ' -f1 "$hashes" | sort -u | wc -l)
mib=$(echo "$size / 1048576" | bc)

echo "image: $img ($mib MiB, $total files written before the quick format)"
echo "dd bs=1M:           $t_dd s ($(echo "$mib / $t_dd" | bc) MiB/s) cached; $c_dd s from the disk"
echo "ambrelic carve:     $t_carve s ($(echo "$mib / $t_carve" | bc) MiB/s, $(ratio "$t_dd" "$t_carve") of dd; target 0.70) cached;"
echo "                    $c_carve s from the disk ($(ratio "$c_dd" "$c_carve") of dd)"
echo "photorec:           $t_photorec s (ambrelic at $(ratio "$t_carve" "$t_photorec") of its time; target 0.50)"
echo "byte-identical:     ambrelic $ours, photorec $theirs (of $total distinct files)"
# The deep scan runs on two threads (the pass, the check of photos'
# codes): on a busy machine it loses more than dd does.
echo "load average:       $(cut -d' ' -f1-3 /proc/loadavg) (on $(nproc) cores)"

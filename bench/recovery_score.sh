#!/usr/bin/env bash
# Scores recovery the way a user would: cards made by real tools from files
# whose hashes are kept, a deleted tree (or a quick format), then Ambrelic's
# restore and The Sleuth Kit's tsk_recover, counting the files that come
# back byte-identical, and those that also keep their name and folder.
#
#   bench/recovery_score.sh [BUILD_DIR] [WORK_DIR] [SCENARIO...]
# Scenarios (default: all): fat32-tree fat32-card exfat-tree exfat-card
# (files of random bytes), fat32-real exfat-real ntfs-tree (a tree of real
# formats deleted), ntfs-reused (the same, then its file records reused).
# exFAT cards are written through exfat-fuse on a loop device, NTFS volumes
# (mkntfs) through ntfs-3g (root, FUSE). Deleted fillers ("filler*") are
# counted apart from the tree.
# Per scenario it prints: files deleted; rows listed by a plain search and
# with --scan-vacant; files written by restore --all (--scan-vacant),
# byte-identical ones, those with name and folder kept; bytes written
# against the deleted files' own bytes; fls -rd rows and tsk_recover's
# byte-identical files. Also how many of the deleted files come back more
# than once, and rows whose Condition (--condition) disagrees with what
# restore writes: a row restored different from its original shown
# "intact", or one restored byte-identical shown "damaged".
# ntfs-reused also runs the deep scan (carve, restore --carve --all) and
# PhotoRec on its image, with their times.
set -euo pipefail
BUILD=${1:-build}
WORK=${2:-$(mktemp -d /tmp/ambrelic-score.XXXXXX)}
shift $(( $# >= 2 ? 2 : $# )) || true
SCENARIOS=("$@")
[ ${#SCENARIOS[@]} -gt 0 ] || SCENARIOS=(fat32-tree fat32-card exfat-tree exfat-card fat32-real exfat-real ntfs-tree ntfs-reused)
CLI=$(readlink -f "$BUILD/ambrelic-cli")
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$WORK"
export MTOOLS_SKIP_CHECK=1 TZ=UTC LC_ALL=C.UTF-8

# The tree: several levels, folders of 50 to 120 entries with long names,
# files of 2 KB to 600 KB. Paths relative to $1, written to $1.list in the
# order they are to be copied.
make_tree() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, kind = sys.argv[1], sys.argv[2]
r = random.Random(21)
plan = []
if kind == "card":
    plan += [("DCIM/100CANON/IMG_%04d.JPG" % i, r.randint(50_000, 600_000)) for i in range(1, 61)]
    plan += [("DCIM/101CANON/IMG_%04d.JPG" % i, r.randint(50_000, 600_000)) for i in range(61, 91)]
    plan += [("Music/Album One/Track %02d of the first album.mp3" % i, r.randint(100_000, 600_000)) for i in range(1, 13)]
else:
    plan += [("DCIM/100CANON/IMG_%04d.JPG" % i, r.randint(26_000, 600_000)) for i in range(1, 61)]
    plan += [("Holiday photos 2023/Holiday photo number %03d taken at the beach.jpg" % i, r.randint(2_000, 200_000)) for i in range(1, 121)]
    plan += [("Documents/Reports/Quarterly report %02d final version.pdf" % i, r.randint(2_000, 213_000)) for i in range(1, 51)]
    plan += [("Documents/Letters/Letter to the bank number %02d.txt" % i, r.randint(2_000, 20_000)) for i in range(1, 31)]
# Interleave the folders, as a user copying in several sessions does.
r.shuffle(plan)
with open(root + ".list", "w") as lst:
    for path, size in plan:
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        data = r.randbytes(size)
        if path.upper().endswith(".JPG"):
            data = b"\xff\xd8\xff\xe1" + data[4:]
        open(full, "wb").write(data)
        lst.write(path + "\n")
PY
}

# A camera-like tree of real formats (the deep scan knows them): JPEG photos
# with EXIF of 2 KB to 500 KB, PNG drawings, Ghostscript PDFs, zipfile
# DOCX/XLSX/ZIP, ffmpeg MP4/MP3, under nested folders with long names.
make_real_tree() {
  # Made once per work folder: the same tree for every file system.
  if [ ! -e "$WORK/real-tree.list" ]; then
    rm -rf "$WORK/real-tree"
    make_real_tree_in "$WORK/real-tree"
  fi
  rm -rf "$1"; cp -a "$WORK/real-tree" "$1"; cp "$WORK/real-tree.list" "$1.list"
}

make_real_tree_in() {
  /usr/bin/python3 - "$1" <<'PY'
import io, os, random, subprocess, sys, zipfile
from PIL import Image, ImageDraw
root = sys.argv[1]
r = random.Random(23)
plan = []
def photo(w, h, q, seed):
    g = random.Random(seed)
    img = Image.frombytes("RGB", (w // 4, h // 4), g.randbytes((w // 4) * (h // 4) * 3)).resize((w, h))
    d = ImageDraw.Draw(img)
    for _ in range(40):
        x, y = g.randrange(w), g.randrange(h)
        d.ellipse([x, y, x + g.randrange(8, 120), y + g.randrange(8, 120)],
                  fill=(g.randrange(256), g.randrange(256), g.randrange(256)))
    exif = Image.Exif(); exif[0x010F] = "Canon"; exif[0x0110] = "Canon EOS Bench"
    b = io.BytesIO(); img.save(b, "JPEG", quality=q, exif=exif.tobytes()); return b.getvalue()
def png(w, h, seed):
    g = random.Random(seed)
    img = Image.new("RGB", (w, h), (255, 255, 255)); d = ImageDraw.Draw(img)
    for _ in range(60):
        d.line([g.randrange(w), g.randrange(h), g.randrange(w), g.randrange(h)],
               fill=(g.randrange(256), g.randrange(256), g.randrange(256)), width=3)
    px = img.load()
    for _ in range(w * h // 20):
        px[g.randrange(w), g.randrange(h)] = (g.randrange(256), g.randrange(256), g.randrange(256))
    b = io.BytesIO(); img.save(b, "PNG"); return b.getvalue()
def office(kind, seed, n):
    g = random.Random(seed); b = io.BytesIO()
    part = {"docx": "word/document.xml", "xlsx": "xl/workbook.xml", "zip": "notes/data.txt"}[kind]
    with zipfile.ZipFile(b, "w", zipfile.ZIP_DEFLATED) as z:
        if kind != "zip":
            z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>')
        z.writestr(part, "".join(f"<v>{g.random()}</v>" for _ in range(n)))
        if kind == "zip":
            z.writestr("notes/raw.bin", g.randbytes(n * 4), zipfile.ZIP_STORED)
    return b.getvalue()
files = {}
for i in range(1, 41):
    w, h = r.choice([(1024, 768), (800, 600), (640, 480), (160, 120), (96, 72)])
    files["DCIM/100CANON/IMG_%04d.JPG" % i] = photo(w, h, r.choice([80, 90, 95]), i)
for i in range(1, 21):
    w, h = r.choice([(640, 480), (320, 240), (120, 90)])
    files["Holiday photos 2023/Day one at the beach with the whole family/Drawing number %02d made on the beach.png" % i] = png(w, h, 100 + i)
for i in range(1, 7):
    files["Documents/Office files of the year/Budget sheet %02d for the household.xlsx" % i] = office("xlsx", 200 + i, r.randint(200, 30000))
    files["Documents/Office files of the year/Meeting notes %02d of the committee.docx" % i] = office("docx", 300 + i, r.randint(200, 30000))
for i in range(1, 5):
    files["Documents/Archives/Archive %02d of old letters.zip" % i] = office("zip", 400 + i, r.randint(500, 20000))
for p, data in files.items():
    full = os.path.join(root, p); os.makedirs(os.path.dirname(full), exist_ok=True)
    open(full, "wb").write(data)
def run(*a): subprocess.run(a, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
rep = "Documents/Reports of the year"; os.makedirs(os.path.join(root, rep), exist_ok=True)
for i in range(1, 9):
    p = f"{rep}/Quarterly report {i:02d} final version.pdf"
    run("gs", "-q", "-dNOPAUSE", "-dBATCH", "-sDEVICE=pdfwrite", "-o", os.path.join(root, p), "-c",
        f"/Helvetica findfont 12 scalefont setfont 1 1 {i * 12} {{ 72 exch 20 mul 72 add moveto (Report {i} page) show }} for showpage")
    files[p] = None
med = "Media/Videos from the trip"; mus = "Media/Music/Album one of the band"
os.makedirs(os.path.join(root, med), exist_ok=True); os.makedirs(os.path.join(root, mus), exist_ok=True)
for i in range(1, 5):
    p = f"{med}/Clip {i:02d} from the boat.mp4"
    run("ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", f"testsrc=duration={1 + i}:size=320x240:rate=15",
        "-c:v", "libx264", "-preset", "ultrafast", "-fflags", "+bitexact", "-y", os.path.join(root, p))
    files[p] = None
for i in range(1, 7):
    p = f"{mus}/Track {i:02d} of the first album.mp3"
    run("ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", f"sine=frequency={300 + i * 40}:duration={2 + i * 3}",
        "-c:a", "libmp3lame", "-fflags", "+bitexact", "-y", os.path.join(root, p))
    files[p] = None
plan = list(files); r.shuffle(plan)
with open(root + ".list", "w") as lst:
    for p in plan: lst.write(p + "\n")
PY
}

# Fillers written between the tree's files and deleted again, so that
# later files fill their holes and come out fragmented.
filler() { head -c "$1" /dev/urandom; }

score() {  # score SCENARIO IMAGE ORIGINALS DELETED_LIST [carve]
  local name=$1 img=$2 orig=$3 deleted=$4 out="$WORK/$1"
  rm -rf "$out"; mkdir -p "$out"
  "$CLI" search --no-scan-vacant --condition --quiet --format jsonl "$img" > "$out/plain.jsonl" || true
  "$CLI" search --scan-vacant --condition --quiet --format jsonl "$img" > "$out/vacant.jsonl" || true
  "$CLI" restore --all --no-scan-vacant --yes --to "$out/plain" "$img" 2>"$out/plain.err" || true
  "$CLI" restore --all --scan-vacant --yes --to "$out/vacant" "$img" 2>"$out/vacant.err" || true
  local fls
  fls=$(fls -rd "$img" 2>/dev/null | wc -l || echo 0)
  tsk_recover "$img" "$out/tsk" >/dev/null 2>&1 || true
  if [ "${5:-}" = carve ]; then
    # The deep scan and PhotoRec on the same image, warm, one run each.
    cat "$img" > /dev/null
    local t0 t1 t2
    t0=$(date +%s.%N)
    "$CLI" carve --condition --quiet --format jsonl "$img" > "$out/carve.jsonl" || true
    t1=$(date +%s.%N)
    # PhotoRec writes nothing when the folder of its /d prefix is missing.
    mkdir -p "$out/photorec"
    photorec /d "$out/photorec/f" /cmd "$img" options,search >/dev/null 2>&1 || true
    t2=$(date +%s.%N)
    rm -f "$out"/photorec/f.*/report.xml
    "$CLI" restore --carve --all --yes --quiet --to "$out/carve" "$img" 2>"$out/carve.err" || true
    printf '   deep scan: carve %.2f s, photorec %.2f s\n' "$(echo "$t1 - $t0" | bc -l)" "$(echo "$t2 - $t1" | bc -l)" \
      > "$out/times"
  fi
  local real=""
  case $name in *-real | ntfs-*) real=real ;; esac
  python3 "$HERE/recovery_tally.py" "$name" "$orig" "$deleted" "$out" "$fls" $real
  [ ! -e "$out/times" ] || cat "$out/times"
}

fat32() {  # fat32 tree|card
  local kind=$1 img="$WORK/fat32-$1.img" src="$WORK/src-fat32-$1"
  rm -rf "$src" "$img"; mkdir -p "$src"
  if [ "$kind" = real ]; then make_real_tree "$src"; else make_tree "$src" "$kind"; fi
  truncate -s 512M "$img"
  mkfs.fat -F 32 -s 8 "$img" >/dev/null
  local i=0 p dir
  while read -r p; do
    dir=$(dirname "$p")
    # Each level of the folder, outermost first (made once; mmd refuses
    # the ones that exist).
    local up="" part
    while IFS= read -r part; do
      up=${up:+$up/}$part
      mmd -D s -i "$img" "::$up" 2>/dev/null || true
    done <<< "${dir//\//$'\n'}"
    mcopy -o -i "$img" "$src/$p" "::$p"
    i=$((i + 1))
    if [ $((i % 7)) -eq 0 ]; then filler $((i * 997 % 90000 + 4000)) > "$WORK/filler"; mcopy -o -i "$img" "$WORK/filler" "::filler$i.tmp"; fi
    if [ $((i % 14)) -eq 0 ]; then mdel -i "$img" "::filler$((i - 7)).tmp"; fi
  done < "$src.list"
  if [ "$kind" = real ]; then
    mdeltree -i "$img" "::DCIM" "::Holiday photos 2023" "::Documents" "::Media"
  elif [ "$kind" = tree ]; then
    mdeltree -i "$img" "::DCIM" "::Holiday photos 2023" "::Documents"
  else
    mkfs.fat -F 32 -s 8 "$img" >/dev/null
  fi
  score "fat32-$kind" "$img" "$src" "$src.list"
}

exfat() {  # exfat tree|card
  local kind=$1 img="$WORK/exfat-$1.img" src="$WORK/src-exfat-$1" mnt="$WORK/mnt" loop
  rm -rf "$src" "$img"; mkdir -p "$src" "$mnt"
  if [ "$kind" = real ]; then make_real_tree "$src"; else make_tree "$src" "$kind"; fi
  truncate -s 256M "$img"
  mkfs.exfat -c 4K "$img" >/dev/null
  loop=$(losetup -f --show "$img")
  mount.exfat-fuse -o noatime "$loop" "$mnt" >/dev/null
  local i=0 p
  while read -r p; do
    mkdir -p "$mnt/$(dirname "$p")"
    cp "$src/$p" "$mnt/$p"
    i=$((i + 1))
    if [ $((i % 7)) -eq 0 ]; then filler $((i * 997 % 90000 + 4000)) > "$mnt/filler$i.tmp"; fi
    if [ $((i % 14)) -eq 0 ]; then rm -f "$mnt/filler$((i - 7)).tmp"; fi
  done < "$src.list"
  if [ "$kind" = tree ]; then rm -r "$mnt/DCIM" "$mnt/Holiday photos 2023" "$mnt/Documents"; fi
  if [ "$kind" = real ]; then rm -r "$mnt/DCIM" "$mnt/Holiday photos 2023" "$mnt/Documents" "$mnt/Media"; fi
  sync; umount "$mnt"; losetup -d "$loop"
  [ "$kind" != card ] || mkfs.exfat -c 4K "$img" >/dev/null
  score "exfat-$kind" "$img" "$src" "$src.list"
}

ntfs() {  # ntfs tree|reused
  local kind=$1 img="$WORK/ntfs-$1.img" src="$WORK/src-ntfs-$1" mnt="$WORK/mnt"
  rm -rf "$src" "$img"; mkdir -p "$src" "$mnt"
  make_real_tree "$src"
  truncate -s 384M "$img"
  mkntfs -q -F -f -c 4096 "$img" >/dev/null 2>&1
  ntfs-3g -o noatime "$img" "$mnt"
  # ntfs-3g puts a file where the last one ended, holes behind it stay
  # unused: so the volume is first filled up, all but the last 40 MB with
  # one file, those with fillers of 40 to 140 KB, and every other filler is
  # deleted. The tree then goes into the holes, its larger files in pieces.
  local free i=0 p sum=0
  free=$(df -B1 --output=avail "$mnt" | tail -1)
  filler $((free - (40 << 20))) > "$mnt/older files.bin"
  mkdir "$mnt/Fillers"
  while [ $sum -lt $((38 << 20)) ]; do
    i=$((i + 1)); p=$((40000 + i * 7919 % 100000)); sum=$((sum + p))
    filler $p > "$mnt/Fillers/filler$i.tmp"
  done
  for p in $(seq 1 2 "$i"); do rm "$mnt/Fillers/filler$p.tmp"; done
  while read -r p; do
    mkdir -p "$mnt/$(dirname "$p")"
    cp "$src/$p" "$mnt/$p"
  done < "$src.list"
  rm -r "$mnt/DCIM" "$mnt/Holiday photos 2023" "$mnt/Documents" "$mnt/Media"
  if [ "$kind" = reused ]; then
    # Many small new files (held in their records) take the deleted
    # tree's file records; its clusters stay as they were.
    mkdir "$mnt/New notes"
    for i in $(seq 1 400); do head -c $((100 + i % 300)) /dev/urandom > "$mnt/New notes/note $i.txt"; done
  fi
  sync; umount "$mnt"
  score "ntfs-$kind" "$img" "$src" "$src.list" $([ "$kind" = reused ] && echo carve)
}

for s in "${SCENARIOS[@]}"; do
  case $s in
    fat32-tree) fat32 tree ;;
    fat32-card) fat32 card ;;
    exfat-tree) exfat tree ;;
    exfat-card) exfat card ;;
    exfat-real) exfat real ;;
    fat32-real) fat32 real ;;
    ntfs-tree) ntfs tree ;;
    ntfs-reused) ntfs reused ;;
    *) echo "unknown scenario $s" >&2; exit 2 ;;
  esac
done
echo "work folder: $WORK"

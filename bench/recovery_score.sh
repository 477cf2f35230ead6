#!/usr/bin/env bash
# Scores recovery the way a user would: cards made by real tools from files
# whose hashes are kept, a deleted tree (or a quick format), then Ambrelic's
# restore and The Sleuth Kit's tsk_recover, counting the files that come
# back byte-identical, and those that also keep their name and folder.
#
#   bench/recovery_score.sh [BUILD_DIR] [WORK_DIR] [SCENARIO...]
# Scenarios: fat32-tree fat32-card exfat-tree exfat-card (default: all).
# exFAT cards are written through exfat-fuse on a loop device (root).
# Per scenario it prints: files deleted; rows listed by a plain search and
# with --scan-vacant; files written by restore --all (--scan-vacant),
# byte-identical ones, those with name and folder kept; bytes written
# against the deleted files' own bytes; fls -rd rows and tsk_recover's
# byte-identical files.
set -euo pipefail
BUILD=${1:-build}
WORK=${2:-$(mktemp -d /tmp/ambrelic-score.XXXXXX)}
shift $(( $# >= 2 ? 2 : $# )) || true
SCENARIOS=("$@")
[ ${#SCENARIOS[@]} -gt 0 ] || SCENARIOS=(fat32-tree fat32-card exfat-tree exfat-card)
CLI=$(readlink -f "$BUILD/ambrelic-cli")
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

# Fillers written between the tree's files and deleted again, so that
# later files fill their holes and come out fragmented.
filler() { head -c "$1" /dev/urandom; }

score() {  # score SCENARIO IMAGE ORIGINALS DELETED_LIST
  local name=$1 img=$2 orig=$3 deleted=$4 out="$WORK/$1"
  rm -rf "$out"; mkdir -p "$out"
  local plain vacant
  plain=$("$CLI" search --no-scan-vacant --quiet --format csv "$img" | tail -n +2 | wc -l)
  vacant=$("$CLI" search --scan-vacant --quiet --format csv "$img" | tail -n +2 | wc -l)
  "$CLI" restore --all --no-scan-vacant --yes --to "$out/plain" "$img" 2>"$out/plain.err" || true
  "$CLI" restore --all --scan-vacant --yes --to "$out/vacant" "$img" 2>"$out/vacant.err" || true
  local fls
  fls=$(fls -rd "$img" 2>/dev/null | wc -l || echo 0)
  tsk_recover "$img" "$out/tsk" >/dev/null 2>&1 || true
  python3 - "$name" "$orig" "$deleted" "$out" "$plain" "$vacant" "$fls" <<'PY'
import hashlib, os, sys
name, orig, deleted, out, plain, vacant, fls = sys.argv[1:]
def sha(p):
    return hashlib.sha256(open(p, "rb").read()).hexdigest()
want = {}
for line in open(deleted):
    p = line.strip()
    if p:
        want[p] = sha(os.path.join(orig, p))
own = sum(os.path.getsize(os.path.join(orig, p)) for p in want)
hashes = {h: p for p, h in want.items()}
def tally(root):
    files = same = kept = 0
    written = 0
    found = set()
    for d, _, fs in os.walk(root):
        for f in fs:
            full = os.path.join(d, f)
            files += 1
            written += os.path.getsize(full)
            h = sha(full)
            if h in hashes and h not in found:
                found.add(h)
                same += 1
                o = hashes[h]
                # Name and folder kept: the file's name and its folder's.
                if f == os.path.basename(o) and os.path.basename(d) == os.path.basename(os.path.dirname(o) or root):
                    kept += 1
    return files, same, kept, written
print(f"== {name}: {len(want)} files deleted ({own} bytes)")
print(f"   rows listed: search {plain}, --scan-vacant {vacant}; fls -rd rows {fls}")
for label in ("plain", "vacant", "tsk"):
    root = os.path.join(out, label)
    if not os.path.isdir(root):
        print(f"   {label:6}: nothing written"); continue
    files, same, kept, written = tally(root)
    print(f"   {label:6}: {files} files written, {same} byte-identical, {kept} with name and folder, "
          f"{written} bytes ({100.0 * written / own if own else 0:.1f}% of the deleted files' bytes)")
PY
}

fat32() {  # fat32 tree|card
  local kind=$1 img="$WORK/fat32-$1.img" src="$WORK/src-fat32-$1"
  rm -rf "$src" "$img"; mkdir -p "$src"
  make_tree "$src" "$kind"
  truncate -s 512M "$img"
  mkfs.fat -F 32 -s 8 "$img" >/dev/null
  local i=0 p dir
  while read -r p; do
    dir=$(dirname "$p")
    mmd -D s -i "$img" "::$dir" 2>/dev/null || true
    [ "$(dirname "$dir")" = . ] || mmd -D s -i "$img" "::$(dirname "$dir")" "::$dir" 2>/dev/null || true
    mcopy -o -i "$img" "$src/$p" "::$p"
    i=$((i + 1))
    if [ $((i % 7)) -eq 0 ]; then filler $((i * 997 % 90000 + 4000)) > "$WORK/filler"; mcopy -o -i "$img" "$WORK/filler" "::filler$i.tmp"; fi
    if [ $((i % 14)) -eq 0 ]; then mdel -i "$img" "::filler$((i - 7)).tmp"; fi
  done < "$src.list"
  if [ "$kind" = tree ]; then
    mdeltree -i "$img" "::DCIM" "::Holiday photos 2023" "::Documents"
  else
    mkfs.fat -F 32 -s 8 "$img" >/dev/null
  fi
  score "fat32-$kind" "$img" "$src" "$src.list"
}

exfat() {  # exfat tree|card
  local kind=$1 img="$WORK/exfat-$1.img" src="$WORK/src-exfat-$1" mnt="$WORK/mnt" loop
  rm -rf "$src" "$img"; mkdir -p "$src" "$mnt"
  make_tree "$src" "$kind"
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
  sync; umount "$mnt"; losetup -d "$loop"
  [ "$kind" = tree ] || mkfs.exfat -c 4K "$img" >/dev/null
  score "exfat-$kind" "$img" "$src" "$src.list"
}

for s in "${SCENARIOS[@]}"; do
  case $s in
    fat32-tree) fat32 tree ;;
    fat32-card) fat32 card ;;
    exfat-tree) exfat tree ;;
    exfat-card) exfat card ;;
    *) echo "unknown scenario $s" >&2; exit 2 ;;
  esac
done
echo "work folder: $WORK"

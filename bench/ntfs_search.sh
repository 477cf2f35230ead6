#!/usr/bin/env bash
# NTFS search benchmark.
#
# Builds (once, cached in BENCH_DIR) a 2 GiB NTFS image with mkntfs and
# ntfs-3g holding more than 20,000 deleted records (files in a tree of
# folders, some folders deleted whole, some only emptied), then times
# `ambrelic-cli search` against The Sleuth Kit's `fls -rd` and ntfs-3g's
# `ntfsundelete -s` on it (target: 3x faster than the faster of the two).
# The engine alone (ambrelic_ntfs_scan_bench: preparation and the MFT walk,
# rows counted and dropped) is timed too, to tell its share from the front
# end's. Runs are warm (the image is in the page cache for every contender).
#
#   bench/ntfs_search.sh [BUILD_DIR]      (default: build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/common.sh"
build="${1:-$root/build}"
cli="$build/ambrelic-cli"
require fls ntfsundelete mkntfs ntfs-3g python3 bc
[ -x "$cli" ] || { echo "build ambrelic-cli first (scripts/build)" >&2; exit 1; }

dir="${BENCH_DIR:-$build/bench}"
img="$dir/ntfs-2g.img"
mkdir -p "$dir"
if [ ! -e "$img" ]; then
  echo "building $img ..." >&2
  truncate -s 2G "$img.tmp"
  mkntfs -F -Q -q -c 4096 -s 512 -L bench "$img.tmp" >/dev/null 2>&1
  mnt=$(mktemp -d "$dir/.mnt.XXXXXX")
  ntfs-3g "$img.tmp" "$mnt"
  trap 'mountpoint -q "$mnt" && umount "$mnt"; rmdir "$mnt" 2>/dev/null || true' EXIT
  # 50 folders of 500 files with long names (25,000 files of 1-3 KiB, each
  # outside its record), and a few large files so that the image is mostly
  # data.
  python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(1, 51):
    folder = os.path.join(root, f"Folder number {d:02d}")
    os.mkdir(folder)
    for f in range(1, 501):
        with open(os.path.join(folder, f"Document with a long name {f:03d}.txt"), "w") as out:
            out.write((f"file {f} of folder {d}\n") * (40 + f % 100))
PY
  for b in 1 2 3 4 5; do dd if=/dev/zero of="$mnt/big$b.bin" bs=1M count=200 status=none; done
  for d in $(seq -w 1 50); do
    if [ $((10#$d % 2)) -eq 0 ]; then
      rm -rf "$mnt/Folder number $d"
    else
      rm -f "$mnt/Folder number $d"/*.txt
    fi
  done
  rm -f "$mnt/big1.bin" "$mnt/big2.bin"
  sync
  umount "$mnt"
  rmdir "$mnt"
  trap - EXIT
  mv "$img.tmp" "$img"
fi

deleted=$(fls -rd "$img" | wc -l)
undeletable=$(ntfsundelete -s "$img" 2>/dev/null | grep -c '^[0-9]' || true)
rows=$("$cli" search --quiet --format csv "$img" | tail -n +2 | wc -l)
echo "image: $img ($(du -h --apparent-size "$img" | cut -f1)), fls -rd lists $deleted, ntfsundelete -s $undeletable, ambrelic $rows rows"

cat "$img" >/dev/null  # warm the page cache for everyone
t_ours=$(best_of 3 "$cli" search --quiet --format csv "$img")
t_fls=$(best_of 3 fls -rd "$img")
t_und=$(best_of 3 ntfsundelete -s "$img")
best_peer=$t_fls
if [ "$(echo "$t_und < $t_fls" | bc -l)" = 1 ]; then best_peer=$t_und; fi
echo "search:  ambrelic ${t_ours}s   fls -rd ${t_fls}s   ntfsundelete -s ${t_und}s"
if [ -x "$build/ambrelic_ntfs_scan_bench" ]; then
  t_engine=$(best_of 3 "$build/ambrelic_ntfs_scan_bench" "$img")
  echo "engine:  MFT walk alone ${t_engine}s   faster peer/engine = $(ratio "$best_peer" "$t_engine")x"
fi
echo "         fls/ambrelic = $(ratio "$t_fls" "$t_ours")x   ntfsundelete/ambrelic = $(ratio "$t_und" "$t_ours")x   faster peer/ambrelic = $(ratio "$best_peer" "$t_ours")x (target >= 3)"

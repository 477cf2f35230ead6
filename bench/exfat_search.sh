#!/usr/bin/env bash
# exFAT search benchmark.
#
# Builds (once, cached in BENCH_DIR) a 2 GiB exFAT image (mkfs.exfat's
# clusters for that size, 32 KiB) written through exfat-fuse on a loop device
# and holding more than 20,000 deleted entries in a tree of folders, then
# times `ambrelic-cli search` against The Sleuth Kit's `fls -rd` (target: 4x
# faster), and the search with its vacant-cluster scan beside them. Runs are
# warm (the image is in the page cache for every contender). Needs root (the
# loop device and the FUSE mount) the first time.
#
#   bench/exfat_search.sh [BUILD_DIR]      (default: build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/common.sh"
build="${1:-$root/build}"
cli="$build/ambrelic-cli"
require fls mkfs.exfat mount.exfat-fuse losetup bc
[ -x "$cli" ] || { echo "build ambrelic-cli first (scripts/build)" >&2; exit 1; }

dir="${BENCH_DIR:-$build/bench}"
img="$dir/exfat-2g.img"
mkdir -p "$dir"
if [ ! -e "$img" ]; then
  echo "building $img ..." >&2
  mnt=$(mktemp -d "$dir/.exfat-mnt.XXXXXX")
  loop=""
  cleanup() {
    if mountpoint -q "$mnt"; then umount "$mnt" || umount -l "$mnt"; fi
    if [ -n "$loop" ]; then losetup -d "$loop" 2>/dev/null || true; fi
    rmdir "$mnt" 2>/dev/null || true
  }
  trap cleanup EXIT
  truncate -s 2G "$img.tmp"
  mkfs.exfat -L BENCH "$img.tmp" >/dev/null
  loop=$(losetup -f --show "$img.tmp")
  mount.exfat-fuse -o noatime "$loop" "$mnt" >/dev/null 2>&1
  # 40 folders of 600 files with long names (24,000 files) plus a few large
  # files, so that the image is mostly data.
  for d in $(seq -w 1 40); do
    mkdir "$mnt/Folder number $d"
    for f in $(seq -w 1 600); do
      printf 'file %s of folder %s\n' "$f" "$d" > "$mnt/Folder number $d/Document with a long name $f.txt"
    done
  done
  for b in 1 2 3 4 5 6; do
    head -c 150M /dev/urandom > "$mnt/big$b.bin"
  done
  # Half the folders go whole, the other half lose their files.
  for d in $(seq -w 1 40); do
    if [ $((10#$d % 2)) -eq 0 ]; then
      rm -r "$mnt/Folder number $d"
    else
      rm "$mnt/Folder number $d/"*.txt
    fi
  done
  rm "$mnt/big1.bin" "$mnt/big2.bin"
  sync
  umount "$mnt"
  losetup -d "$loop"
  loop=""
  mv "$img.tmp" "$img"
fi

deleted=$(fls -rd "$img" | wc -l)
rows=$("$cli" search --quiet --no-scan-vacant --format csv "$img" | tail -n +2 | wc -l)
echo "image: $img ($(du -h --apparent-size "$img" | cut -f1)), fls -rd lists $deleted deleted entries, ambrelic lists $rows rows"

cat "$img" >/dev/null  # warm the page cache for everyone
t_ours=$(best_of 3 "$cli" search --quiet --no-scan-vacant --format csv "$img")
t_fls=$(best_of 3 fls -rd "$img")
echo "search:  ambrelic ${t_ours}s   fls -rd ${t_fls}s   fls/ambrelic = $(ratio "$t_fls" "$t_ours")x (target >= 4)"
# fls -rd also lists the entries it finds in unallocated clusters
# ($OrphanFiles): the vacant-cluster scan is our like of it.
vacant_rows=$("$cli" search --quiet --scan-vacant --format csv "$img" | tail -n +2 | wc -l)
t_vacant=$(best_of 3 "$cli" search --quiet --scan-vacant --format csv "$img")
echo "search with the vacant-cluster scan ($vacant_rows rows): ambrelic ${t_vacant}s   fls/ambrelic = $(ratio "$t_fls" "$t_vacant")x"

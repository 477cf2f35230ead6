#!/usr/bin/env bash
# FAT32 search and cluster-scan benchmark.
#
# Builds (once, cached in BENCH_DIR) a 2 GiB FAT32 image holding more than
# 20,000 deleted entries in a tree of folders, then times:
#   - `ambrelic-cli search` against The Sleuth Kit's `fls -rd` (target: 4x faster);
#   - the scan of every cluster (`ambrelic-cli scan-all`) against a sequential
#     read of the image with `dd bs=1M` (target: at least 70% of its speed).
# Runs are warm (the image is in the page cache for every contender).
#
#   bench/fat_search.sh [BUILD_DIR]      (default: build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/common.sh"
build="${1:-$root/build}"
cli="$build/ambrelic-cli"
require fls mcopy mdeltree mkfs.fat bc dd
[ -x "$cli" ] || { echo "build ambrelic-cli first (scripts/build)" >&2; exit 1; }

dir="${BENCH_DIR:-$build/bench}"
img="$dir/fat32-2g.img"
mkdir -p "$dir"
export MTOOLS_SKIP_CHECK=1
if [ ! -e "$img" ]; then
  echo "building $img ..." >&2
  tree="$dir/tree"
  rm -rf "$tree" && mkdir -p "$tree"
  # 40 folders of 600 files with long names (24,000 files, about 1 KiB each)
  # plus a few large files so that the image is mostly data.
  for d in $(seq -w 1 40); do
    mkdir -p "$tree/Folder number $d"
    for f in $(seq -w 1 600); do
      printf 'file %s of folder %s\n' "$f" "$d" > "$tree/Folder number $d/Document with a long name $f.txt"
    done
  done
  for b in 1 2 3 4 5 6; do
    head -c 200M /dev/urandom > "$tree/big$b.bin"
  done
  truncate -s 2G "$img.tmp"
  mkfs.fat -F 32 -s 8 -i 20262026 "$img.tmp" >/dev/null
  mcopy -s -i "$img.tmp" "$tree"/* ::/
  for d in $(seq -w 1 40); do
    if [ $((10#$d % 2)) -eq 0 ]; then
      mdeltree -i "$img.tmp" "::Folder number $d"
    else
      mdel -i "$img.tmp" "::Folder number $d/*.txt"
    fi
  done
  mdel -i "$img.tmp" "::big1.bin" "::big2.bin"
  rm -rf "$tree"
  mv "$img.tmp" "$img"
fi

deleted=$(fls -rd "$img" | wc -l)
rows=$("$cli" search --quiet --no-scan-vacant --format csv "$img" | tail -n +2 | wc -l)
echo "image: $img ($(du -h --apparent-size "$img" | cut -f1)), fls -rd lists $deleted deleted entries, ambrelic lists $rows rows"

cat "$img" >/dev/null  # warm the page cache for everyone
t_ours=$(best_of 3 "$cli" search --quiet --no-scan-vacant --format csv "$img")
t_fls=$(best_of 3 fls -rd "$img")
echo "search:  ambrelic ${t_ours}s   fls -rd ${t_fls}s   fls/ambrelic = $(ratio "$t_fls" "$t_ours")x (target >= 4)"

t_scan=$(best_of 3 "$cli" scan-all --yes --quiet --name ZZZNOMATCH --format csv "$img")
t_dd=$(best_of 3 dd if="$img" of=/dev/null bs=1M)
echo "scan:    ambrelic scan-all ${t_scan}s   dd bs=1M ${t_dd}s   speed vs dd = $(ratio "$t_dd" "$t_scan") (target >= 0.70)"

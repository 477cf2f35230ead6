#!/usr/bin/env bash
# NTFS restore benchmark.
#
# Restores every deleted file of the 2 GiB NTFS benchmark image (the one
# bench/ntfs_search.sh builds; it is built first when missing) with
# `ambrelic-cli restore --all` and with The Sleuth Kit's `tsk_recover` (its
# default: unallocated files only) into fresh folders, and prints both times
# and their ratio (target: at least as fast as tsk_recover, aiming at twice as
# fast). `--all` also selects the deleted folders' rows, each of which
# restores its tree once more: ambrelic writes more files than tsk_recover.
# Runs are warm (the image is in the page cache for both); the output folders
# (under BUILD_DIR/bench) are removed outside the timed part. BENCH_DIR names
# the folder of an image built before.
#
#   bench/ntfs_restore.sh [BUILD_DIR]      (default: build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/common.sh"
build="${1:-$root/build}"
cli="$build/ambrelic-cli"
require tsk_recover bc
[ -x "$cli" ] || { echo "build ambrelic-cli first (scripts/build)" >&2; exit 1; }

dir="${BENCH_DIR:-$build/bench}"
img="$dir/ntfs-2g.img"
if [ ! -e "$img" ]; then
  BENCH_DIR="$dir" "$root/bench/ntfs_search.sh" "$build" >&2
fi
out="$build/bench/restore-out"
rm -rf "$out"
mkdir -p "$out"

# timed CMD...: wall seconds of one run.
timed() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}

runs=${RUNS:-3}
cat "$img" >/dev/null  # warm the page cache for both
best_ours="" best_tsk=""
for i in $(seq "$runs"); do
  sync
  t=$(timed "$cli" restore --quiet --all --no-scan-vacant --to "$out/ours" "$img")
  files_ours=$(find "$out/ours" -type f | wc -l)
  bytes_ours=$(du -sb --apparent-size "$out/ours" | cut -f1)
  disk_ours=$(du -s --block-size=1 "$out/ours" | cut -f1)
  rm -rf "$out/ours"
  if [ -z "$best_ours" ] || [ "$(echo "$t < $best_ours" | bc -l)" = 1 ]; then best_ours=$t; fi
  sync
  t=$(timed tsk_recover "$img" "$out/tsk")
  files_tsk=$(find "$out/tsk" -type f | wc -l)
  bytes_tsk=$(du -sb --apparent-size "$out/tsk" | cut -f1)
  disk_tsk=$(du -s --block-size=1 "$out/tsk" | cut -f1)
  rm -rf "$out/tsk"
  if [ -z "$best_tsk" ] || [ "$(echo "$t < $best_tsk" | bc -l)" = 1 ]; then best_tsk=$t; fi
done
rmdir "$out" 2>/dev/null || true

echo "image: $img ($(du -h --apparent-size "$img" | cut -f1))"
echo "ambrelic restore --all: $files_ours files, $bytes_ours bytes ($disk_ours on disk)"
echo "tsk_recover:            $files_tsk files, $bytes_tsk bytes ($disk_tsk on disk)"
printf 'restore: ambrelic %.3fs   tsk_recover %.3fs   tsk_recover/ambrelic = %sx (target >= 1, aiming at 2)\n' \
  "$best_ours" "$best_tsk" "$(ratio "$best_tsk" "$best_ours")"

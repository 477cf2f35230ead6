#!/usr/bin/env bash
# Wipe benchmark: the vacant-cluster phase of `ambrelic-cli wipe` (random
# bytes, then zeros, over every vacant cluster; the question between the
# phases answered No).
#
# NTFS: a 2 GiB image (mkntfs + ntfs-3g) with about 1.4 GiB vacant, some of
# it left by deleted files; timed against ntfs-3g's `ntfswipe --unused` (one
# pass of zeros) on a copy of the same image, and against `dd` writing zeros
# once over as many bytes as are vacant (the limit: one sequential pass).
# FAT32: a 2 GiB image (mkfs.fat + mtools) of the same shape, against dd.
# Every contender writes into a fresh sparse copy of the image, without
# fsync; the copy is made outside the timing.
#
#   bench/wipe.sh [BUILD_DIR]      (default: build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/common.sh"
build="${1:-$root/build}"
cli="$build/ambrelic-cli"
require ntfswipe ntfsinfo mkntfs ntfs-3g mkfs.fat mcopy mdel minfo bc openssl
[ -x "$cli" ] || { echo "build ambrelic-cli first (scripts/build)" >&2; exit 1; }
export MTOOLS_SKIP_CHECK=1

dir="${BENCH_DIR:-$build/bench}"
mkdir -p "$dir"
ntfs="$dir/wipe-ntfs-2g.img"
fat="$dir/wipe-fat32-2g.img"
work="$dir/wipe-work.img"
trap 'rm -f "$work"' EXIT

prand() {
  (set +o pipefail; openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 -iter 1 </dev/zero 2>/dev/null | head -c "$2")
}

if [ ! -e "$ntfs" ]; then
  echo "building $ntfs ..." >&2
  truncate -s 2G "$ntfs.tmp"
  mkntfs -F -Q -q -c 4096 -s 512 -L wipebench "$ntfs.tmp" >/dev/null 2>&1
  mnt=$(mktemp -d "$dir/.mnt.XXXXXX")
  ntfs-3g "$ntfs.tmp" "$mnt"
  for i in $(seq 1 12); do prand "n$i" $((50 * 1024 * 1024)) > "$mnt/file$i.bin"; done
  for i in $(seq 1 2000); do echo "small file $i" > "$mnt/s$i.txt"; done
  rm -f "$mnt"/file{2,4,6,8,10,12}.bin "$mnt"/s1*.txt
  umount "$mnt"; rmdir "$mnt"
  mv "$ntfs.tmp" "$ntfs"
fi
if [ ! -e "$fat" ]; then
  echo "building $fat ..." >&2
  rm -f "$fat.tmp"
  mkfs.fat -C -F 32 -n WIPEBENCH "$fat.tmp" $((2 * 1024 * 1024)) >/dev/null
  blob=$(mktemp "$dir/.blob.XXXXXX")
  for i in $(seq 1 12); do prand "f$i" $((50 * 1024 * 1024)) > "$blob"; mcopy -i "$fat.tmp" "$blob" "::file$i.bin"; done
  rm -f "$blob"
  for i in 2 4 6 8 10 12; do mdel -i "$fat.tmp" "::file$i.bin"; done
  mv "$fat.tmp" "$fat"
fi

# A fresh sparse copy, then the timed command.
fresh() { rm -f "$work"; cp --sparse=always "$1" "$work"; }
time_once() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  printf '%.3f\n' "$(echo "$t1 - $t0" | bc -l)"
}
best_fresh() {  # best_fresh N IMAGE CMD...: best of N, each on a fresh copy
  local n=$1 img=$2; shift 2
  local best="" t
  for _ in $(seq "$n"); do
    fresh "$img"
    t=$(time_once "$@")
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

runs=${RUNS:-3}

# Vacant bytes of each image.
info=$(ntfsinfo -m "$ntfs" 2>/dev/null)
cs=$(echo "$info" | grep -m1 'Cluster Size:' | grep -o '[0-9]\+' | head -1)
free=$(echo "$info" | grep -m1 'Free Clusters:' | grep -o '[0-9]\+' | head -1)
ntfs_vacant_mib=$(( cs * free / 1024 / 1024 ))
fat_info=$(minfo -i "$fat" ::)
fat_free=$(echo "$fat_info" | grep -o 'free clusters=[0-9]\+' | grep -o '[0-9]\+')
fat_cs=$(( $(echo "$fat_info" | grep -m1 'sector size:' | grep -o '[0-9]\+') * $(echo "$fat_info" | grep -m1 'cluster size:' | grep -o '[0-9]\+') ))
fat_vacant_mib=$(( fat_cs * fat_free / 1024 / 1024 ))
# Never more than the image holds, whatever the tools print.
[ "$ntfs_vacant_mib" -gt 0 ] && [ "$ntfs_vacant_mib" -le 2048 ] || { echo "vacant size unknown" >&2; exit 1; }
[ "$fat_vacant_mib" -gt 0 ] && [ "$fat_vacant_mib" -le 2048 ] || { echo "vacant size unknown" >&2; exit 1; }

echo "NTFS 2 GiB, $ntfs_vacant_mib MiB vacant ($runs runs, best)"
t_amb=$(best_fresh "$runs" "$ntfs" "$cli" wipe --yes --no-records --quiet "$work")
t_ntfswipe=$(best_fresh "$runs" "$ntfs" ntfswipe --unused -f -q "$work")
t_dd=$(best_fresh "$runs" "$ntfs" dd if=/dev/zero of="$work" bs=1M count="$ntfs_vacant_mib" conv=notrunc status=none)
echo "  ambrelic-cli wipe (phase 1): $t_amb s"
echo "  ntfswipe --unused:           $t_ntfswipe s   ratio ntfswipe/ambrelic $(ratio "$t_ntfswipe" "$t_amb")"
echo "  dd zeros, same amount:       $t_dd s   ratio ambrelic/dd $(ratio "$t_amb" "$t_dd")"

echo "FAT32 2 GiB, $fat_vacant_mib MiB vacant ($runs runs, best)"
t_amb=$(best_fresh "$runs" "$fat" "$cli" wipe --yes --no-records --quiet "$work")
t_dd=$(best_fresh "$runs" "$fat" dd if=/dev/zero of="$work" bs=1M count="$fat_vacant_mib" conv=notrunc status=none)
echo "  ambrelic-cli wipe (phase 1): $t_amb s"
echo "  dd zeros, same amount:       $t_dd s   ratio ambrelic/dd $(ratio "$t_amb" "$t_dd")"

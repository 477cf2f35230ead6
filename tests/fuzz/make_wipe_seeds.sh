#!/bin/bash
# Seeds for the wipe fuzz targets, made by the real tools and stored,
# compressed (bzip2), in tests/fuzz/seeds/<target>/ for scripts/fuzz:
# fat_wipe_fuzz/*.bz2 (a first byte naming the kind a partition type would
# claim, 0 FAT12, 1 FAT16, 2 FAT32, then the volume; the FAT12 seed claims
# FAT16, as a mis-typed partition does), ntfs_wipe_fuzz/*.bz2 and
# exfat_wipe_fuzz/*.bz2 (the volume; for exFAT also the hand-built volume of
# make_exfat_seed.py). Small, so that the fuzzer mutates them quickly. Each volume but
# the FAT32 one holds live files, a folder, deleted files and a deleted
# folder. The NTFS and exFAT seeds need root (ntfs-3g and exfat-fuse through
# FUSE; exfat-fuse over a loop device). Run by hand when
# the seeds should change; CI only reads what it stored.
#
#   tests/fuzz/make_wipe_seeds.sh
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seeds="$here/seeds"
mkdir -p "$seeds/fat_wipe_fuzz" "$seeds/ntfs_wipe_fuzz" "$seeds/exfat_wipe_fuzz"
export MTOOLS_SKIP_CHECK=1 TZ=UTC SOURCE_DATE_EPOCH=1262347200
tmp=$(mktemp -d)
MNT="$tmp/mnt"
mkdir "$MNT"
trap 'if mountpoint -q "$MNT"; then umount "$MNT" || umount -l "$MNT"; fi; rm -rf "$tmp"' EXIT

for i in 1 2 3 4; do head -c $((i * 1500)) /dev/zero | tr '\0' "$i" > "$tmp/f$i"; done
# The files of a mounted seed: live files, a folder, a deleted file and a
# deleted folder.
populate() {
  mkdir "$MNT/docs" "$MNT/old"
  cp "$tmp/f1" "$MNT/keep.bin"
  cp "$tmp/f2" "$MNT/docs/Long Name Report.txt"
  cp "$tmp/f3" "$MNT/gone.txt"
  cp "$tmp/f4" "$MNT/old/inner.bin"
  sync
  rm -rf "$MNT/gone.txt" "$MNT/old"
}
touch -d @"$SOURCE_DATE_EPOCH" "$tmp"/f?

fat() {  # CLAIMED-KIND BITS KIB
  local img="$tmp/fat$2.img"
  mkfs.fat -C -F "$2" -s 1 -n SEED -i 5EED0000 "$img" "$3" >/dev/null 2>&1
  # mtools takes a FAT32 volume of fewer than 65525 clusters for FAT16: the
  # small FAT32 seed stays empty (its folders are the fuzzer's to make).
  if [ "$2" != 32 ]; then
    mmd -i "$img" ::docs ::old
    mcopy -m -i "$img" "$tmp/f1" ::keep.bin
    mcopy -m -i "$img" "$tmp/f2" "::docs/Long Name Report.txt"
    mcopy -m -i "$img" "$tmp/f3" ::gone.txt
    mcopy -m -i "$img" "$tmp/f4" ::old/inner.bin
    mdel -i "$img" ::gone.txt
    mdeltree -i "$img" ::old
  fi
  { printf "\\x$1"; cat "$img"; } | bzip2 -9 > "$seeds/fat_wipe_fuzz/fat$2.bz2"
}
fat 01 12 160
fat 01 16 2400
fat 02 32 1024

for cluster in 512 4096; do
  img="$tmp/ntfs-$cluster.img"
  truncate -s 1100K "$img"
  mkntfs -F -Q -q -c "$cluster" -s 512 "$img" >/dev/null 2>&1
  if [ "$(id -u)" = 0 ] && ntfs-3g "$img" "$MNT" 2>/dev/null; then
    populate
    umount "$MNT"
  fi
  bzip2 -9 < "$img" > "$seeds/ntfs_wipe_fuzz/ntfs-$cluster.bz2"
done

python3 "$here/make_exfat_seed.py" "$tmp/exfat-hand.img"
bzip2 -9 < "$tmp/exfat-hand.img" > "$seeds/exfat_wipe_fuzz/exfat-hand.bz2"
img="$tmp/exfat-c512.img"
truncate -s 1M "$img"
mkfs.exfat -c 512 -b 16K -L SEED "$img" >/dev/null
if [ "$(id -u)" = 0 ] && loop=$(losetup -f --show "$img") && mount.exfat-fuse -o noatime "$loop" "$MNT" >/dev/null; then
  populate
  umount "$MNT"
  losetup -d "$loop"
fi
bzip2 -9 < "$img" > "$seeds/exfat_wipe_fuzz/exfat-c512.bz2"

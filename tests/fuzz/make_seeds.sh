#!/usr/bin/env bash
# Makes the fuzz targets' seeds with real tools (mkfs.fat, mtools, sfdisk,
# mkntfs, ntfs-3g through FUSE) and stores them, compressed, in
# tests/fuzz/seeds/<target>/ (bzip2, which packs NTFS's upcase table best).
# Each seed is an input as the targets read it (fuzz_harness.h): a
# four-byte header, then the image's sectors that hold anything but zeros
# as chunks (chunk_seed.py). Run by hand when the
# seeds should change; the suites and CI only read what it stored. NTFS
# volumes carry the time they were made, so name the targets to remake and
# leave the others' files as they are.
#
#   tests/fuzz/make_seeds.sh [TARGET...]      (default: every target)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seeds="$here/seeds"
work="$(mktemp -d)"
mnt="$work/mnt"
mkdir -p "$mnt"
trap 'mountpoint -q "$mnt" && umount "$mnt"; rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 TZ=UTC SOURCE_DATE_EPOCH=1262347200 LC_ALL=C.UTF-8

text() {  # NAME BYTES
  awk -v n="$1" -v b="$2" 'BEGIN { s = ""; i = 0; while (length(s) < b) s = s sprintf("%s line %05d\n", n, i++); printf "%s", substr(s, 1, b) }'
}

fill() {  # IMAGE (mtools target, may carry @@offset): live, deleted, nested deleted folders, long names
  local img="$1"
  text keep 1500 > "$work/keep"; text gone 2600 > "$work/gone"; text deep 300 > "$work/deep"
  : > "$work/empty"
  touch -d @"$SOURCE_DATE_EPOCH" "$work/keep" "$work/gone" "$work/deep" "$work/empty"
  mmd -i "$img" ::Live ::Old ::Old/Inner
  mcopy -m -i "$img" "$work/keep" ::KEEP.TXT
  mcopy -m -i "$img" "$work/keep" "::Live/Still here.txt"
  mcopy -m -i "$img" "$work/gone" "::A long name with many parts, deleted.txt"
  mcopy -m -i "$img" "$work/gone" ::SHORT.BIN
  mcopy -m -i "$img" "$work/deep" "::Old/first.txt"
  mcopy -m -i "$img" "$work/deep" "::Old/Inner/second.txt"
  mcopy -m -i "$img" "$work/empty" ::EMPTY.DAT
  mdel -i "$img" "::A long name with many parts, deleted.txt" ::SHORT.BIN ::EMPTY.DAT
  mdeltree -i "$img" ::Old
}

# seed TARGET NAME CONTROLS IMAGE [LETTER_BYTE [DEVICE_BYTES]]: header and
# the image's sectors that are not all zeros (chunk_seed.py); DEVICE_BYTES
# cuts the device short of the image. Images with an NTFS volume leave out
# the 0xFF sectors of its $LogFile too.
seed() {
  local target="$1" name="$2" controls="$3" img="$4" letter="${5:-0}" device="${6:-0}" ff=()
  wanted "$target" || return 0
  mkdir -p "$seeds/$target"
  case "$name" in ntfs* | mbr) ff=(--no-ff) ;; esac
  python3 "$here/chunk_seed.py" "${ff[@]}" "$img" "$controls" "$letter" "$seeds/$target/$name.bz2" "$device"
}

targets=("$@")
wanted() {  # TARGET: remade by this run
  [ ${#targets[@]} -eq 0 ] && return 0
  local t
  for t in "${targets[@]}"; do [ "$t" = "$1" ] && return 0; done
  return 1
}
for t in fat_search_fuzz ntfs_search_fuzz exfat_search_fuzz disk_search_fuzz disk_9x_search_fuzz commands_fuzz; do
  if wanted "$t"; then rm -rf "${seeds:?}/$t"; fi
done

# ---- FAT volumes -----------------------------------------------------------
mkfs.fat -C --invariant -F 12 -i 12340012 -n SEED12 "$work/fat12.img" 720 >/dev/null
fill "$work/fat12.img"
mkfs.fat -C --invariant -F 16 -s 1 -i 12340016 -n SEED16 "$work/fat16.img" 2560 >/dev/null
fill "$work/fat16.img"
mkfs.fat -C --invariant -F 32 -s 1 -i 12340032 -n SEED32 "$work/fat32.img" 34816 >/dev/null 2>&1
fill "$work/fat32.img"
mkfs.fat -C --invariant -F 12 -S 4096 -s 1 -i 12340412 "$work/fat12-4k.img" 2048 >/dev/null
fill "$work/fat12-4k.img"
# The controls (fuzz_harness.h) share the commands out: every seed searches;
# some scan, restore, or wipe too, so that one run stays short. The FAT32
# volume (34 MiB: FAT32 needs 65,525 clusters) is cut to its first MiB,
# which holds its tables and every file.
seed fat_search_fuzz fat12 0xF0 "$work/fat12.img" 19
seed fat_search_fuzz fat12-floppy 0x3E "$work/fat12.img" 19
seed fat_search_fuzz fat12-4k 0xF0 "$work/fat12-4k.img" 19
seed fat_search_fuzz fat16 0x7C "$work/fat16.img" 19
# The commands after the search: small volumes of each kind.
seed commands_fuzz fat12 0xF0 "$work/fat12.img" 19
seed commands_fuzz fat16 0x7C "$work/fat16.img" 19
seed fat_search_fuzz fat32 0xF1 "$work/fat32.img" 19 1048576
# The same volume claiming 0xFFFFFFF0 sectors, and claiming 2^30 sectors per
# table: geometry the device cannot hold.
cp "$work/fat32.img" "$work/fat32-claims.img"
printf '\xF0\xFF\xFF\xFF' | dd of="$work/fat32-claims.img" bs=1 seek=$((0x20)) conv=notrunc status=none
seed fat_search_fuzz fat32-claims 0xF1 "$work/fat32-claims.img" 19 1048576
cp "$work/fat32.img" "$work/fat32-huge-table.img"
printf '\x00\x00\x00\x40' | dd of="$work/fat32-huge-table.img" bs=1 seek=$((0x24)) conv=notrunc status=none
seed fat_search_fuzz fat32-huge-table 0x31 "$work/fat32-huge-table.img" 19 1048576

# ---- NTFS volumes --------------------------------------------------------
ntfs() {  # NAME SIZE CLUSTER
  local img="$work/$1.img"
  truncate -s "$2" "$img"
  mkntfs -F -Q -q -c "$3" -s 512 -L seed "$img" >/dev/null 2>&1
  ntfs-3g "$img" "$mnt"
  mkdir -p "$mnt/Live" "$mnt/Old/Inner"
  text keep 1500 > "$mnt/keep.txt"
  text small 200 > "$mnt/resident.txt"
  text gone 9000 > "$mnt/A long name with many parts, deleted.txt"
  text deep 5000 > "$mnt/Old/Inner/second.txt"
  text first 300 > "$mnt/Old/first.txt"
  text live 700 > "$mnt/Live/Still here.txt"
  sync
  rm -f "$mnt/A long name with many parts, deleted.txt" "$mnt/resident.txt"
  rm -rf "$mnt/Old"
  sync; umount "$mnt"
}
ntfs ntfs-c512 2M 512
ntfs ntfs-c4096 2M 4096
seed ntfs_search_fuzz ntfs-c512 0xF0 "$work/ntfs-c512.img" 19
seed ntfs_search_fuzz ntfs-c4096 0x7C "$work/ntfs-c4096.img" 19
seed commands_fuzz ntfs-c512 0xF0 "$work/ntfs-c512.img" 19

# ---- exFAT volumes -------------------------------------------------------
# Written through exfat-fuse on a loop device (it mounts block devices only).
exfat() {  # NAME SIZE CLUSTER
  local img="$work/$1.img" loop
  wanted exfat_search_fuzz || wanted commands_fuzz || return 0
  truncate -s "$2" "$img"
  # A boundary alignment below 1 MiB, so that the heap fits so small a volume.
  mkfs.exfat -c "$3" -b 16K -L SEED "$img" >/dev/null
  loop=$(losetup -f --show "$img")
  mount.exfat-fuse -o noatime "$loop" "$mnt" >/dev/null
  mkdir -p "$mnt/Live" "$mnt/Old/Inner"
  text keep 1500 > "$mnt/keep.txt"
  text gone 9000 > "$mnt/A long name with many parts, deleted.txt"
  text deep 5000 > "$mnt/Old/Inner/second.txt"
  text first 300 > "$mnt/Old/first.txt"
  text live 700 > "$mnt/Live/Still here.txt"
  : > "$mnt/empty.dat"
  sync
  rm -f "$mnt/A long name with many parts, deleted.txt" "$mnt/empty.dat"
  rm -rf "$mnt/Old"
  sync; umount "$mnt"; losetup -d "$loop"
}
exfat exfat-c512 1M 512
exfat exfat-c4096 2M 4096
seed exfat_search_fuzz exfat-c512 0xF0 "$work/exfat-c512.img" 19
seed exfat_search_fuzz exfat-c4096 0x7C "$work/exfat-c4096.img" 19
if wanted exfat_search_fuzz || wanted commands_fuzz; then
  python3 "$here/make_exfat_seed.py" "$work/exfat-hand.img"
  seed exfat_search_fuzz exfat-hand 0xF4 "$work/exfat-hand.img" 19
  seed commands_fuzz exfat-hand 0xF4 "$work/exfat-hand.img" 19
fi

# ---- Whole disks -----------------------------------------------------------
# MBR: a FAT12 volume typed 0x06 (active), a FAT12 volume typed 0x01, and
# an extended partition with an NTFS and a FAT16 logical partition.
d="$work/mbr.img"
truncate -s 8M "$d"
sfdisk -q "$d" <<'TABLE'
label: dos
label-id: 0x5eed0001
start=64, size=1984, type=6, bootable
start=2048, size=1024, type=1
start=3072, size=13312, type=5
logical: start=3136, size=4096, type=7
logical: start=7296, size=6080, type=e
TABLE
mapfile -t starts < <(sfdisk -d "$d" | sed -n 's/.*start= *\([0-9]*\).*/\1/p')
mkfs.fat --invariant -F 12 -i 5eed0101 --offset="${starts[0]}" "$d" 992 >/dev/null 2>&1
mkfs.fat --invariant -F 12 -i 5eed0102 --offset="${starts[1]}" "$d" 512 >/dev/null 2>&1
mkfs.fat --invariant -F 16 -s 1 -i 5eed0103 --offset="${starts[4]}" "$d" 3040 >/dev/null 2>&1
for s in "${starts[0]}" "${starts[1]}" "${starts[4]}"; do fill "$d@@$((s * 512))"; done
truncate -s "$((4096 * 512))" "$work/logical-ntfs.img"
mkntfs -F -Q -q -c 512 -s 512 -p "${starts[3]}" -H 255 -S 63 "$work/logical-ntfs.img" >/dev/null 2>&1
dd if="$work/logical-ntfs.img" of="$d" bs=512 seek="${starts[3]}" conv=notrunc status=none
# The disk targets search each partition without the vacant-cluster scan
# (the volume targets, and the 9x stick and floppy, fuzz that): their part
# is the walk over the tables.
seed disk_search_fuzz mbr 0xE0 "$d" 19
seed disk_9x_search_fuzz mbr 0xE0 "$d" 19

# GPT with one FAT12 partition, on a disk no larger than it needs (the
# backup table at its end).
d="$work/gpt.img"
truncate -s 1280K "$d"
sfdisk -q "$d" <<'TABLE'
label: gpt
label-id: 5EED0000-0000-4000-8000-000000000001
first-lba: 40
start=40, size=2048, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=5EED0000-0000-4000-8000-000000000002
TABLE
mkfs.fat --invariant -F 12 -i 5eed0201 --offset=40 "$d" 1024 >/dev/null 2>&1
fill "$d@@$((40 * 512))"
seed disk_search_fuzz gpt 0x60 "$d" 19
seed disk_9x_search_fuzz gpt 0x60 "$d" 19

# A FAT32 volume with no table, as a removable disk on the 9x path.
seed disk_9x_search_fuzz stick32 0xF1 "$work/fat32.img" 19 1048576
seed disk_9x_search_fuzz floppy12 0x72 "$work/fat12.img" 19

du -sh "$seeds"/*

#!/usr/bin/env bash
# Makes the bundled sample images with mkfs.fat and mtools: volumes with
# live and deleted files, deleted folders (nested) and long names. The
# images are reproducible (fixed serial numbers, dates and contents) and
# committed compressed next to this script.
#
#   samples/make_samples.sh [OUTDIR]     (default: samples/)
set -euo pipefail
out="$(cd "${1:-$(dirname "$0")}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 TZ=UTC

# A file of n bytes whose content depends on its name only: numbered text
# lines, so that every cluster differs and the images compress well.
content() {  # name bytes
  awk -v name="$1" -v n="$2" 'BEGIN { s = ""; i = 0; while (length(s) < n) { s = s sprintf("%s line %06d\n", name, i++) } printf "%s", substr(s, 1, n) }'
}

# put IMAGE PATH BYTES DATE: copies a generated file to ::PATH with a fixed date.
put() {
  local img="$1" path="$2" bytes="$3" date="$4" src="$work/src"
  content "$path" "$bytes" > "$src"
  touch -d "$date" "$src"
  mcopy -m -o -i "$img" "$src" "::$path"
}

populate() {  # IMAGE
  local img="$1"
  mmd -i "$img" ::Documents ::Documents/Archive ::Photos ::Photos/Holiday ::Music ::Temp
  put "$img" "README.TXT" 1200 "2024-03-01 09:15"
  put "$img" "NOTES.TXT" 700 "2024-03-02 10:00"
  put "$img" "Quarterly Report 2026.docx" 23000 "2026-01-15 14:30"
  put "$img" "Documents/Meeting minutes.txt" 3100 "2025-11-20 16:45"
  put "$img" "Documents/Budget forecast.xlsx" 18500 "2025-12-01 08:05"
  put "$img" "Documents/Archive/Old contract.pdf" 41000 "2021-06-30 12:00"
  put "$img" "Documents/Archive/LETTER.DOC" 5200 "2020-02-29 23:59"
  put "$img" "Photos/Holiday/Beach at sunset.jpg" 52000 "2025-08-14 19:42"
  put "$img" "Photos/Holiday/IMG_0042.JPG" 30000 "2025-08-15 07:03"
  put "$img" "Photos/Family portrait.png" 26000 "2025-12-24 18:00"
  put "$img" "Music/Track 01 - Overture.mp3" 60000 "2023-05-05 05:05"
  put "$img" "Temp/empty.log" 0 "2026-02-02 02:02"
  put "$img" "Temp/~scratch.tmp" 900 "2026-02-03 03:03"
  put "$img" "A very long file name that needs many long name entries to be stored in full.txt" 1500 "2026-03-03 13:13"
  put "$img" "Keep me.txt" 400 "2026-01-01 00:00"
  # Deletions: single files (one without a long name), a file in a folder.
  mdel -i "$img" "::README.TXT" "::Quarterly Report 2026.docx"
  mdel -i "$img" "::Documents/Budget forecast.xlsx"
  mdel -i "$img" "::A very long file name that needs many long name entries to be stored in full.txt"
  # A new file after those deletions reuses the lowest freed clusters, so
  # one deleted file is listed only with "include used clusters".
  put "$img" "New file after delete.bin" 3000 "2026-04-04 04:04"
  # Then whole folder trees: a nested one, and a folder of a live tree.
  mdeltree -i "$img" "::Photos"
  mdeltree -i "$img" "::Documents/Archive"
  mdel -i "$img" "::Temp/empty.log" "::Temp/~scratch.tmp"
}

make_volume() {  # NAME SIZE_KIB MKFS_ARGS...
  local name="$1" kib="$2"
  shift 2
  local img="$work/$name"
  rm -f "$img"
  mkfs.fat -C --invariant "$@" "$img" "$kib" >/dev/null
  populate "$img"
  gzip -9nc "$img" > "$out/$name.gz"
}

make_volume fat12.img 1440 -F 12 -i 1A2B3C4D -n "FLOPPY"
make_volume fat16.img 16384 -F 16 -s 4 -i 16161616 -n "SAMPLE16"
make_volume fat32.img 40960 -F 32 -s 1 -i 32323232 -n "SAMPLE32"

# A whole-disk image: an MBR with a FAT16 and a FAT32 partition.
disk="$work/disk.img"
truncate -s 64M "$disk"
sfdisk -q "$disk" <<'TABLE'
label: dos
label-id: 0x0a0b0c0d
start=2048, size=40960, type=6
start=43008, size=88064, type=c
TABLE
mkfs.fat --invariant -F 16 -s 4 -i 0D15C001 -n "PART1" --offset=2048 "$disk" 20480 >/dev/null
mkfs.fat --invariant -F 32 -s 1 -i 0D15C002 -n "PART2" --offset=43008 "$disk" 44032 >/dev/null
populate "$disk@@$((2048 * 512))"
populate "$disk@@$((43008 * 512))"
gzip -9nc "$disk" > "$out/disk.img.gz"
ls -l "$out"/*.gz

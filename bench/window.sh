#!/usr/bin/env bash
# The window's commands against the command line's, on the same images.
#
# Runs the real window (ambrelic_window_bench: the main window driven with
# QTest clicks and key presses, every box and the Save As dialog answered by
# pressing their buttons) under Xvfb with the openbox window manager, and
# times each command from the click until the window is idle and painted
# again; then times `ambrelic-cli` doing the same work. Target: every
# window command within 5 times the command line's time, plus half a second.
#
#   search         FAT32 2 GiB, vacant clusters not scanned
#   search-vacant  FAT32 300 MiB with 512-byte clusters (about 600,000),
#                  the vacant-cluster question answered Yes
#   scan-all       FAT32 2 GiB, "Scan de tous les groupes" for DOCUMENT
#   ntfs-search    NTFS 2 GiB
#   restore        every row of the FAT32 2 GiB search, into a new folder
#   wipe           "Supprimer Complètement" of a copy of the 300 MiB volume
#
# The 2 GiB images are those of bench/fat_search.sh and bench/ntfs_search.sh
# (built by them when missing); the 300 MiB one is built here. Runs are
# warm (images in the page cache), best of 3 (wipe: one run each, on fresh
# copies).
#
#   bench/window.sh [BUILD_DIR]      (default: build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/common.sh"
build="${1:-$root/build}"
cli="$build/ambrelic-cli"
win="$build/ambrelic_window_bench"
require Xvfb openbox mkfs.fat mcopy mdeltree bc
for b in "$cli" "$win"; do
  [ -x "$b" ] || { echo "build $b first (scripts/build)" >&2; exit 1; }
done

dir="${BENCH_DIR:-$build/bench}"
mkdir -p "$dir"
export MTOOLS_SKIP_CHECK=1
fat2g="$dir/fat32-2g.img"
ntfs2g="$dir/ntfs-2g.img"
small="$dir/fat32-300m-512.img"
[ -e "$fat2g" ] || "$root/bench/fat_search.sh" "$build"
[ -e "$ntfs2g" ] || "$root/bench/ntfs_search.sh" "$build"
if [ ! -e "$small" ]; then
  echo "building $small ..." >&2
  tree="$dir/tree-small"
  rm -rf "$tree" && mkdir -p "$tree/Docs" "$tree/Keep"
  for d in 1 2 3 4; do
    mkdir -p "$tree/Docs/Folder $d"
    for f in $(seq -w 1 500); do
      printf 'file %s of folder %s\n' "$f" "$d" > "$tree/Docs/Folder $d/Note with a long name $f.txt"
    done
  done
  head -c 120M /dev/urandom > "$tree/big.bin"
  head -c 30M /dev/urandom > "$tree/Keep/live.bin"
  truncate -s 300M "$small.tmp"
  mkfs.fat -F 32 -s 1 -S 512 -i 30030030 -n SCAN512 "$small.tmp" >/dev/null
  mcopy -s -i "$small.tmp" "$tree"/* ::/
  mdeltree -i "$small.tmp" "::Docs/Folder 2" "::Docs/Folder 4"
  mdel -i "$small.tmp" "::Docs/Folder 1/*.txt" ::big.bin
  rm -rf "$tree"
  mv "$small.tmp" "$small"
fi

# A display of our own, with a window manager on it.
work="$(mktemp -d "$dir/window.XXXXXX")"
xvfb_pid=""
wm_pid=""
cleanup() {
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
openbox >"$work/openbox.log" 2>&1 &
wm_pid=$!
sleep 1
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$work"

cat "$fat2g" "$ntfs2g" "$small" >/dev/null  # warm the page cache for everyone

# window_time COMMAND ARGS...: the window's best time of three.
window_time() { "$win" "$1" --repeat 3 "${@:2}" 2>/dev/null | awk '{print $3}'; }

failures=0
report() {  # report NAME WINDOW CLI
  local limit ok
  limit=$(echo "5 * $3 + 0.5" | bc -l)
  ok=$(echo "$2 <= $limit" | bc -l)
  [ "$ok" = 1 ] || failures=$((failures + 1))
  printf '%-14s window %7.3fs   command line %7.3fs   ratio %6.2f   limit %7.3fs  %s\n' \
    "$1" "$2" "$3" "$(echo "$2 / $3" | bc -l)" "$limit" "$([ "$ok" = 1 ] && echo ok || echo OVER)"
}

report search "$(window_time search "$fat2g")" \
  "$(best_of 3 "$cli" search --quiet --no-scan-vacant --format csv "$fat2g")"
report search-vacant "$(window_time search-vacant "$small")" \
  "$(best_of 3 "$cli" search --quiet --scan-vacant --format csv "$small")"
report scan-all "$(window_time scan-all --name DOCUMENT "$fat2g")" \
  "$(best_of 3 "$cli" scan-all --yes --quiet --name DOCUMENT --format csv "$fat2g")"
report ntfs-search "$(window_time search "$ntfs2g")" \
  "$(best_of 3 "$cli" search --quiet --format csv "$ntfs2g")"
report restore "$(window_time restore --to "$work/restored-window" "$fat2g")" \
  "$(best_of 3 sh -c "rm -rf '$work/restored-cli' && '$cli' restore --quiet --no-scan-vacant --all --to '$work/restored-cli' '$fat2g'")"
cp "$small" "$work/wipe-window.img"
cp "$small" "$work/wipe-cli.img"
report wipe "$("$win" wipe "$work/wipe-window.img" 2>/dev/null | awk '{print $3}')" \
  "$(best_of 1 "$cli" wipe --yes --records --quiet "$work/wipe-cli.img")"
[ "$failures" -eq 0 ] || echo "$failures command(s) over the limit"

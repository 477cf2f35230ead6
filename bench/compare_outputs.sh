#!/bin/bash
# Runs two builds of ambrelic-cli over the same images and compares what a
# user gets from them: every column of the search and of the deep scan
# (jsonl, with the condition), the restored files (names, sizes, SHA-256)
# of restore --all, and what the wipe says and leaves (on copies). Meant
# for refactorings that must change nothing: any difference is printed and
# the exit status is 1.
#
#   bench/compare_outputs.sh OLD_CLI NEW_CLI [IMAGE_OR_DIR...]
#
# Without images: the samples (unpacked to a temporary folder) and every
# *.img under build/fixtures (made by a test run). An OLD_CLI from another
# revision: git worktree add /tmp/old REV && cmake -S /tmp/old -B /tmp/old/build
# -G Ninja && cmake --build /tmp/old/build --target ambrelic-cli.
# WIPE_MAX_MB (default 64) bounds the images that are also wiped.
set -uo pipefail
OLD=${1:?usage: compare_outputs.sh OLD_CLI NEW_CLI [IMAGE_OR_DIR...]}
NEW=${2:?usage: compare_outputs.sh OLD_CLI NEW_CLI [IMAGE_OR_DIR...]}
shift 2
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d /tmp/ambrelic-compare.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
WIPE_MAX=$(( ${WIPE_MAX_MB:-64} << 20 ))

images=()
add() {
  if [ -d "$1" ]; then
    while IFS= read -r f; do images+=("$f"); done < <(find "$1" -maxdepth 2 -name '*.img' -type f | sort)
  elif [ -f "$1" ]; then
    images+=("$1")
  fi
}
if [ $# -eq 0 ]; then
  mkdir -p "$WORK/samples"
  for gz in "$ROOT"/samples/*.img.gz; do
    gunzip -c "$gz" >"$WORK/samples/$(basename "${gz%.gz}")"
  done
  add "$WORK/samples"
  add "$ROOT/build/fixtures"
else
  for a in "$@"; do add "$a"; done
fi

# What one build gives for one image, into a folder.
run() {
  local cli=$1 img=$2 out=$3
  mkdir -p "$out"
  "$cli" search --format jsonl --condition --include-zero "$img" >"$out/search" 2>"$out/search.err"
  echo "exit $?" >>"$out/search"
  "$cli" search --format jsonl --include-used --include-zero "$img" >"$out/used" 2>"$out/used.err"
  echo "exit $?" >>"$out/used"
  "$cli" carve --format jsonl --condition "$img" >"$out/carve" 2>"$out/carve.err"
  echo "exit $?" >>"$out/carve"
  local to="$WORK/restored"
  rm -rf "$to"  # the restore makes it; it refuses a name that exists
  "$cli" restore --all --yes --quiet --to "$to" "$img" >"$out/restore" 2>&1
  echo "exit $?" >>"$out/restore"
  if [ -d "$to" ]; then
    (cd "$to" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum) >"$out/restored"
    (cd "$to" && find . -printf '%y %s %p\n' | sort) >>"$out/restored"
  fi
  if [ "$(stat -c %s "$img")" -le "$WIPE_MAX" ]; then
    local copy="$WORK/wiped.img"
    cp "$img" "$copy"
    "$cli" wipe --yes --quiet "$copy" >"$out/wipe" 2>&1
    echo "exit $?" >>"$out/wipe"
    "$cli" search --format jsonl --include-zero "$copy" 2>&1 | sed "s#$copy#IMAGE#g" >"$out/wiped-search"
    rm -f "$copy"
  fi
  rm -rf "$to"
}

differ=0
for img in "${images[@]}"; do
  name=$(basename "$img")
  run "$OLD" "$img" "$WORK/old/$name"
  run "$NEW" "$img" "$WORK/new/$name"
  if diff -r "$WORK/old/$name" "$WORK/new/$name" >"$WORK/diff" 2>&1; then
    rows=$(grep -c '^{' "$WORK/new/$name/search" || true)
    files=$(grep -c '^[0-9a-f]\{64\} ' "$WORK/new/$name/restored" || true)
    echo "same  $name ($rows rows, $files restored files)"
  else
    differ=1
    echo "DIFF  $name"
    head -40 "$WORK/diff" | sed 's/^/      /'
  fi
done
echo "${#images[@]} images compared: $([ $differ = 0 ] && echo 'no difference' || echo 'differences above')"
exit $differ

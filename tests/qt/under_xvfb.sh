#!/usr/bin/env bash
# Runs a test program on an X server of its own (Xvfb) with the openbox
# window manager on it, as a desktop user's session would have, then takes
# both down whatever the program's end.
#
#   tests/qt/under_xvfb.sh PROGRAM [ARGS...]
set -euo pipefail
for tool in Xvfb openbox; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool (scripts/bootstrap installs it)" >&2; exit 1; }
done
work="$(mktemp -d "${TMPDIR:-/tmp}/ambrelic-xvfb.XXXXXX")"
xvfb_pid=""
wm_pid=""
cleanup() {
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm_pid=$!
# The window manager has taken the screen when it owns the WM selection
# (seconds, on a machine busy with other tests).
for _ in $(seq 300); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$work"
"$@"

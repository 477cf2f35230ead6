# Helpers shared by the benchmark scripts.

# best_of N CMD...: runs CMD N times (output discarded) and prints the best
# wall time in seconds.
best_of() {
  local n="$1"; shift
  local best=""
  for _ in $(seq "$n"); do
    local t0 t1 dt
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    dt=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$dt < $best" | bc -l)" = 1 ]; then best=$dt; fi
  done
  printf '%.3f\n' "$best"
}

ratio() { printf '%.2f\n' "$(echo "$1 / $2" | bc -l)"; }

require() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
  done
}

#!/usr/bin/env bash
# Where a build's time went, from its .ninja_log: the slowest objects and links, and the sum of
# each kind. With --report OBJECT it compiles that one object again with the compiler's own
# timing report (-ftime-report; GCC's phases, or clang's) and prints its largest entries.
#
#   bash scripts/build-profile.sh [BUILD_DIR] [COUNT]
#   bash scripts/build-profile.sh --report OBJECT [BUILD_DIR]
#
# The log keeps every run: an output built more than once counts with its last build only.
# Times are wall seconds of each step; with -j2 two steps share the machine, so the sums are CPU
# seconds only where each step had a core to itself.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = "--report" ]; then
  object=${2:?an object path as the log names it, e.g. tests/kesto/CMakeFiles/...o}
  dir=${3:-$top/build/normal}
  command=$(ninja -C "$dir" -t commands "$object" | tail -n 1)
  command=${command/ccache /}
  # The object's own command, its output sent nowhere, with the timing report on stderr.
  (cd "$dir" && eval "${command/-o $object/-o /dev/null} -ftime-report" 2>&1) |
    grep -E '^ [a-zA-Z].*:.*\(' | sort -t: -k2 -rn | awk -F'[(:]' '{print}' | head -n 25
  exit 0
fi

dir=${1:-$top/build/normal}
count=${2:-25}
log=$dir/.ninja_log
[ -r "$log" ] || { echo "no $log: build first" >&2; exit 1; }

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
# One row per output: kind, seconds, path; the last build of each output counts.
awk '
  /^#/ { next }
  { last[$4] = ($2 - $1) / 1000.0 }
  END {
    for (t in last) {
      kind = t ~ /\.o$/ ? "object" : (t ~ /(^|\/)(bin|lib)\/|\.so(\.|$)|\.a$/ ? "link" : "other")
      printf "%s\t%.1f\t%s\n", kind, last[t], t
    }
  }' "$log" | sort -t$'\t' -k2 -rn > "$rows"

awk -F'\t' '{ sum[$1] += $2; n[$1]++ }
  END { for (k in sum) printf "%-7s %5d steps %9.1f s\n", k, n[k], sum[k] }' "$rows" | sort
echo
echo "Slowest objects (s):"
awk -F'\t' -v count="$count" '$1 == "object" && shown++ < count { printf "%7.1f  %s\n", $2, $3 }' "$rows"
echo
echo "Slowest links (s):"
awk -F'\t' '$1 == "link" && shown++ < 10 { printf "%7.1f  %s\n", $2, $3 }' "$rows"

#!/usr/bin/env bash
# korvax against MAME's castool on the benchmark's own images, at 44100 Hz:
# median wall time per second of audio produced, and peak resident memory.
#
#   bench/compare_castool.sh [build_dir] [runs]
#
# build_dir (default build/release) must hold korvax and bench/korvax_bench
# (cmake --build --preset release --target korvax korvax_bench). castool
# (Debian package mame-tools) and GNU time are installed when missing.
# castool writes 16-bit samples and korvax 8-bit ones, so the comparison is
# per second of audio, read from each WAV's byte rate and data size.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
runs=${2:-7}
korvax=$build/korvax
bench=$build/bench/korvax_bench
for tool in "$korvax" "$bench"; do
  [ -x "$tool" ] || { echo "missing $tool: build korvax and korvax_bench first" >&2; exit 1; }
done

need=()
command -v castool >/dev/null || need+=(mame-tools)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

work=$(mktemp -d /tmp/korvax-compare-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$bench" -w "$work"

le32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }

# Seconds of audio in a WAV: the data chunk's size over the byte rate of the
# fmt chunk, which comes first. Chunks are walked, as a header may hold more
# than the 44 bytes korvax writes.
audio_seconds() {
  local f=$1 off=12 id size
  local byte_rate
  byte_rate=$(le32 "$f" 28)
  while :; do
    id=$(dd if="$f" bs=1 skip="$off" count=4 2>/dev/null)
    size=$(le32 "$f" $((off + 4)))
    [ "$id" = data ] && break
    off=$((off + 8 + size + size % 2))
  done
  awk -v s="$size" -v r="$byte_rate" 'BEGIN { printf "%.3f", s / r }'
}

# Median wall time in seconds of `runs` runs of a command whose last
# argument is its output file, removed before each run: a converter writes
# a new file, as when a user converts an image.
median_seconds() {
  local out=${*: -1}
  if command -v hyperfine >/dev/null; then
    hyperfine -N -w 1 -r "$runs" --prepare "rm -f $out" --export-csv "$work/t.csv" \
      -- "$*" >/dev/null 2>&1
    awk -F, 'NR == 2 { printf "%.4f", $4 }' "$work/t.csv"  # the median column
  else
    local t=() i start
    for ((i = 0; i < runs; i++)); do
      rm -f "$out"
      start=$(date +%s%N)
      "$@" >/dev/null 2>&1
      t+=($(($(date +%s%N) - start)))
    done
    printf '%s\n' "${t[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%.4f", v[int((NR + 1) / 2)] / 1e9 }'
  fi
}

peak_kib() {
  local out=${*: -1}
  rm -f "$out"
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'
}

# One program on one image: "audio_s wall_s ms_per_audio_s peak_kib".
measure() {
  local out=${*: -1} wall audio peak
  rm -f "$out"
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  audio=$(audio_seconds "$out")
  if awk -v a="$audio" 'BEGIN { exit !(a <= 0) }'; then
    echo "no audio from: $*" >&2
    exit 1
  fi
  wall=$(median_seconds "$@")
  peak=$(peak_kib "$@")
  awk -v a="$audio" -v w="$wall" -v p="$peak" 'BEGIN { printf "%s %s %.3f %s", a, w, w * 1000 / a, p }'
}

printf 'median of %d runs, 44100 Hz; ms of wall time per second of audio\n\n' "$runs"
printf '%-8s %-8s %9s %9s %11s %10s\n' format program "audio s" "wall s" "ms/audio s" "peak KiB"
compare() {
  local label=$1 castool_format=$2 image=$3
  local k c
  k=$(measure "$korvax" -i "$work/$image" -o "$work/korvax.wav")
  c=$(measure castool convert "$castool_format" "$work/$image" "$work/castool.wav")
  local row=()
  read -ra row <<<"$k"
  printf '%-8s %-8s %9s %9s %11s %10s\n' "$label" korvax "${row[@]}"
  read -ra row <<<"$c"
  printf '%-8s %-8s %9s %9s %11s %10s\n' "$label" castool "${row[@]}"
  echo "$k $c" | awk -v l="$label" '{ printf "%-8s korvax is %.1fx as fast per second of audio, with %.1f%% of the peak memory\n", l, $7 / $3, 100 * $4 / $8 }' >>"$work/summary"
}
compare TAP cbm bench.tap
compare TRS-80 trs80l2 bench.cas
echo
cat "$work/summary"

# The TAP data is held whole: a 1 MB image may need no more than its own
# size and 4 MiB besides.
size_kib=$(( $(stat -c %s "$work/memory.tap") / 1024 ))
peak=$(peak_kib "$korvax" -i "$work/memory.tap" -o "$work/memory.wav")
printf '\nkorvax on a %d KiB TAP image: peak %d KiB, limit %d KiB (image + 4 MiB)\n' \
  "$size_kib" "$peak" $((size_kib + 4096))

#!/usr/bin/env bash
# The page's CI: installs what it needs, builds the page (the "web" preset,
# Emscripten) and the command-line program (in the release preset's tree,
# which .ci/run's test step has built already), and runs the browser test,
# which compares every WAV the page offers with the command line's.
# Skips, saying so, only when the browser cannot be installed.
#   bash web/ci.sh
set -euo pipefail
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive
updated=0
# apt's and dpkg's progress go to a log, shown only when the install fails.
apt_install() {
  local log status=0
  log=$(mktemp)
  echo "web/ci.sh: installing $*"
  if [ "$updated" = 0 ]; then
    apt-get update -qq >"$log" 2>&1 || status=$?
    updated=1
  fi
  [ "$status" = 0 ] && { apt-get install -y -qq -o Dpkg::Use-Pty=0 "$@" >>"$log" 2>&1 || status=$?; }
  [ "$status" = 0 ] || cat "$log" >&2
  rm -f "$log"
  return "$status"
}

if ! command -v chromium >/dev/null; then
  if ! apt_install chromium || ! command -v chromium >/dev/null; then
    echo "web/ci.sh: browser test skipped: chromium could not be installed"
    exit 0
  fi
fi

need=()
command -v emcc >/dev/null || need+=(emscripten)
[ -d /usr/share/nodejs/acorn ] || need+=(node-acorn)  # emcc's optimiser on this Node
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)  # the release preset's configuration
command -v pkg-config >/dev/null || need+=(pkg-config)       # and the libsndfile it finds
[ -f /usr/include/sndfile.h ] || need+=(libsndfile1-dev)
if [ ${#need[@]} -gt 0 ]; then
  apt_install "${need[@]}"
fi

export NODE_PATH=/usr/share/nodejs
cmake --workflow --preset web
cmake --preset release >/dev/null
cmake --build --preset release --target korvax

(cd web && npm ci --no-audit --no-fund --loglevel=error)
size() { stat -c %s "$1"; }
total=0
for f in build/web/dist/*; do
  total=$((total + $(size "$f")))
  printf 'web/ci.sh: %-12s %8d bytes\n' "$(basename "$f")" "$(size "$f")"
done
printf 'web/ci.sh: %-12s %8d bytes\n' total "$total"

timeout 900 node web/test/browser.mjs --bin build/release/korvax --dist build/web/dist

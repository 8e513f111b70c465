#!/usr/bin/env bash
# Installs every Debian package the project uses, then configures and builds.
# Safe to run again: installs are idempotent and the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libicu-dev libcurl4-openssl-dev libssl-dev zlib1g-dev
  libopenblas-dev
  libsndfile1-dev libsoxr-dev portaudio19-dev
  libcpp-httplib-dev libpoppler-cpp-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libgtk-3-dev libayatana-appindicator3-dev libx11-dev libxtst-dev libnotify-dev
  xvfb xterm
  espeak-ng sox
  clang-16 libclang-rt-16-dev
)

# yyjson is not in Debian 12: take it from the next release, reached through the mirror this
# machine already uses, pinned low so nothing else is upgraded from there.
add_next_release_suite() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '/^deb / && $0 !~ /security/ {for (i=2;i<=NF;i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
  fi
  if [ -z "$uri" ]; then
    echo "setup: no Debian mirror found in the apt sources" >&2
    exit 1
  fi
  echo "deb $uri trixie main" | $SUDO tee /etc/apt/sources.list.d/quorvel-next.list >/dev/null
  printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' |
    $SUDO tee /etc/apt/preferences.d/quorvel-next >/dev/null
}

if ! dpkg -s libyyjson-dev >/dev/null 2>&1 || ! dpkg -s "${PACKAGES[@]}" >/dev/null 2>&1; then
  add_next_release_suite
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}"
  $SUDO apt-get install -y -qq --no-install-recommends -t trixie libyyjson-dev
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build

# The app runs until it is quit. Without a display (or with another Quorvel running) it says so in one
# line and exits 1: the setup itself has still succeeded.
if [ -x build/Sources/Quorvel/quorvel ] && [ "${QUORVEL_SETUP_NO_RUN:-}" = "" ]; then
  build/Sources/Quorvel/quorvel || true
  exit 0
fi
echo "Built. Run the tests with: scripts/test.sh"

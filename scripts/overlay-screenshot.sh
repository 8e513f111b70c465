#!/usr/bin/env bash
# Builds the app and saves a screenshot of its overlay while it records (under Xvfb, with jfk.wav as
# the microphone): scripts/overlay-screenshot.sh [out.png]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target overlay-screenshot >/dev/null
exec build/Tests/DesktopTests/overlay-screenshot "${1:-overlay.png}"

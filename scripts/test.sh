#!/usr/bin/env bash
# Builds everything and runs every test: unit, window (offscreen), end-to-end
# over an isolated pcscd with the virtual token, and the fuzz targets' corpora.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
export QT_QPA_PLATFORM=offscreen
status=0
(cd build && ctest --output-on-failure --timeout 300) || status=$?
if [ -x scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh smoke || status=1
fi
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds the program and runs its main job. With
# arguments they are passed to the program; without, it scans the home folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target keltharon-antivirus
if (($#)); then exec build/keltharon-antivirus "$@"; fi
exec build/keltharon-antivirus --scan "$HOME"

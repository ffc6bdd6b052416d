#!/usr/bin/env bash
# The main job: sets the machine up, builds, and starts the counterpart server on
# loopback with its moving test picture, for the viewer to connect to.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j2 --target tavimo-server
address=${TAVIMO_ADDRESS:-127.0.0.1}
echo "Counterpart server on $address, ports 54321 (frames) and 54322 (input), moving test picture."
echo "The viewer itself is not assembled yet: its frame path is built and tested (scripts/test.sh)."
echo "Stop with Ctrl+C."
exec build/release/server/tavimo-server --address "$address" --pattern 1280x720 --verbose

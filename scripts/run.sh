#!/usr/bin/env bash
# Installs what is missing, builds, and opens Tessaro on its embedded demo: a local
# live-event site on loopback and a sample code list in a scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tessaro event-server tessaro-http
exec bash scripts/demo.sh build

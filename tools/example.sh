#!/usr/bin/env bash
# Installs what is missing, builds volpack and packages the bundled example
# app (examples/HelloApp) into HelloApp.dmg in the repository's top folder.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target volpack
build/volpack HelloApp.dmg examples/HelloApp -v

#!/usr/bin/env bash
# Configures and builds Tessaron into build/ (or $TESSARON_BUILD_DIR).
# Extra arguments go to CMake's configure step (e.g. -DTESSARON_SANITIZE=ON).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${TESSARON_BUILD_DIR:-$ROOT/build}"

cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja "$@" >/dev/null
cmake --build "$BUILD_DIR" --parallel "$(nproc)"

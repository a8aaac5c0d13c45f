#!/usr/bin/env bash
# Set-up, build with warnings as errors, then every test through CTest.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${TESSARON_BUILD_DIR:-$ROOT/build}"

"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" -DTESSARON_WERROR=ON "$@"
export PATH="$ROOT/.deps/splat-transform/node_modules/.bin:$PATH"
cd "$BUILD_DIR"
ctest --output-on-failure --parallel "$(nproc)" --timeout 600

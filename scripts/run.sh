#!/usr/bin/env bash
# Set-up, build, then start Tessaron.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${TESSARON_BUILD_DIR:-$ROOT/build}"

"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh"
export PATH="$ROOT/.deps/splat-transform/node_modules/.bin:$PATH"
# Without a display the application says so in one line and exits non-zero.
exec "$BUILD_DIR/bin/Tessaron" "$@"

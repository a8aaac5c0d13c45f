#!/usr/bin/env bash
# Installs what Tessaron needs on Debian 12: the packages of our stack that
# are missing, and the splat-transform converter (pinned) into .deps/.
# Idempotent: a machine that has everything passes through in a second.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SPLAT_TRANSFORM_VERSION="2.7.1"

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libqt6opengl6-dev libgl-dev libgl1-mesa-dri libegl-dev xvfb xauth
  clang libclang-rt-14-dev
  libavformat-dev libavcodec-dev libswscale-dev libavfilter-dev
  libopencv-dev zlib1g-dev nlohmann-json3-dev
  colmap xdg-utils fonts-dejavu openssl
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
# Node.js may come from another repository with npm inside; only ask Debian
# for them when the commands are absent.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

PREFIX="$ROOT/.deps/splat-transform"
if [[ ! -x "$PREFIX/node_modules/.bin/splat-transform" ]] ||
   ! grep -q "\"version\": \"$SPLAT_TRANSFORM_VERSION\"" "$PREFIX/node_modules/@playcanvas/splat-transform/package.json" 2>/dev/null; then
  echo "setup: installing @playcanvas/splat-transform@$SPLAT_TRANSFORM_VERSION into .deps/"
  mkdir -p "$PREFIX"
  npm install --prefix "$PREFIX" --no-audit --no-fund --loglevel=error \
    "@playcanvas/splat-transform@$SPLAT_TRANSFORM_VERSION" >/dev/null
fi
echo "setup: all dependencies present"

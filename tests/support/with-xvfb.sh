#!/usr/bin/env bash
# Runs one command under a private Xvfb server. The server picks a free
# display itself (-displayfd), so parallel tests never race for a number
# the way `xvfb-run -a` can. Listing tests needs no display.
set -euo pipefail
for argument in "$@"; do
  if [[ "$argument" == "--gtest_list_tests" ]]; then exec "$@"; fi
done
fifo_dir="$(mktemp -d)"
trap 'rm -rf "$fifo_dir"' EXIT
mkfifo "$fifo_dir/display"
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp -noreset 3>"$fifo_dir/display" 2>/dev/null &
server=$!
read -r display <"$fifo_dir/display"
status=0
DISPLAY=":$display" "$@" || status=$?
kill "$server" 2>/dev/null || true
wait "$server" 2>/dev/null || true
exit "$status"

#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the tavrik command-line client and
# runs it on a repository (this checkout by default).
# Usage: scripts/run.sh [repository] [command...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target tavrik_cli tavrik_git_prefix >/dev/null
repo=${1:-$root}
shift || true
client="$root/build/dev/cli/tavrik"
if [ $# -gt 0 ]; then
  exec "$client" -C "$repo" "$@"
fi
for command in describe head status refs readme; do
  echo "== tavrik $command"
  "$client" -C "$repo" "$command"
done

#!/usr/bin/env bash
# Installs every Debian package that building and testing Tavrik needs.
# Idempotent and quiet when everything is already present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache git python3
  clang libclang-rt-14-dev
  libgit2-dev libpcre2-dev uuid-dev libglib2.0-dev
  nlohmann-json3-dev libcli11-dev libstb-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  lighttpd git-flow gnupg openssh-client
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

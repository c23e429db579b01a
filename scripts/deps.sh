#!/usr/bin/env bash
# Installs what building, testing and running imgnorm needs on Debian 12, and
# nothing that is already there.  Run as root (or with sudo available).
# Usage: scripts/deps.sh [--bench-opencv]
set -euo pipefail

pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libtiff-dev libjpeg-dev libcli11-dev)
if [[ "${1:-}" == "--bench-opencv" ]]; then pkgs+=(libopencv-dev); fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  echo "Installing: ${missing[*]}" >&2
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

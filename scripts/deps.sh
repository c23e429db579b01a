#!/usr/bin/env bash
# Installs what building, testing and running imgnorm needs on Debian 12, and
# nothing that is already there.  Run as root (or with sudo available).
# Usage: scripts/deps.sh [--bench-python | --fuzz | --docs]   (--bench-opencv is still accepted: OpenCV is always installed)
#   The Python package needs python3-dev, pybind11-dev and python3-numpy, its
#   tests python3-pytest; imgnorm.dask needs python3-dask and python3-distributed,
#   its default file reader and writer python3-tifffile (.tif) and python3-pil
#   (.png, .pgm); the OpenCV adapter's test needs libopencv-dev; the package's
#   tests check match_histograms against scikit-image (python3-skimage), the pixel
#   functions against scipy.ndimage (python3-scipy), and its
#   stubs with mypy (python3-mypy).
#   --bench-python is still accepted (scikit-image is always installed).
#   --fuzz adds Clang 14 and its sanitizer and libFuzzer runtimes (scripts/fuzz.sh).
#   --docs adds Sphinx, its furo theme, MyST (Markdown pages), Doxygen and Breathe
#   (scripts/docs.sh).
set -euo pipefail

pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libtiff-dev libjpeg-dev
      libdeflate-dev libcli11-dev python3-dev pybind11-dev python3-numpy python3-pytest python3-dask
      python3-distributed python3-tifffile python3-pil libopencv-dev chromium
      python3-venv python3-pip python3-setuptools python3-wheel python3-build python3-skimage python3-scipy python3-mypy)
if [[ "${1:-}" == "--fuzz" ]]; then pkgs+=(clang-14 libclang-rt-14-dev); fi
if [[ "${1:-}" == "--docs" ]]; then pkgs+=(python3-sphinx furo python3-myst-parser doxygen python3-breathe); fi

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

#!/usr/bin/env bash
# Builds the documentation site into <build>/docs/html: the user guide
# (docs/guide/, cli/README.md), the Python API from the package's docstrings
# and the C++ API from the public headers (Doxygen through Breathe).
# Builds the Python package in <build> first (configuring <build> if it has
# never been configured).  Warnings are errors and every cross-reference must
# resolve (sphinx -n -W); then every local link and anchor of the built pages
# is checked, and every relative link of README.md and cli/README.md.  Nothing
# contacts another address.
# Usage: scripts/docs.sh [BUILD_DIR]   (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build}")
bash scripts/deps.sh --docs
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3
fi
cmake --build "$build" -j"$(nproc)" --target imgnorm_python
IMGNORM_PYTHON_DIR="$build/python" IMGNORM_DOCS_WORK="$build/docs" \
  /usr/bin/python3 -m sphinx -b html -E -n -W --keep-going -q -d "$build/docs/doctrees" docs "$build/docs/html"
/usr/bin/python3 docs/_ext/check_links.py "$build/docs/html" README.md cli/README.md
echo "Documentation: $build/docs/html/index.html"

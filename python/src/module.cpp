// The extension module imgnorm._imgnorm: the normalizer and the pixel
// functions over numpy arrays.  The package's __init__.py re-exports what is
// public; the error classes, the Method flags and RunResult are plain Python
// (imgnorm/_types.py) and are looked up here when needed.  Each family of
// bindings is in a file of its own with its init function (binding.h).
#include <pybind11/pybind11.h>

#include "binding.h"

PYBIND11_MODULE(_imgnorm, m) {
  m.doc() = "The compiled part of the imgnorm package; use the names that imgnorm exports.";
  // Every signature pybind11 writes into a docstring names the types the
  // stubs (imgnorm/__init__.pyi) name: typed arguments (binding.h) where a
  // function checks its arguments itself.
  imgnormpy::init_errors(m);
  imgnormpy::init_normalizer(m);
  imgnormpy::init_pixel_functions(m);
  imgnormpy::init_blocks(m);
  imgnormpy::init_toolfile(m);
  imgnormpy::init_color(m);
}

// Declarations shared by the files of the extension module imgnorm._imgnorm:
// the normalizer object as Python holds it, the parsing of method arguments,
// and one init function per family of bindings (each file defines one).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "baseif/mxPair.h"
#include "imgnorm/mxImageNormalizer.h"

namespace imgnormpy {

namespace py = pybind11;

// The tool and a lock.  The C++ tool is used from one thread at a time, but
// train() and run() release the GIL, so Python threads could otherwise reach
// one object together: runs share the lock, everything that changes the tool
// takes it alone.  The lock is only ever waited for with the GIL released,
// so a thread holding it can always get the GIL back.
struct Normalizer {
  mxImageNormalizer tool;
  mutable std::shared_mutex lock;
  // What cleared the training last ("granularity was set"), and the methods
  // it cleared: a run asked for one of them says so.  Changed and read under
  // the lock.
  std::string clearedBy;
  std::uint32_t clearedMethods = 0;

  Normalizer() = default;
  explicit Normalizer(const mxImageNormalizer& t) : tool(t) {}

  // write(f) for a change described by what: notes when it cleared the
  // training.
  template <class F>
  void change(const std::string& what, F&& f) {
    write([&](mxImageNormalizer& t) {
      const std::uint32_t before = t.trainedMethods();
      auto note = [&] {
        if (before != 0 && t.trainedMethods() == 0) {
          clearedBy = what;
          clearedMethods = before;
        }
      };
      try {
        f(t);
      } catch (...) {
        note();  // set() clears the training before it refuses a bad range
        throw;
      }
      note();
    });
  }

  template <class F>
  auto read(F&& f) const {
    py::gil_scoped_release nogil;
    std::shared_lock<std::shared_mutex> hold(lock);
    return f(tool);
  }
  template <class F>
  auto write(F&& f) {
    py::gil_scoped_release nogil;
    std::unique_lock<std::shared_mutex> hold(lock);
    return f(tool);
  }
};

// A bad argument: raised as imgnorm.ArgumentError (a ValueError) and
// imgnorm.ArgumentTypeError (a TypeError), both imgnorm.Error too, so that
// one except clause catches everything the package refuses.
struct ArgumentError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ArgumentTypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A pair as a Python tuple.
template <class T>
std::pair<T, T> toTuple(const mxPair<T>& p) {
  return {p.x(), p.y()};
}

// imgnorm._types, where the error classes, Method and RunResult live.
py::object typesModule();
// One method: a name or an integer flag (imgnorm.Method is an int).  Out of
// range integers are passed on for the tool to refuse with its own error.
std::uint32_t oneMethod(py::handle m);
// A set of methods: one method, or an iterable of them (OR-ed).
std::uint32_t methodSet(py::handle m);
// Throws the library's NotTrained for a run of method, its message naming
// the method, the trained ones and the change that cleared the training
// (called with n's lock held).
[[noreturn]] void throwNotTrained(const Normalizer& n, std::uint32_t method);
// A set of methods as an imgnorm.Method value.
py::object methodFlags(std::uint32_t v);

// The error classes: the translator from C++ exceptions and their numbers.
void init_errors(py::module_& m);
// The Normalizer class and the method table.
void init_normalizer(py::module_& m);
// The pixel functions over numpy arrays.
void init_pixel_functions(py::module_& m);
// The block-wise steps imgnorm.dask runs.
void init_blocks(py::module_& m);
// Normalizer.save and Normalizer.load: the tool files of the command-line program.
void init_toolfile(py::module_& m);
// The ColorNormalizer class (color.cpp).
void init_color(py::module_& m);

// Tool files (toolfile.cpp): writes a tool file's bytes to path (os.PathLike
// or str) under a temporary name renamed over it, and reads a regular file's
// bytes (path set to its file-system form); both raise OSError.
void saveToolFile(py::handle path, const std::vector<std::uint8_t>& file);
std::vector<std::uint8_t> readToolFile(py::handle path, std::string& fsPath);

}  // namespace imgnormpy

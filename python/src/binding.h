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
#include <type_traits>
#include <utility>
#include <vector>

#include "baseif/mxPair.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace imgnormpy {

namespace py = pybind11;

// An argument that takes any object, as py::handle does, and is checked by
// the function itself (so that a bad one raises the package's own error, not
// pybind11's "incompatible function arguments"), but that names its type in
// the signature pybind11 writes at the head of the docstring, as the stubs
// (imgnorm/__init__.pyi) spell it.  Also a typed return value.  Tag::name is
// the type's text.
template <class Tag>
class Typed : public py::object {
public:
  static bool anyObject(PyObject*) { return true; }
  PYBIND11_OBJECT_DEFAULT(Typed, py::object, anyObject)
};

}  // namespace imgnormpy

template <class Tag>
struct pybind11::detail::handle_type_name<imgnormpy::Typed<Tag>> {
  static constexpr auto name = Tag::name;
};

namespace imgnormpy {

namespace types {
#define IMGNORMPY_TYPE(Tag, text) \
  struct Tag {                    \
    static constexpr auto name = py::detail::const_name(text); \
  }
#define IMGNORMPY_U8 "numpy.typing.NDArray[numpy.uint8]"
#define IMGNORMPY_U16 "numpy.typing.NDArray[numpy.uint16]"
#define IMGNORMPY_MASK IMGNORMPY_U8 " | numpy.typing.NDArray[numpy.bool_]"
// The method names of the library's table (test_stubs.py checks them against it).
#define IMGNORMPY_METHOD                                                                                       \
  "typing.Literal['identity', 'histogram', 'mean-stddev', 'tails', 'linear-fit', 'local-mean', 'local-median', " \
  "'local-gain', 'local-linear'] | imgnorm.Method | int"
#define IMGNORMPY_INT_PAIR "int | tuple[int, int] | typing.Sequence[int]"
#define IMGNORMPY_REAL_PAIR "float | tuple[float, float] | typing.Sequence[float]"
IMGNORMPY_TYPE(Image8, IMGNORMPY_U8);
IMGNORMPY_TYPE(OptImage8, IMGNORMPY_U8 " | None");
IMGNORMPY_TYPE(Image16, IMGNORMPY_U16);
IMGNORMPY_TYPE(Image, IMGNORMPY_U8 " | " IMGNORMPY_U16);
IMGNORMPY_TYPE(OptImage, IMGNORMPY_U8 " | " IMGNORMPY_U16 " | None");
IMGNORMPY_TYPE(Mask, IMGNORMPY_MASK);
IMGNORMPY_TYPE(OptMask, IMGNORMPY_MASK " | None");
IMGNORMPY_TYPE(AnyArray, "numpy.typing.NDArray[typing.Any]");
IMGNORMPY_TYPE(Histogram, "numpy.typing.NDArray[numpy.uint32]");
IMGNORMPY_TYPE(RunOut, IMGNORMPY_U8 " | " IMGNORMPY_U16 " | imgnorm.RunResult");
IMGNORMPY_TYPE(AnyMethod, IMGNORMPY_METHOD);
IMGNORMPY_TYPE(Methods, IMGNORMPY_METHOD " | typing.Iterable[" IMGNORMPY_METHOD "]");
IMGNORMPY_TYPE(OptMethods, IMGNORMPY_METHOD " | typing.Iterable[" IMGNORMPY_METHOD "] | None");
IMGNORMPY_TYPE(MethodFlags, "imgnorm.Method");
IMGNORMPY_TYPE(IntPair, IMGNORMPY_INT_PAIR);
IMGNORMPY_TYPE(OptIntPair, IMGNORMPY_INT_PAIR " | None");
IMGNORMPY_TYPE(RealPair, IMGNORMPY_REAL_PAIR);
IMGNORMPY_TYPE(OptRealPair, IMGNORMPY_REAL_PAIR " | None");
IMGNORMPY_TYPE(Bool, "bool");
IMGNORMPY_TYPE(OptBool, "bool | None");
IMGNORMPY_TYPE(Int, "int");
IMGNORMPY_TYPE(OptInt, "int | None");
IMGNORMPY_TYPE(Point, "tuple[int, int]");
IMGNORMPY_TYPE(OptPoint, "tuple[int, int] | None");
IMGNORMPY_TYPE(Path, "str | bytes | os.PathLike[str] | os.PathLike[bytes]");
IMGNORMPY_TYPE(ColorMode, "typing.Literal['per-channel', 'luminance']");
IMGNORMPY_TYPE(NormalizerType, "imgnorm.Normalizer");
IMGNORMPY_TYPE(MethodRows, "list[tuple[str, int, str, str, str]]");
#undef IMGNORMPY_TYPE
}  // namespace types

// The tools' parameters as Python passes them, parsed here for every class
// and function of the module.  An integer is an int or a numpy integer, not
// True or False (ints to Python, but never a grey level, count or size
// here); a number is also a float or a numpy floating-point value.  Each
// raises ArgumentTypeError naming the argument (ArgumentError for an integer
// out of range).
long long intArg(py::handle v, const char* what);
// True or False (numpy's too), not a number or None.
bool boolArg(py::handle v, const char* what);
// One integer (for both elements) or a 2-sequence of integers, each within
// 32 bits.
mxPair<std::int32_t> intPair(py::handle v, const char* what);
// One number (for both elements) or a 2-sequence of numbers.
mxPair<double> realPair(py::handle v, const char* what);
// realPair or intPair, for the pair's element type.
template <class T>
mxPair<T> pairArg(py::handle v, const char* what) {
  if constexpr (std::is_same_v<T, double>)
    return realPair(v, what);
  else
    return intPair(v, what);
}

// The tool (8-bit, or 16-bit when deep) and a lock.  Which of the two a
// Normalizer is, is fixed when it is made (by its reference's dtype or its
// bit_depth) and never changes.  The C++ tools are used from one thread at a
// time, but train() and run() release the GIL, so Python threads could
// otherwise reach one object together: runs share the lock, everything that
// changes the tool takes it alone.  The lock is only ever waited for with the
// GIL released, so a thread holding it can always get the GIL back.
struct Normalizer {
  mxImageNormalizer tool;          // used when !deep
  mxImageNormalizer16 deepTool;    // used when deep
  bool deep = false;
  mutable std::shared_mutex lock;
  // What cleared the training last ("granularity was set"), and the methods
  // it cleared: a run asked for one of them says so.  Changed and read under
  // the lock.
  std::string clearedBy;
  std::uint32_t clearedMethods = 0;

  Normalizer() = default;
  explicit Normalizer(const mxImageNormalizer& t) : tool(t) {}
  explicit Normalizer(const mxImageNormalizer16& t) : deepTool(t), deep(true) {}

  // writeAny(f) for a change described by what: notes when it cleared the
  // training.
  template <class F>
  void change(const std::string& what, F&& f) {
    writeAny([&](auto& t) {
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

  // f(the tool in use), f taking either tool and giving one type for both.
  template <class F>
  auto readAny(F&& f) const {
    py::gil_scoped_release nogil;
    std::shared_lock<std::shared_mutex> hold(lock);
    return deep ? f(deepTool) : f(tool);
  }
  template <class F>
  auto writeAny(F&& f) {
    py::gil_scoped_release nogil;
    std::unique_lock<std::shared_mutex> hold(lock);
    return deep ? f(deepTool) : f(tool);
  }
  // f(the 8-bit tool): for the helpers that take 8-bit tools only (the
  // timing helper of bench/python); a 16-bit one is refused.
  template <class F>
  auto read(F&& f) const {
    if (deep) throw mxImageNormalizerDefs::NotImplemented(L"this helper takes 8-bit tools only");
    py::gil_scoped_release nogil;
    std::shared_lock<std::shared_mutex> hold(lock);
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

// The pel type's tool.
template <class T>
using ToolOf = std::conditional_t<sizeof(T) == 1, mxImageNormalizer, mxImageNormalizer16>;

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

// The extension module imgnorm._imgnorm: the normalizer and the pixel
// functions over numpy arrays.  The package's __init__.py re-exports what is
// public; the error classes, the Method flags and RunResult are plain Python
// (imgnorm/_types.py) and are looked up here when needed.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <typeindex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrays.h"
#include "baseif/mxArchive.h"
#include "baseif/mxException.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "docstrings.h"
#include "imgnorm/mxBlockNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_Neighborhood.h"
#include "pelfunc/mf_PelArithmetic.h"
#include "pelfunc/mf_PelBufferEqual.h"
#include "pelfunc/mf_Region.h"

namespace py = pybind11;
using namespace imgnormpy;
using mxImageNormalizerDefs::Method;

namespace {

py::object typesModule() { return py::module_::import("imgnorm._types"); }

// ---- errors ----

// Python class name for each C++ error class; the classes live in
// imgnorm/_types.py under the common base imgnorm.Error.
const std::unordered_map<std::type_index, const char*>& errorClassNames() {
  namespace D = mxImageNormalizerDefs;
  static const std::unordered_map<std::type_index, const char*> names = {
      {typeid(D::BadImage), "BadImage"},
      {typeid(D::BadParams), "BadParams"},
      {typeid(D::NotTrained), "NotTrained"},
      {typeid(D::CanNotTrain), "CanNotTrain"},
      {typeid(D::CanNotRun), "CanNotRun"},
      {typeid(D::NotImplemented), "NotImplemented"},
      {typeid(mxBadPointer), "BadPointer"},
      {typeid(mxPel::BadWindow), "BadWindow"},
      {typeid(mxPel::UnboundWindow), "UnboundWindow"},
      {typeid(mxPelFunc::BadParams), "PelFuncBadParams"},
      {typeid(mxArchive::UnknownVersion), "UnknownVersion"},
      {typeid(mxArchive::Truncated), "Truncated"},
      {typeid(mxArchive::BadData), "BadData"},
      {typeid(mxArchive::IOError), "ArchiveIOError"},
  };
  return names;
}

// The C++ error numbers, given to the Python classes when the module loads.
py::dict errorNumbers() {
  namespace D = mxImageNormalizerDefs;
  py::dict d;
  d["BadImage"] = D::BadImage().errorNumber();
  d["BadParams"] = D::BadParams().errorNumber();
  d["NotTrained"] = D::NotTrained().errorNumber();
  d["CanNotTrain"] = D::CanNotTrain().errorNumber();
  d["CanNotRun"] = D::CanNotRun().errorNumber();
  d["NotImplemented"] = D::NotImplemented().errorNumber();
  d["BadPointer"] = mxBadPointer().errorNumber();
  d["BadWindow"] = mxPel::BadWindow().errorNumber();
  d["UnboundWindow"] = mxPel::UnboundWindow().errorNumber();
  d["PelFuncBadParams"] = mxPelFunc::BadParams().errorNumber();
  d["UnknownVersion"] = mxArchive::UnknownVersion().errorNumber();
  d["Truncated"] = mxArchive::Truncated().errorNumber();
  d["BadData"] = mxArchive::BadData().errorNumber();
  d["ArchiveIOError"] = mxArchive::IOError().errorNumber();
  return d;
}

void raiseMapped(const mxException& e) {
  const auto& names = errorClassNames();
  const auto it = names.find(std::type_index(typeid(e)));
  py::object cls = typesModule().attr(it == names.end() ? "Error" : it->second);
  py::object instance = cls(mfToUtf8(e.message()));
  if (it == names.end()) instance.attr("error_number") = e.errorNumber();
  PyErr_SetObject(cls.ptr(), instance.ptr());
}

// ---- methods ----

struct MethodName {
  const char* name;
  std::uint32_t flag;
};
// The command-line program's names.
constexpr MethodName kMethodNames[] = {
    {"identity", 0},   {"histogram", 1},   {"mean-stddev", 2},   {"tails", 4},
    {"linear-fit", 8}, {"local-mean", 16}, {"local-median", 32},
};

std::string knownMethods() {
  std::string s;
  for (const MethodName& m : kMethodNames) s += (s.empty() ? "" : ", ") + std::string(m.name);
  return s;
}

// One method: a name or an integer flag (imgnorm.Method is an int).  Out of
// range integers are passed on for the tool to refuse with its own error.
std::uint32_t oneMethod(py::handle m) {
  if (py::isinstance<py::str>(m)) {
    const std::string name = m.cast<std::string>();
    for (const MethodName& k : kMethodNames)
      if (name == k.name) return k.flag;
    throw py::value_error("unknown method '" + name + "' (known: " + knownMethods() + ")");
  }
  if (py::isinstance<py::int_>(m) && !py::isinstance<py::bool_>(m)) {
    const long long v = m.cast<long long>();
    if (v < 0 || v > 0xFFFFFFFFll) throw py::value_error("method flags must be >= 0, got " + std::to_string(v));
    return std::uint32_t(v);
  }
  throw py::type_error("a method is a name (" + knownMethods() + ") or an imgnorm.Method flag, got " +
                       std::string(py::str(py::type::of(m).attr("__name__"))));
}

// A set of methods: one method, or an iterable of them (OR-ed).
std::uint32_t methodSet(py::handle m) {
  if (py::isinstance<py::str>(m) || py::isinstance<py::int_>(m)) return oneMethod(m);
  if (py::isinstance<py::iterable>(m)) {
    std::uint32_t set = 0;
    for (py::handle item : m) set |= oneMethod(item);
    return set;
  }
  return oneMethod(m);
}

py::object methodFlags(std::uint32_t v) { return typesModule().attr("Method")(v); }

// ---- the normalizer ----

// The tool and a lock.  The C++ tool is used from one thread at a time, but
// train() and run() release the GIL, so Python threads could otherwise reach
// one object together: runs share the lock, everything that changes the tool
// takes it alone.  The lock is only ever waited for with the GIL released,
// so a thread holding it can always get the GIL back.
struct Normalizer {
  mxImageNormalizer tool;
  mutable std::shared_mutex lock;

  Normalizer() = default;
  explicit Normalizer(const mxImageNormalizer& t) : tool(t) {}

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

template <class T>
std::pair<T, T> toTuple(const mxPair<T>& p) {
  return {p.x(), p.y()};
}

// A pair parameter from a 2-sequence or one number (both elements).
template <class T>
mxPair<T> pairArg(py::handle v, const char* what) {
  // True and False are ints to Python, but never a size or a fraction here.
  auto refuseBool = [what](py::handle x) {
    if (py::isinstance<py::bool_>(x)) throw py::type_error(std::string(what) + " takes numbers, not True or False");
  };
  refuseBool(v);
  if (py::isinstance<py::sequence>(v) && !py::isinstance<py::str>(v))
    for (py::handle e : v) refuseBool(e);
  if (py::isinstance<py::int_>(v) || py::isinstance<py::float_>(v)) {
    const T x = v.cast<T>();
    return {x, x};
  }
  if (py::isinstance<py::sequence>(v) && !py::isinstance<py::str>(v) && py::len(v) == 2) {
    py::sequence s = py::reinterpret_borrow<py::sequence>(v);
    return {s[0].cast<T>(), s[1].cast<T>()};
  }
  throw py::type_error(std::string(what) + " must be a pair (x, y) or one number");
}

// A yes/no parameter: True or False (numpy's too), not a number or None.
bool boolArg(py::handle v, const char* what) {
  if (!py::isinstance<py::bool_>(v) && !py::isinstance(v, py::module_::import("numpy").attr("bool_")))
    throw py::type_error(std::string(what) + " takes True or False");
  return v.cast<bool>();
}

mxPair<std::int32_t> intPair(py::handle v, const char* what) {
  if (py::isinstance<py::float_>(v)) throw py::type_error(std::string(what) + " takes integers");
  if (py::isinstance<py::sequence>(v) && !py::isinstance<py::str>(v) && py::len(v) == 2)
    for (py::handle e : v)
      if (!py::isinstance<py::int_>(e)) throw py::type_error(std::string(what) + " takes integers");
  const mxPair<long long> p = pairArg<long long>(v, what);
  auto narrow = [&](long long x) {
    if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max())
      throw py::value_error(std::string(what) + " elements must fit in 32 bits");
    return std::int32_t(x);
  };
  return {narrow(p.x()), narrow(p.y())};
}

// The image handed to the tool: viewed in place (copy false) or a deep copy.
mxPelBuffer_const<unsigned char> imageArg(py::handle obj, const char* what, bool copy) {
  if (obj.is_none()) return {};
  mxPelBuffer_const<unsigned char> view = constBuffer<unsigned char>(obj, what);
  if (!copy) return view;
  mxPelBuffer<unsigned char> own = mfPelCopy(view);
  return own;
}

void checkMaskShape(const mxImageNormalizer& t) {
  const auto& r = t.referenceImage();
  const auto& m = t.maskImage();
  if (r.isBound() && m.isBound() && (r.width() != m.width() || r.height() != m.height()))
    throw py::value_error("mask shape (" + std::to_string(m.height()) + ", " + std::to_string(m.width()) +
                          ") differs from the reference shape (" + std::to_string(r.height()) + ", " +
                          std::to_string(r.width()) + ")");
}

py::bytes toBytes(const Normalizer& n) {
  std::vector<std::uint8_t> bytes = n.read([](const mxImageNormalizer& t) {
    mxArchive ar;
    ar || const_cast<mxImageNormalizer&>(t);  // storing reads the tool only
    return ar.bytes();
  });
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::unique_ptr<Normalizer> fromBytes(const py::bytes& b) {
  // Read in place: b is immutable and held by the caller while it loads.
  const std::string_view v = b;
  auto n = std::make_unique<Normalizer>();
  {
    py::gil_scoped_release nogil;
    mxArchive ar(reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
    ar || n->tool;
    if (ar.remaining() != 0) throw mxArchive::BadData(L"archive holds bytes after the normalizer");
  }
  return n;
}

// The part of a width x height image at (0, 0) that a run of t reads: the
// overlap with the reference and mask, or one pel when there is none (the run
// then makes its own checks and returns its empty result).
mxPelRect runWindow(const mxImageNormalizer& t, std::int32_t width, std::int32_t height) {
  mxPelRect r = t.referenceImage().window().intersect(mxPelRect(0, 0, width, height), false);
  if (t.maskImage().isBound()) r = r.intersect(t.maskImage().window(), false);
  return r.isNull() ? mxPelRect(0, 0, 1, 1) : r;
}

py::object runImpl(const Normalizer& n, py::handle image, py::handle method, bool raiseOnFailure, int threads) {
  const std::uint32_t m = oneMethod(method);
  const py::array img = checkedArray<unsigned char>(image, "image");
  // A layout the buffers cannot show (a transpose, a broadcast view) is
  // copied, and only the part the run reads (the identity returns it all).
  const bool whole = viewable<unsigned char>(img) || m == Method::eIdentity;
  const mxPelBuffer_const<unsigned char> view = whole ? constBuffer<unsigned char>(img, "image") : decltype(view)();
  const StridedPels<unsigned char> pels(img);
  bool ok = false;
  std::wstring message;
  mxPelBuffer<unsigned char> out = n.read([&](const mxImageNormalizer& t) {
    const mxPelBuffer_const<unsigned char> in =
        whole ? view : pels.copy(runWindow(t, std::int32_t(img.shape(1)), std::int32_t(img.shape(0))));
    return mxBlockNormalizer::runParallel(t, in, Method(m), threads, ok, message);
  });
  py::object types = typesModule();
  if (!ok) {
    py::object result = types.attr("RunResult")(py::none(), false, mfToUtf8(message));
    if (!raiseOnFailure) return result;
    py::object err = types.attr("RunFailed")(mfToUtf8(message), result);
    PyErr_SetObject(types.attr("RunFailed").ptr(), err.ptr());
    throw py::error_already_set();
  }
  py::array a = toArray<unsigned char>(out, true);
  if (!raiseOnFailure) return types.attr("RunResult")(a, true, "");
  return std::move(a);
}

// ---- pixel functions ----

template <class T>
void sameShape(const mxPelBuffer_const<T>& a, const mxPelBuffer_const<unsigned char>& b, const char* what) {
  if (a.width() != b.width() || a.height() != b.height())
    throw py::value_error(std::string(what) + " shape (" + std::to_string(b.height()) + ", " +
                          std::to_string(b.width()) + ") differs from the image shape (" + std::to_string(a.height()) +
                          ", " + std::to_string(a.width()) + ")");
}

mxPelBuffer<unsigned char> copyOf(const mxPelBuffer_const<unsigned char>& b) { return mfPelCopy(b); }

py::array result(const mxPelBuffer<unsigned char>& b) { return toArray<unsigned char>(b, true); }

mxPelBuffer_const<unsigned char> optionalMask(py::handle mask, const mxPelBuffer_const<unsigned char>& image) {
  if (mask.is_none()) return {};
  mxPelBuffer_const<unsigned char> m = constBuffer<unsigned char>(mask, "mask");
  sameShape(image, m, "mask");
  return m;
}

// The result of op(copy of a, b), b checked to have a's shape; the work runs
// without the GIL.
template <class Op>
py::array onCopy(py::handle a, py::handle b, const char* bName, Op op) {
  mxPelBuffer_const<unsigned char> x = constBuffer<unsigned char>(a, "a"), y = constBuffer<unsigned char>(b, bName);
  sameShape(x, y, bName);
  mxPelBuffer<unsigned char> d;
  {
    py::gil_scoped_release nogil;
    d = copyOf(x);
    op(d, y);
  }
  return result(d);
}

void definePixelFunctions(py::module_& m) {
  using U8 = mxPelBuffer_const<unsigned char>;
  m.def(
      "sub_clamp",
      [](py::handle a, py::handle b, int amount) {
        if (amount < 0 || amount > 255) throw py::value_error("amount must lie in 0..255");
        return onCopy(a, b, "b", [amount](mxPelBuffer<unsigned char>& d, const U8& y) {
          mf_PelSubClamp(d, y, static_cast<unsigned char>(amount));
        });
      },
      py::arg("a"), py::arg("b"), py::arg("amount") = 127, doc::subClamp);
  m.def(
      "sub_clamp_signed",
      [](py::handle a, py::handle s) {
        return onCopy(a, s, "signed", [](mxPelBuffer<unsigned char>& d, const U8& y) { mf_PelSubClampSigned(d, y); });
      },
      py::arg("a"), py::arg("signed"), doc::subClampSigned);
  m.def(
      "add_clamp",
      [](py::handle a, py::handle s) {
        return onCopy(a, s, "signed", [](mxPelBuffer<unsigned char>& d, const U8& y) { mf_PelAddClamp(d, y); });
      },
      py::arg("a"), py::arg("signed"), doc::addClamp);
  m.def(
      "masked_copy",
      [](py::handle src, py::handle mask, py::handle out, bool copyMasked) {
        U8 s = constBuffer<unsigned char>(src, "src");
        U8 k = constBuffer<unsigned char>(mask, "mask");
        sameShape(s, k, "mask");
        if (!out.is_none()) {
          mxPelBuffer<unsigned char> d = writableBuffer<unsigned char>(out, "out");
          sameShape(s, d, "out");
          py::gil_scoped_release nogil;
          mf_MaskedPelCopy(s, k, d, copyMasked);
          return py::reinterpret_borrow<py::object>(out);
        }
        mxPelBuffer<unsigned char> d(s.width(), s.height());
        {
          py::gil_scoped_release nogil;
          mf_MaskedPelCopy(s, k, d, copyMasked);
        }
        return py::object(result(d));
      },
      py::arg("src"), py::arg("mask"), py::arg("out") = py::none(), py::arg("copy_masked") = false, doc::maskedCopy);
  m.def(
      "masked_histogram",
      [](py::handle image, py::handle mask) {
        U8 s = constBuffer<unsigned char>(image, "image");
        U8 k = optionalMask(mask, s);
        std::vector<std::uint32_t> h;
        {
          py::gil_scoped_release nogil;
          mf_MaskedPelHistogram(s, k, h);
        }
        py::array_t<std::uint32_t> a(256);
        std::copy(h.begin(), h.end(), a.mutable_data());
        return a;
      },
      py::arg("image"), py::arg("mask") = py::none(), doc::maskedHistogram);
  m.def(
      "masked_threshold",
      [](py::handle image, py::handle mask, int threshold) {
        if (threshold < 0 || threshold > 255) throw py::value_error("threshold must lie in 0..255");
        U8 s = constBuffer<unsigned char>(image, "image");
        U8 k = constBuffer<unsigned char>(mask, "mask");
        sameShape(s, k, "mask");
        mxPelBuffer<unsigned char> d(s.width(), s.height());
        {
          py::gil_scoped_release nogil;
          mf_MaskedPelThreshold(s, k, static_cast<unsigned char>(threshold), d);
        }
        return result(d);
      },
      py::arg("image"), py::arg("mask"), py::arg("threshold"), doc::maskedThreshold);
  m.def(
      "threshold",
      [](py::handle image, py::object threshold) {
        U8 s = constBuffer<unsigned char>(image, "image");
        int t = -1;
        if (!threshold.is_none()) {
          t = threshold.cast<int>();
          if (t < 0 || t > 255) throw py::value_error("threshold must lie in 0..255 or be None");
        }
        mxPelBuffer<unsigned char> d;
        {
          py::gil_scoped_release nogil;
          d = t < 0 ? mf_PelThreshold(s) : mf_PelThreshold(s, static_cast<unsigned char>(t));
        }
        return result(d);
      },
      py::arg("image"), py::arg("threshold") = py::none(), doc::threshold);
  m.def(
      "map_value",
      [](py::handle image, int from, int to) {
        if (from < 0 || from > 255 || to < 0 || to > 255) throw py::value_error("grey levels must lie in 0..255");
        mxPelBuffer<unsigned char> d = copyOf(constBuffer<unsigned char>(image, "image"));
        {
          py::gil_scoped_release nogil;
          mf_PelMapValue(d, static_cast<unsigned char>(from), static_cast<unsigned char>(to));
        }
        return result(d);
      },
      py::arg("image"), py::arg("from_value"), py::arg("to_value"), doc::mapValue);
  m.def(
      "smooth_3x3_diamond",
      [](py::handle image) {
        mxPelBuffer<unsigned char> d = copyOf(constBuffer<unsigned char>(image, "image"));
        {
          py::gil_scoped_release nogil;
          mf_PelSmooth3x3Diamond(d);
        }
        return result(d);
      },
      py::arg("image"), doc::smooth);
  m.def(
      "binary_morph_3x3_diamond",
      [](py::handle image, bool dilate) {
        U8 s = constBuffer<unsigned char>(image, "image");
        mxPelBuffer<unsigned char> d;
        {
          py::gil_scoped_release nogil;
          mfBinaryMorph3x3Diamond(s, dilate, d);
        }
        return result(d);
      },
      py::arg("image"), py::arg("dilate") = true, doc::morph);
  m.def(
      "expand_border",
      [](py::handle image) {
        U8 s = constBuffer<unsigned char>(image, "image");
        mxPelBuffer<unsigned char> d;
        {
          py::gil_scoped_release nogil;
          d = mf_ExpandByDuplicatingBorderPixels(s);
        }
        return result(d);
      },
      py::arg("image"), doc::expandBorder);
  m.def(
      "find_first_pel",
      [](py::handle image, int value) -> py::object {
        if (value < 0 || value > 255) throw py::value_error("value must lie in 0..255");
        U8 s = constBuffer<unsigned char>(image, "image");
        mxPair<std::int32_t> p;
        if (!mf_FindFirstPel(s, static_cast<unsigned char>(value), p)) return py::none();
        return py::make_tuple(p.y(), p.x());
      },
      py::arg("image"), py::arg("value"), doc::findFirstPel);
  m.def(
      "flood_fill",
      [](py::handle image, std::pair<std::int64_t, std::int64_t> seed, int fill, bool inPlace) -> py::object {
        if (fill < 0 || fill > 255) throw py::value_error("fill_value must lie in 0..255");
        if (seed.first < 0 || seed.second < 0 || seed.first > std::numeric_limits<std::int32_t>::max() ||
            seed.second > std::numeric_limits<std::int32_t>::max())
          throw py::value_error("seed (row, column) must lie inside the image");
        mxPelBuffer<unsigned char> d = inPlace ? writableBuffer<unsigned char>(image, "image")
                                               : copyOf(constBuffer<unsigned char>(image, "image"));
        std::vector<long long> work;
        {
          py::gil_scoped_release nogil;
          mf_FloodFill(d, mxPair<std::int32_t>(std::int32_t(seed.second), std::int32_t(seed.first)),
                       static_cast<unsigned char>(fill), work);
        }
        if (inPlace) return py::reinterpret_borrow<py::object>(image);
        return result(d);
      },
      py::arg("image"), py::arg("seed"), py::arg("fill_value"), py::arg("in_place") = false, doc::floodFill);
  m.def(
      "masked_divide",
      [](py::handle num, py::handle den, py::handle mask, std::uint32_t scale) {
        mxPelBuffer_const<unsigned short> n = constBuffer<unsigned short>(num, "numerator");
        mxPelBuffer_const<unsigned short> d = constBuffer<unsigned short>(den, "denominator");
        if (n.width() != d.width() || n.height() != d.height())
          throw py::value_error("denominator shape differs from the numerator shape");
        U8 k;
        if (!mask.is_none()) {
          k = constBuffer<unsigned char>(mask, "mask");
          if (k.width() != n.width() || k.height() != n.height())
            throw py::value_error("mask shape differs from the numerator shape");
        }
        mxPelBuffer<unsigned char> out(n.width(), n.height());
        {
          py::gil_scoped_release nogil;
          mf_MaskedPelDivide(n, d, k, out, scale);
        }
        return result(out);
      },
      py::arg("numerator"), py::arg("denominator"), py::arg("mask") = py::none(), py::arg("scale") = 1,
      doc::maskedDivide);
  m.def(
      "buffers_equal",
      [](py::handle a, py::handle b) {
        py::array x = py::module_::import("numpy").attr("asarray")(a);
        if (py::detail::npy_api::get().PyArray_EquivTypes_(x.dtype().ptr(), py::dtype::of<std::uint32_t>().ptr()))
          return mf_PelBufferEqual(constBuffer<std::uint32_t>(a, "a"), constBuffer<std::uint32_t>(b, "b"), 0.0);
        return mf_PelBufferEqual(constBuffer<unsigned char>(a, "a"), constBuffer<unsigned char>(b, "b"), 0.0);
      },
      py::arg("a"), py::arg("b"), doc::buffersEqual);
}

// ---- block-wise steps, for imgnorm.dask ----
//
// Each takes the tool and numpy blocks with the image coordinates of their
// first pel, and runs one step of mxBlockNormalizer (the same code as its
// run()), so that a task graph over chunks gives the whole-image pels.

mxPelBuffer_const<unsigned char> blockAt(py::handle a, std::int32_t x0, std::int32_t y0, const char* what) {
  mxPelBuffer_const<unsigned char> b = constBuffer<unsigned char>(a, what);
  b.offset({x0, y0});
  return b;
}

// The chunking is imgnorm.dask's; the engine's own block size plays no part.
mxBlockNormalizer engineOf(const mxImageNormalizer& t) { return mxBlockNormalizer(t, {1 << 30, 1 << 30}); }

void defineBlockFunctions(py::module_& m) {
  m.def(
      "_block_halo",
      [](const Normalizer& n, py::handle method) {
        const std::uint32_t meth = oneMethod(method);
        return n.read([&](const mxImageNormalizer& t) { return toTuple(engineOf(t).halo(Method(meth))); });
      },
      py::arg("normalizer"), py::arg("method"));
  m.def(
      "_block_window",
      [](const Normalizer& n, py::handle method, std::int32_t width, std::int32_t height) -> py::object {
        const std::uint32_t meth = oneMethod(method);
        const mxPelRect r = n.read([&](const mxImageNormalizer& t) {
          return engineOf(t).checkRun(Method(meth), mxPelRect(0, 0, width, height));
        });
        if (r.isNull()) return py::none();
        return py::make_tuple(r.x(), r.y(), r.width(), r.height());
      },
      py::arg("normalizer"), py::arg("method"), py::arg("width"), py::arg("height"));
  m.def(
      "_block_totals",
      [](const Normalizer& n, py::handle block, std::int32_t x0, std::int32_t y0, py::handle method,
         std::array<std::int32_t, 4> window) {
        const std::uint32_t meth = oneMethod(method);
        const mxPelBuffer_const<unsigned char> b = blockAt(block, x0, y0, "block");
        const mxBlockTotals totals = n.read([&](const mxImageNormalizer& t) {
          mxBlockTotals sum;
          engineOf(t).addTotals(b, Method(meth), mxPelRect(window[0], window[1], window[2], window[3]), sum);
          return sum;
        });
        py::array_t<std::uint64_t> out(
            py::ssize_t(totals.histogram.size() + totals.pairs.size() + totals.cells.size()));
        std::uint64_t* p = out.mutable_data();
        for (const auto* v : {&totals.histogram, &totals.pairs, &totals.cells}) p = std::copy(v->begin(), v->end(), p);
        return out;
      },
      py::arg("normalizer"), py::arg("block"), py::arg("x0"), py::arg("y0"), py::arg("method"), py::arg("window"));
  m.def(
      "_block_table",
      [](const Normalizer& n, py::handle method,
         py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast> sum) -> py::object {
        const std::uint32_t meth = oneMethod(method);
        const std::uint64_t* p = sum.data();
        const std::size_t size = std::size_t(sum.size());
        mxBlockTotals totals;
        if (size < 256) throw py::value_error("totals must hold at least 256 counts");
        totals.histogram.assign(p, p + 256);
        if (size == 256 + 65536 + 33 * 33) {
          totals.pairs.assign(p + 256, p + 256 + 65536);
          totals.cells.assign(p + 256 + 65536, p + size);
        }
        std::vector<unsigned char> lut;
        std::wstring message;
        const bool ok =
            n.read([&](const mxImageNormalizer& t) { return engineOf(t).table(Method(meth), totals, lut, message); });
        if (!ok) return py::make_tuple(py::none(), mfToUtf8(message));
        py::array_t<unsigned char> table(py::ssize_t(lut.size()));
        std::copy(lut.begin(), lut.end(), table.mutable_data());
        return py::make_tuple(table, "");
      },
      py::arg("normalizer"), py::arg("method"), py::arg("totals"));
  m.def(
      "_block_map",
      [](const Normalizer& n, py::handle block, std::int32_t x0, std::int32_t y0,
         py::array_t<unsigned char, py::array::c_style | py::array::forcecast> table) {
        if (table.size() != 256) throw py::value_error("the table must have 256 entries");
        const std::vector<unsigned char> lut(table.data(), table.data() + 256);
        const mxPelBuffer_const<unsigned char> b = blockAt(block, x0, y0, "block");
        return toArray<unsigned char>(n.read([&](const mxImageNormalizer& t) { return engineOf(t).mapBlock(b, lut); }),
                                      true);
      },
      py::arg("normalizer"), py::arg("block"), py::arg("x0"), py::arg("y0"), py::arg("table"));
  m.def(
      "_block_run_local",
      [](const Normalizer& n, py::handle context, std::int32_t x0, std::int32_t y0, py::handle method,
         std::array<std::int32_t, 4> block) {
        const std::uint32_t meth = oneMethod(method);
        const mxPelBuffer_const<unsigned char> c = blockAt(context, x0, y0, "context");
        return toArray<unsigned char>(n.read([&](const mxImageNormalizer& t) {
          return engineOf(t).runBlock(c, Method(meth), mxPelRect(block[0], block[1], block[2], block[3]));
        }),
                                      true);
      },
      py::arg("normalizer"), py::arg("context"), py::arg("x0"), py::arg("y0"), py::arg("method"), py::arg("block"));
}

// A read-write property for one of the tool's pair parameters: a 2-sequence
// or one number (integers checked to fit 32 bits), read under the shared
// lock and set under the exclusive one.
template <class T>
void pairProperty(py::class_<Normalizer>& c, const char* name, mxPair<T> (mxImageNormalizer::*get)() const,
                  void (mxImageNormalizer::*set)(mxPair<T>), const char* docText) {
  c.def_property(
      name,
      [get](const Normalizer& n) { return n.read([&](const mxImageNormalizer& t) { return toTuple((t.*get)()); }); },
      [name, set](Normalizer& n, py::handle v) {
        mxPair<T> p;
        if constexpr (std::is_same_v<T, double>)
          p = pairArg<double>(v, name);
        else
          p = intPair(v, name);
        n.write([&](mxImageNormalizer& t) { (t.*set)(p); });
      },
      docText);
}

}  // namespace

void init_toolfile(py::module_& m);  // toolfile.cpp

PYBIND11_MODULE(_imgnorm, m) {
  m.doc() = "The compiled part of the imgnorm package; use the names that imgnorm exports.";
  // The docstrings carry their own Python-style signatures.
  py::options options;
  options.disable_function_signatures();

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const mxException& e) {
      raiseMapped(e);
    }
  });
  m.attr("_error_numbers") = errorNumbers();

  py::class_<Normalizer> normalizer(m, "Normalizer", doc::normalizer);
  // Shown and pickled as imgnorm.Normalizer, where users find it.
  normalizer.attr("__module__") = "imgnorm";
  normalizer.def(py::init([](py::handle reference, py::handle mask, bool copy, py::handle methods) {
                   auto n = std::make_unique<Normalizer>();
                   const auto ref = imageArg(reference, "reference", copy);
                   const auto msk = imageArg(mask, "mask", copy);
                   n->tool.referenceImage(ref, false);
                   n->tool.maskImage(msk, false);
                   if (!methods.is_none()) {
                     checkMaskShape(n->tool);
                     const std::uint32_t set = methodSet(methods);
                     n->write([&](mxImageNormalizer& t) { t.train(Method(set)); });
                   }
                   return n;
                 }),
                 py::arg("reference") = py::none(), py::arg("mask") = py::none(), py::kw_only(), py::arg("copy") = true,
                 py::arg("methods") = py::none(), doc::init);
  // The tool's pair parameters, each checked and converted the same way.
  pairProperty<std::int32_t>(normalizer, "neighborhood_size", &mxImageNormalizer::neighborhoodSize,
                             &mxImageNormalizer::neighborhoodSize, doc::neighborhoodSize);
  pairProperty<std::int32_t>(normalizer, "granularity", &mxImageNormalizer::granularity,
                             &mxImageNormalizer::granularity, doc::granularity);
  pairProperty<double>(normalizer, "tail_fractions", &mxImageNormalizer::tailFractions,
                       &mxImageNormalizer::tailFractions, doc::tailFractions);
  pairProperty<std::int32_t>(normalizer, "intensity_variation_range", &mxImageNormalizer::intensityVariationRange,
                             &mxImageNormalizer::intensityVariationRange, doc::intensityVariationRange);
  normalizer
      .def_property(
          "keep_masked_pixels",
          [](const Normalizer& n) { return n.read([](const mxImageNormalizer& t) { return t.keepMaskedPixels(); }); },
          [](Normalizer& n, py::handle v) {
            const bool keep = boolArg(v, "keep_masked_pixels");
            n.write([&](mxImageNormalizer& t) { t.keepMaskedPixels(keep); });
          },
          doc::keepMaskedPixels)
      .def_property(
          "reference",
          [](const Normalizer& n) -> py::object {
            const auto b = n.read([](const mxImageNormalizer& t) { return t.referenceImage(); });
            if (!b.isBound()) return py::none();
            return toArray<unsigned char>(b, false);
          },
          [](Normalizer& n, py::handle v) {
            const auto b = imageArg(v, "reference", true);
            n.write([&](mxImageNormalizer& t) { t.referenceImage(b, false); });
          },
          doc::reference)
      .def_property(
          "mask",
          [](const Normalizer& n) -> py::object {
            const auto b = n.read([](const mxImageNormalizer& t) { return t.maskImage(); });
            if (!b.isBound()) return py::none();
            return toArray<unsigned char>(b, false);
          },
          [](Normalizer& n, py::handle v) {
            const auto b = imageArg(v, "mask", true);
            n.write([&](mxImageNormalizer& t) { t.maskImage(b, false); });
          },
          doc::mask)
      .def(
          "set_reference",
          [](Normalizer& n, py::handle v, bool copy) {
            const auto b = imageArg(v, "reference", copy);
            n.write([&](mxImageNormalizer& t) { t.referenceImage(b, false); });
          },
          py::arg("image"), py::arg("copy") = true, doc::setReference)
      .def(
          "set_mask",
          [](Normalizer& n, py::handle v, bool copy) {
            const auto b = imageArg(v, "mask", copy);
            n.write([&](mxImageNormalizer& t) { t.maskImage(b, false); });
          },
          py::arg("image"), py::arg("copy") = true, doc::setMask)
      .def(
          "set",
          [](Normalizer& n, py::handle tails, py::handle range, py::handle keepArg) {
            const auto tf = pairArg<double>(tails, "tail_fractions");
            const auto r = intPair(range, "intensity_variation_range");
            const bool keep = boolArg(keepArg, "keep_masked_pixels");
            n.write([&](mxImageNormalizer& t) { t.set(tf, r, keep); });
          },
          py::arg("tail_fractions"), py::arg("intensity_variation_range"), py::arg("keep_masked_pixels"), doc::set)
      .def(
          "train",
          [](Normalizer& n, py::handle methods) {
            const std::uint32_t set = methodSet(methods);
            n.write([&](mxImageNormalizer& t) {
              checkMaskShape(t);
              t.train(Method(set));
            });
          },
          py::arg("methods"), doc::train)
      .def_property_readonly(
          "trained_methods",
          [](const Normalizer& n) {
            return methodFlags(n.read([](const mxImageNormalizer& t) { return std::uint32_t(t.trainedMethods()); }));
          },
          doc::trainedMethods)
      .def(
          "untrain", [](Normalizer& n) { n.write([](mxImageNormalizer& t) { t.untrain(); }); }, doc::untrain)
      .def("run", &runImpl, py::arg("image"), py::arg("method"), py::kw_only(), py::arg("raise_on_failure") = true,
           py::arg("threads") = 1, doc::run)
      .def("to_bytes", &toBytes, doc::toBytes)
      .def_static("from_bytes", &fromBytes, py::arg("data"), doc::fromBytes)
      .def(
          "copy",
          [](const Normalizer& n) {
            return std::make_unique<Normalizer>(n.read([](const mxImageNormalizer& t) { return t; }));
          },
          doc::copy)
      .def("__copy__",
           [](const Normalizer& n) {
             return std::make_unique<Normalizer>(n.read([](const mxImageNormalizer& t) { return t; }));
           })
      .def(
          "__deepcopy__", [](const Normalizer& n, py::handle) { return fromBytes(toBytes(n)); }, py::arg("memo"))
      .def(
          "__eq__",
          [](const Normalizer& a, py::handle other) -> py::object {
            if (!py::isinstance<Normalizer>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            const Normalizer& b = other.cast<const Normalizer&>();
            if (&a == &b) return py::bool_(true);
            const mxImageNormalizer copyOfB = b.read([](const mxImageNormalizer& t) { return t; });
            return py::bool_(a.read([&](const mxImageNormalizer& t) { return t == copyOfB; }));
          },
          py::is_operator())
      .def("__hash__", [](const Normalizer&) -> py::object { throw py::type_error("unhashable type: 'Normalizer'"); })
      .def(py::pickle([](const Normalizer& n) { return py::make_tuple(toBytes(n)); },
                      [](py::tuple state) {
                        if (state.size() != 1 || !py::isinstance<py::bytes>(state[0]))
                          throw py::value_error("a pickled Normalizer holds one bytes object");
                        return fromBytes(state[0].cast<py::bytes>());
                      }))
      .def("__repr__", [](const Normalizer& n) {
        const mxImageNormalizer t = n.read([](const mxImageNormalizer& x) { return x; });
        auto shape = [](const mx_PelBuffer& b) {
          return b.isBound() ? "(" + std::to_string(b.height()) + ", " + std::to_string(b.width()) + ")"
                             : std::string("None");
        };
        auto pr = [](auto p) { return "(" + std::to_string(p.x()) + ", " + std::to_string(p.y()) + ")"; };
        return "<imgnorm.Normalizer trained_methods=" +
               std::string(py::repr(methodFlags(std::uint32_t(t.trainedMethods())))) +
               " reference=" + shape(t.referenceImage()) + " mask=" + shape(t.maskImage()) +
               " neighborhood_size=" + pr(t.neighborhoodSize()) + " granularity=" + pr(t.granularity()) +
               " tail_fractions=" +
               std::string(py::repr(py::make_tuple(t.tailFractions().x(), t.tailFractions().y()))) +
               " intensity_variation_range=" + pr(t.intensityVariationRange()) +
               " keep_masked_pixels=" + (t.keepMaskedPixels() ? "True" : "False") + ">";
      });

  definePixelFunctions(m);
  defineBlockFunctions(m);
  init_toolfile(m);

  // For the speed comparison (bench/python): the same run timed in a C++
  // loop, on the array's own memory (copy false) or on a copy in a store of
  // the library's own (rows on 32-byte boundaries, as a C++ caller's
  // buffers usually are).  Fastest of `repeat` runs, in seconds.
  m.def(
      "_time_cxx_run",
      [](const Normalizer& n, py::handle image, py::handle method, int repeat, bool copy) {
        const std::uint32_t meth = oneMethod(method);
        const mxPelBuffer_const<unsigned char> view = constBuffer<unsigned char>(image, "image");
        const mxPelBuffer_const<unsigned char> in = copy ? mxPelBuffer_const<unsigned char>(mfPelCopy(view)) : view;
        return n.read([&](const mxImageNormalizer& t) {
          double best = 1e300;
          bool ok = false;
          std::wstring message;
          mxPelBuffer<unsigned char> out;
          for (int i = 0; i < repeat; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            out = t.run(in, Method(meth), ok, message);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
          }
          return best;
        });
      },
      py::arg("normalizer"), py::arg("image"), py::arg("method"), py::arg("repeat"), py::arg("copy"));
}

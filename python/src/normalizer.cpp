// The Normalizer class of imgnorm._imgnorm and the method table: the tool
// over numpy arrays, its parameters as properties, pickling and copying, and
// the parsing of method arguments (names from the library's table, or flags).
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrays.h"
#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "binding.h"
#include "docstrings.h"
#include "imgnorm/methods.h"
#include "imgnorm/mxBlockNormalizer.h"

namespace imgnormpy {

using mxImageNormalizerDefs::Method;

namespace {

std::string knownMethods() {
  std::string s;
  for (const auto& m : mxImageNormalizerDefs::kMethods) s += (s.empty() ? "" : ", ") + std::string(m.name);
  return s;
}

// The library's method table as rows of plain values, from which the
// package's Method flags, name lists and kinds are made.
py::list methodRows() {
  using mxImageNormalizerDefs::MethodKind;
  py::list rows;
  for (const auto& m : mxImageNormalizerDefs::kMethods) {
    const char* kind = m.kind == MethodKind::eLocal ? "local" : m.kind == MethodKind::eGlobal ? "global" : "copy";
    rows.append(py::make_tuple(m.name, std::uint32_t(m.method), kind, m.summary, mfToUtf8(m.enumerator)));
  }
  return rows;
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

std::uint32_t oneMethod(py::handle m) {
  if (py::isinstance<py::str>(m)) {
    const std::string name = m.cast<std::string>();
    if (const auto* info = mxImageNormalizerDefs::methodByName(name)) return info->method;
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

void init_normalizer(py::module_& m) {
  m.def("methods", &methodRows,
        "methods()\n\nThe normalization methods as rows (name, flag, kind, summary, C++ enumerator), kind being\n"
        "'copy', 'global' or 'local'; imgnorm.Method and imgnorm.METHOD_NAMES are made from them.");

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

}  // namespace imgnormpy

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
#include "imgnorm/globalMapping.h"
#include "imgnorm/methods.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "pelfunc/mf_MaskedPel.h"

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
    if (py::isinstance<py::bool_>(x)) throw ArgumentTypeError(std::string(what) + " takes numbers, not True or False");
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
  throw ArgumentTypeError(std::string(what) + " must be a pair (x, y) or one number");
}

// A yes/no parameter: True or False (numpy's too), not a number or None.
bool boolArg(py::handle v, const char* what) {
  if (!py::isinstance<py::bool_>(v) && !py::isinstance(v, py::module_::import("numpy").attr("bool_")))
    throw ArgumentTypeError(std::string(what) + " takes True or False");
  return v.cast<bool>();
}

mxPair<std::int32_t> intPair(py::handle v, const char* what) {
  if (py::isinstance<py::float_>(v)) throw ArgumentTypeError(std::string(what) + " takes integers");
  if (py::isinstance<py::sequence>(v) && !py::isinstance<py::str>(v) && py::len(v) == 2)
    for (py::handle e : v)
      if (!py::isinstance<py::int_>(e)) throw ArgumentTypeError(std::string(what) + " takes integers");
  const mxPair<long long> p = pairArg<long long>(v, what);
  auto narrow = [&](long long x) {
    if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max())
      throw ArgumentError(std::string(what) + " elements must fit in 32 bits");
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
    throw ArgumentError("mask shape (" + std::to_string(m.height()) + ", " + std::to_string(m.width()) +
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

// The methods of a set by name ("histogram, local-mean"; "none").
std::string methodNames(std::uint32_t set) {
  std::string s;
  for (const auto& m : mxImageNormalizerDefs::kMethods)
    if (m.method & set) s += (s.empty() ? "" : ", ") + std::string(m.name);
  return s.empty() ? "none" : s;
}

std::string nameOf(std::uint32_t method) {
  for (const auto& m : mxImageNormalizerDefs::kMethods)
    if (m.method == method) return m.name;
  return std::to_string(method);
}

std::string sizeText(std::int64_t w, std::int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

// Pels the mask selects in rect (all of rect without a mask).
std::uint64_t selectedPels(const mxPelBuffer_const<unsigned char>& mask, const mxPelRect& rect) {
  if (!mask.isBound()) return std::uint64_t(rect.width()) * std::uint64_t(rect.height());
  const mxPelRect r = rect.intersect(mask.window(), false);
  std::uint64_t n = 0;
  for (std::int32_t y = r.y(); y < r.y() + r.height(); ++y) {
    const unsigned char* p = mask.row(y - mask.window().y()) + (r.x() - mask.window().x());
    for (std::int32_t x = 0; x < r.width(); ++x) n += p[x] != 0;
  }
  return n;
}

// The warnings of a run (imgnorm.ImgnormWarning): the result is made, but
// probably not what was meant.  Worked out without the GIL.
std::vector<std::string> runWarnings(const mxImageNormalizer& t, std::uint32_t method, std::int32_t width,
                                     std::int32_t height, const mxPelRect& covered) {
  using namespace mxImageNormalizerDefs;
  std::vector<std::string> w;
  if (method == eIdentity || covered.isNull()) return w;
  const auto& ref = t.referenceImage();
  const auto& mask = t.maskImage();
  if (covered.width() < width || covered.height() < height)
    w.push_back("the result (" + sizeText(covered.width(), covered.height()) + ") covers only part of the image (" +
                sizeText(width, height) + "): every method normalizes only the part that overlaps the reference (" +
                sizeText(ref.width(), ref.height()) + (mask.isBound() ? ") and its mask" : ")"));
  const auto nbh = t.neighborhoodSize();
  if ((method & methodMask(MethodKind::eLocal)) &&
      std::max(nbh.x(), nbh.y()) >= std::min(covered.width(), covered.height()))
    w.push_back("the neighbourhood (" + sizeText(nbh.x(), nbh.y()) + ") is as large as the image (" +
                sizeText(covered.width(), covered.height()) +
                "), so the local method removes little more than one overall offset; choose a smaller "
                "neighborhood_size");
  if (method == eMatchHistogramTails && t.tailFractions().x() <= 0.0 && t.tailFractions().y() >= 1.0)
    w.push_back(
        "tails with fractions (0, 1) match the darkest and brightest pels: a min/max stretch that noise "
        "and defects throw off; tail_fractions=(0.01, 0.99) is more robust");
  if (method == eMatchHistogram && !t.relativeCounts()) {
    const std::uint64_t run = selectedPels(mask, covered);
    std::uint64_t trained = 0;
    for (std::uint32_t c : t.referenceHistogram()) trained += c;
    const double ratio = trained ? double(run) / double(trained) : 1.0;
    if (std::fabs(ratio - 1.0) > 0.01) {
      char r[32];
      std::snprintf(r, sizeof r, "%.3g", ratio);
      w.push_back("histogram matching compares absolute pel counts, and the image's region holds " +
                  std::to_string(run) + " pels against the reference region's " + std::to_string(trained) + " (ratio " +
                  r + "), so the result " + (ratio < 1 ? "leans dark" : "saturates") +
                  "; use imgnorm.match_histograms or relative_counts=True to compare fractions");
    }
  }
  return w;
}

// Issues the warnings; a warning filter that makes them errors raises.
void warn(const std::vector<std::string>& warnings) {
  if (warnings.empty()) return;
  py::object cls = typesModule().attr("ImgnormWarning");
  for (const std::string& text : warnings)
    if (PyErr_WarnEx(cls.ptr(), text.c_str(), 1) != 0) throw py::error_already_set();
}

py::object runImpl(const Normalizer& n, py::handle image, py::handle method, bool raiseOnFailure) {
  const std::uint32_t m = oneMethod(method);
  const py::array img = checkedArray<unsigned char>(image, "image");
  // A layout the buffers cannot show (a transpose, a broadcast view) is
  // copied, and only the part the run reads (the identity returns it all).
  const bool whole = viewable<unsigned char>(img) || m == Method::eIdentity;
  const mxPelBuffer_const<unsigned char> view = whole ? constBuffer<unsigned char>(img, "image") : decltype(view)();
  const StridedPels<unsigned char> pels(img);
  const auto width = std::int32_t(img.shape(1)), height = std::int32_t(img.shape(0));
  bool ok = false;
  std::wstring message;
  std::vector<std::string> warnings;
  mxPelBuffer<unsigned char> out = n.read([&](const mxImageNormalizer& t) {
    const mxPelBuffer_const<unsigned char> in = whole ? view : pels.copy(runWindow(t, width, height));
    try {
      mxPelBuffer<unsigned char> r = t.run(in, Method(m), ok, message);
      warnings = runWarnings(t, m, width, height, r.isBound() ? r.window() : mxPelRect());
      return r;
    } catch (const mxImageNormalizerDefs::NotTrained&) {
      throwNotTrained(n, m);
    }
  });
  py::object types = typesModule();
  if (!ok) {
    py::object result = types.attr("RunResult")(py::none(), false, mfToUtf8(message));
    if (!raiseOnFailure) return result;
    py::object err = types.attr("RunFailed")(mfToUtf8(message), result);
    PyErr_SetObject(types.attr("RunFailed").ptr(), err.ptr());
    throw py::error_already_set();
  }
  warn(warnings);
  py::array a = packedResult(out);
  if (!raiseOnFailure) return types.attr("RunResult")(a, true, "");
  return std::move(a);
}

// Histogram matching of a whole image to a whole reference, compared as
// fractions of their pel counts (imgnorm.match_histograms).  The mask has
// the reference's shape and selects the reference pels whose histogram is
// followed; when the image has that shape too it also selects the image
// pels counted.  Every pel of the image is mapped.
py::array matchHistograms(py::handle image, py::handle reference, py::handle mask) {
  const mxPelBuffer_const<unsigned char> img = constBuffer<unsigned char>(image, "image");
  const mxPelBuffer_const<unsigned char> ref = constBuffer<unsigned char>(reference, "reference");
  mxPelBuffer_const<unsigned char> msk;
  if (!mask.is_none()) {
    msk = constBuffer<unsigned char>(mask, "mask");
    if (msk.width() != ref.width() || msk.height() != ref.height())
      throw ArgumentError("mask shape (" + std::to_string(msk.height()) + ", " + std::to_string(msk.width()) +
                          ") differs from the reference shape (" + std::to_string(ref.height()) + ", " +
                          std::to_string(ref.width()) + ")");
  }
  const bool maskImage = msk.isBound() && img.width() == ref.width() && img.height() == ref.height();
  bool ok = false;
  std::wstring message;
  mxPelBuffer<unsigned char> out;
  {
    py::gil_scoped_release nogil;
    std::vector<std::uint32_t> refHist, imgHist;
    mf_MaskedPelHistogram(ref, msk, refHist);
    mf_MaskedPelHistogram(img, maskImage ? msk : mxPelBuffer_const<unsigned char>(), imgHist);
    std::vector<unsigned char> lut;
    ok = histogramMethodLut(mxImageNormalizerDefs::eMatchHistogram, refHist, mxHistoStats(refHist, false),
                            mxPair<double>(0.0, 1.0), imgHist, mxHistoStats(imgHist, false), lut, message, true);
    if (ok) out = mfPelMap(img, lut);
  }
  if (!ok) {
    py::object types = typesModule();
    py::object result = types.attr("RunResult")(py::none(), false, mfToUtf8(message));
    py::object err = types.attr("RunFailed")(mfToUtf8(message), result);
    PyErr_SetObject(types.attr("RunFailed").ptr(), err.ptr());
    throw py::error_already_set();
  }
  return packedResult(out);
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
        n.change(std::string(name) + " was set", [&](mxImageNormalizer& t) { (t.*set)(p); });
      },
      docText);
}

}  // namespace

// The library's NotTrained says only that the method was not trained; the
// package names the method, the trained ones, and what cleared the training
// when a change did.
[[noreturn]] void throwNotTrained(const Normalizer& n, std::uint32_t method) {
  const std::uint32_t trained = n.tool.trainedMethods();
  std::string text = "The tool is not trained for '" + nameOf(method) + "' (trained: " + methodNames(trained) + ")";
  if (trained == 0 && !n.clearedBy.empty() && (n.clearedMethods & method))
    text += "; its training (" + methodNames(n.clearedMethods) + ") was cleared when " + n.clearedBy +
            ": call train() again";
  throw mxImageNormalizerDefs::NotTrained(mfFromUtf8(text + "."));
}

std::uint32_t oneMethod(py::handle m) {
  if (py::isinstance<py::str>(m)) {
    const std::string name = m.cast<std::string>();
    if (const auto* info = mxImageNormalizerDefs::methodByName(name)) return info->method;
    std::vector<std::string> names;
    for (const auto& info : mxImageNormalizerDefs::kMethods) names.emplace_back(info.name);
    const py::list close = py::module_::import("difflib").attr("get_close_matches")(name, names, 1);
    const std::string hint = close.empty() ? "" : "did you mean '" + close[0].cast<std::string>() + "'? ";
    throw ArgumentError("unknown method '" + name + "' (" + hint + "known: " + knownMethods() + ")");
  }
  if (py::isinstance<py::int_>(m) && !py::isinstance<py::bool_>(m)) {
    const long long v = m.cast<long long>();
    if (v < 0 || v > 0xFFFFFFFFll) throw ArgumentError("method flags must be >= 0, got " + std::to_string(v));
    return std::uint32_t(v);
  }
  throw ArgumentTypeError("a method is a name (" + knownMethods() + ") or an imgnorm.Method flag, got " +
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

  m.def("_match_histograms", &matchHistograms, py::arg("image"), py::arg("reference"), py::arg("mask") = py::none());

  py::class_<Normalizer> normalizer(m, "Normalizer", doc::normalizer);
  // Shown and pickled as imgnorm.Normalizer, where users find it.
  normalizer.attr("__module__") = "imgnorm";
  normalizer.def(
      py::init([](py::handle reference, py::handle mask, bool copy, py::handle nbh, py::handle gran, py::handle tails,
                  py::handle range, py::handle keep, py::handle relative, py::handle methods) {
        auto n = std::make_unique<Normalizer>();
        mxImageNormalizer& t = n->tool;
        // Parameters first: a bad value is refused before any image is copied.
        if (!nbh.is_none()) t.neighborhoodSize(intPair(nbh, "neighborhood_size"));
        if (!gran.is_none()) t.granularity(intPair(gran, "granularity"));
        if (!tails.is_none()) t.tailFractions(pairArg<double>(tails, "tail_fractions"));
        if (!range.is_none()) t.intensityVariationRange(intPair(range, "intensity_variation_range"));
        if (!keep.is_none()) t.keepMaskedPixels(boolArg(keep, "keep_masked_pixels"));
        if (!relative.is_none()) t.relativeCounts(boolArg(relative, "relative_counts"));
        t.referenceImage(imageArg(reference, "reference", copy), false);
        t.maskImage(imageArg(mask, "mask", copy), false);
        checkMaskShape(t);
        if (!methods.is_none()) {
          const std::uint32_t set = methodSet(methods);
          n->write([&](mxImageNormalizer& tool) { tool.train(Method(set)); });
        }
        return n;
      }),
      py::arg("reference") = py::none(), py::arg("mask") = py::none(), py::kw_only(), py::arg("copy") = true,
      py::arg("neighborhood_size") = py::none(), py::arg("granularity") = py::none(),
      py::arg("tail_fractions") = py::none(), py::arg("intensity_variation_range") = py::none(),
      py::arg("keep_masked_pixels") = py::none(), py::arg("relative_counts") = py::none(),
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
            n.change("keep_masked_pixels was set", [&](mxImageNormalizer& t) { t.keepMaskedPixels(keep); });
          },
          doc::keepMaskedPixels)
      .def_property(
          "relative_counts",
          [](const Normalizer& n) { return n.read([](const mxImageNormalizer& t) { return t.relativeCounts(); }); },
          [](Normalizer& n, py::handle v) {
            const bool relative = boolArg(v, "relative_counts");
            n.write([&](mxImageNormalizer& t) { t.relativeCounts(relative); });
          },
          doc::relativeCounts)
      .def_property(
          "reference",
          [](const Normalizer& n) -> py::object {
            const auto b = n.read([](const mxImageNormalizer& t) { return t.referenceImage(); });
            if (!b.isBound()) return py::none();
            return toArray<unsigned char>(b, false);
          },
          [](Normalizer& n, py::handle v) {
            const auto b = imageArg(v, "reference", true);
            n.change("the reference was set", [&](mxImageNormalizer& t) { t.referenceImage(b, false); });
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
            n.change("the mask was set", [&](mxImageNormalizer& t) { t.maskImage(b, false); });
          },
          doc::mask)
      .def(
          "set_reference",
          [](Normalizer& n, py::handle v, bool copy) {
            const auto b = imageArg(v, "reference", copy);
            n.change("the reference was set", [&](mxImageNormalizer& t) { t.referenceImage(b, false); });
          },
          py::arg("image"), py::arg("copy") = true, doc::setReference)
      .def(
          "set_mask",
          [](Normalizer& n, py::handle v, bool copy) {
            const auto b = imageArg(v, "mask", copy);
            n.change("the mask was set", [&](mxImageNormalizer& t) { t.maskImage(b, false); });
          },
          py::arg("image"), py::arg("copy") = true, doc::setMask)
      .def(
          "set",
          [](Normalizer& n, py::handle tails, py::handle range, py::handle keepArg) {
            const auto tf = pairArg<double>(tails, "tail_fractions");
            const auto r = intPair(range, "intensity_variation_range");
            const bool keep = boolArg(keepArg, "keep_masked_pixels");
            n.change("set() was given a bad intensity_variation_range",
                     [&](mxImageNormalizer& t) { t.set(tf, r, keep); });
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
          "untrain", [](Normalizer& n) { n.change("untrain() was called", [](mxImageNormalizer& t) { t.untrain(); }); },
          doc::untrain)
      .def("run", &runImpl, py::arg("image"), py::arg("method"), py::kw_only(), py::arg("raise_on_failure") = true,
           doc::run)
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
      .def("__hash__",
           [](const Normalizer&) -> py::object { throw ArgumentTypeError("unhashable type: 'Normalizer'"); })
      .def(py::pickle([](const Normalizer& n) { return py::make_tuple(toBytes(n)); },
                      [](py::tuple state) {
                        if (state.size() != 1 || !py::isinstance<py::bytes>(state[0]))
                          throw ArgumentError("a pickled Normalizer holds one bytes object");
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
               " keep_masked_pixels=" + (t.keepMaskedPixels() ? "True" : "False") +
               (t.relativeCounts() ? " relative_counts=True>" : ">");
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

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
#include "imgnorm/checks.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/methods.h"
#include "imgnorm/mxBlockNormalizer.h"
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

// The image handed to the tool: viewed in place (copy false) or a deep copy.
template <class T = unsigned char>
mxPelBuffer_const<T> imageArg(py::handle obj, const char* what, bool copy) {
  if (obj.is_none()) return {};
  mxPelBuffer_const<T> view = constBuffer<T>(obj, what);
  if (!copy) return view;
  mxPelBuffer<T> own = mfPelCopy(view);
  return own;
}

bool isArrayLike(py::handle obj) {
  return !obj.is_none() && (py::isinstance(obj, py::module_::import("numpy").attr("ndarray")) ||
                            py::hasattr(obj, "__array__") || py::hasattr(obj, "__array_interface__"));
}

// 8 or 16 for an array of uint8 or uint16 pels, else 0.
int unsignedBits(py::handle obj) {
  if (!isArrayLike(obj)) return 0;
  const py::array a = pelArray(obj);
  const auto& api = py::detail::npy_api::get();
  if (api.PyArray_EquivTypes_(a.dtype().ptr(), py::dtype::of<std::uint16_t>().ptr())) return 16;
  return api.PyArray_EquivTypes_(a.dtype().ptr(), py::dtype::of<std::uint8_t>().ptr()) ? 8 : 0;
}

// 8 or 16 for an array of uint8 or uint16 pels; anything else is refused,
// saying how to convert it (ArgumentTypeError).
int pelBitsOf(py::handle obj, const char* what) {
  const int bits = unsignedBits(obj);
  if (bits != 0) return bits;
  const std::string expected = std::string(what) + " must be a 2-D numpy uint8 or uint16 array, got ";
  if (!isArrayLike(obj)) throw ArgumentTypeError(expected + std::string(py::str(py::type::of(obj).attr("__name__"))));
  const py::array a = pelArray(obj);
  throw ArgumentTypeError(expected + "dtype " + std::string(py::str(a.dtype())) + conversionHint(a));
}

std::int32_t bitDepthOf(const mxImageNormalizer&) { return 8; }
std::int32_t bitDepthOf(const mxImageNormalizer16& t) { return t.bitDepth(); }

// Refuses an image whose pel type is not the tool's, naming both and the way
// out (ArgumentTypeError).
void checkPelType(const Normalizer& n, py::handle obj, const char* what) {
  const int bits = unsignedBits(obj);
  if (n.deep && bits == 8) {
    const std::int32_t depth = n.readAny([](const auto& t) { return bitDepthOf(t); });
    throw ArgumentTypeError(std::string(what) + " is uint8, but this Normalizer is a 16-bit tool (bit_depth " +
                            std::to_string(depth) +
                            "): give it uint16 arrays of that depth, or make a Normalizer from a uint8 reference "
                            "for 8-bit images");
  }
  if (!n.deep && bits == 16)
    throw ArgumentTypeError(std::string(what) +
                            " is uint16, but this Normalizer is an 8-bit tool: make one from a uint16 reference (or "
                            "with bit_depth=9..16) for 16-bit images, or convert with skimage.util.img_as_ubyte");
}

template <class Tool>
void checkMaskShape(const Tool& t) {
  const auto& r = t.referenceImage();
  const auto& m = t.maskImage();
  if (r.isBound() && m.isBound() && (r.width() != m.width() || r.height() != m.height()))
    throw ArgumentError("mask shape (" + std::to_string(m.height()) + ", " + std::to_string(m.width()) +
                        ") differs from the reference shape (" + std::to_string(r.height()) + ", " +
                        std::to_string(r.width()) + ")");
}

py::bytes toBytes(const Normalizer& n) {
  std::vector<std::uint8_t> bytes = n.readAny([](const auto& t) {
    mxArchive ar;
    ar || const_cast<std::decay_t<decltype(t)>&>(t);  // storing reads the tool only
    return ar.bytes();
  });
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The archive form of an 8-bit (pelBits 8) or 16-bit (16) tool: the two
// forms are told apart by the caller (the tool file's header, the pickle's
// state), not guessed from the bytes.
std::unique_ptr<Normalizer> fromBytes(const py::bytes& b, py::handle pelBitsArg) {
  const long long pelBits = intArg(pelBitsArg, "pel_bits");
  if (pelBits != 8 && pelBits != 16) throw ArgumentError("pel_bits is 8 or 16, got " + std::to_string(pelBits));
  // Read in place: b is immutable and held by the caller while it loads.
  const std::string_view v = b;
  auto n = std::make_unique<Normalizer>();
  n->deep = pelBits == 16;
  {
    py::gil_scoped_release nogil;
    mxArchive ar(reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
    if (n->deep)
      ar || n->deepTool;
    else
      ar || n->tool;
    if (ar.remaining() != 0) throw mxArchive::BadData(L"archive holds bytes after the normalizer");
  }
  return n;
}

std::unique_ptr<Normalizer> copyOf(const Normalizer& n) {
  return n.readAny([](const auto& t) { return std::make_unique<Normalizer>(t); });
}

// The part of a width x height image at (0, 0) that a run of t reads: the
// overlap with the reference and mask, or one pel when there is none (the run
// then makes its own checks and returns its empty result).
template <class Tool>
mxPelRect runWindow(const Tool& t, std::int32_t width, std::int32_t height) {
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

bool relativeCountsOf(const mxImageNormalizer& t) { return t.relativeCounts(); }
bool relativeCountsOf(const mxImageNormalizer16&) { return false; }

// The warnings of a run (imgnorm.ImgnormWarning): the result is made, but
// probably not what was meant.  Worked out without the GIL.
template <class Tool>
std::vector<std::string> runWarnings(const Tool& t, std::uint32_t method, std::int32_t width,
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
  if (method == eMatchHistogram && !relativeCountsOf(t)) {
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

template <class T>
const ToolOf<T>& toolOf(const Normalizer& n) {
  if constexpr (sizeof(T) == 1)
    return n.tool;
  else
    return n.deepTool;
}

// f(the tool of pel type T) under the shared lock, without the GIL.
template <class T, class F>
auto readTyped(const Normalizer& n, F&& f) {
  py::gil_scoped_release nogil;
  std::shared_lock<std::shared_mutex> hold(n.lock);
  return f(toolOf<T>(n));
}

// Either tool's run split over threads bands, the pels the same for any
// number of threads.
template <class Tool, class T>
mxPelBuffer<T> runOn(const Tool& t, const mxPelBuffer_const<T>& in, std::uint32_t m, int threads, bool& ok,
                     std::wstring& message) {
  return mxBlockNormalizer::runParallel(t, in, Method(m), threads, ok, message);
}

[[noreturn]] void raiseRunFailed(const std::wstring& message) {
  py::object types = typesModule();
  py::object result = types.attr("RunResult")(py::none(), false, mfToUtf8(message));
  py::object err = types.attr("RunFailed")(mfToUtf8(message), result);
  PyErr_SetObject(types.attr("RunFailed").ptr(), err.ptr());
  throw py::error_already_set();
}

template <class T>
py::object runTyped(const Normalizer& n, const py::array& img, std::uint32_t m, bool raiseOnFailure, int threads) {
  // A layout the buffers cannot show (a transpose, a broadcast view) is
  // copied, and only the part the run reads (the identity returns it all).
  const bool whole = viewable<T>(img) || m == Method::eIdentity;
  const mxPelBuffer_const<T> view = whole ? constBuffer<T>(img, "image") : mxPelBuffer_const<T>();
  const StridedPels<T> pels(img);
  const auto width = std::int32_t(img.shape(1)), height = std::int32_t(img.shape(0));
  bool ok = false;
  std::wstring message;
  std::vector<std::string> warnings;
  mxPelBuffer<T> out;
  {
    py::gil_scoped_release nogil;
    std::shared_lock<std::shared_mutex> hold(n.lock);
    const ToolOf<T>& t = toolOf<T>(n);
    const mxPelBuffer_const<T> in = whole ? view : pels.copy(runWindow(t, width, height));
    try {
      out = runOn(t, in, m, threads, ok, message);
      warnings = runWarnings(t, m, width, height, out.isBound() ? out.window() : mxPelRect());
    } catch (const mxImageNormalizerDefs::NotTrained&) {
      throwNotTrained(n, m);
    }
  }
  if (!ok) {
    if (raiseOnFailure) raiseRunFailed(message);
    return typesModule().attr("RunResult")(py::none(), false, mfToUtf8(message));
  }
  warn(warnings);
  py::array a = packedResult(out);
  if (!raiseOnFailure) return typesModule().attr("RunResult")(a, true, "");
  return std::move(a);
}

py::object runImpl(const Normalizer& n, py::handle image, py::handle method, py::handle raiseArg,
                   py::handle threadsArg) {
  const std::uint32_t m = oneMethod(method);
  const bool raiseOnFailure = boolArg(raiseArg, "raise_on_failure");
  const long long threads = intArg(threadsArg, "threads");
  // Below 1 the run refuses (BadParams); a thread each is made, so a number
  // no machine has is refused here rather than tried.
  if (threads > 1024) throw ArgumentError("threads must be at most 1024, got " + std::to_string(threads));
  const int th = int(std::max<long long>(threads, 0));
  checkPelType(n, image, "image");
  if (n.deep) return runTyped<unsigned short>(n, checkedArray<unsigned short>(image, "image"), m, raiseOnFailure, th);
  return runTyped<unsigned char>(n, checkedArray<unsigned char>(image, "image"), m, raiseOnFailure, th);
}

// Histogram matching of a whole image to a whole reference, compared as
// fractions of their pel counts (imgnorm.match_histograms).  The mask has
// the reference's shape and selects the reference pels whose histogram is
// followed; when the image has that shape too it also selects the image
// pels counted.  Every pel of the image is mapped.
template <class T>
py::array matchHistogramsTyped(py::handle image, py::handle reference, py::handle mask, std::int32_t depth) {
  const mxPelBuffer_const<T> img = constBuffer<T>(image, "image");
  const mxPelBuffer_const<T> ref = constBuffer<T>(reference, "reference");
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
  mxPelBuffer<T> out;
  {
    py::gil_scoped_release nogil;
    std::vector<std::uint32_t> refHist, imgHist;
    const mxPelBuffer_const<unsigned char> imgMask = maskImage ? msk : mxPelBuffer_const<unsigned char>();
    if constexpr (sizeof(T) == 1) {
      mf_MaskedPelHistogram(ref, msk, refHist);
      mf_MaskedPelHistogram(img, imgMask, imgHist);
    } else {
      // Pels above the depth are refused, never counted in the last bin.
      for (const auto& [buf, what] : {std::pair(&img, L"the image"), std::pair(&ref, L"the reference")}) {
        const std::int32_t top = (std::int32_t(1) << depth) - 1, found = mfPelMax(*buf);
        if (found > top)
          throw mxImageNormalizerDefs::BadImage(
              std::wstring(mxImageNormalizerDefs::ruleMessage(mxImageNormalizerDefs::Rule::ePelsWithinDepth)) +
              L" The largest pel of " + what + L" is " + mfFromUtf8(std::to_string(found)) + L", above " +
              mfFromUtf8(std::to_string(top)) + L" (" + mfFromUtf8(std::to_string(depth)) + L" bits).");
      }
      refHist = mfPelHistogram(ref, msk, std::uint32_t(1) << depth);
      imgHist = mfPelHistogram(img, imgMask, std::uint32_t(1) << depth);
    }
    std::vector<T> lut;
    ok = histogramMethodLut(mxImageNormalizerDefs::eMatchHistogram, refHist, mxHistoStats(refHist, false),
                            mxPair<double>(0.0, 1.0), imgHist, mxHistoStats(imgHist, false), lut, message, true);
    if (ok) out = mfPelMap(img, lut);
  }
  if (!ok) raiseRunFailed(message);
  return packedResult(out);
}

// Histogram matching of a whole image to a whole reference, compared as
// fractions of their pel counts (imgnorm.match_histograms).  The mask has
// the reference's shape and selects the reference pels whose histogram is
// followed; when the image has that shape too it also selects the image
// pels counted.  Every pel of the image is mapped.  uint16 pairs at a depth
// of 9 to 16 bits (default 16), uint8 pairs at 8.
py::array matchHistograms(py::handle image, py::handle reference, py::handle mask, py::handle depthArg) {
  const int bits = pelBitsOf(image, "image"), refBits = unsignedBits(reference);
  if (refBits != 0 && refBits != bits)
    throw ArgumentTypeError("image is uint" + std::to_string(bits) + " but reference is uint" +
                            std::to_string(24 - bits) + ": give both the same dtype");
  const std::int32_t depth = depthArg.is_none() ? bits : std::int32_t(std::clamp(intArg(depthArg, "bit_depth"),
                                                                                  -1ll, 99ll));
  if (bits == 8) {
    if (depth != 8) throw ArgumentError("bit_depth of uint8 images is 8, got " + std::to_string(depth));
    return matchHistogramsTyped<unsigned char>(image, reference, mask, 8);
  }
  imgnorm::detail::checkBitDepth(depth);
  return matchHistogramsTyped<unsigned short>(image, reference, mask, depth);
}

// A read-write property for one of the tools' pair parameters: a 2-sequence
// or one number (integers checked to fit 32 bits), read under the shared
// lock and set under the exclusive one.  get(tool) and set(tool, pair) take
// either tool.
template <class T, class Get, class Set>
void pairProperty(py::class_<Normalizer>& c, const char* name, Get get, Set set, const char* docText) {
  using Pair = std::conditional_t<std::is_same_v<T, double>, types::RealPair, types::IntPair>;
  c.def_property(
      name, [get](const Normalizer& n) { return n.readAny([&](const auto& t) { return toTuple(get(t)); }); },
      [name, set](Normalizer& n, Typed<Pair> v) {
        const mxPair<T> p = pairArg<T>(v, name);
        n.change(std::string(name) + " was set", [&](auto& t) { set(t, p); });
      },
      docText);
}

// Sets relative counts on a tool; a 16-bit tool has none to set.
void setRelativeCounts(mxImageNormalizer& t, bool v) { t.relativeCounts(v); }
void setRelativeCounts(mxImageNormalizer16&, bool v) {
  if (v)
    throw mxImageNormalizerDefs::NotImplemented(
        L"relative_counts is not available for 16-bit tools yet; imgnorm.match_histograms matches 16-bit images "
        L"by fractions of their pel counts");
}

template <class T>
py::object imageOrNone(const mxPelBuffer_const<T>& b) {
  if (!b.isBound()) return py::none();
  return toArray<T>(b, false);
}

// The tool's reference as a read-only array.
py::object referenceOf(const Normalizer& n) {
  if (n.deep) return imageOrNone(readTyped<unsigned short>(n, [](const auto& t) { return t.referenceImage(); }));
  return imageOrNone(readTyped<unsigned char>(n, [](const auto& t) { return t.referenceImage(); }));
}

// Sets the reference of the tool in use, checked to be of its pel type.
template <class T>
void setReferenceTyped(Normalizer& n, py::handle v, bool copy) {
  const auto b = imageArg<T>(v, "reference", copy);
  {
    py::gil_scoped_release nogil;
    std::unique_lock<std::shared_mutex> hold(n.lock);
    auto& t = const_cast<ToolOf<T>&>(toolOf<T>(n));
    const std::uint32_t before = t.trainedMethods();
    t.referenceImage(b, false);
    if (before != 0) {
      n.clearedBy = "the reference was set";
      n.clearedMethods = before;
    }
  }
}

void setReference(Normalizer& n, py::handle v, bool copy) {
  checkPelType(n, v, "reference");
  if (n.deep)
    setReferenceTyped<unsigned short>(n, v, copy);
  else
    setReferenceTyped<unsigned char>(n, v, copy);
}

void setMask(Normalizer& n, py::handle v, bool copy) {
  const auto b = imageArg<unsigned char>(v, "mask", copy);
  n.change("the mask was set", [&](auto& t) { t.maskImage(b, false); });
}

}  // namespace

// The library's NotTrained says only that the method was not trained; the
// package names the method, the trained ones, and what cleared the training
// when a change did.
[[noreturn]] void throwNotTrained(const Normalizer& n, std::uint32_t method) {
  const std::uint32_t trained = n.deep ? n.deepTool.trainedMethods() : n.tool.trainedMethods();
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

namespace {
bool isBool(py::handle v) {
  return py::isinstance<py::bool_>(v) || py::isinstance(v, py::module_::import("numpy").attr("bool_"));
}
bool isInteger(py::handle v) { return !isBool(v) && PyIndex_Check(v.ptr()); }
bool isNumber(py::handle v) {
  return isInteger(v) || PyFloat_Check(v.ptr()) || py::isinstance(v, py::module_::import("numpy").attr("floating"));
}

// The two elements of a pair parameter: v twice, or the items of a
// 2-sequence; each must pass isElement, else err.
template <class IsElement>
std::pair<py::object, py::object> pairItems(py::handle v, IsElement isElement, const std::string& err) {
  std::pair<py::object, py::object> xy;
  if (py::isinstance<py::sequence>(v) && !py::isinstance<py::str>(v) && !isNumber(v)) {
    if (py::len(v) != 2) throw ArgumentTypeError(err);
    py::sequence s = py::reinterpret_borrow<py::sequence>(v);
    xy = {s[0], s[1]};
  } else {
    xy = {py::reinterpret_borrow<py::object>(v), py::reinterpret_borrow<py::object>(v)};
  }
  if (!isElement(xy.first) || !isElement(xy.second)) throw ArgumentTypeError(err);
  return xy;
}
}  // namespace

bool boolArg(py::handle v, const char* what) {
  if (!isBool(v)) throw ArgumentTypeError(std::string(what) + " takes True or False");
  return v.cast<bool>();
}

mxPair<std::int32_t> intPair(py::handle v, const char* what) {
  const auto xy = pairItems(v, isInteger, std::string(what) + " takes an integer or a pair (x, y) of integers");
  auto narrow = [&](const py::object& e) {
    const long long x = intArg(e, what);
    if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max())
      throw ArgumentError(std::string(what) + " elements must fit in 32 bits");
    return std::int32_t(x);
  };
  return {narrow(xy.first), narrow(xy.second)};
}

mxPair<double> realPair(py::handle v, const char* what) {
  const auto xy = pairItems(v, isNumber, std::string(what) + " takes a number or a pair (x, y) of numbers");
  auto real = [](const py::object& e) {
    const auto f = py::reinterpret_steal<py::object>(PyNumber_Float(e.ptr()));
    if (!f) throw py::error_already_set();
    return PyFloat_AsDouble(f.ptr());
  };
  return {real(xy.first), real(xy.second)};
}

long long intArg(py::handle v, const char* what) {
  if (!isInteger(v))
    throw ArgumentTypeError(std::string(what) + " takes an integer, got " +
                            std::string(py::str(py::type::of(v).attr("__name__"))));
  const auto i = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
  if (!i) throw py::error_already_set();
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (overflow != 0) throw ArgumentError(std::string(what) + " is out of range");
  return x;
}

void init_normalizer(py::module_& m) {
  using namespace types;
  m.def(
      "methods", []() { return Typed<MethodRows>(methodRows()); },
      "The normalization methods as rows (name, flag, kind, summary, C++ enumerator), kind being\n"
      "'copy', 'global' or 'local'; imgnorm.Method and imgnorm.METHOD_NAMES are made from them.");

  m.def(
      "_match_histograms",
      [](Typed<Image> image, Typed<Image> reference, Typed<OptMask> mask, Typed<OptInt> bitDepth) {
        return Typed<Image>(matchHistograms(image, reference, mask, bitDepth));
      },
      py::arg("image"), py::arg("reference"), py::arg("mask") = py::none(), py::arg("bit_depth") = py::none());

  py::class_<Normalizer> normalizer(m, "Normalizer", doc::normalizer);
  // Shown and pickled as imgnorm.Normalizer, where users find it.
  normalizer.attr("__module__") = "imgnorm";
  normalizer.def(
      py::init([](Typed<OptImage> reference, Typed<OptMask> mask, Typed<Bool> copyArg, Typed<OptIntPair> nbh,
                  Typed<OptIntPair> gran, Typed<OptRealPair> tails, Typed<OptIntPair> range, Typed<OptBool> keep,
                  Typed<OptBool> relative, Typed<OptInt> depthArg, Typed<OptMethods> methods) {
        const bool copy = boolArg(copyArg, "copy");
        const int bits = reference.is_none() ? 0 : pelBitsOf(reference, "reference");
        const bool depthGiven = !depthArg.is_none();
        const long long depth = depthGiven ? intArg(depthArg, "bit_depth") : 0;
        auto n = std::make_unique<Normalizer>();
        // A uint16 reference, or a depth other than 8 without a reference,
        // makes a 16-bit tool (which refuses a depth outside 9 to 16).
        n->deep = bits == 16 || (bits == 0 && depthGiven && depth != 8);
        if (!n->deep && depthGiven && depth != 8)
          throw ArgumentError("bit_depth of a uint8 reference is 8, got " + std::to_string(depth) +
                              ": give a uint16 reference for deeper pels");
        if (n->deep && depthGiven)
          n->deepTool.bitDepth(std::int32_t(std::clamp(depth, -1ll, 99ll)));  // first: it sets the range default
        // Parameters first: a bad value is refused before any image is copied.
        auto params = [&](auto& t) {
          if (!nbh.is_none()) t.neighborhoodSize(intPair(nbh, "neighborhood_size"));
          if (!gran.is_none()) t.granularity(intPair(gran, "granularity"));
          if (!tails.is_none()) t.tailFractions(realPair(tails, "tail_fractions"));
          if (!range.is_none()) t.intensityVariationRange(intPair(range, "intensity_variation_range"));
          if (!keep.is_none()) t.keepMaskedPixels(boolArg(keep, "keep_masked_pixels"));
          if (!relative.is_none()) setRelativeCounts(t, boolArg(relative, "relative_counts"));
          t.maskImage(imageArg<unsigned char>(mask, "mask", copy), false);
          checkMaskShape(t);
        };
        if (n->deep) {
          n->deepTool.referenceImage(imageArg<unsigned short>(reference, "reference", copy), false);
          params(n->deepTool);
        } else {
          n->tool.referenceImage(imageArg<unsigned char>(reference, "reference", copy), false);
          params(n->tool);
        }
        if (!methods.is_none()) {
          const std::uint32_t set = methodSet(methods);
          n->writeAny([&](auto& tool) { tool.train(Method(set)); });
        }
        return n;
      }),
      py::arg("reference") = py::none(), py::arg("mask") = py::none(), py::kw_only(), py::arg("copy") = true,
      py::arg("neighborhood_size") = py::none(), py::arg("granularity") = py::none(),
      py::arg("tail_fractions") = py::none(), py::arg("intensity_variation_range") = py::none(),
      py::arg("keep_masked_pixels") = py::none(), py::arg("relative_counts") = py::none(),
      py::arg("bit_depth") = py::none(), py::arg("methods") = py::none(), doc::init);
  // The tools' pair parameters, each checked and converted the same way.
  pairProperty<std::int32_t>(
      normalizer, "neighborhood_size", [](const auto& t) { return t.neighborhoodSize(); },
      [](auto& t, mxPair<std::int32_t> p) { t.neighborhoodSize(p); }, doc::neighborhoodSize);
  pairProperty<std::int32_t>(
      normalizer, "granularity", [](const auto& t) { return t.granularity(); },
      [](auto& t, mxPair<std::int32_t> p) { t.granularity(p); }, doc::granularity);
  pairProperty<double>(
      normalizer, "tail_fractions", [](const auto& t) { return t.tailFractions(); },
      [](auto& t, mxPair<double> p) { t.tailFractions(p); }, doc::tailFractions);
  pairProperty<std::int32_t>(
      normalizer, "intensity_variation_range", [](const auto& t) { return t.intensityVariationRange(); },
      [](auto& t, mxPair<std::int32_t> p) { t.intensityVariationRange(p); }, doc::intensityVariationRange);
  normalizer
      .def_property(
          "keep_masked_pixels",
          [](const Normalizer& n) { return n.readAny([](const auto& t) { return t.keepMaskedPixels(); }); },
          [](Normalizer& n, Typed<Bool> v) {
            const bool keep = boolArg(v, "keep_masked_pixels");
            n.change("keep_masked_pixels was set", [&](auto& t) { t.keepMaskedPixels(keep); });
          },
          doc::keepMaskedPixels)
      .def_property(
          "relative_counts",
          [](const Normalizer& n) { return n.readAny([](const auto& t) { return relativeCountsOf(t); }); },
          [](Normalizer& n, Typed<Bool> v) {
            const bool relative = boolArg(v, "relative_counts");
            n.writeAny([&](auto& t) { setRelativeCounts(t, relative); });
          },
          doc::relativeCounts)
      .def_property(
          "bit_depth", [](const Normalizer& n) { return n.readAny([](const auto& t) { return bitDepthOf(t); }); },
          [](Normalizer& n, Typed<Int> v) {
            const long long depth = intArg(v, "bit_depth");
            if (!n.deep) {
              if (depth != 8)
                throw ArgumentError("bit_depth of an 8-bit tool is 8, got " + std::to_string(depth) +
                                    ": make a Normalizer from a uint16 reference for deeper pels");
              return;
            }
            n.change("bit_depth was set", [&](auto& t) {
              if constexpr (std::is_same_v<std::decay_t<decltype(t)>, mxImageNormalizer16>)
                t.bitDepth(std::int32_t(std::clamp(depth, -1ll, 99ll)));
            });
          },
          doc::bitDepth)
      .def_property(
          "reference", [](const Normalizer& n) { return Typed<OptImage>(referenceOf(n)); },
          [](Normalizer& n, Typed<OptImage> v) { setReference(n, v, true); }, doc::reference)
      .def_property(
          "mask",
          [](const Normalizer& n) {
            return Typed<OptImage8>(
                imageOrNone(n.readAny([](const auto& t) { return mxPelBuffer_const<unsigned char>(t.maskImage()); })));
          },
          [](Normalizer& n, Typed<OptMask> v) { setMask(n, v, true); }, doc::mask)
      .def(
          "set_reference",
          [](Normalizer& n, Typed<OptImage> v, Typed<Bool> copy) { setReference(n, v, boolArg(copy, "copy")); },
          py::arg("image"), py::arg("copy") = true, doc::setReference)
      .def(
          "set_mask", [](Normalizer& n, Typed<OptMask> v, Typed<Bool> copy) { setMask(n, v, boolArg(copy, "copy")); },
          py::arg("image"), py::arg("copy") = true, doc::setMask)
      .def(
          "set",
          [](Normalizer& n, Typed<RealPair> tails, Typed<IntPair> range, Typed<Bool> keepArg) {
            const auto tf = realPair(tails, "tail_fractions");
            const auto r = intPair(range, "intensity_variation_range");
            const bool keep = boolArg(keepArg, "keep_masked_pixels");
            n.change("set() was given a bad intensity_variation_range", [&](auto& t) { t.set(tf, r, keep); });
          },
          py::arg("tail_fractions"), py::arg("intensity_variation_range"), py::arg("keep_masked_pixels"), doc::set)
      .def(
          "train",
          [](Normalizer& n, Typed<Methods> methods) {
            const std::uint32_t set = methodSet(methods);
            n.writeAny([&](auto& t) {
              checkMaskShape(t);
              t.train(Method(set));
            });
          },
          py::arg("methods"), doc::train)
      .def_property_readonly(
          "trained_methods",
          [](const Normalizer& n) {
            return Typed<MethodFlags>(
                methodFlags(n.readAny([](const auto& t) { return std::uint32_t(t.trainedMethods()); })));
          },
          doc::trainedMethods)
      .def(
          "untrain", [](Normalizer& n) { n.change("untrain() was called", [](auto& t) { t.untrain(); }); },
          doc::untrain)
      .def(
          "run",
          [](const Normalizer& n, Typed<Image> image, Typed<AnyMethod> method, Typed<Bool> raiseOnFailure,
             Typed<Int> threads) { return Typed<RunOut>(runImpl(n, image, method, raiseOnFailure, threads)); },
          py::arg("image"), py::arg("method"), py::kw_only(), py::arg("raise_on_failure") = true,
          py::arg("threads") = 1, doc::run)
      .def("to_bytes", &toBytes, doc::toBytes)
      .def_static(
          "from_bytes", [](const py::bytes& b, Typed<Int> pelBits) { return fromBytes(b, pelBits); }, py::arg("data"),
          py::arg("pel_bits") = 8, doc::fromBytes)
      .def("copy", &copyOf, doc::copy)
      .def("__copy__", &copyOf)
      .def(
          "__deepcopy__",
          [](const Normalizer& n, py::handle) { return fromBytes(toBytes(n), py::int_(n.deep ? 16 : 8)); },
          py::arg("memo"))
      .def(
          "__eq__",
          [](const Normalizer& a, py::handle other) -> py::object {
            if (!py::isinstance<Normalizer>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            const Normalizer& b = other.cast<const Normalizer&>();
            if (&a == &b) return py::bool_(true);
            if (a.deep != b.deep) return py::bool_(false);
            const std::unique_ptr<Normalizer> copyOfB = copyOf(b);
            return py::bool_(a.readAny([&](const auto& t) {
              if constexpr (std::is_same_v<std::decay_t<decltype(t)>, mxImageNormalizer>)
                return t == copyOfB->tool;
              else
                return t == copyOfB->deepTool;
            }));
          },
          py::is_operator())
      .def("__hash__",
           [](const Normalizer&) -> py::object { throw ArgumentTypeError("unhashable type: 'Normalizer'"); })
      // The state: the archive form, and 16 for a 16-bit tool.
      .def(py::pickle(
          [](const Normalizer& n) { return n.deep ? py::make_tuple(toBytes(n), 16) : py::make_tuple(toBytes(n)); },
          [](py::tuple state) {
            if (state.size() < 1 || state.size() > 2 || !py::isinstance<py::bytes>(state[0]))
              throw ArgumentError("a pickled Normalizer holds one bytes object and its pel bits");
            return fromBytes(state[0].cast<py::bytes>(), state.size() == 2 ? py::object(state[1]) : py::int_(8));
          }))
      .def("__repr__", [](const Normalizer& n) {
        const std::unique_ptr<Normalizer> c = copyOf(n);
        auto shape = [](const mx_PelBuffer& b) {
          return b.isBound() ? "(" + std::to_string(b.height()) + ", " + std::to_string(b.width()) + ")"
                             : std::string("None");
        };
        auto pr = [](auto p) { return "(" + std::to_string(p.x()) + ", " + std::to_string(p.y()) + ")"; };
        auto text = [&](const auto& t) {
          return std::string("<imgnorm.Normalizer ") +
                 (n.deep ? "bit_depth=" + std::to_string(bitDepthOf(t)) + " " : std::string()) +
                 "trained_methods=" + std::string(py::repr(methodFlags(std::uint32_t(t.trainedMethods())))) +
                 " reference=" + shape(t.referenceImage()) + " mask=" + shape(t.maskImage()) +
                 " neighborhood_size=" + pr(t.neighborhoodSize()) + " granularity=" + pr(t.granularity()) +
                 " tail_fractions=" +
                 std::string(py::repr(py::make_tuple(t.tailFractions().x(), t.tailFractions().y()))) +
                 " intensity_variation_range=" + pr(t.intensityVariationRange()) +
                 " keep_masked_pixels=" + (t.keepMaskedPixels() ? "True" : "False") +
                 (relativeCountsOf(t) ? " relative_counts=True>" : ">");
        };
        return n.deep ? text(c->deepTool) : text(c->tool);
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

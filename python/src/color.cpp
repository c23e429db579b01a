// The ColorNormalizer class of imgnorm._imgnorm: the colour tool
// (mxColorNormalizer) over numpy arrays of RGB or RGBA pels, uint8 or
// uint16.  An H x W x C C-contiguous array is exactly the tool's interleaved
// image (a buffer of width C x W beside its channel count), so it is wrapped
// without a copy; an array with its channels on another axis is moved to the
// last axis with numpy and made contiguous first, and results are moved back.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "arrays.h"
#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "binding.h"
#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxToolFile.h"

namespace imgnormpy {

namespace {

using Mode = mxColorNormalizer::Mode;
using mxImageNormalizerDefs::Method;

// The tool, the axis its arrays carry their channels on, and a lock used as
// Normalizer's (binding.h): runs share it, changes take it alone, and it is
// only waited for with the GIL released.
struct ColorTool {
  mxColorNormalizer tool;
  int channelAxis = -1;
  mutable std::shared_mutex lock;

  ColorTool(const mxColorNormalizer& t, int axis) : tool(t), channelAxis(axis) {}

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

int axisArg(int axis) {
  if (axis < -3 || axis > 2)
    throw ArgumentError("channel_axis " + std::to_string(axis) + " is out of range for a 3-D array (-3 to 2)");
  return axis;
}

Mode modeArg(py::handle v) {
  const std::string s = py::isinstance<py::str>(v) ? v.cast<std::string>() : std::string();
  if (s == "per-channel") return Mode::ePerChannel;
  if (s == "luminance") return Mode::eLuminance;
  throw ArgumentError("color must be 'per-channel' or 'luminance', got " + std::string(py::repr(v)));
}

const char* modeName(Mode m) { return m == Mode::eLuminance ? "luminance" : "per-channel"; }

// A colour array with its channels last and its pels where the tool can read
// them: a 3-D array is moved so that channel_axis comes last (a view) and
// copied only when its rows are not runs of whole pels; a 2-D array is a
// grey image of one channel, for the tool to refuse with its message naming
// both kinds.
struct ColorArray {
  py::array a;
  std::int32_t channels = 0;
  bool deep = false;
};

ColorArray colorArray(py::handle obj, const char* what, int axis) {
  const std::string name(what);
  py::module_ np = py::module_::import("numpy");
  if (obj.is_none() || (!py::isinstance(obj, np.attr("ndarray")) && !py::hasattr(obj, "__array__") &&
                        !py::hasattr(obj, "__array_interface__")))
    throw ArgumentTypeError(name + " must be a numpy uint8 or uint16 array, got " +
                            std::string(py::str(py::type::of(obj).attr("__name__"))));
  ColorArray c;
  c.a = pelArray(obj);
  const auto& api = py::detail::npy_api::get();
  c.deep = api.PyArray_EquivTypes_(c.a.dtype().ptr(), py::dtype::of<unsigned short>().ptr());
  if (!c.deep && !api.PyArray_EquivTypes_(c.a.dtype().ptr(), py::dtype::of<unsigned char>().ptr()))
    throw ArgumentTypeError(name + " must be a uint8 or uint16 array, got dtype " + std::string(py::str(c.a.dtype())) +
                            ": convert it, e.g. with skimage.util.img_as_ubyte or img_as_uint");
  if (c.a.ndim() == 3) {
    c.a = np.attr("moveaxis")(c.a, axisArg(axis), -1);
    c.channels = std::int32_t(std::min<py::ssize_t>(c.a.shape(2), 1 << 16));
  } else if (c.a.ndim() == 2) {
    c.channels = 1;
  } else {
    throw ArgumentError(name + " must be a 3-D colour array (with channel_axis), got shape " + shapeText(c.a));
  }
  if (c.a.size() == 0) throw ArgumentError(name + " must not be empty, got shape " + shapeText(c.a));
  if (c.a.shape(0) > std::numeric_limits<std::int32_t>::max() ||
      c.a.shape(1) * c.channels > std::numeric_limits<std::int32_t>::max())
    throw ArgumentError(name + " is too large, got shape " + shapeText(c.a));
  const py::ssize_t item = c.a.itemsize(), w = c.a.shape(1);
  const bool pelsAdjacent = c.a.ndim() == 2 ? (w == 1 || c.a.strides(1) == item)
                                            : (c.channels == 1 || c.a.strides(2) == item) &&
                                                  (w == 1 || c.a.strides(1) == item * c.channels);
  const bool rowsOk = c.a.shape(0) == 1 || (c.a.strides(0) >= w * c.channels * item && c.a.strides(0) % item == 0);
  const bool aligned = reinterpret_cast<std::uintptr_t>(c.a.data()) % std::uintptr_t(item) == 0;
  if (!(pelsAdjacent && rowsOk && aligned)) c.a = np.attr("ascontiguousarray")(c.a);
  return c;
}

// The array's pels as the tool's interleaved image (a view), or a copy.
template <class T>
mxPelBuffer_const<T> interleaved(const ColorArray& c, bool copy) {
  const auto h = std::int32_t(c.a.shape(0)), w = std::int32_t(c.a.shape(1) * c.channels);
  const std::ptrdiff_t stride = c.a.shape(0) == 1 ? std::ptrdiff_t(w) * std::ptrdiff_t(sizeof(T)) : c.a.strides(0);
  const auto view = mxPelBuffer_const<T>::wrap(static_cast<const T*>(c.a.data()), w, h, stride, keepAlive(c.a));
  if (!copy) return view;
  mxPelBuffer<T> own = mfPelCopy(view);
  return own;
}

// An interleaved buffer of the given channel count as an array with the
// channels on axis, sharing the buffer's pels; writeable results are made
// C-contiguous (a packed buffer is shared, not copied), read-only views of
// the tool's images are not.
template <class T>
py::array toColorArray(const mxPelBuffer_const<T>& buf, std::int32_t channels, int axis, bool writeable) {
  py::array a = toArray<T>(buf, writeable);
  const py::ssize_t h = a.shape(0), w = a.shape(1) / channels;
  a = py::array_t<T>({h, w, py::ssize_t(channels)}, {a.strides(0), py::ssize_t(sizeof(T)) * channels, py::ssize_t(sizeof(T))},
                     static_cast<const T*>(a.data()), a);
  if (!writeable) a.attr("setflags")(py::arg("write") = false);
  py::module_ np = py::module_::import("numpy");
  a = np.attr("moveaxis")(a, -1, axis);
  return writeable ? py::array(np.attr("ascontiguousarray")(a)) : a;
}

void setReference(mxColorNormalizer& t, const ColorArray& c, bool copy) {
  if (c.deep)
    t.referenceImage(interleaved<unsigned short>(c, copy), c.channels, false);
  else
    t.referenceImage(interleaved<unsigned char>(c, copy), c.channels, false);
}

mxPelBuffer_const<unsigned char> maskArg(py::handle v, bool copy) {
  if (v.is_none()) return {};
  const auto view = constBuffer<unsigned char>(v, "mask");
  if (!copy) return view;
  mxPelBuffer<unsigned char> own = mfPelCopy(view);
  return own;
}

py::bytes toBytes(const ColorTool& n) {
  const std::vector<std::uint8_t> bytes = n.read([](const mxColorNormalizer& t) {
    mxArchive ar;
    ar || const_cast<mxColorNormalizer&>(t);  // storing reads the tool only
    return ar.bytes();
  });
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::unique_ptr<ColorTool> fromBytes(const py::bytes& b, int axis) {
  const std::string_view v = b;
  auto n = std::make_unique<ColorTool>(mxColorNormalizer(), axisArg(axis));
  py::gil_scoped_release nogil;
  mxArchive ar(reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
  ar || n->tool;
  if (ar.remaining() != 0) throw mxArchive::BadData(L"archive holds bytes after the colour normalizer");
  return n;
}

template <class T>
py::object runPels(const ColorTool& n, const ColorArray& c, std::uint32_t method, bool raiseOnFailure) {
  const mxPelBuffer_const<T> in = interleaved<T>(c, false);
  bool ok = false;
  std::wstring message;
  const mxPelBuffer<T> out = n.read([&](const mxColorNormalizer& t) {
    return t.run(in, c.channels, Method(method), ok, message);
  });
  py::object types = typesModule();
  if (!ok) {
    py::object result = types.attr("RunResult")(py::none(), false, mfToUtf8(message));
    if (!raiseOnFailure) return result;
    py::object err = types.attr("RunFailed")(mfToUtf8(message), result);
    PyErr_SetObject(types.attr("RunFailed").ptr(), err.ptr());
    throw py::error_already_set();
  }
  // As the grey run warns: a result over part of the image is rarely what was meant.
  if (out.isBound() && (out.height() < c.a.shape(0) || out.width() < c.a.shape(1) * c.channels)) {
    const std::string text = "the result (" + std::to_string(out.width() / c.channels) + " x " +
                             std::to_string(out.height()) + ") covers only part of the image (" +
                             std::to_string(c.a.shape(1)) + " x " + std::to_string(c.a.shape(0)) +
                             "): the run normalizes only the part that overlaps the reference and its mask";
    if (PyErr_WarnEx(types.attr("ImgnormWarning").ptr(), text.c_str(), 1) != 0) throw py::error_already_set();
  }
  py::array a = out.isBound() ? toColorArray<T>(out, c.channels, n.channelAxis, true)
                              : py::array(py::module_::import("numpy").attr("moveaxis")(
                                    py::array_t<T>(std::vector<py::ssize_t>{0, 0, c.channels}), -1, n.channelAxis));
  if (!raiseOnFailure) return types.attr("RunResult")(a, true, "");
  return std::move(a);
}

Typed<types::RunOut> run(const ColorTool& n, Typed<types::Image> image, Typed<types::AnyMethod> method,
                         bool raiseOnFailure) {
  const std::uint32_t m = oneMethod(method);
  const ColorArray c = colorArray(image, "image", n.channelAxis);
  return Typed<types::RunOut>(c.deep ? runPels<unsigned short>(n, c, m, raiseOnFailure)
                                      : runPels<unsigned char>(n, c, m, raiseOnFailure));
}

template <class T>
void pairProperty(py::class_<ColorTool>& cls, const char* name, mxPair<T> (mxColorNormalizer::*get)() const,
                  void (mxColorNormalizer::*set)(mxPair<T>)) {
  cls.def_property(
      name,
      [get](const ColorTool& n) { return n.read([&](const mxColorNormalizer& t) { return toTuple((t.*get)()); }); },
      [name, set](ColorTool& n,
                  Typed<std::conditional_t<std::is_same_v<T, double>, types::RealPair, types::IntPair>> v) {
        const mxPair<T> p = pairArg<T>(v, name);
        n.write([&](mxColorNormalizer& t) { (t.*set)(p); });
      },
      (std::string("The tool's ") + name + " (as Normalizer's); setting it clears the training.").c_str());
}

// The luminance mode's pointwise steps on one chunk (imgnorm.dask): an
// (h, w, C) array's luma plane, and the chunk moved by its luma's change.
template <class T>
py::object lumaChunk(const ColorTool& n, const ColorArray& c) {
  const mxPelBuffer_const<T> in = interleaved<T>(c, false);
  return toArray<T>(n.read([&](const mxColorNormalizer& t) { return t.planes(in, c.channels)[0]; }), true);
}

template <class T>
py::object mergeLumaChunk(const ColorTool& n, const ColorArray& c, py::handle luma, py::handle newLuma) {
  const mxPelBuffer_const<T> in = interleaved<T>(c, false);
  const std::vector<mxPelBuffer<T>> y{mfPelCopy(constBuffer<T>(luma, "luma"))},
      yNew{mfPelCopy(constBuffer<T>(newLuma, "new_luma"))};
  return toColorArray<T>(n.read([&](const mxColorNormalizer& t) { return t.merge(in, c.channels, y, yNew); }),
                         c.channels, -1, true);
}

constexpr const char* kClassDoc = R"(Normalization of colour images (RGB or RGBA, uint8 or uint16) against a
colour reference.

A colour image is an array with one axis of 3 (RGB) or 4 (RGBA) channels,
by default the last (``channel_axis=-1``: height x width x channels, how
scikit-image, imageio and OpenCV hold them).  Such an array, C-contiguous,
is read in place; with the channels on another axis (``channel_axis=0``:
channels x height x width) it is moved with numpy and copied once.  Results
have the image's dtype, and their channels on the same axis.

Two modes (``color``):

``'per-channel'`` (default)
    R, G and B are each normalized against the same channel of the
    reference, all with this tool's parameters and mask, exactly as three
    grey runs would.
``'luminance'``
    Only the BT.601 luma Y = (299 R + 587 G + 114 B + 500) // 1000 is
    normalized (to Y'), and Y' - Y is added to each of R, G and B, which
    leaves the BT.601 chroma Cb and Cr unchanged.  A channel that leaves the
    range of its depth is clamped on its own; there the chroma changes.

The alpha channel of an RGBA image is passed through; the reference's alpha
takes no part.  The mask is a 2-D uint8 or bool array of the reference's
height and width (non-zero / True = use).

This is a class of its own beside Normalizer rather than a mode of it: its
reference and results are colour arrays, and it has a pel type and a bit
depth fixed when it is made.  imgnorm.normalize and imgnorm.match_histograms
turn colour on with ``channel_axis=``, as scikit-image's functions do.

Parameters
----------
reference : (H, W, 3 or 4) uint8 or uint16 array
    The reference, channels on ``channel_axis``; copied unless copy=False.
    Its dtype picks the pel type: uint8 (bit depth 8) or uint16.
mask : (H, W) uint8 or bool array, optional
channel_axis : int, default -1
    The axis of the channels of the reference and of every image run.
color : {'per-channel', 'luminance'}
bit_depth : int, optional
    The significant bits of uint16 pels, 9 to 16 (default 16); pels above
    2**bit_depth - 1 are refused (BadImage).  8 for uint8.
copy : bool, default True
neighborhood_size, granularity, tail_fractions, intensity_variation_range : optional
    As Normalizer's; intensity_variation_range defaults to the depth's range.
keep_masked_pixels, relative_counts : bool, optional
    As Normalizer's (relative_counts with uint8 only).
methods : str, Method or iterable, optional
    Trains for these methods at once.

Raises
------
BadImage
    A grey reference (2-D), a channel count other than 3 or 4, pels above
    the bit depth, a mask of another size.
BadParams
    A bit depth outside 9..16 for uint16.
ArgumentError, ArgumentTypeError
    Not an array, another dtype, a bad channel_axis or color.

Examples
--------
>>> import numpy as np, imgnorm
>>> rng = np.random.default_rng(1)
>>> reference = rng.integers(0, 256, (64, 64, 3), dtype=np.uint8)
>>> tool = imgnorm.ColorNormalizer(reference, color="luminance", methods="mean-stddev")
>>> tool.run(reference // 2, "mean-stddev").shape
(64, 64, 3)
)";

}  // namespace

void init_color(py::module_& m) {
  py::class_<ColorTool> cls(m, "ColorNormalizer", kClassDoc);
  cls.attr("__module__") = "imgnorm";
  cls.def(py::init([](Typed<types::Image> reference, Typed<types::OptMask> mask, int axis,
                      Typed<types::ColorMode> color, Typed<types::OptInt> depth, bool copy,
                      Typed<types::OptIntPair> nbh, Typed<types::OptIntPair> gran, Typed<types::OptRealPair> tails,
                      Typed<types::OptIntPair> range, Typed<types::OptBool> keep, Typed<types::OptBool> relative,
                      Typed<types::OptMethods> methods) {
            const ColorArray ref = colorArray(reference, "reference", axisArg(axis));
            std::int32_t bits = ref.deep ? 16 : 8;
            if (!depth.is_none()) {
              bits = std::int32_t(std::clamp<long long>(intArg(depth, "bit_depth"), -1, 99));
              if (!ref.deep && bits != 8)
                throw ArgumentError("bit_depth must be 8 for a uint8 reference, got " + std::to_string(bits));
              if (ref.deep && bits <= 8)
                throw ArgumentError("bit_depth must be from 9 to 16 for a uint16 reference, got " +
                                    std::to_string(bits));
            }
            auto n = std::make_unique<ColorTool>(mxColorNormalizer(modeArg(color), bits), axis);
            mxColorNormalizer& t = n->tool;
            if (!nbh.is_none()) t.neighborhoodSize(intPair(nbh, "neighborhood_size"));
            if (!gran.is_none()) t.granularity(intPair(gran, "granularity"));
            if (!tails.is_none()) t.tailFractions(realPair(tails, "tail_fractions"));
            if (!range.is_none()) t.intensityVariationRange(intPair(range, "intensity_variation_range"));
            if (!keep.is_none()) t.keepMaskedPixels(boolArg(keep, "keep_masked_pixels"));
            if (!relative.is_none()) t.relativeCounts(boolArg(relative, "relative_counts"));
            setReference(t, ref, copy);
            t.maskImage(maskArg(mask, copy), false);
            if (!methods.is_none()) {
              const std::uint32_t set = methodSet(methods);
              n->write([&](mxColorNormalizer& tool) { tool.train(Method(set)); });
            }
            return n;
          }),
          py::arg("reference"), py::arg("mask") = py::none(), py::kw_only(), py::arg("channel_axis") = -1,
          py::arg("color") = "per-channel", py::arg("bit_depth") = py::none(), py::arg("copy") = true,
          py::arg("neighborhood_size") = py::none(), py::arg("granularity") = py::none(),
          py::arg("tail_fractions") = py::none(), py::arg("intensity_variation_range") = py::none(),
          py::arg("keep_masked_pixels") = py::none(), py::arg("relative_counts") = py::none(),
          py::arg("methods") = py::none());
  pairProperty<std::int32_t>(cls, "neighborhood_size", &mxColorNormalizer::neighborhoodSize,
                             &mxColorNormalizer::neighborhoodSize);
  pairProperty<std::int32_t>(cls, "granularity", &mxColorNormalizer::granularity, &mxColorNormalizer::granularity);
  pairProperty<double>(cls, "tail_fractions", &mxColorNormalizer::tailFractions, &mxColorNormalizer::tailFractions);
  pairProperty<std::int32_t>(cls, "intensity_variation_range", &mxColorNormalizer::intensityVariationRange,
                             &mxColorNormalizer::intensityVariationRange);
  cls.def_property(
         "keep_masked_pixels",
         [](const ColorTool& n) { return n.read([](const mxColorNormalizer& t) { return t.keepMaskedPixels(); }); },
         [](ColorTool& n, Typed<types::Bool> v) {
           const bool keep = boolArg(v, "keep_masked_pixels");
           n.write([&](mxColorNormalizer& t) { t.keepMaskedPixels(keep); });
         },
         "Whether masked pels keep their values (as Normalizer's); setting it clears the training.")
      .def_property(
          "relative_counts",
          [](const ColorTool& n) { return n.read([](const mxColorNormalizer& t) { return t.relativeCounts(); }); },
          [](ColorTool& n, Typed<types::Bool> v) {
            const bool relative = boolArg(v, "relative_counts");
            n.write([&](mxColorNormalizer& t) { t.relativeCounts(relative); });
          },
          "Histogram matching by fractions of the pel counts (as Normalizer's; uint8 only).")
      .def_property(
          "color", [](const ColorTool& n) { return modeName(n.read([](const mxColorNormalizer& t) { return t.mode(); })); },
          [](ColorTool& n, Typed<types::ColorMode> v) {
            const Mode mode = modeArg(v);
            n.write([&](mxColorNormalizer& t) { t.mode(mode); });
          },
          "'per-channel' or 'luminance'; setting it clears the training.")
      .def_property(
          "channel_axis", [](const ColorTool& n) { return n.channelAxis; },
          [](ColorTool& n, int axis) { n.channelAxis = axisArg(axis); },
          "The axis of the channels in the arrays given and returned.")
      .def_property_readonly(
          "bit_depth", [](const ColorTool& n) { return n.read([](const mxColorNormalizer& t) { return t.bitDepth(); }); },
          "The significant bits per pel: 8 (uint8) or 9 to 16 (uint16).")
      .def_property_readonly(
          "channels", [](const ColorTool& n) { return n.read([](const mxColorNormalizer& t) { return t.channels(); }); },
          "The reference's channel count, 3 or 4.")
      .def_property_readonly(
          "reference",
          [](const ColorTool& n) -> py::object {
            const mxColorNormalizer t = n.read([](const mxColorNormalizer& x) { return x; });
            if (t.channels() == 0) return py::none();  // an archive may hold no reference
            if (t.pelBits() == 16)
              return toColorArray<unsigned short>(t.referenceImage16(), t.channels(), n.channelAxis, false);
            return toColorArray<unsigned char>(t.referenceImage8(), t.channels(), n.channelAxis, false);
          },
          "The reference (read-only; channels on channel_axis).")
      .def_property_readonly(
          "mask",
          [](const ColorTool& n) -> py::object {
            const auto b = n.read([](const mxColorNormalizer& t) { return t.maskImage(); });
            if (!b.isBound()) return py::none();
            return toArray<unsigned char>(b, false);
          },
          "The mask (read-only), or None.")
      .def(
          "train",
          [](ColorTool& n, Typed<types::Methods> methods) {
            const std::uint32_t set = methodSet(methods);
            n.write([&](mxColorNormalizer& t) { t.train(Method(set)); });
          },
          py::arg("methods"),
          "Trains for one method or several (names or Method flags), as Normalizer.train.")
      .def_property_readonly(
          "trained_methods",
          [](const ColorTool& n) {
            return methodFlags(n.read([](const mxColorNormalizer& t) { return std::uint32_t(t.trainedMethods()); }));
          },
          "The methods trained, as a Method value.")
      .def(
          "untrain", [](ColorTool& n) { n.write([](mxColorNormalizer& t) { t.untrain(); }); },
          "Returns every parameter to its default and clears the training; mode and depth stay.")
      .def("run", &run, py::arg("image"), py::arg("method"), py::kw_only(), py::arg("raise_on_failure") = true,
           R"(Normalizes a colour image of the reference's dtype by one trained method.

Returns a new C-contiguous array of the image's dtype over the overlap of
image, reference and mask, channels on channel_axis (alpha passed through).
Raises RunFailed as Normalizer.run (or returns a RunResult with
raise_on_failure=False), NotTrained, and BadImage for a grey image, another
channel count or pel type, or pels above the bit depth.)")
      .def(
          "_grey_tools",
          [](const ColorTool& n) {
            // Copies of the trained grey tools (R, G, B; or the luma), as Normalizers.
            const mxColorNormalizer t = n.read([](const mxColorNormalizer& x) { return x; });
            py::list out;
            for (const mxImageNormalizer& g : t.greyTools8()) out.append(py::cast(std::make_unique<Normalizer>(g)));
            for (const mxImageNormalizer16& g : t.greyTools16()) out.append(py::cast(std::make_unique<Normalizer>(g)));
            return out;
          },
          "The trained grey tools, one per plane (imgnorm.dask runs them chunk by chunk).")
      .def(
          "_luma_chunk",
          [](const ColorTool& n, py::handle chunk) {
            const ColorArray c = colorArray(chunk, "image", -1);
            return c.deep ? lumaChunk<unsigned short>(n, c) : lumaChunk<unsigned char>(n, c);
          },
          py::arg("chunk"), "The luma plane of an (h, w, channels) chunk, as run() makes it.")
      .def(
          "_merge_luma_chunk",
          [](const ColorTool& n, py::handle chunk, py::handle luma, py::handle newLuma) {
            const ColorArray c = colorArray(chunk, "image", -1);
            return c.deep ? mergeLumaChunk<unsigned short>(n, c, luma, newLuma)
                          : mergeLumaChunk<unsigned char>(n, c, luma, newLuma);
          },
          py::arg("chunk"), py::arg("luma"), py::arg("new_luma"),
          "An (h, w, channels) chunk moved by its luma's change, as run() merges it.")
      .def("to_bytes", &toBytes, "The tool's archive form.")
      .def_static("from_bytes", &fromBytes, py::arg("data"), py::arg("channel_axis") = -1,
                  "A tool from to_bytes(), trained again.")
      .def("copy",
           [](const ColorTool& n) {
             return std::make_unique<ColorTool>(n.read([](const mxColorNormalizer& t) { return t; }), n.channelAxis);
           },
           "A copy sharing the images' pels.")
      .def("__copy__",
           [](const ColorTool& n) {
             return std::make_unique<ColorTool>(n.read([](const mxColorNormalizer& t) { return t; }), n.channelAxis);
           })
      .def("__deepcopy__", [](const ColorTool& n, py::handle) { return fromBytes(toBytes(n), n.channelAxis); },
           py::arg("memo"))
      .def(
          "__eq__",
          [](const ColorTool& a, py::handle other) -> py::object {
            if (!py::isinstance<ColorTool>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            const ColorTool& b = other.cast<const ColorTool&>();
            if (&a == &b) return py::bool_(true);
            const mxColorNormalizer copyOfB = b.read([](const mxColorNormalizer& t) { return t; });
            return py::bool_(a.channelAxis == b.channelAxis &&
                             a.read([&](const mxColorNormalizer& t) { return t == copyOfB; }));
          },
          py::is_operator())
      .def("__hash__",
           [](const ColorTool&) -> py::object { throw ArgumentTypeError("unhashable type: 'ColorNormalizer'"); })
      .def(py::pickle([](const ColorTool& n) { return py::make_tuple(toBytes(n), n.channelAxis); },
                      [](py::tuple state) {
                        if (state.size() != 2 || !py::isinstance<py::bytes>(state[0]))
                          throw ArgumentError("a pickled ColorNormalizer holds bytes and a channel axis");
                        return fromBytes(state[0].cast<py::bytes>(), state[1].cast<int>());
                      }))
      .def(
          "save",
          [](const ColorTool& n, Typed<types::Path> path) {
            const py::bytes archive = toBytes(n);
            const std::string_view a = archive;
            saveToolFile(path, mxToolFile::frame(std::vector<std::uint8_t>(a.begin(), a.end()),
                                                 mxToolFile::kColorFormatVersion));
          },
          py::arg("path"),
          "Writes the tool file (as Normalizer.save: a temporary renamed over path); the channel\n"
          "axis is not stored.")
      .def_static(
          "load",
          [](Typed<types::Path> path, int axis) {
            std::string where;
            const std::vector<std::uint8_t> file = readToolFile(path, where);
            auto n = std::make_unique<ColorTool>(mxColorNormalizer(), axisArg(axis));
            try {
              py::gil_scoped_release nogil;
              mxToolFile::load(file.data(), file.size(), n->tool);
            } catch (const mxArchive::BadData& e) {
              throw mxArchive::BadData(mfFromUtf8(where) + L": " + e.message());
            } catch (const mxArchive::Truncated& e) {
              throw mxArchive::Truncated(mfFromUtf8(where) + L": " + e.message());
            }
            return n;
          },
          py::arg("path"), py::arg("channel_axis") = -1,
          "Reads a colour tool file (save(), `imgnorm train "
          "-o`); errors as Normalizer.load.")
      .def("__repr__", [](const ColorTool& n) {
        const mxColorNormalizer t = n.read([](const mxColorNormalizer& x) { return x; });
        return "<imgnorm.ColorNormalizer color='" + std::string(modeName(t.mode())) +
               "' bit_depth=" + std::to_string(t.bitDepth()) + " channels=" + std::to_string(t.channels()) +
               " channel_axis=" + std::to_string(n.channelAxis) +
               " trained_methods=" + std::string(py::repr(methodFlags(std::uint32_t(t.trainedMethods())))) + ">";
      });
}

}  // namespace imgnormpy

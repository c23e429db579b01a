// The pixel functions of imgnorm._imgnorm over uint8 numpy arrays: each
// checks shapes, works on a copy (or the given output) without the GIL, and
// returns a new array.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "arrays.h"
#include "baseif/mxPelOps.h"
#include "binding.h"
#include "docstrings.h"
#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_Neighborhood.h"
#include "pelfunc/mf_PelArithmetic.h"
#include "pelfunc/mf_PelBufferEqual.h"
#include "pelfunc/mf_Region.h"

namespace imgnormpy {

namespace {

template <class T>
void sameShape(const mxPelBuffer_const<T>& a, const mxPelBuffer_const<unsigned char>& b, const char* what) {
  if (a.width() != b.width() || a.height() != b.height())
    throw ArgumentError(std::string(what) + " shape (" + std::to_string(b.height()) + ", " + std::to_string(b.width()) +
                        ") differs from the image shape (" + std::to_string(a.height()) + ", " +
                        std::to_string(a.width()) + ")");
}

mxPelBuffer<unsigned char> copyOf(const mxPelBuffer_const<unsigned char>& b) { return mfPelCopy(b); }

using namespace types;
using Out = Typed<Image8>;

Out result(const mxPelBuffer<unsigned char>& b) { return Out(packedResult(b)); }

// A grey level argument: an integer (not True or False) in 0..255.
unsigned char level(py::handle v, const char* what) {
  const long long x = intArg(v, what);
  if (x < 0 || x > 255) throw ArgumentError(std::string(what) + " must lie in 0..255, got " + std::to_string(x));
  return static_cast<unsigned char>(x);
}

mxPelBuffer_const<unsigned char> optionalMask(py::handle mask, const mxPelBuffer_const<unsigned char>& image) {
  if (mask.is_none()) return {};
  mxPelBuffer_const<unsigned char> m = constBuffer<unsigned char>(mask, "mask");
  sameShape(image, m, "mask");
  return m;
}

// The result of op(copy of a, b), b checked to have a's shape; the work runs
// without the GIL.
template <class Op>
Out onCopy(py::handle a, py::handle b, const char* bName, Op op) {
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

}  // namespace

void init_pixel_functions(py::module_& m) {
  using U8 = mxPelBuffer_const<unsigned char>;
  m.def(
      "sub_clamp",
      [](Typed<Image8> a, Typed<Image8> b, Typed<Int> amountArg) {
        const unsigned char amount = level(amountArg, "amount");
        return onCopy(a, b, "b", [amount](mxPelBuffer<unsigned char>& d, const U8& y) {
          mf_PelSubClamp(d, y, amount);
        });
      },
      py::arg("a"), py::arg("b"), py::arg("amount") = 127, doc::subClamp);
  m.def(
      "sub_clamp_signed",
      [](Typed<Image8> a, Typed<Image8> s) {
        return onCopy(a, s, "signed", [](mxPelBuffer<unsigned char>& d, const U8& y) { mf_PelSubClampSigned(d, y); });
      },
      py::arg("a"), py::arg("signed"), doc::subClampSigned);
  m.def(
      "add_clamp",
      [](Typed<Image8> a, Typed<Image8> s) {
        return onCopy(a, s, "signed", [](mxPelBuffer<unsigned char>& d, const U8& y) { mf_PelAddClamp(d, y); });
      },
      py::arg("a"), py::arg("signed"), doc::addClamp);
  m.def(
      "masked_copy",
      [](Typed<Image8> src, Typed<Mask> mask, Typed<OptImage8> out, bool copyMasked) {
        U8 s = constBuffer<unsigned char>(src, "src");
        U8 k = constBuffer<unsigned char>(mask, "mask");
        sameShape(s, k, "mask");
        if (!out.is_none()) {
          mxPelBuffer<unsigned char> d = writableBuffer<unsigned char>(out, "out");
          sameShape(s, d, "out");
          // As numpy's copies: an out that overlaps src or mask gets what they
          // held before the call, so they are read from copies then.
          const py::object overlaps = py::module_::import("numpy").attr("may_share_memory");
          if (overlaps(out, src).cast<bool>()) s = copyOf(s);
          if (overlaps(out, mask).cast<bool>()) k = copyOf(k);
          py::gil_scoped_release nogil;
          mf_MaskedPelCopy(s, k, d, copyMasked);
          return Out(out);
        }
        mxPelBuffer<unsigned char> d(s.width(), s.height());
        {
          py::gil_scoped_release nogil;
          mf_MaskedPelCopy(s, k, d, copyMasked);
        }
        return result(d);
      },
      py::arg("src"), py::arg("mask"), py::arg("out") = py::none(), py::arg("copy_masked") = false, doc::maskedCopy);
  m.def(
      "masked_histogram",
      [](Typed<Image8> image, Typed<OptMask> mask) {
        U8 s = constBuffer<unsigned char>(image, "image");
        U8 k = optionalMask(mask, s);
        std::vector<std::uint32_t> h;
        {
          py::gil_scoped_release nogil;
          mf_MaskedPelHistogram(s, k, h);
        }
        py::array_t<std::uint32_t> a(256);
        std::copy(h.begin(), h.end(), a.mutable_data());
        return Typed<Histogram>(a);
      },
      py::arg("image"), py::arg("mask") = py::none(), doc::maskedHistogram);
  m.def(
      "masked_threshold",
      [](Typed<Image8> image, Typed<Mask> mask, Typed<Int> thresholdArg) {
        const unsigned char threshold = level(thresholdArg, "threshold");
        U8 s = constBuffer<unsigned char>(image, "image");
        U8 k = constBuffer<unsigned char>(mask, "mask");
        sameShape(s, k, "mask");
        mxPelBuffer<unsigned char> d(s.width(), s.height());
        {
          py::gil_scoped_release nogil;
          mf_MaskedPelThreshold(s, k, threshold, d);
        }
        return result(d);
      },
      py::arg("image"), py::arg("mask"), py::arg("threshold"), doc::maskedThreshold);
  m.def(
      "threshold",
      [](Typed<Image8> image, Typed<OptInt> threshold) {
        U8 s = constBuffer<unsigned char>(image, "image");
        const int t = threshold.is_none() ? -1 : level(threshold, "threshold");
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
      [](Typed<Image8> image, Typed<Int> fromArg, Typed<Int> toArg) {
        const unsigned char from = level(fromArg, "from_value"), to = level(toArg, "to_value");
        mxPelBuffer<unsigned char> d = copyOf(constBuffer<unsigned char>(image, "image"));
        {
          py::gil_scoped_release nogil;
          mf_PelMapValue(d, from, to);
        }
        return result(d);
      },
      py::arg("image"), py::arg("from_value"), py::arg("to_value"), doc::mapValue);
  m.def(
      "smooth_3x3_diamond",
      [](Typed<Image8> image) {
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
      [](Typed<Image8> image, bool dilate) {
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
      [](Typed<Image8> image) {
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
      [](Typed<Image8> image, Typed<Int> valueArg) {
        const unsigned char value = level(valueArg, "value");
        U8 s = constBuffer<unsigned char>(image, "image");
        mxPair<std::int32_t> p;
        if (!mf_FindFirstPel(s, value, p)) return Typed<OptPoint>(py::none());
        return Typed<OptPoint>(py::make_tuple(p.y(), p.x()));
      },
      py::arg("image"), py::arg("value"), doc::findFirstPel);
  m.def(
      "flood_fill",
      [](Typed<Image8> image, Typed<Point> seedArg, Typed<Int> fillArg, bool inPlace) {
        const unsigned char fill = level(fillArg, "fill_value");
        if (!py::isinstance<py::sequence>(seedArg) || py::isinstance<py::str>(seedArg) || py::len(seedArg) != 2)
          throw ArgumentTypeError("seed must be a pair (row, column)");
        const std::pair<long long, long long> seed(intArg(seedArg[py::int_(0)], "seed"),
                                                   intArg(seedArg[py::int_(1)], "seed"));
        mxPelBuffer<unsigned char> d = inPlace ? writableBuffer<unsigned char>(image, "image")
                                               : copyOf(constBuffer<unsigned char>(image, "image"));
        if (seed.first < 0 || seed.second < 0 || seed.first >= d.height() || seed.second >= d.width())
          throw ArgumentError("seed (row, column) must lie inside the image, got (" + std::to_string(seed.first) +
                              ", " + std::to_string(seed.second) + ") in shape (" + std::to_string(d.height()) + ", " +
                              std::to_string(d.width()) + ")");
        std::vector<long long> work;
        {
          py::gil_scoped_release nogil;
          mf_FloodFill(d, mxPair<std::int32_t>(std::int32_t(seed.second), std::int32_t(seed.first)),
                       fill, work);
        }
        if (inPlace) return Out(image);
        return result(d);
      },
      py::arg("image"), py::arg("seed"), py::arg("fill_value"), py::arg("in_place") = false, doc::floodFill);
  m.def(
      "masked_divide",
      [](Typed<Image16> num, Typed<Image16> den, Typed<OptMask> mask, Typed<Int> scaleArg) {
        const long long scale = intArg(scaleArg, "scale");
        if (scale < 0 || scale > 0xFFFFFFFFll) throw ArgumentError("scale must lie in 0..4294967295");
        mxPelBuffer_const<unsigned short> n = constBuffer<unsigned short>(num, "numerator");
        mxPelBuffer_const<unsigned short> d = constBuffer<unsigned short>(den, "denominator");
        if (n.width() != d.width() || n.height() != d.height())
          throw ArgumentError("denominator shape differs from the numerator shape");
        U8 k;
        if (!mask.is_none()) {
          k = constBuffer<unsigned char>(mask, "mask");
          if (k.width() != n.width() || k.height() != n.height())
            throw ArgumentError("mask shape differs from the numerator shape");
        }
        mxPelBuffer<unsigned char> out(n.width(), n.height());
        {
          py::gil_scoped_release nogil;
          mf_MaskedPelDivide(n, d, k, out, std::uint32_t(scale));
        }
        return result(out);
      },
      py::arg("numerator"), py::arg("denominator"), py::arg("mask") = py::none(), py::arg("scale") = 1,
      doc::maskedDivide);
  m.def(
      "buffers_equal",
      [](Typed<AnyArray> a, Typed<AnyArray> b) {
        py::array x = py::module_::import("numpy").attr("asarray")(a);
        if (py::detail::npy_api::get().PyArray_EquivTypes_(x.dtype().ptr(), py::dtype::of<std::uint32_t>().ptr()))
          return mf_PelBufferEqual(constBuffer<std::uint32_t>(a, "a"), constBuffer<std::uint32_t>(b, "b"), 0.0);
        return mf_PelBufferEqual(constBuffer<unsigned char>(a, "a"), constBuffer<unsigned char>(b, "b"), 0.0);
      },
      py::arg("a"), py::arg("b"), doc::buffersEqual);
}

}  // namespace imgnormpy

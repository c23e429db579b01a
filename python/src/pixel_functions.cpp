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

py::array result(const mxPelBuffer<unsigned char>& b) { return packedResult(b); }

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

}  // namespace

void init_pixel_functions(py::module_& m) {
  using U8 = mxPelBuffer_const<unsigned char>;
  m.def(
      "sub_clamp",
      [](py::handle a, py::handle b, int amount) {
        if (amount < 0 || amount > 255) throw ArgumentError("amount must lie in 0..255");
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
        if (threshold < 0 || threshold > 255) throw ArgumentError("threshold must lie in 0..255");
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
          if (t < 0 || t > 255) throw ArgumentError("threshold must lie in 0..255 or be None");
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
        if (from < 0 || from > 255 || to < 0 || to > 255) throw ArgumentError("grey levels must lie in 0..255");
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
        if (value < 0 || value > 255) throw ArgumentError("value must lie in 0..255");
        U8 s = constBuffer<unsigned char>(image, "image");
        mxPair<std::int32_t> p;
        if (!mf_FindFirstPel(s, static_cast<unsigned char>(value), p)) return py::none();
        return py::make_tuple(p.y(), p.x());
      },
      py::arg("image"), py::arg("value"), doc::findFirstPel);
  m.def(
      "flood_fill",
      [](py::handle image, std::pair<std::int64_t, std::int64_t> seed, int fill, bool inPlace) -> py::object {
        if (fill < 0 || fill > 255) throw ArgumentError("fill_value must lie in 0..255");
        if (seed.first < 0 || seed.second < 0 || seed.first > std::numeric_limits<std::int32_t>::max() ||
            seed.second > std::numeric_limits<std::int32_t>::max())
          throw ArgumentError("seed (row, column) must lie inside the image");
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

}  // namespace imgnormpy

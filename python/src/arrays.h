// numpy arrays <-> pixel buffers for the Python module.
//
// An input array is viewed in place whenever its layout allows it (the pels
// of a row adjacent, rows at a non-negative stride, wider pels on their own
// alignment): the buffer then shares the array's memory and keeps the array
// alive through the store's keep-alive handle.  Any other layout (transposes,
// steps along a row, reversed rows) is first copied into a C-contiguous
// array.  Results are handed to numpy without a copy: the array's base is a
// capsule that owns a handle on the result's store.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "baseif/mxPelBuffer.h"
#include "binding.h"

namespace imgnormpy {

namespace py = pybind11;

template <class T>
const char* dtypeName() {
  return sizeof(T) == 1 ? "uint8" : sizeof(T) == 2 ? "uint16" : "uint32";
}

inline std::string shapeText(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) s += (i ? ", " : "") + std::to_string(a.shape(i));
  return s + (a.ndim() == 1 ? ",)" : ")");
}

// Holds a Python object for a pel store; dropping the last store handle may
// happen on a thread that does not hold the GIL (inside a released run).
inline std::shared_ptr<const void> keepAlive(py::object o) {
  auto* held = new py::object(std::move(o));
  return std::shared_ptr<const void>(held, [](const void* p) {
    py::gil_scoped_acquire gil;
    delete static_cast<const py::object*>(p);
  });
}

// How to convert floating-point and signed pels (a clause for a message), or
// nothing for other dtypes: the package takes unsigned grey levels only,
// since a float's scale (0..1, 0..255, 0..4095?) cannot be guessed.
inline std::string conversionHint(const py::array& a) {
  const char kind = a.dtype().kind();
  if (kind == 'f')
    return ": convert floating-point pels first, with their scale, e.g. skimage.util.img_as_ubyte(a) or "
           "img_as_uint(a) for values in [0, 1], or np.clip(a, 0, 255).astype(np.uint8) for grey levels";
  if (kind == 'i')
    return ": convert signed pels first, e.g. np.clip(a, 0, 255).astype(np.uint8) or "
           "np.clip(a, 0, 65535).astype(np.uint16)";
  return "";
}

// obj as a numpy array (np.asarray), unsigned pels in the machine's byte
// order: big-endian uint16 (FITS readers give it) is converted, once.
inline py::array pelArray(py::handle obj) {
  py::array a = py::module_::import("numpy").attr("asarray")(obj);
  if (a.dtype().kind() == 'u' && !a.dtype().attr("isnative").cast<bool>())
    a = a.attr("astype")(a.dtype().attr("newbyteorder")("="));
  return a;
}

// The array behind obj, checked to be a non-empty 2-D array of T.  Raises
// ArgumentTypeError (not an array, dtype) or ArgumentError (rank, size)
// naming the argument.  Objects that are arrays without being numpy's (they
// offer __array__ or the array interface) are taken; lists and other
// sequences are not, so that a list of rows is not taken for an image by
// accident.  A boolean mask (an argument named "mask") becomes 0 / 255.
template <class T>
py::array checkedArray(py::handle obj, const char* what) {
  const std::string name(what);
  const std::string expected = name + " must be a 2-D numpy " + dtypeName<T>() + " array";
  if (obj.is_none()) throw ArgumentTypeError(expected + ", got None");
  py::module_ np = py::module_::import("numpy");
  if (!py::isinstance(obj, np.attr("ndarray")) && !py::hasattr(obj, "__array__") &&
      !py::hasattr(obj, "__array_interface__"))
    throw ArgumentTypeError(expected + ", got " + std::string(py::str(py::type::of(obj).attr("__name__"))));
  py::array a = pelArray(obj);
  if (sizeof(T) == 1 && name == "mask" && a.dtype().kind() == 'b')
    a = np.attr("multiply")(a, 255, py::arg("dtype") = np.attr("uint8"));
  // Equivalent, not identical: an unpickled array has a dtype object of its own.
  if (!py::detail::npy_api::get().PyArray_EquivTypes_(a.dtype().ptr(), py::dtype::of<T>().ptr()))
    throw ArgumentTypeError(expected + ", got dtype " + std::string(py::str(a.dtype())) + conversionHint(a));
  if (a.ndim() == 3)
    throw ArgumentError(name + " must be a 2-D array (height, width), got shape " + shapeText(a) +
                        ": for a colour image pass channel_axis= (imgnorm.normalize, imgnorm.match_histograms, "
                        "imgnorm.ColorNormalizer)");
  if (a.ndim() != 2)
    throw ArgumentError(name + " must be a 2-D array (height, width), got " + std::to_string(a.ndim()) +
                        "-D array of shape " + shapeText(a));
  if (a.shape(0) == 0 || a.shape(1) == 0) throw ArgumentError(name + " must not be empty, got shape " + shapeText(a));
  if (a.shape(0) > std::numeric_limits<std::int32_t>::max() || a.shape(1) > std::numeric_limits<std::int32_t>::max())
    throw ArgumentError(name + " is too large, got shape " + shapeText(a));
  return a;
}

// Whether the buffer can show a's memory as it is.
template <class T>
bool viewable(const py::array& a) {
  const py::ssize_t h = a.shape(0), w = a.shape(1);
  const py::ssize_t ps = sizeof(T);
  const bool pelsAdjacent = w == 1 || a.strides(1) == ps;
  const bool rowsOk = h == 1 || (a.strides(0) >= w * ps && a.strides(0) % ps == 0);
  const bool aligned = reinterpret_cast<std::uintptr_t>(a.data()) % sizeof(T) == 0;
  return pelsAdjacent && rowsOk && aligned;
}

template <class T>
std::ptrdiff_t rowStride(const py::array& a) {
  return a.shape(0) == 1 ? std::ptrdiff_t(a.shape(1)) * std::ptrdiff_t(sizeof(T)) : std::ptrdiff_t(a.strides(0));
}

// The pels of an array of any layout (strides zero or negative included),
// taken while the GIL is held and read without it while the caller holds the
// array.
template <class T>
struct StridedPels {
  const unsigned char* data;
  std::ptrdiff_t rowStep, pelStep;
  explicit StridedPels(const py::array& a)
      : data(static_cast<const unsigned char*>(a.data())), rowStep(a.strides(0)), pelStep(a.strides(1)) {}

  // A copy of the pels inside rect (column x, row y of the array, rect inside
  // it), its window at rect: only that part of a large view is copied.
  mxPelBuffer<T> copy(const mxPelRect& rect) const {
    mxPelBuffer<T> out(rect, 32, mxPelInit::eUnwritten);
    const std::size_t w = std::size_t(rect.width());
    for (std::int32_t j = 0; j < rect.height(); ++j) {
      const unsigned char* src = data + std::ptrdiff_t(rect.y() + j) * rowStep + std::ptrdiff_t(rect.x()) * pelStep;
      T* dst = out.row(j);
      if (pelStep == std::ptrdiff_t(sizeof(T)))
        std::memcpy(dst, src, w * sizeof(T));
      else  // memcpy per pel: a strided source need not be aligned for T
        for (std::size_t i = 0; i < w; ++i) std::memcpy(dst + i, src + std::ptrdiff_t(i) * pelStep, sizeof(T));
    }
    return out;
  }
};

// A read-only buffer over obj's pels: a view when the layout allows it, else
// over a C-contiguous copy.
template <class T>
mxPelBuffer_const<T> constBuffer(py::handle obj, const char* what) {
  py::array a = checkedArray<T>(obj, what);
  if (!viewable<T>(a)) a = py::module_::import("numpy").attr("ascontiguousarray")(a);
  const T* p = static_cast<const T*>(a.data());
  const auto h = std::int32_t(a.shape(0)), w = std::int32_t(a.shape(1));
  const std::ptrdiff_t stride = rowStride<T>(a);
  return mxPelBuffer_const<T>::wrap(p, w, h, stride, keepAlive(a));
}

// A writable buffer over obj's own pels (no copy is ever made: the caller
// asked for its array to be written).  Raises ValueError for a read-only
// array or a layout the buffers cannot show.
template <class T>
mxPelBuffer<T> writableBuffer(py::handle obj, const char* what) {
  if (py::isinstance<py::array>(obj) && !py::reinterpret_borrow<py::array>(obj).dtype().attr("isnative").cast<bool>())
    throw ArgumentError(std::string(what) + " must be in the machine's byte order to be written in place");
  py::array a = checkedArray<T>(obj, what);
  if (!a.writeable()) throw ArgumentError(std::string(what) + " must be a writable array");
  if (!viewable<T>(a))
    throw ArgumentError(std::string(what) +
                        " must have adjacent pels in each row and rows at a positive stride to be written in place");
  const auto h = std::int32_t(a.shape(0)), w = std::int32_t(a.shape(1));
  return mxPelBuffer<T>::wrap(static_cast<T*>(a.mutable_data()), w, h, rowStride<T>(a), keepAlive(a));
}

// The window of buf as a numpy array sharing its pels (no copy); the array
// keeps the store alive.  An unbound buffer gives a new (0, 0) array.
template <class T>
py::array toArray(const mxPelBuffer_const<T>& buf, bool writeable) {
  if (!buf.isBound() || buf.width() == 0 || buf.height() == 0)
    return py::array_t<T>(std::vector<py::ssize_t>{buf.height(), buf.width()});
  auto* holder = new mxPelBuffer_const<T>(buf);
  py::capsule owner(holder, [](void* p) { delete static_cast<mxPelBuffer_const<T>*>(p); });
  py::array_t<T> a({py::ssize_t(buf.height()), py::ssize_t(buf.width())},
                   {py::ssize_t(buf.rowStrideBytes()), py::ssize_t(sizeof(T))}, holder->pointToOffset(), owner);
  if (!writeable) a.attr("setflags")(py::arg("write") = false);
  return std::move(a);
}

// A result as a C-contiguous array.  The library's results have their rows
// on 32-byte boundaries, so a width that is not a multiple of 32 leaves gaps
// between rows; numpy users expect C-contiguous results (tobytes, reshape
// views, C and GPU libraries that take a pointer), so such a result is
// copied once into a packed array.  A packed result is handed over without a
// copy.
template <class T>
py::array packedResult(const mxPelBuffer<T>& out) {
  py::array a = toArray<T>(out, true);
  if (a.flags() & py::array::c_style) return a;
  return py::module_::import("numpy").attr("ascontiguousarray")(a);
}

}  // namespace imgnormpy

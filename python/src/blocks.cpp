// The block-wise steps of imgnorm._imgnorm, for imgnorm.dask.
// Each takes the tool and numpy blocks with the image coordinates of their
// first pel, and runs one step of the block engine of the tool's pel type (mxBlockNormalizer,
// mxBlockNormalizer16: the same code as their run()), so that a task graph
// over chunks gives the whole-image pels.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "arrays.h"
#include "baseif/mxStr.h"
#include "binding.h"
#include "imgnorm/mxBlockNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace imgnormpy {

using mxImageNormalizerDefs::Method;

namespace {

template <class T>
mxPelBuffer_const<T> blockAt(py::handle a, std::int32_t x0, std::int32_t y0, const char* what) {
  mxPelBuffer_const<T> b = constBuffer<T>(a, what);
  b.offset({x0, y0});
  return b;
}

// f(the block engine of n's tool, of pel type T: uint8 for an 8-bit tool,
// uint16 for a 16-bit one), under n's lock with the GIL released.  The
// chunking is imgnorm.dask's; the engine's own block size plays no part.
template <class T, class F>
auto withEngine(const Normalizer& n, F&& f) {
  py::gil_scoped_release nogil;
  std::shared_lock<std::shared_mutex> hold(n.lock);
  if constexpr (sizeof(T) == 1)
    return f(mxBlockNormalizer(n.tool, {1 << 30, 1 << 30}));
  else
    return f(mxBlockNormalizer16(n.deepTool, {1 << 30, 1 << 30}));
}

// f.template operator()<T>() for the pel type of n's tool.
template <class F>
auto byPel(const Normalizer& n, F&& f) {
  return n.deep ? f(static_cast<unsigned short*>(nullptr)) : f(static_cast<unsigned char*>(nullptr));
}

// 8, or the 16-bit tool's declared depth.
std::int32_t depthOf(const Normalizer& n) {
  if (!n.deep) return 8;
  py::gil_scoped_release nogil;
  std::shared_lock<std::shared_mutex> hold(n.lock);
  return n.deepTool.bitDepth();
}

}  // namespace

void init_blocks(py::module_& m) {
  m.def(
      "_block_halo",
      [](const Normalizer& n, py::handle method) {
        const std::uint32_t meth = oneMethod(method);
        return byPel(n, [&](auto* pel) {
          using T = std::remove_pointer_t<decltype(pel)>;
          return toTuple(withEngine<T>(n, [&](const auto& e) { return e.halo(Method(meth)); }));
        });
      },
      py::arg("normalizer"), py::arg("method"));
  m.def(
      "_block_window",
      [](const Normalizer& n, py::handle method, std::int32_t width, std::int32_t height) -> py::object {
        const std::uint32_t meth = oneMethod(method);
        const mxPelRect r = byPel(n, [&](auto* pel) {
          using T = std::remove_pointer_t<decltype(pel)>;
          return withEngine<T>(n, [&](const auto& e) {
            try {
              return e.checkRun(Method(meth), mxPelRect(0, 0, width, height));
            } catch (const mxImageNormalizerDefs::NotTrained&) {
              throwNotTrained(n, meth);
            }
          });
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
        const std::int32_t depth = depthOf(n);
        const std::vector<std::uint64_t> flat = byPel(n, [&](auto* pel) {
          using T = std::remove_pointer_t<decltype(pel)>;
          const mxPelBuffer_const<T> b = blockAt<T>(block, x0, y0, "block");
          return withEngine<T>(n, [&](const auto& e) {
            mxBlockTotals sum;
            e.addTotals(b, Method(meth), mxPelRect(window[0], window[1], window[2], window[3]), sum);
            return sum.flat(Method(meth), depth);
          });
        });
        py::array_t<std::uint64_t> out(py::ssize_t(flat.size()));
        std::copy(flat.begin(), flat.end(), out.mutable_data());
        return out;
      },
      py::arg("normalizer"), py::arg("block"), py::arg("x0"), py::arg("y0"), py::arg("method"), py::arg("window"));
  m.def(
      "_block_table",
      [](const Normalizer& n, py::handle method,
         py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast> sum) -> py::object {
        const std::uint32_t meth = oneMethod(method);
        const mxBlockTotals totals =
            mxBlockTotals::fromFlat(sum.data(), std::size_t(sum.size()), Method(meth), depthOf(n));
        return byPel(n, [&](auto* pel) -> py::object {
          using T = std::remove_pointer_t<decltype(pel)>;
          std::vector<T> lut;
          std::wstring message;
          const bool ok =
              withEngine<T>(n, [&](const auto& e) { return e.table(Method(meth), totals, lut, message); });
          if (!ok) return py::make_tuple(py::none(), mfToUtf8(message));
          py::array_t<T> table(py::ssize_t(lut.size()));
          std::copy(lut.begin(), lut.end(), table.mutable_data());
          return py::make_tuple(table, "");
        });
      },
      py::arg("normalizer"), py::arg("method"), py::arg("totals"));
  m.def(
      "_block_map",
      [](const Normalizer& n, py::handle block, std::int32_t x0, std::int32_t y0, py::array table) {
        const std::size_t entries = std::size_t(1) << depthOf(n);
        return byPel(n, [&](auto* pel) -> py::object {
          using T = std::remove_pointer_t<decltype(pel)>;
          const auto t = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(table);
          if (!t || std::size_t(t.size()) != entries)
            throw ArgumentError("the table must have " + std::to_string(entries) + " entries");
          const std::vector<T> lut(t.data(), t.data() + entries);
          const mxPelBuffer_const<T> b = blockAt<T>(block, x0, y0, "block");
          return toArray<T>(withEngine<T>(n, [&](const auto& e) { return e.mapBlock(b, lut); }), true);
        });
      },
      py::arg("normalizer"), py::arg("block"), py::arg("x0"), py::arg("y0"), py::arg("table"));
  m.def(
      "_block_totals_size",
      [](py::handle method, std::int32_t bitDepth) { return mxBlockTotals::size(Method(oneMethod(method)), bitDepth); },
      py::arg("method"), py::arg("bit_depth") = 8);
  m.def(
      "_block_run_local",
      [](const Normalizer& n, py::handle context, std::int32_t x0, std::int32_t y0, py::handle method,
         std::array<std::int32_t, 4> block) {
        const std::uint32_t meth = oneMethod(method);
        return byPel(n, [&](auto* pel) -> py::object {
          using T = std::remove_pointer_t<decltype(pel)>;
          const mxPelBuffer_const<T> c = blockAt<T>(context, x0, y0, "context");
          return toArray<T>(withEngine<T>(n, [&](const auto& e) {
                              return e.runBlock(c, Method(meth), mxPelRect(block[0], block[1], block[2], block[3]));
                            }),
                            true);
        });
      },
      py::arg("normalizer"), py::arg("context"), py::arg("x0"), py::arg("y0"), py::arg("method"), py::arg("block"));
}

}  // namespace imgnormpy

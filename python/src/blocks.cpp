// The block-wise steps of imgnorm._imgnorm, for imgnorm.dask.
// Each takes the tool and numpy blocks with the image coordinates of their
// first pel, and runs one step of mxBlockNormalizer (the same code as its
// run()), so that a task graph over chunks gives the whole-image pels.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "arrays.h"
#include "baseif/mxStr.h"
#include "binding.h"
#include "imgnorm/mxBlockNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace imgnormpy {

using mxImageNormalizerDefs::Method;

namespace {

mxPelBuffer_const<unsigned char> blockAt(py::handle a, std::int32_t x0, std::int32_t y0, const char* what) {
  mxPelBuffer_const<unsigned char> b = constBuffer<unsigned char>(a, what);
  b.offset({x0, y0});
  return b;
}

// The chunking is imgnorm.dask's; the engine's own block size plays no part.
mxBlockNormalizer engineOf(const mxImageNormalizer& t) { return mxBlockNormalizer(t, {1 << 30, 1 << 30}); }

}  // namespace

void init_blocks(py::module_& m) {
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
          try {
            return engineOf(t).checkRun(Method(meth), mxPelRect(0, 0, width, height));
          } catch (const mxImageNormalizerDefs::NotTrained&) {
            throwNotTrained(n, meth);
          }
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
        if (size < 256) throw ArgumentError("totals must hold at least 256 counts");
        totals.histogram.assign(p, p + 256);
        if (size == mxBlockTotals::size(mxImageNormalizerDefs::eLinearlyFitGrayValues)) {
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
        if (table.size() != 256) throw ArgumentError("the table must have 256 entries");
        const std::vector<unsigned char> lut(table.data(), table.data() + 256);
        const mxPelBuffer_const<unsigned char> b = blockAt(block, x0, y0, "block");
        return toArray<unsigned char>(n.read([&](const mxImageNormalizer& t) { return engineOf(t).mapBlock(b, lut); }),
                                      true);
      },
      py::arg("normalizer"), py::arg("block"), py::arg("x0"), py::arg("y0"), py::arg("table"));
  m.def(
      "_block_totals_size", [](py::handle method) { return mxBlockTotals::size(Method(oneMethod(method))); },
      py::arg("method"));
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

}  // namespace imgnormpy

// The error classes of imgnorm._imgnorm: every library exception becomes the
// Python class of the same name in imgnorm/_types.py, with its message and
// error number.
#include <typeindex>
#include <unordered_map>

#include "baseif/mxArchive.h"
#include "baseif/mxException.h"
#include "baseif/mxStr.h"
#include "binding.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace imgnormpy {

namespace {

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
      {typeid(D::NotImplemented), "NotImplementedByTool"},
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

}  // namespace

py::object typesModule() { return py::module_::import("imgnorm._types"); }

void init_errors(py::module_& m) {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const mxException& e) {
      raiseMapped(e);
    } catch (const ArgumentError& e) {
      PyErr_SetString(typesModule().attr("ArgumentError").ptr(), e.what());
    } catch (const ArgumentTypeError& e) {
      PyErr_SetString(typesModule().attr("ArgumentTypeError").ptr(), e.what());
    }
  });
  m.attr("_error_numbers") = errorNumbers();
}

}  // namespace imgnormpy

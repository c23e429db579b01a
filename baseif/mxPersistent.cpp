#include "baseif/mxPersistent.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "baseif/mxArchive.h"

mxPersistent::~mxPersistent() = default;

void mxPersistent::reInit() {}

void mxPersistent::loadSimple(mxArchive& ar) {
  reInit();
  dispatchSerialize(ar);
}

bool mxPersistent::haveVisited(mxArchive& ar, const void* object, std::size_t classSize) {
  return ar.visited(object, classSize);
}

void mxPersistent::setVisited(mxArchive& ar, const void* object, std::size_t classSize) {
  ar.markVisited(object, classSize);
}

namespace {
// The registry is created on first use, so registrations made by static
// objects of any translation unit find it ready whatever the order of
// initialisation.  It is written only while the library loads.
std::map<std::string, mx_Instantiator::Factory>& registry() {
  static std::map<std::string, mx_Instantiator::Factory> r;
  return r;
}
}  // namespace

std::string mx_Instantiator::typeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && d ? std::string(d.get()) : std::string(type.name());
}

mx_Instantiator::mx_Instantiator(const std::type_info& type, Factory make) : name_(typeName(type)) {
  registry()[name_] = make;
}

mx_Instantiator::~mx_Instantiator() { registry().erase(name_); }

mx_Instantiator::Factory mx_Instantiator::find(const std::string& name) {
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second;
}

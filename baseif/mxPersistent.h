// mxPersistent: the base of every class that an mxArchive can store and load
// by type.  A concrete persistent class registers a factory with one static
// mx_Instantiator; the archive then re-creates an object of the right class
// from the class name it finds in the stream (mxArchive::loadObject).
#pragma once

#include <cstddef>
#include <string>
#include <typeinfo>

#include "baseif/mxExport.h"

class mxArchive;

class IMGNORM_API mxPersistent {
public:
  virtual ~mxPersistent();
  // Stores this object into, or loads it from, the archive (both directions
  // through the same operator|| calls).
  virtual void dispatchSerialize(mxArchive& ar) = 0;
  // Returns the object to the state a factory gives it; called before loading.
  virtual void reInit();
  // reInit() followed by dispatchSerialize() on a loading archive.
  virtual void loadSimple(mxArchive& ar);

  // Visited marks: an archive remembers which (object, class size) parts it
  // has already exchanged, so that a part reached twice in one exchange is
  // written and read once.
  static bool haveVisited(mxArchive& ar, const void* object, std::size_t classSize);
  static void setVisited(mxArchive& ar, const void* object, std::size_t classSize);

protected:
  mxPersistent() = default;
  mxPersistent(const mxPersistent&) = default;
  mxPersistent& operator=(const mxPersistent&) = default;
};

// Registers a factory for one persistent class under its qualified C++ name
// (for example "mxImageNormalizerDefs::BadImage").  Construct one static
// instance per class; the registration lasts for the life of the program.
class IMGNORM_API mx_Instantiator {
public:
  using Factory = mxPersistent* (*)();
  mx_Instantiator(const std::type_info& type, Factory make);
  ~mx_Instantiator();
  mx_Instantiator(const mx_Instantiator&) = delete;
  mx_Instantiator& operator=(const mx_Instantiator&) = delete;

  // The registered name of a type: its demangled qualified name.
  static std::string typeName(const std::type_info& type);
  // The factory registered under a name, or null.
  static Factory find(const std::string& name);

private:
  std::string name_;
};

// The tool's error classes.  Each carries a wide message and a fixed error
// number, can rethrow itself from a heap copy, and travels through an
// mxArchive: a stored error is re-created as its own class through the
// persistence registry (the six concrete classes register when the library
// loads).
#pragma once

#include <cstdint>
#include <string>

#include "baseif/mxException.h"
#include "baseif/mxExport.h"
#include "baseif/mxPersistent.h"

class mx_Instantiator;

namespace mxImageNormalizerDefs {

class IMGNORM_API Errors : public mxExceptionWithString {
public:
  Errors(const Errors&) = default;
  Errors& operator=(const Errors&) = default;
  ~Errors() override;
  std::int32_t errorNumber() const override = 0;
  void suicideAndRethrow() override = 0;

protected:
  explicit Errors(const std::wstring& message = std::wstring());
  void dispatchSerialize(mxArchive& ar) override;
  void serialize_(mxArchive& ar, unsigned char version);
};

#define MX_DECLARE_NORMALIZER_ERROR(Name)                  \
  class IMGNORM_API Name : public Errors {                 \
  public:                                                  \
    Name(const std::wstring& message = std::wstring());    \
    Name(const Name&);                                     \
    Name& operator=(const Name&);                          \
    ~Name() override;                                      \
    std::int32_t errorNumber() const override;             \
    void suicideAndRethrow() override;                     \
                                                           \
  protected:                                               \
    void dispatchSerialize(mxArchive& ar) override;        \
    void serialize_(mxArchive& ar, unsigned char version); \
                                                           \
  private:                                                 \
    static mxPersistent* make();                           \
    static mx_Instantiator sExemplar;                      \
  }

// An image argument is unusable (unbound).                  0x10007A00
MX_DECLARE_NORMALIZER_ERROR(BadImage);
// A parameter or method argument is out of range.            0x10007A01
MX_DECLARE_NORMALIZER_ERROR(BadParams);
// run() was asked for a method the tool is not trained for.  0x10007A02
MX_DECLARE_NORMALIZER_ERROR(NotTrained);
// train() cannot train the requested methods.                0x10007A03
MX_DECLARE_NORMALIZER_ERROR(CanNotTrain);
// Declared for clients; not thrown by the tool.              0x10007A04
MX_DECLARE_NORMALIZER_ERROR(CanNotRun);
// Not thrown by the 8-bit tool; the 16-bit tool (and the      0x10007A0F
// colour tool at 9 to 16 bits) throws it for what it does not offer at
// that depth: local-gain, local-linear, relative counts.
MX_DECLARE_NORMALIZER_ERROR(NotImplemented);

#undef MX_DECLARE_NORMALIZER_ERROR

}  // namespace mxImageNormalizerDefs

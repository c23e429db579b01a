#include "imgnorm/mxImageNormalizerErrors.h"

#include "baseif/mxArchive.h"

namespace mxImageNormalizerDefs {

Errors::Errors(const std::wstring& message) : mxExceptionWithString(message) {}
Errors::~Errors() = default;

// The Errors part: its own version byte, then the message.  Skipped when this
// object's Errors part was already exchanged with the archive.
void Errors::serialize_(mxArchive& ar, unsigned char version) {
  if (version != 0) throw mxArchive::UnknownVersion("mxImageNormalizerDefs::Errors", 0);
  mxExceptionWithString::dispatchSerialize(ar);
}

void Errors::dispatchSerialize(mxArchive& ar) {
  if (mxPersistent::haveVisited(ar, this, sizeof(Errors))) return;
  unsigned char version = 0;
  ar || version;
  serialize_(ar, version);
  mxPersistent::setVisited(ar, this, sizeof(Errors));
}

#define MX_DEFINE_NORMALIZER_ERROR(Name, Number)                                           \
  Name::Name(const std::wstring& message) : Errors(message) {}                             \
  Name::Name(const Name&) = default;                                                       \
  Name& Name::operator=(const Name&) = default;                                            \
  Name::~Name() = default;                                                                 \
  std::int32_t Name::errorNumber() const { return Number; }                                \
  void Name::suicideAndRethrow() {                                                         \
    Name local(*this);                                                                     \
    delete this;                                                                           \
    throw local;                                                                           \
  }                                                                                        \
  void Name::serialize_(mxArchive& ar, unsigned char version) {                            \
    if (version != 0) throw mxArchive::UnknownVersion("mxImageNormalizerDefs::" #Name, 0); \
    Errors::dispatchSerialize(ar);                                                         \
  }                                                                                        \
  void Name::dispatchSerialize(mxArchive& ar) {                                            \
    if (mxPersistent::haveVisited(ar, this, sizeof(Name))) return;                         \
    unsigned char version = 0;                                                             \
    ar || version;                                                                         \
    serialize_(ar, version);                                                               \
    mxPersistent::setVisited(ar, this, sizeof(Name));                                      \
  }                                                                                        \
  mxPersistent* Name::make() { return new Name(); }                                        \
  mx_Instantiator Name::sExemplar(typeid(Name), &Name::make);

MX_DEFINE_NORMALIZER_ERROR(BadImage, 0x10007A00)
MX_DEFINE_NORMALIZER_ERROR(BadParams, 0x10007A01)
MX_DEFINE_NORMALIZER_ERROR(NotTrained, 0x10007A02)
MX_DEFINE_NORMALIZER_ERROR(CanNotTrain, 0x10007A03)
MX_DEFINE_NORMALIZER_ERROR(CanNotRun, 0x10007A04)
MX_DEFINE_NORMALIZER_ERROR(NotImplemented, 0x10007A0F)

}  // namespace mxImageNormalizerDefs

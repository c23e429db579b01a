// The normalizer object: defaults, copying and comparison (the members and
// setters are mxNormalizerMembers').  Training, running and the archive form
// live in imgnorm.cpp.
#include "imgnorm/mxImageNormalizer.h"

#include "imgnorm/checks.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

std::wstring methodName(Method method) {
  const MethodInfo* info = methodInfo(method);
  return info ? info->enumerator : L"UnknownMethod";
}

mxImageNormalizer::mxImageNormalizer() : mxNormalizerMembers({-127, 127}), relativeCounts_(false) {}

mxImageNormalizer::mxImageNormalizer(const mxImageNormalizer&) = default;
mxImageNormalizer& mxImageNormalizer::operator=(const mxImageNormalizer&) = default;
mxImageNormalizer::~mxImageNormalizer() = default;

bool mxImageNormalizer::operator==(const mxImageNormalizer& o) const {
  return relativeCounts_ == o.relativeCounts_ && sameMembers(o);
}

void mxImageNormalizer::untrain() { *this = mxImageNormalizer(); }

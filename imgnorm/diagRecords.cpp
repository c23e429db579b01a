#include "imgnorm/diagRecords.h"

#include <cstdint>

#include "baseif/mxStr.h"
#include "baseif/mxVector.h"
#include "imgnorm/mxImageNormalizer.h"

namespace mxImageNormalizerDefs {

namespace {
// "( x , y )" from doubles: how training shows its pairs.
std::wstring pairText(const mxVector<2>& v) { return L"( " + mfStr(v.x()) + L" , " + mfStr(v.y()) + L" )"; }
std::wstring pairText(const mxPair<double>& p) { return pairText(mxVector<2>(p.x(), p.y())); }
std::wstring pairText(const mxPair<std::int32_t>& p) { return pairText(mxVector<2>(p.x(), p.y())); }
// "(x, y)" from integers: how running shows its pairs.
std::wstring longPairText(const mxPair<std::int32_t>& p) {
  return L"(" + mfStr(int(p.x())) + L", " + mfStr(int(p.y())) + L")";
}
}  // namespace

std::vector<RecordField> trainingParameterFields(const mxImageNormalizer& tool) {
  std::wstring methods = L"(";
  for (int bit = 0; bit < 32; ++bit)
    if (std::uint32_t(tool.trainedMethods()) & (1u << bit)) methods += mfStr(int(1u << bit)) + L" | ";
  methods += L")";
  return {{L"trainedMethods", methods},
          {L"keepMaskedPixels", mfStr(tool.keepMaskedPixels())},
          {L"tailFractions", pairText(tool.tailFractions())},
          {L"neighborhoodSize", pairText(tool.neighborhoodSize())},
          {L"granularity", pairText(tool.granularity())},
          {L"intensityRange", pairText(tool.intensityVariationRange())}};
}

std::vector<RecordField> runParameterFields(const mxImageNormalizer& tool, Method method) {
  return {{L"method", methodName(method)},
          {L"keepMaskedPixels", mfStr(tool.keepMaskedPixels())},
          {L"tailFractions", pairText(tool.tailFractions())},
          {L"neighborhoodSize", longPairText(tool.neighborhoodSize())},
          {L"granularity", longPairText(tool.granularity())},
          {L"intensityRange", longPairText(tool.intensityVariationRange())}};
}

std::wstring recordText(const std::vector<RecordField>& fields) {
  std::wstring text;
  for (const RecordField& f : fields) text += f.name + L"=" + f.value + L"\n";
  return text;
}

}  // namespace mxImageNormalizerDefs

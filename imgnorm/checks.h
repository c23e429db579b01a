// The tool's parameter and method rules, each with the message of the error
// that breaks it.  The setters, train(), run() and the block engine check
// through these functions, so each rule and its text exist once; a front end
// that words an error for its own users tells the rule by ruleOf(message),
// never by matching text of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "baseif/mxPair.h"
#include "imgnorm/methods.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace mxImageNormalizerDefs {

// The rules, named by what they guard.
enum class Rule : std::uint8_t {
  eNone,                // a message that is none of the rules'
  eNeighborhoodSize,    // BadParams: neighbourhood width and height >= 1
  eGranularity,         // BadParams: granularity width and height >= 1
  eTailFractions,       // BadParams: 0 <= low <= high <= 1
  eIntensityRange,      // BadParams: low <= 0 <= high
  eBlockSize,           // BadParams: block width and height >= 1 (block engine)
  eRunUnknownMethod,    // BadParams: run with a bit no method has
  eRunSeveralMethods,   // BadParams: run with more than one method
  eNotTrained,          // NotTrained: run with a method not trained
  eImageBound,          // BadImage: run on an unbound image
  eTrainUnknownMethod,  // CanNotTrain: train with a bit no method has
  eReferenceBound,      // CanNotTrain: train a method without a reference image
  eHistogramNonEmpty,   // CanNotTrain: a histogram method on an empty reference histogram
  eBitDepth,            // BadParams: a 16-bit tool's bit depth from 9 to 16
  ePelsWithinDepth,     // BadImage: a 16-bit image's pels within its declared bit depth
  eMaskShape,           // BadImage: a 16-bit tool's mask of the reference image's size
  eDeepMethod,          // NotImplemented: a method the 16-bit tool does not run yet
  eColorChannels,       // BadImage: a colour image of 3 (RGB) or 4 (RGBA) channels
  eColorAgainstGrey,    // BadImage: a grey image where a colour one is expected, or the reverse
  eColorLayout,         // BadImage: an interleaved colour window on whole pels
  ePelType,             // BadImage: an image of the colour tool's pel type
  eColorBitDepth,       // BadParams: a colour tool's bit depth from 8 to 16
  eColorMode,           // BadParams: a colour tool's mode, per-channel or luminance
};

struct RuleMessage {
  Rule rule;
  const wchar_t* message;
};

// Each rule's message, exactly as the error carries it.
inline constexpr RuleMessage kRuleMessages[] = {
    {Rule::eNeighborhoodSize, L"Both elements of neighborhoodSize must be >= 1"},
    {Rule::eGranularity, L"Both elements of granularity must be >= 1"},
    {Rule::eTailFractions, L"Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0"},
    {Rule::eIntensityRange, L"intensityVariationRange must be: x <= 0 and y >= 0"},
    {Rule::eBlockSize, L"Both elements of the block size must be >= 1"},
    {Rule::eRunUnknownMethod, L"Cannot specify an unknown normalization method."},
    {Rule::eRunSeveralMethods, L"Cannot run with more than one normalization method."},
    {Rule::eNotTrained, L"This tool was not trained for the specified  method."},
    {Rule::eImageBound, L"Image must be bound."},
    {Rule::eTrainUnknownMethod, L"<methods> contains an unknown normalization method."},
    {Rule::eReferenceBound, L"referenceImage() must be bound for the specified methods."},
    {Rule::eHistogramNonEmpty, L"Histogram must be non-empty for the specified methods."},
    {Rule::eBitDepth, L"The bit depth of a 16-bit tool must be from 9 to 16."},
    {Rule::ePelsWithinDepth, L"Pels must lie within the declared bit depth."},
    {Rule::eMaskShape, L"maskImage() must have the size of referenceImage()."},
    {Rule::eDeepMethod, L"This method is not available at 16 bits yet."},
    {Rule::eColorChannels, L"A colour image must have 3 (RGB) or 4 (RGBA) channels."},
    {Rule::eColorAgainstGrey, L"A colour image and a grey image cannot be normalized against each other."},
    {Rule::eColorLayout, L"An interleaved colour image's window must start and end on whole pels."},
    {Rule::ePelType, L"The image's pel type must be the tool's."},
    {Rule::eColorBitDepth, L"The bit depth of a colour tool must be from 8 to 16."},
    {Rule::eColorMode, L"The colour mode must be per-channel or luminance."},
};

// The message of one rule (empty for eNone).
constexpr const wchar_t* ruleMessage(Rule rule) {
  for (const RuleMessage& r : kRuleMessages)
    if (r.rule == rule) return r.message;
  return L"";
}

// The rule whose message this is; eNone for any other text.  A message may
// carry details after its rule's text and one space ("Pels must lie
// within the declared bit depth. The largest is ...").
constexpr Rule ruleOf(std::wstring_view message) {
  for (const RuleMessage& r : kRuleMessages) {
    const std::wstring_view text = r.message;
    if (message == text) return r.rule;
    if (message.size() > text.size() + 1 && message.substr(0, text.size()) == text && message[text.size()] == L' ')
      return r.rule;
  }
  return Rule::eNone;
}

}  // namespace mxImageNormalizerDefs

namespace imgnorm::detail {

using mxImageNormalizerDefs::Rule;
using mxImageNormalizerDefs::ruleMessage;

inline void checkNeighborhoodSize(const mxPair<std::int32_t>& v) {
  if (v.x() < 1 || v.y() < 1) throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eNeighborhoodSize));
}
inline void checkGranularity(const mxPair<std::int32_t>& v) {
  if (v.x() < 1 || v.y() < 1) throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eGranularity));
}
inline void checkTailFractions(const mxPair<double>& v) {
  // Written so that a NaN lower fraction fails (its comparisons are false).
  if (!(v.x() >= 0.0) || v.x() > v.y() || v.y() > 1.0)
    throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eTailFractions));
}
inline void checkIntensityRange(const mxPair<std::int32_t>& v) {
  if (v.x() > 0 || v.y() < 0) throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eIntensityRange));
}
// The three parameters of the local methods, in this order.
inline void checkLocalParameters(const mxPair<std::int32_t>& neighborhoodSize, const mxPair<std::int32_t>& granularity,
                                 const mxPair<std::int32_t>& intensityRange) {
  checkNeighborhoodSize(neighborhoodSize);
  checkGranularity(granularity);
  checkIntensityRange(intensityRange);
}
inline void checkBlockSize(const mxPair<std::int32_t>& v) {
  if (v.x() < 1 || v.y() < 1) throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eBlockSize));
}

// A method to run: one of the table's bits (eIdentity aside, which runs
// untrained and is not checked here).
inline void checkRunMethod(std::uint32_t method) {
  if (method & ~mxImageNormalizerDefs::kAllMethods)
    throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eRunUnknownMethod));
  if ((method & (method - 1)) != 0) throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eRunSeveralMethods));
}
inline void checkTrained(bool trained) {
  if (!trained) throw mxImageNormalizerDefs::NotTrained(ruleMessage(Rule::eNotTrained));
}
inline void checkImageBound(bool bound) {
  if (!bound) throw mxImageNormalizerDefs::BadImage(ruleMessage(Rule::eImageBound));
}

// A set of methods to train, with or without a reference image.
inline void checkTrainMethods(std::uint32_t methods, bool referenceBound) {
  if (methods & ~mxImageNormalizerDefs::kAllMethods)
    throw mxImageNormalizerDefs::CanNotTrain(ruleMessage(Rule::eTrainUnknownMethod));
  if (!referenceBound && methods != mxImageNormalizerDefs::eIdentity)
    throw mxImageNormalizerDefs::CanNotTrain(ruleMessage(Rule::eReferenceBound));
}

// The declared bit depth of a 16-bit tool.
inline void checkBitDepth(std::int32_t depth) {
  if (depth < 9 || depth > 16) throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eBitDepth));
}

// The largest pel found in what (an image of a tool of the depth) against
// the depth's largest level: BadImage naming both.
inline void checkLargestPel(std::int32_t found, std::int32_t depth, const wchar_t* what) {
  const std::int32_t top = (std::int32_t(1) << depth) - 1;
  if (found > top)
    throw mxImageNormalizerDefs::BadImage(std::wstring(ruleMessage(Rule::ePelsWithinDepth)) + L" The largest pel of " +
                                          what + L" is " + std::to_wstring(found) + L", above " +
                                          std::to_wstring(top) + L" (" + std::to_wstring(depth) + L" bits).");
}

// The bit depth of a colour tool: 8 (8-bit pels) or 9 to 16 (16-bit pels).
inline void checkColorBitDepth(std::int32_t depth) {
  if (depth < 8 || depth > 16) throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eColorBitDepth));
}
// A colour tool's mode, given as its enumerator's value (0 or 1).
inline void checkColorMode(std::uint32_t mode) {
  if (mode > 1) throw mxImageNormalizerDefs::BadParams(ruleMessage(Rule::eColorMode));
}

}  // namespace imgnorm::detail

// The table of normalization methods: one row per method, with its bit, the
// name the command line and Python give it, its kind and a one-line summary.
// The tool, the block engine and every front end read their method lists,
// names and kinds from here, so a new method is one row plus its algorithm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "imgnorm/mxImageNormalizerDefs.h"

namespace mxImageNormalizerDefs {

// How a method changes an image.
enum class MethodKind : std::uint8_t {
  eCopy,    // the image unchanged (eIdentity)
  eGlobal,  // one 256-entry table over the whole image
  eLocal,   // a slowly varying background removed pel by pel, read from a neighbourhood
};

struct MethodInfo {
  Method method;              // its bit (eIdentity: 0)
  const char* name;           // the command-line and Python name ("local-mean")
  const wchar_t* enumerator;  // the enumerator's name ("eLocalCorrection"), as methodName gives it
  MethodKind kind;
  bool usesReferenceHistogram;  // trained from the reference histogram, so refused when it is empty
  const char* summary;          // one line for help texts
};

// In bit order, eIdentity first.
inline constexpr MethodInfo kMethods[] = {
    {eIdentity, "identity", L"eIdentity", MethodKind::eCopy, false, "no normalization (a copy, for comparison)"},
    {eMatchHistogram, "histogram", L"eMatchHistogram", MethodKind::eGlobal, true,
     "match the reference histogram; it compares absolute pel counts, so an image region with another pel count "
     "than the reference region leans dark or saturates"},
    {eMatchMeanAndStddev, "mean-stddev", L"eMatchMeanAndStddev", MethodKind::eGlobal, true,
     "match mean and standard deviation (linear)"},
    {eMatchHistogramTails, "tails", L"eMatchHistogramTails", MethodKind::eGlobal, true,
     "match two histogram percentiles, see --tail-fractions (linear)"},
    {eLinearlyFitGrayValues, "linear-fit", L"eLinearlyFitGrayValues", MethodKind::eGlobal, false,
     "fit one line between run-time and reference grey levels"},
    {eLocalCorrection, "local-mean", L"eLocalCorrection", MethodKind::eLocal, false,
     "subtract the local (Gaussian) mean of the difference to the reference"},
    {eLocalCorrectionEnhanced, "local-median", L"eLocalCorrectionEnhanced", MethodKind::eLocal, false,
     "subtract the local median of the difference to the reference"},
};

// The bits of every method; a method set with any other bit is invalid.
constexpr std::uint32_t methodMask() {
  std::uint32_t mask = 0;
  for (const MethodInfo& m : kMethods) mask |= m.method;
  return mask;
}
// The bits of the methods of one kind.
constexpr std::uint32_t methodMask(MethodKind kind) {
  std::uint32_t mask = 0;
  for (const MethodInfo& m : kMethods)
    if (m.kind == kind) mask |= m.method;
  return mask;
}
// The bits of the methods trained from the reference histogram.
constexpr std::uint32_t histogramMethodMask() {
  std::uint32_t mask = 0;
  for (const MethodInfo& m : kMethods)
    if (m.usesReferenceHistogram) mask |= m.method;
  return mask;
}

// Every method bit.
inline constexpr std::uint32_t kAllMethods = methodMask();
// The methods that share the reference histogram.
inline constexpr std::uint32_t kHistogramMethods = histogramMethodMask();

// The row of one method value (a single bit, or 0); null for any other value.
constexpr const MethodInfo* methodInfo(std::uint32_t method) {
  for (const MethodInfo& m : kMethods)
    if (std::uint32_t(m.method) == method) return &m;
  return nullptr;
}
// The row of a method by its command-line and Python name; null when unknown.
constexpr const MethodInfo* methodByName(std::string_view name) {
  for (const MethodInfo& m : kMethods)
    if (name == m.name) return &m;
  return nullptr;
}
// Whether method is one local method.
constexpr bool isLocal(std::uint32_t method) {
  const MethodInfo* m = methodInfo(method);
  return m && m->kind == MethodKind::eLocal;
}
// Whether method is one global method.
constexpr bool isGlobal(std::uint32_t method) {
  const MethodInfo* m = methodInfo(method);
  return m && m->kind == MethodKind::eGlobal;
}

}  // namespace mxImageNormalizerDefs

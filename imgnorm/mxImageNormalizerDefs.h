// The normalization methods.  Each method is one bit, so one Method value also
// carries a set of methods (their bitwise OR); a value with a bit no method
// has is invalid.  The methods' names, kinds and the sets derived from them
// (kAllMethods, kHistogramMethods) are in the table of imgnorm/methods.h.
#pragma once

#include <cstdint>
#include <string>

#include "baseif/mxExport.h"

namespace mxImageNormalizerDefs {

enum Method : std::uint32_t {
  eIdentity = 0,                  // no normalization; as a set, the empty set
  eMatchHistogram = 1,            // run-time histogram follows the reference histogram
  eMatchMeanAndStddev = 2,        // linear map matching mean and standard deviation
  eMatchHistogramTails = 4,       // linear map matching two histogram percentiles
  eLinearlyFitGrayValues = 8,     // one line fitted between run-time and reference grey levels
  eLocalCorrection = 16,          // subtract the local Gaussian mean of the difference
  eLocalCorrectionEnhanced = 32,  // subtract the local median of the difference
};

constexpr Method operator|(Method a, Method b) { return Method(std::uint32_t(a) | std::uint32_t(b)); }
constexpr Method operator&(Method a, Method b) { return Method(std::uint32_t(a) & std::uint32_t(b)); }
constexpr Method operator~(Method a) { return Method(~std::uint32_t(a)); }
inline Method& operator|=(Method& a, Method b) { return a = a | b; }
inline Method& operator&=(Method& a, Method b) { return a = a & b; }

}  // namespace mxImageNormalizerDefs

// The enumerator's name of one method value ("eMatchHistogram");
// "UnknownMethod" for any other value, combinations included.
IMGNORM_API std::wstring methodName(mxImageNormalizerDefs::Method method);

// The table of methods (it reads the enumeration above).
#include "imgnorm/methods.h"  // IWYU pragma: export

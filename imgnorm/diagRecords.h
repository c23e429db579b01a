// The diagnostics records of training and running: their titles, and the
// fields of their parameter texts as values.  The tool writes its records
// from these, and a reader of the records (the program's report) finds them
// by the same titles and shows the same fields without parsing the text.
#pragma once

#include <string>
#include <vector>

#include "baseif/mxExport.h"
#include "imgnorm/mxImageNormalizerDefs.h"

class mxImageNormalizer;

namespace mxImageNormalizerDefs {

// Training: the reference image, the "Parameters" text and the mask (when bound).
inline constexpr wchar_t kParametersRecord[] = L"Parameters";
// Running: the input image, the "Run-time parameters" text, then one level
// deeper the reference and the mask; after the run, one level deeper, the result.
inline constexpr wchar_t kRunParametersRecord[] = L"Run-time parameters";
inline constexpr wchar_t kInputRecord[] = L"Image Normalization";
inline constexpr wchar_t kResultRecord[] = L"Image Normalization Result";
inline constexpr wchar_t kReferenceRecord[] = L"referenceImage";
inline constexpr wchar_t kMaskRecord[] = L"maskImage";

// One line of a parameter text: name=value.
struct RecordField {
  std::wstring name;
  std::wstring value;
};

// The fields of training's "Parameters" text for the tool's trained set and
// parameters ("trainedMethods=(1 | 4 | )", pairs as "( x , y )").
IMGNORM_API std::vector<RecordField> trainingParameterFields(const mxImageNormalizer& tool);
// The fields of running's "Run-time parameters" text for one method
// ("method=eMatchHistogram", integer pairs as "(x, y)").
IMGNORM_API std::vector<RecordField> runParameterFields(const mxImageNormalizer& tool, Method method);
// The record's text: "name=value\n" per field.
IMGNORM_API std::wstring recordText(const std::vector<RecordField>& fields);

}  // namespace mxImageNormalizerDefs

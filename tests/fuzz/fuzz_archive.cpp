// libFuzzer target: a normalizer loaded from arbitrary archive bytes.  A load
// may fail only with an archive error or one of the tool's own errors;
// anything else (another exception, a crash, a sanitizer report, a leak, a
// hang, a huge allocation) is a finding.  Running the loaded tool is left to
// the tool-file target, so that this one stays fast.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "baseif/mxArchive.h"
#include "baseif/mxStr.h"
#include "fuzz_common.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mxImageNormalizer tool;
  try {
    mxArchive ar(std::vector<std::uint8_t>(data, data + size));
    ar || tool;
  } catch (const mxArchive::Truncated&) {
  } catch (const mxArchive::BadData&) {
  } catch (const mxArchive::UnknownVersion&) {
  } catch (const mxImageNormalizerDefs::Errors&) {
  } catch (const mxException& e) {
    fuzzcommon::fail("load threw an undocumented error: " + mfToUtf8(e.message()));
  }
  return 0;
}

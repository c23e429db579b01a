// libFuzzer target: a normalizer loaded from any bytes may fail only with an archive error
// or one of the tool's own (running it is the tool-file target's).
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

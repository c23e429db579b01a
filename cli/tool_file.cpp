#include "tool_file.h"

#include "baseif/mxArchive.h"
#include "baseif/mxStr.h"
#include "cli_error.h"
#include "file_util.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "options.h"

namespace imgnormcli {

void saveTool(const std::string& path, mxImageNormalizer& tool) {
  mxArchive ar;
  ar || tool;
  writeFileAtomically(path, frameToolPayload(ar.bytes()));
}

void loadTool(const std::string& path, mxImageNormalizer& tool) {
  mxArchive ar(toolPayload(readFileBytes(path), path));
  try {
    ar || tool;
  } catch (const mxImageNormalizerDefs::Errors& e) {
    // The stored images and parameters cannot be trained again.
    throw CliError(kExitInput, path + ": the stored tool cannot be trained again: " + userMessage(e.message()));
  } catch (const mxException& e) {
    throw CliError(kExitInput, path + ": damaged tool file: " + mfToUtf8(e.message()));
  }
  if (ar.remaining() != 0)
    throw CliError(kExitInput,
                   path + ": damaged tool file (" + std::to_string(ar.remaining()) + " bytes left after the tool)");
}

}  // namespace imgnormcli

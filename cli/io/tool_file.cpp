#include "io/tool_file.h"

#include "baseif/mxStr.h"
#include "common/cli_error.h"
#include "common/file_util.h"
#include "common/options.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace imgnormcli {

void saveTool(const std::string& path, mxImageNormalizer& tool) { writeFileAtomically(path, mxToolFile::store(tool)); }

void loadTool(const std::string& path, mxImageNormalizer& tool) {
  const std::vector<std::uint8_t> bytes = readFileBytes(path);
  try {
    mxToolFile::load(bytes.data(), bytes.size(), tool);
  } catch (const mxImageNormalizerDefs::Errors& e) {
    // The stored images and parameters cannot be trained again.
    throw CliError(kExitInput, path + ": the stored tool cannot be trained again: " + userMessage(e.message()));
  } catch (const mxException& e) {
    throw CliError(kExitInput, path + ": " + mfToUtf8(e.message()));
  }
}

}  // namespace imgnormcli

#include "io/tool_file.h"

#include "baseif/mxStr.h"
#include "common/cli_error.h"
#include "common/file_util.h"
#include "common/options.h"
#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace imgnormcli {

namespace {

// Reads a tool file and hands its bytes to load, with the library's errors
// in the program's words.
template <class F>
void withToolBytes(const std::string& path, F&& load) {
  const std::vector<std::uint8_t> bytes = readFileBytes(path);
  try {
    load(bytes);
  } catch (const mxImageNormalizerDefs::Errors& e) {
    // The stored images and parameters cannot be trained again.
    throw CliError(kExitInput, path + ": the stored tool cannot be trained again: " + userMessage(e.message()));
  } catch (const mxException& e) {
    throw CliError(kExitInput, path + ": " + mfToUtf8(e.message()));
  }
}

}  // namespace

void saveTool(const std::string& path, mxImageNormalizer& tool) { writeFileAtomically(path, mxToolFile::store(tool)); }
void saveTool(const std::string& path, mxImageNormalizer16& tool) {
  writeFileAtomically(path, mxToolFile::store(tool));
}

void loadTool(const std::string& path, mxImageNormalizer& tool) {
  withToolBytes(path, [&](const std::vector<std::uint8_t>& b) { mxToolFile::load(b.data(), b.size(), tool); });
}

void loadTool(const std::string& path, mxImageNormalizer16& tool) {
  withToolBytes(path, [&](const std::vector<std::uint8_t>& b) { mxToolFile::load(b.data(), b.size(), tool); });
}

void saveTool(const std::string& path, mxColorNormalizer& tool) { writeFileAtomically(path, mxToolFile::store(tool)); }

void loadTool(const std::string& path, mxColorNormalizer& tool) {
  withToolBytes(path, [&](const std::vector<std::uint8_t>& b) { mxToolFile::load(b.data(), b.size(), tool); });
}

bool toolIsColor(const std::string& path) {
  bool colour = false;
  withToolBytes(path,
                [&](const std::vector<std::uint8_t>& b) { colour = mxToolFile::isColorTool(b.data(), b.size()); });
  return colour;
}

std::int32_t toolPelBits(const std::string& path) {
  std::int32_t bits = 8;
  withToolBytes(path, [&](const std::vector<std::uint8_t>& b) { bits = mxToolFile::pelBits(b.data(), b.size()); });
  return bits;
}

}  // namespace imgnormcli

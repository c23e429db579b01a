// Tool files on disk: a trained mxImageNormalizer saved by `imgnorm train`
// and read by `imgnorm run` and `imgnorm info`.  The format (header,
// checksum, the normalizer's archive form) is the library's
// (imgnorm/mxToolFile.h), which the Python package reads and writes too.
#pragma once

#include <cstdint>
#include <string>

#include "imgnorm/mxToolFile.h"

class mxImageNormalizer;
class mxImageNormalizer16;
class mxColorNormalizer;

namespace imgnormcli {

constexpr std::uint32_t kToolFormatVersion = mxToolFile::kFormatVersion;

// Saves a normalizer as a tool file (temporary name, then renamed).  Throws
// CliError (kExitOutput).
void saveTool(const std::string& path, mxImageNormalizer& tool);
// Loads a tool file; the normalizer is trained again for the stored methods.
// Throws CliError (kExitInput) naming path: not a tool file, a newer format
// version, truncated, damaged, or a tool that cannot be trained again.
void loadTool(const std::string& path, mxImageNormalizer& tool);
// The same for a 16-bit tool (format version 2).
void saveTool(const std::string& path, mxImageNormalizer16& tool);
void loadTool(const std::string& path, mxImageNormalizer16& tool);
// The same for a colour tool (format version 3).
void saveTool(const std::string& path, mxColorNormalizer& tool);
void loadTool(const std::string& path, mxColorNormalizer& tool);
// Whether a tool file holds a colour tool.  Throws CliError (kExitInput) as loadTool.
bool toolIsColor(const std::string& path);
// The bits per pel of the tool a tool file holds, 8 or 16, from its header
// and archive.  Throws CliError (kExitInput) as loadTool.
std::int32_t toolPelBits(const std::string& path);

}  // namespace imgnormcli

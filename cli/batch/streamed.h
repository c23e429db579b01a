// The streaming path of `run` and `normalize`: one TIFF normalized into a
// TIFF block by block, so that memory depends on the block size and the
// halo, not on the image's size.
#pragma once

#include <cstdint>
#include <string>

#include "batch/tool_setup.h"
#include "common/cli_error.h"
#include "imgnorm/mxImageNormalizerDefs.h"
#include "io/image_io.h"

class mxImageNormalizer;
class mxImageNormalizer16;
class mxColorNormalizer;

namespace imgnormcli {

// One TIFF file normalized into a TIFF file block by block by a tool that
// holds its reference and mask: blocks of 1024 x 1024 pels, or twice a local
// method's halo when that is more.  success and message as the tool's run()
// gives them; image is the input's window, result the output's (null when
// they do not overlap, and then nothing is written).  Errors are CliError
// (input, output) or the tool's exceptions.
struct StreamedRun {
  bool success = false;
  std::wstring message;
  mxPelRect image, result;
};
StreamedRun streamWithTool(const mxImageNormalizer& tool, mxImageNormalizerDefs::Method method,
                           const std::string& input, const std::string& output, TiffCompression compression);
// The same with a 16-bit tool: a 16-bit grey TIFF into a 16-bit TIFF.
StreamedRun streamWithTool(const mxImageNormalizer16& tool, mxImageNormalizerDefs::Method method,
                           const std::string& input, const std::string& output, TiffCompression compression);

// The default block size of the streaming path, and whether a command
// streams as a whole: with --block-size, or `normalize` (normalize true)
// whose reference is a TIFF beyond --max-pixels, into a TIFF output.  (A
// TIFF input beyond --max-pixels is streamed by the batch, image by image.)
constexpr std::int32_t kDefaultBlockSize = 1024;
bool wantsStreaming(const RunArgs& args, bool normalize);

// `run` (tool given, holding its reference and mask) or `normalize` (tool
// null: the reference and mask TIFFs are streamed too) over one TIFF input
// into one TIFF output, block by block.  A soft failure writes nothing and
// returns kExitSoftFailure; errors are CliError.
ExitCode runStreamed(const RunArgs& args, mxImageNormalizerDefs::Method method, const mxImageNormalizer* tool);
// `run` with a 16-bit tool: a 16-bit grey TIFF into a 16-bit TIFF.
ExitCode runStreamed(const RunArgs& args, mxImageNormalizerDefs::Method method, const mxImageNormalizer16& tool);
// `run --block-size` with a colour tool: an RGB or RGBA TIFF of the tool's
// pel type into a TIFF of the same channels.
ExitCode runStreamed(const RunArgs& args, mxImageNormalizerDefs::Method method, const mxColorNormalizer& tool);

}  // namespace imgnormcli

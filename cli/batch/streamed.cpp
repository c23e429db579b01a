#include "batch/streamed.h"

#include <algorithm>
#include <iostream>
#include <memory>

#include "baseif/mxStr.h"
#include "common/file_util.h"
#include "common/options.h"
#include "imgnorm/mxBlockNormalizer.h"
#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "io/codecs.h"
#include "io/tiff_stream.h"

namespace imgnormcli {

namespace {
bool isTiffName(const std::string& path) {
  const Codec* format = codecForName(path);
  return format && format->streams;
}
}  // namespace

bool wantsStreaming(const RunArgs& args, bool normalize) {
  if (args.blockSize > 0) return true;
  // normalize streams its reference too when that is a TIFF beyond the
  // limit; any other TIFF beyond it is streamed by the batch, image by image.
  return normalize && args.inputs.size() == 1 && isTiffName(args.output) &&
         tiffBeyondLimit(args.tool.reference, args.tool.read);
}

namespace {
template <class Pel>
StreamedRun streamWithToolOf(const typename mxBlockNormalizerOf<Pel>::Tool& tool, mxImageNormalizerDefs::Method method,
                             const std::string& input, const std::string& output, TiffCompression compression) {
  TiffPelSourceOf<Pel> image(input);
  StreamedRun run;
  run.image = image.window();
  const mxPair<std::int32_t> halo = mxBlockNormalizerOf<Pel>(tool, {1, 1}).halo(method);
  const std::int32_t n = std::max(kDefaultBlockSize, 2 * std::max(halo.x(), halo.y()));
  const mxBlockNormalizerOf<Pel> engine(tool, {n, n});
  run.result = engine.checkRun(method, run.image);
  if (run.result.isNull()) return run;
  TiffStripSinkOf<Pel> sink(output, image.bigTiff(), compression);
  run.success = engine.run(image, method, sink, run.message);
  if (run.success) sink.commit();
  return run;
}
}  // namespace

StreamedRun streamWithTool(const mxImageNormalizer& tool, mxImageNormalizerDefs::Method method,
                           const std::string& input, const std::string& output, TiffCompression compression) {
  return streamWithToolOf<unsigned char>(tool, method, input, output, compression);
}

StreamedRun streamWithTool(const mxImageNormalizer16& tool, mxImageNormalizerDefs::Method method,
                           const std::string& input, const std::string& output, TiffCompression compression) {
  return streamWithToolOf<unsigned short>(tool, method, input, output, compression);
}

namespace {

// runStreamed for the tool of Pel (tool null: the reference and mask
// streamed, the tool's parameters from the options).
template <class Pel>
ExitCode streamOf(const RunArgs& args, mxImageNormalizerDefs::Method method,
                  const typename mxBlockNormalizerOf<Pel>::Tool* tool) {
  using Tool = typename mxBlockNormalizerOf<Pel>::Tool;
  using namespace mxImageNormalizerDefs;
  const std::string option =
      args.blockSize > 0 ? "--block-size" : args.tool.reference + ": a reference beyond --max-pixels";
  if (args.inputs.size() != 1 || !isTiffName(args.inputs[0]) || !isTiffName(args.output))
    throw CliError(kExitUsage, option + ": streams one TIFF file to a TIFF file (-o NAME.tif)");
  if (!args.diag.empty() || (args.read.toGray && args.blockSize > 0))
    throw CliError(kExitUsage, option + ": --diag and --to-gray need the whole image in memory");
  if (!tool && !isTiffName(args.tool.reference))
    throw CliError(kExitUsage, option + ": the reference must be a TIFF file too");
  if (!tool && !args.tool.mask.empty() && !isTiffName(args.tool.mask))
    throw CliError(kExitUsage, option + ": the mask must be a TIFF file too");
  const std::int32_t n = args.blockSize > 0 ? args.blockSize : kDefaultBlockSize;
  const std::string& input = args.inputs[0];

  Tool parameters;
  if (!tool) {
    if constexpr (sizeof(Pel) > 1)  // the depth declared, else the file's 16 bits
      parameters = Tool(args.tool.read.bitDepth ? args.tool.read.bitDepth : 16);
    configureParameters(args.tool, parameters);
  }
  prepareFolderOf(args.output);
  TiffPelSourceOf<Pel> image(input);
  std::unique_ptr<TiffPelSourceOf<Pel>> reference;
  std::unique_ptr<TiffPelSource> mask;
  if (!tool) {
    reference = std::make_unique<TiffPelSourceOf<Pel>>(args.tool.reference);
    if (!args.tool.mask.empty()) {
      mask = std::make_unique<TiffPelSource>(args.tool.mask);
      if (mask->window().size() != reference->window().size())
        throw CliError(kExitInput, args.tool.mask + ": the mask is " + std::to_string(mask->window().width()) + " x " +
                                       std::to_string(mask->window().height()) + " pels but the reference image is " +
                                       std::to_string(reference->window().width()) + " x " +
                                       std::to_string(reference->window().height()));
    }
  }

  TiffStripSinkOf<Pel> sink(args.output, image.bigTiff(), args.write.compression);
  std::wstring message;
  bool success = false;
  try {
    const mxBlockNormalizerOf<Pel> engine = tool ? mxBlockNormalizerOf<Pel>(*tool, {n, n})
                                                 : mxBlockNormalizerOf<Pel>(parameters, *reference, mask.get(), {n, n});
    success = engine.run(image, method, sink, message);
  } catch (const BadParams& e) {
    throw CliError(kExitUsage, option + " " + std::to_string(n) + ": " + mfToUtf8(e.message()));
  } catch (const CanNotTrain& e) {
    throw CliError(kExitInput, args.tool.reference + ": cannot train " + args.method + ": " + mfToUtf8(e.message()));
  } catch (const mxException& e) {
    throw CliError(kExitInput, input + ": " + mfToUtf8(e.message()));
  }
  if (!success) {
    std::cerr << "imgnorm: " << input << ": not normalized: " << mfToUtf8(message) << "\n";
    return kExitSoftFailure;
  }
  if (image.window().intersect(reference ? reference->window() : tool->referenceImage().window()).isNull() &&
      method != eIdentity) {
    std::cerr << "imgnorm: " << input << ": not normalized: the image does not overlap the reference image\n";
    return kExitSoftFailure;
  }
  sink.commit();
  if (!args.quiet)
    std::cout << "imgnorm: " << input << " (" << image.window().width() << " x " << image.window().height()
              << ") normalized with " << methodCliName(method) << " in blocks of " << n << " x " << n << " -> "
              << args.output << "\n";
  return kExitOk;
}

}  // namespace

ExitCode runStreamed(const RunArgs& args, mxImageNormalizerDefs::Method method, const mxImageNormalizer* tool) {
  // A 16-bit reference streams with a 16-bit tool (as it trains one in memory).
  if (!tool && !args.tool.read.toDepth8 && tiffBitsPerSample(args.tool.reference) == 16)
    return streamOf<unsigned short>(args, method, nullptr);
  return streamOf<unsigned char>(args, method, tool);
}

ExitCode runStreamed(const RunArgs& args, mxImageNormalizerDefs::Method method, const mxImageNormalizer16& tool) {
  return streamOf<unsigned short>(args, method, &tool);
}

namespace {
// runStreamed for a colour tool of Pel: an RGB or RGBA TIFF into one of the
// same channels.
template <class Pel>
ExitCode streamColorOf(const RunArgs& args, mxImageNormalizerDefs::Method method, const mxColorNormalizer& tool) {
  using namespace mxImageNormalizerDefs;
  if (args.inputs.size() != 1 || !isTiffName(args.inputs[0]) || !isTiffName(args.output))
    throw CliError(kExitUsage, "--block-size: streams one TIFF file to a TIFF file (-o NAME.tif)");
  if (!args.diag.empty()) throw CliError(kExitUsage, "--block-size: --diag needs the whole image in memory");
  const std::int32_t n = args.blockSize;
  const std::string& input = args.inputs[0];
  prepareFolderOf(args.output);
  TiffPelSourceOf<Pel> image(input, true);
  TiffStripSinkOf<Pel> sink(args.output, image.bigTiff(), args.write.compression, image.channels());
  std::wstring message;
  bool success = false;
  try {
    success = mxColorBlockNormalizerOf<Pel>(tool, {n, n}).run(image, image.channels(), method, sink, message);
  } catch (const BadParams& e) {
    throw CliError(kExitUsage, "--block-size " + std::to_string(n) + ": " + mfToUtf8(e.message()));
  } catch (const mxException& e) {
    throw CliError(kExitInput, input + ": " + mfToUtf8(e.message()));
  }
  if (!success) {
    std::cerr << "imgnorm: " << input << ": not normalized: " << mfToUtf8(message) << "\n";
    return kExitSoftFailure;
  }
  const mxPelRect ref = sizeof(Pel) == 1 ? tool.referenceImage8().window() : tool.referenceImage16().window();
  const mxPelRect pels(0, 0, image.window().width() / image.channels(), image.window().height());
  if (pels.intersect(mxPelRect(0, 0, ref.width() / tool.channels(), ref.height())).isNull() && method != eIdentity) {
    std::cerr << "imgnorm: " << input << ": not normalized: the image does not overlap the reference image\n";
    return kExitSoftFailure;
  }
  sink.commit();
  if (!args.quiet)
    std::cout << "imgnorm: " << input << " (" << pels.width() << " x " << pels.height() << ") normalized with "
              << methodCliName(method) << " in blocks of " << n << " x " << n << " -> " << args.output << "\n";
  return kExitOk;
}
}  // namespace

ExitCode runStreamed(const RunArgs& args, mxImageNormalizerDefs::Method method, const mxColorNormalizer& tool) {
  return tool.pelBits() == 8 ? streamColorOf<unsigned char>(args, method, tool)
                             : streamColorOf<unsigned short>(args, method, tool);
}

}  // namespace imgnormcli

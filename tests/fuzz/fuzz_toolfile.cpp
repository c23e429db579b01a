// libFuzzer target: `imgnorm run`'s reading of a tool file, failing only with the input
// error; inputs without the magic are framed first, so mutations get past the checksum.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/cli_error.h"
#include "fuzz_common.h"
#include "imgnorm/mxToolFile.h"
#include "io/tool_file.h"

namespace {
// One scratch file per process, rewritten for every input.
const std::string& scratchPath() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string p = std::string(dir && *dir ? dir : "/tmp") + "/imgnorm-fuzz-tool-XXXXXX";
    const int fd = mkstemp(p.data());
    if (fd < 0) fuzzcommon::fail("cannot create a scratch file");
    close(fd);
    std::atexit([] { std::remove(scratchPath().c_str()); });
    return p;
  }();
  return path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  if (size < sizeof mxToolFile::kMagic || std::memcmp(data, mxToolFile::kMagic, sizeof mxToolFile::kMagic))
    file = mxToolFile::frame(file);
  FILE* f = std::fopen(scratchPath().c_str(), "wb");
  if (!f || std::fwrite(file.data(), 1, file.size(), f) != file.size() || std::fclose(f) != 0)
    fuzzcommon::fail("cannot write the scratch file");
  mxImageNormalizer tool;
  try {
    imgnormcli::loadTool(scratchPath(), tool);
  } catch (const imgnormcli::CliError& e) {
    if (e.code() != imgnormcli::kExitInput) fuzzcommon::fail(std::string("unexpected exit code: ") + e.what());
    // A tool whose retraining stopped early is refused by the program.
    return 0;
  }
  fuzzcommon::runEveryTrainedMethod(tool);
  return 0;
}

// Errors of the imgnorm program and the exit codes they map to.
//
// Every failure the program reports is one line on standard error that names
// the file or option concerned; the exit code says what kind of failure it
// was, so that scripts can tell a bad command line from a bad input file or a
// full disk.
#pragma once

#include <stdexcept>
#include <string>

namespace imgnormcli {

// Exit codes, documented in `imgnorm --help` and cli/README.md.
enum ExitCode : int {
  kExitOk = 0,           // everything done
  kExitSoftFailure = 1,  // done, but the tool could not normalize some images (see the summary)
  kExitUsage = 2,        // bad command line: unknown option or method, bad parameter value
  kExitInput = 3,        // an input could not be used: missing, unreadable, corrupt, colour/16-bit, untrainable
  kExitOutput = 4,       // an output could not be written
  kExitInternal = 5      // an unexpected internal error, or out of memory
};

// The help text block that lists the exit codes.
const char* exitCodeHelp();

// A failure with its exit code and a one-line message that already names the
// file or option ("camera.png: not a PNG file").
class CliError : public std::runtime_error {
public:
  CliError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ExitCode code() const { return code_; }

private:
  ExitCode code_;
};

// The more severe of two exit codes (for a batch: the worst problem decides).
inline ExitCode worseExit(ExitCode a, ExitCode b) {
  auto rank = [](ExitCode c) {
    switch (c) {
      case kExitOk:
        return 0;
      case kExitSoftFailure:
        return 1;
      case kExitInput:
        return 2;
      case kExitOutput:
        return 3;
      case kExitUsage:
        return 4;
      case kExitInternal:
        return 5;
    }
    return 5;
  };
  return rank(a) >= rank(b) ? a : b;
}

}  // namespace imgnormcli

// The command line of kapsho-capture.
#pragma once

#include <optional>
#include <string>
#include <variant>

namespace kapsho_capture {

struct CaptureOptions {
  bool interactive = false;         // -i: the user chooses a rectangle or a window
  bool clipboard = false;           // -c: onto the clipboard instead of into a file
  double delaySeconds = 0;          // -T SECONDS: wait before capturing
  std::optional<std::string> file;  // FILE: written there instead of the capture folder
  bool help = false;                // -h, --help
};

extern const char* const CaptureUsage;

// The options, or the reason the command line is not usable.
std::variant<CaptureOptions, std::string> parseCaptureOptions(int argc, char** argv);

}  // namespace kapsho_capture

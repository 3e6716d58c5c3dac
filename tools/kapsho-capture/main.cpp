// kapsho-capture: the capture tool. Writes "Picture N.png" (in the user's language) into the
// capture folder the agent watches.
#include <cstdio>

#include "tools/kapsho-capture/Capture.h"

int main(int argc, char** argv) {
  using namespace kapsho_capture;
  const auto parsed = parseCaptureOptions(argc, argv);
  if (const auto* problem = std::get_if<std::string>(&parsed)) {
    std::fprintf(stderr, "kapsho-capture: %s\n%s", problem->c_str(), CaptureUsage);
    return 1;
  }
  const auto& options = std::get<CaptureOptions>(parsed);
  if (options.help) {
    std::fputs(CaptureUsage, stdout);
    return 0;
  }
  return runCapture(options, argc, argv);
}

#include "tools/kapsho-capture/CaptureOptions.h"

#include <getopt.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kapsho_capture {

const char* const CaptureUsage =
    "usage: kapsho-capture [-i] [-c] [-T SECONDS] [FILE]\n"
    "  Captures every screen into the capture folder as the next \"Picture N\".\n"
    "  -i          drag a rectangle (a click takes the window under the pointer; Escape cancels)\n"
    "  -c          put the image on the clipboard instead of writing a file\n"
    "  -T SECONDS  wait before capturing\n"
    "  FILE        write the image to FILE (its type from its extension)\n";

namespace {

// A day is long enough for any timed capture; more is a typing mistake.
constexpr double LongestDelaySeconds = 86400;

std::optional<double> parseSeconds(const char* text) {
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds < 0 ||
      seconds > LongestDelaySeconds)
    return std::nullopt;
  return seconds;
}

}  // namespace

std::variant<CaptureOptions, std::string> parseCaptureOptions(int argc, char** argv) {
  CaptureOptions options;
  static const option longOptions[] = {{"help", no_argument, nullptr, 'h'}, {}};
  opterr = 0;
  optind = 0;  // GNU getopt starts afresh at 0
  for (int option; (option = getopt_long(argc, argv, "+icT:h", longOptions, nullptr)) != -1;) {
    switch (option) {
      case 'i':
        options.interactive = true;
        break;
      case 'c':
        options.clipboard = true;
        break;
      case 'T':
        if (auto seconds = parseSeconds(optarg))
          options.delaySeconds = *seconds;
        else
          return "-T takes a number of seconds from 0 to 86400, not \"" + std::string(optarg) +
                 "\"";
        break;
      case 'h':
        options.help = true;
        break;
      default:
        if (optopt == 'T') return std::string("-T needs a number of seconds");
        return "unknown option \"" + std::string(argv[optind - 1]) + "\"";
    }
  }
  if (argc - optind > 1) return std::string("only one FILE may be given");
  if (optind < argc) {
    if (argv[optind][0] == '\0') return std::string("FILE must not be empty");
    options.file = argv[optind];
  }
  if (options.file && options.clipboard)
    return std::string("-c puts the image on the clipboard: give no FILE with it");
  return options;
}

}  // namespace kapsho_capture

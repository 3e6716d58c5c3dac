// Where captures go and what they are called, read through the same calls as the agent reads
// them (the capture settings, the capture tool's strings table), so that the agent recognises
// every file written here.
#pragma once

#include <optional>
#include <string>

namespace kapsho_capture {

struct CaptureSettings {
  std::string type;    // file-name extension, exactly as stored: "type", else "png"
  std::string folder;  // "location", else the user's Desktop
};

CaptureSettings readCaptureSettings();

// The capture tool's names for its pictures in the user's language.
class ScreenshotNames {
 public:
  // From ScreenCapture.strings in the localization that fits the user's languages best, the
  // one the agent builds its pattern from; nullopt when that table is missing or incomplete.
  static std::optional<ScreenshotNames> fromLocalization();

  // The name of picture `number` with the extension: "Picture 3.png".
  std::string name(long number, const std::string& type) const;

 private:
  ScreenshotNames(std::string format, std::string word);
  std::string format_, word_;
};

}  // namespace kapsho_capture

// The platform's screen-capture tool as the programs on it see it: its settings (the file type
// and the folder of its pictures) and the names it gives them, from its localization. The agent
// that recognises screenshots and the tool that writes them read both here, so that they agree.
#pragma once

#include <optional>
#include <string>

namespace platform {

// "type": the file-name extension of captures exactly as stored, else "png".
std::string screenCaptureType();
// "location": the folder captures go to, else the user's Desktop ("" when there is none).
std::string screenCaptureLocation();

// The names of captures in the user's language, from ScreenCapture.strings of the capture tool's
// localization that fits the user's languages best (no other is tried).
class ScreenCaptureNames {
 public:
  // nullopt when that table is missing, or names no "%@ %@" format or no "Picture" word.
  static std::optional<ScreenCaptureNames> fromLocalization();

  // The name of picture `number`, without extension: "Picture 3" for "3". The number is text, so
  // that a pattern may stand for it.
  std::string name(const std::string& number) const;

 private:
  ScreenCaptureNames(std::string format, std::string word);
  std::string format_, word_;
};

}  // namespace platform

#include "common/UploadersFolder.h"

#include <filesystem>

#include "platform/foundation/FileIO.h"
#include "platform/foundation/UserDefaults.h"

std::string customUploadersFolder() {
  const std::string preferences = platform::NSUserDefaults::preferencesFolder();
  return std::filesystem::path(preferences).parent_path().string() + "/Uploaders";
}

std::string customUploaderPath(const std::string& setting) {
  return setting.starts_with('/')
             ? setting
             : platform::stringByAppendingPathComponent(customUploadersFolder(), setting);
}

#include "tests/integration/capture/CaptureTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace testing_support;

namespace capture_tests {

void defaultsWrite(const std::string& domain, const std::string& key, const std::string& value) {
  ASSERT_EQ(runCommand({stagePath("bin/kapsho-defaults"), "write", domain, key, "-string", value})
                .exitCode,
            0);
}

void defaultsDelete(const std::string& domain, const std::string& key) {
  runCommand({stagePath("bin/kapsho-defaults"), "delete", domain, key});
}

void captureInto(const std::string& folder, const std::string& type) {
  defaultsWrite("com.apple.screencapture", "location", folder);
  if (type.empty())
    defaultsDelete("com.apple.screencapture", "type");
  else
    defaultsWrite("com.apple.screencapture", "type", type);
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

QImage picture(const std::string& path) {
  return QImage(QString::fromStdString(path));
}

CommandResult capture(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{CapturePath};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runCommand(argv);
}

}  // namespace capture_tests

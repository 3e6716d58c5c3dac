#include "platform/foundation/AWSCredentials.h"

#include <cstdlib>
#include <sstream>

namespace platform {

namespace {

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  const auto last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::optional<AWSCredentials> AWSCredentials::fromCredentialsText(const std::string& text,
                                                                  const std::string& profile) {
  AWSCredentials keys;
  std::istringstream lines(text);
  std::string line, section = "default";
  while (std::getline(lines, line)) {
    line = trimmed(line);
    if (line.starts_with('[') && line.ends_with(']')) {
      section = trimmed(line.substr(1, line.size() - 2));
      continue;
    }
    const auto equals = line.find('=');
    if (section != profile || equals == std::string::npos) continue;
    const std::string name = trimmed(line.substr(0, equals)),
                      value = trimmed(line.substr(equals + 1));
    if (name == "aws_access_key_id") keys.accessKeyID = value;
    if (name == "aws_secret_access_key") keys.secretAccessKey = value;
    if (name == "aws_session_token") keys.sessionToken = value;
  }
  if (keys.accessKeyID.empty() || keys.secretAccessKey.empty()) return std::nullopt;
  return keys;
}

std::optional<AWSCredentials> AWSCredentials::fromEnvironment() {
  AWSCredentials keys{environment("AWS_ACCESS_KEY_ID"), environment("AWS_SECRET_ACCESS_KEY"),
                      environment("AWS_SESSION_TOKEN")};
  if (keys.accessKeyID.empty() || keys.secretAccessKey.empty()) return std::nullopt;
  return keys;
}

std::string AWSCredentials::sharedCredentialsFile() {
  const std::string named = environment("AWS_SHARED_CREDENTIALS_FILE");
  return named.empty() ? environment("HOME") + "/.aws/credentials" : named;
}

std::string AWSCredentials::profileName() {
  const std::string named = environment("AWS_PROFILE");
  return named.empty() ? "default" : named;
}

}  // namespace platform

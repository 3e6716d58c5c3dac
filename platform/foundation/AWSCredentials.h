// Keys that sign requests to AWS and to S3-compatible stores, found where the AWS tools look for
// them: the environment, and the shared credentials file.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct AWSCredentials {
  std::string accessKeyID, secretAccessKey;
  std::string sessionToken;  // for temporary keys; else empty

  // The profile's keys in the text of a credentials file of the AWS tools' format: "[profile]"
  // sections of "name = value" lines (aws_access_key_id, aws_secret_access_key,
  // aws_session_token); lines before any section belong to "default". nullopt when the profile
  // lacks either key.
  static std::optional<AWSCredentials> fromCredentialsText(const std::string& text,
                                                           const std::string& profile);
  // AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN; nullopt unless both keys are
  // set.
  static std::optional<AWSCredentials> fromEnvironment();
  // The shared credentials file: AWS_SHARED_CREDENTIALS_FILE, else ~/.aws/credentials.
  static std::string sharedCredentialsFile();
  // The profile to read: AWS_PROFILE, else "default".
  static std::string profileName();
};

}  // namespace platform

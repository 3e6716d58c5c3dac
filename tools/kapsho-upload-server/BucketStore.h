// The images in a bucket of an S3-compatible object store, spoken to over its HTTP API with
// libcurl, which signs each request (AWS Signature Version 4). An upload is spooled to a local
// file while it comes, so that its name (from its bytes) is known before it is sent; the store
// then checks the bytes it is sent against their SHA-256 and MD5, and creates the object only
// when the name is free. A deletion token's digest is kept in the object's metadata.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "tools/kapsho-upload-server/ImageStore.h"

namespace upload_server {

struct BucketConfig {
  std::string endpoint;  // "https://s3.example.org", without a trailing '/'
  std::string region;
  std::string bucket;
  std::string prefix;  // "" or ending in '/'
  std::string accessKey, secretKey, sessionToken;

  // The keys from an AWS credentials file (its [default] profile; a file no one but its owner may
  // read), or else from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN; gives
  // the reason when there are none.
  std::optional<std::string> loadKeys(const std::string& credentialsFile);
};

class BucketStore : public ImageStore {
 public:
  // Temporaries are spooled in `spool`.
  BucketStore(BucketConfig config, std::filesystem::path spool,
              std::size_t nameDigits = kNameDigits);

  // Whether the bucket answers with these keys: nullopt when it does, else what the store said.
  // A store that cannot be reached is not a fault of the settings: `reachable` tells it apart.
  std::optional<std::string> check(bool* reachable) const;

  StoreOutcome store(IncomingFile& file, std::string_view extension) const override;
  ServedImage open(const std::string& name) const override;
  Removal remove(const std::string& name, const std::string& token) const override;

 private:
  std::string objectUrl(const std::string& name) const;

  BucketConfig config_;
};

}  // namespace upload_server

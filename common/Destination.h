// A destination: a place where the agent puts each screenshot itself, instead of sending it to
// an upload service, and the public address it is served at from there. Two kinds:
//   sftp://user@host[:port]/folder/   a folder on a server reached by SSH
//   s3://bucket/prefix/               a bucket of an S3-compatible store, with its endpoint and
//                                     region
// The address template turns the stored name into that address
// ("https://img.example.org/{name}"); without one no address can be made, and the destination
// is refused.
//
// The settings are keys of the agent's defaults. No credential is ever among them, only where to
// find one: a private key file for SSH (else the user's SSH agent), a keys file for the store
// (else the AWS tools' environment variables and shared credentials file). A key or keys file
// that others than its owner may read is refused.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "platform/foundation/Value.h"

class Destination {
 public:
  enum class Kind { SFTP, S3 };

  // The settings' keys in the agent's defaults domain.
  static const std::string URLKey;         // "Destination": the sftp:// or s3:// URL
  static const std::string AddressKey;     // "Destination Address": the address template
  static const std::string KeyFileKey;     // "Destination Key File": SSH private key
  static const std::string KeysFileKey;    // "Destination Keys File": the store's keys
  static const std::string EndpointKey;    // "Destination Endpoint": the store's URL
  static const std::string RegionKey;      // "Destination Region"
  static const std::string NamingKey;      // "Destination Naming": "own" or "random"
  static const std::string PublicReadKey;  // "Destination Public Read": a boolean

  struct Settings {
    std::string url, address;
    std::string keyFile;                     // sftp only
    std::string keysFile, endpoint, region;  // s3 only
    std::string naming = "own";
    bool publicRead = false;  // s3 only: objects anyone may read
  };
  // Why settings cannot work, in one line that names the setting.
  struct Failure {
    std::string reason;
  };

  // The destination the settings describe, or why it cannot work. Key and keys files are read
  // here (they must exist, and no one but their owner may use them).
  static std::variant<Destination, Failure> make(const Settings& settings);
  // The settings a defaults domain holds; nullopt when it names no destination.
  static std::optional<Settings> settingsIn(const platform::Dictionary& domain);
  // The domain without any destination setting.
  static void removeFrom(platform::Dictionary& domain);
  // The domain with these settings in place of any other destination's.
  void storeIn(platform::Dictionary& domain) const;

  Kind kind() const { return kind_; }
  const Settings& settings() const { return settings_; }
  // The folder's sftp:// URL, ending in '/'; the store's endpoint, without a '/' at the end.
  const std::string& location() const { return location_; }
  // SFTP: the folder's path as SFTP commands take it ("/srv/shots/"; "shots/" for
  // sftp://user@host/~/shots/, in the home folder). S3: the bucket.
  const std::string& folder() const { return folder_; }
  // S3: the prefix of the objects' keys ("" or ending in '/').
  const std::string& prefix() const { return prefix_; }

  // The name a file gets at the destination, with the file's extension: its own name made safe
  // in an address (ASCII letters, digits, '.', '_', '-'; each run of anything else one '-'),
  // or a random one, as the settings choose. A name with nothing left of it gets a random one.
  std::string nameFor(const std::string& fileName) const;
  // The name's variants, tried in turn while a name is taken: 1 gives the name itself, then
  // "Picture-3-2.png", "Picture-3-3.png" ...
  static std::string variant(const std::string& name, int number);
  bool namesItsOwn() const { return settings_.naming == "own"; }
  // The address a stored name is served at.
  std::string addressFor(const std::string& storedName) const;
  // For people: "sftp://user@host/folder/, served at https://img.example.org/{name}".
  std::string description() const;

 private:
  Destination() = default;
  std::optional<Failure> readURL();
  std::optional<Failure> checkStore();
  std::optional<Failure> checkFiles() const;

  Kind kind_ = Kind::SFTP;
  Settings settings_;
  std::string location_, folder_, prefix_;
};

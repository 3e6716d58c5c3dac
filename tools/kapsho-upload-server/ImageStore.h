// The folder of uploaded images, each named after its contents.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace upload_server {

class ImageStore {
 public:
  // Creates the folder when missing; throws std::filesystem::filesystem_error when it cannot.
  explicit ImageStore(std::filesystem::path directory);

  const std::filesystem::path& directory() const { return directory_; }

  // The first 16 hex digits of the SHA-256 of the bytes, and the file name's extension when
  // it is 1 to 16 ASCII letters or digits (lower-cased).
  static std::string nameFor(const std::string& bytes, std::string_view originalFileName);

  // Writes the bytes atomically under nameFor(); gives the name, or nullopt and the reason.
  std::optional<std::string> store(const std::string& bytes, std::string_view originalFileName,
                                   std::string* error) const;

  // The stored file of a well-formed name, or nullopt for a malformed or unknown one.
  std::optional<std::filesystem::path> find(const std::string& name) const;

 private:
  std::filesystem::path directory_;
};

}  // namespace upload_server

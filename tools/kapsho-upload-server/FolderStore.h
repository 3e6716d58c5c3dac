// The images in a local folder: each a file under its name, written aside and linked in, with its
// deletion token's digest in a file beside it ("<name>.deletion", which no address can name).
#pragma once

#include "tools/kapsho-upload-server/ImageStore.h"

namespace upload_server {

class FolderStore : public ImageStore {
 public:
  explicit FolderStore(std::filesystem::path directory, std::size_t nameDigits = kNameDigits)
      : ImageStore(std::move(directory), nameDigits) {}

  StoreOutcome store(IncomingFile& file, std::string_view extension) const override;
  // Opened for reading without following a symbolic link; Missing for anything but a regular file.
  ServedImage open(const std::string& name) const override;
  Removal remove(const std::string& name, const std::string& token) const override;

 private:
  platform::FileDescriptor openFile(const std::string& name) const;
  bool keepDeletionDigest(const std::string& name, const std::string& token) const;
};

}  // namespace upload_server
